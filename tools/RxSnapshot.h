// Turns one received SpeedHQ frame into a PNG file (vexo-rx --snapshot).
#pragma once

#include <string>

#include <ndi_standin_rx.h>

namespace rx {

// Decodes with libavcodec's SpeedHQ decoder, converts to RGB with libswscale and encodes
// with libavcodec's PNG encoder. A single field is shown at twice its height, so the
// picture keeps its shape. Stateless; used on vexo-rx's one thread.
class RxSnapshot
{
public:
	// False with a reason in `error` when the frame cannot be decoded or the file written.
	static bool write_png(const ndi_standin::VideoFrame& frame, const std::string& path, std::string& error);
};

}  // namespace rx
