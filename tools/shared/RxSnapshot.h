// Turns one received SpeedHQ frame into a PNG or JPEG picture (vexo-rx --snapshot, vexo-console).
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include <ndi_standin_rx.h>

namespace rx {

// Decodes with libavcodec's SpeedHQ decoder, converts to RGB with libswscale and encodes
// with libavcodec's PNG or MJPEG encoder. A single field is shown at twice its height, so the
// picture keeps its shape. Stateless; safe to call from several threads at once.
class RxSnapshot
{
public:
	enum class Image { Png, Jpeg };
	// The encoded picture in `out` and its size in `width` and `height`; false with a reason
	// in `error` when the frame cannot be decoded or encoded.
	static bool encode(const ndi_standin::VideoFrame& frame, Image kind, std::vector<uint8_t>& out, int& width,
	                   int& height, std::string& error);
	// False with a reason in `error` when the frame cannot be decoded or the file written.
	static bool write_png(const ndi_standin::VideoFrame& frame, const std::string& path, std::string& error);
};

}  // namespace rx
