// Receiver side of the stand-in NDI runtime: finds sources and watches one (vexo-rx, tests).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

#include "Processing.NDI.Lib.h"

namespace ndi_standin {

// A source as its sender introduces itself on connecting.
struct SourceInfo {
	std::string name;
	std::optional<std::string> groups;  // absent when the sender has none
	std::optional<std::string> config;  // the configuration text given at creation, if any
	std::string path;                   // its socket
};

struct VideoFrame {
	int stream = 0;  // 0 program, 1 preview
	int xres = 0, yres = 0;
	uint32_t fourcc = 0;
	int frame_rate_n = 0, frame_rate_d = 0;
	float aspect = 0.0f;
	int format = NDIlib_frame_format_type_progressive;
	int64_t timecode = 0, timestamp = 0;
	int32_t line_stride_or_size = 0;  // the frame's union field as sent
	std::optional<std::string> metadata;
	std::vector<uint8_t> data;
};

struct AudioFrame {
	int sample_rate = 0, channels = 0, samples = 0;
	int64_t timecode = 0;
	std::vector<float> data;  // interleaved
};

struct RxEvent {
	enum class Kind {
		None,                // nothing within the time-out
		Source,              // source: connected
		ConnectionMetadata,  // text: one connection metadata text
		Video,               // video
		Audio,               // audio
		Metadata,            // text, timecode: a metadata frame the sender sent
		Failover,            // text: the failover source named by a sender going away
		Dropped,             // dropped: what the sender dropped for this slow receiver so far
		Disconnected,        // the sender went away (or sent something unreadable)
	};
	Kind kind = Kind::None;
	SourceInfo source;
	std::string text;
	int64_t timecode = 0;
	VideoFrame video;
	AudioFrame audio;
	uint32_t dropped[4] = {};  // program video, preview video, audio, metadata frames
};

// The directory named by NDI_STANDIN_DIR, or "/tmp/ndi-standin" when it is unset or empty.
std::string source_dir();

// The sources that answer in a directory (connecting to each once; stale sockets skipped).
std::vector<SourceInfo> find_sources(const std::string& dir);

// One connection to one sender. Used from one thread.
class Receiver
{
public:
	Receiver() = default;
	~Receiver();
	Receiver(const Receiver&) = delete;
	Receiver& operator=(const Receiver&) = delete;

	// Waits up to timeout_ms for a source of exactly this name (any source when null) in dir
	// and connects to it. The first next() then yields its Source event.
	bool open(const std::string& dir, const std::optional<std::string>& name, int timeout_ms);
	// Connects to one socket; false when nobody listens there or it does not introduce itself.
	bool open_path(const std::string& path, int timeout_ms);
	// Takes over a connected stream socket (closed on failure) as the connection to `path`.
	bool open_fd(int fd, const std::string& path, int timeout_ms);
	void close();
	bool connected() const { return fd_ >= 0; }
	const SourceInfo& source() const { return source_; }

	bool set_tally(bool program, bool preview);
	bool send_metadata(const std::string& text);

	// The next event, waiting up to timeout_ms (-1: no limit). After Disconnected the
	// connection is closed and further calls return None at once.
	RxEvent next(int timeout_ms);

private:
	bool fill(int timeout_ms);  // reads once; false on time-out
	int fd_ = -1;
	SourceInfo source_;
	bool source_pending_ = false;
	bool eof_ = false;
	std::vector<uint8_t> buf_;
	size_t start_ = 0;
};

// Text of a FourCC, e.g. "SHQ2"; unprintable bytes become '?'.
std::string fourcc_text(uint32_t fourcc);

}  // namespace ndi_standin

extern "C" {
// Stand-in extra of libndi.so.4: bytes of audio/video queued for the sender's receivers.
PROCESSINGNDILIB_API size_t NDIlib_standin_send_queued_media_bytes(NDIlib_send_instance_t p_instance);
// Stand-in extra: asynchronous frames whose buffer changed while the runtime held it (each
// also reported on standard error).
PROCESSINGNDILIB_API size_t NDIlib_standin_send_modified_while_held(NDIlib_send_instance_t p_instance);
}
