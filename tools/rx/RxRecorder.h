// Writes received SpeedHQ video and audio into a Matroska or NUT file (vexo-rx --record).
#pragma once

#include <stdint.h>

#include <optional>
#include <string>

#include <ndi_standin_rx.h>

struct AVFormatContext;
struct AVStream;
struct AVPacket;

namespace rx {

// Muxes with libavformat; the video packets are the frames as they arrived, never decoded.
// Two fields of an interlaced stream make one packet of the whole raster, as the SpeedHQ
// bitstream allows (the second field's offset in the frame header). Timestamps follow the
// senders' timecodes in units of the announced frame rate; audio is 48 kHz stereo.
// The recording takes the format (raster, scan, FourCC, rate) of the first two frames in a row
// that share one, and ends when the stream changes to another. The header is written at once
// and every picture flushed, so a recording cut off at any point stays readable. Used on vexo-rx's one thread.
class RxRecorder
{
public:
	enum class Audio { Float, S16 };
	// `path` "-" is NUT on standard output; otherwise the extension picks .mkv or .nut.
	RxRecorder(std::string path, int stream, Audio audio);
	~RxRecorder();
	RxRecorder(const RxRecorder&) = delete;
	RxRecorder& operator=(const RxRecorder&) = delete;

	// Null when the path names a format this recorder writes, else the reason.
	static std::optional<std::string> check_path(const std::string& path);

	// False with the reason in `error` once the file cannot be written; recording has ended then.
	bool video(const ndi_standin::VideoFrame& f, std::string& error);
	bool audio(const ndi_standin::AudioFrame& a, std::string& error);
	// Writes the trailer and closes the file; false when that failed.
	bool finish(std::string& error);

	int64_t frames() const { return frames_; }  // video packets written
	// Seconds from the first frame's start to the last frame's end.
	double duration() const;
	int64_t dropped() const { return dropped_; }  // frames or fields left out, with a warning each kind

private:
	static bool same_format(const ndi_standin::VideoFrame& a, const ndi_standin::VideoFrame& b);
	bool open(const ndi_standin::VideoFrame& first, std::string& error);
	bool put(const ndi_standin::VideoFrame& f, std::string& error);
	bool write(AVPacket* pkt, AVStream* st, std::string& error);
	int64_t video_pts(int64_t timecode) const;
	void warn_once(int which, const char* text);

	std::string path_;
	int stream_;
	Audio audio_format_;
	AVFormatContext* ctx_ = nullptr;
	AVStream* vst_ = nullptr;
	AVStream* ast_ = nullptr;
	bool failed_ = false;
	bool ended_ = false;  // the stream's format changed: the file is complete
	std::optional<ndi_standin::VideoFrame> first_;  // a first frame until a second of its format
	ndi_standin::VideoFrame format_;  // the recording's format (no data)
	bool interlaced_ = false;
	int xres_ = 0, yres_ = 0, rate_n_ = 0, rate_d_ = 0;
	int64_t origin_ = 0;  // timecode of the first frame (100 ns units)
	int64_t next_pts_ = 0, first_pts_ = 0;
	int64_t next_audio_pts_ = -1;
	int64_t frames_ = 0, dropped_ = 0;
	std::optional<ndi_standin::VideoFrame> field0_;  // first field waiting for its second
	unsigned warned_ = 0;
};

}  // namespace rx
