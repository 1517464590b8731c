// Writes received SpeedHQ video and audio into a Matroska or NUT file (vexo-rx --record).
#include "RxRecorder.h"

#include <ctype.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <memory>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/intreadwrite.h>
}

#include "mervane_speedhq.h"

namespace rx {

namespace {

constexpr int kAudioRate = 48000;
constexpr int kAudioChannels = 2;
constexpr double kTimecodeUnits = 1e7;  // timecodes count 100 ns
constexpr int kFormatField0 = NDIlib_frame_format_type_field_0;
constexpr int kFormatField1 = NDIlib_frame_format_type_field_1;

struct PacketFree {
	void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;

std::string av_error(int code)
{
	char buf[AV_ERROR_MAX_STRING_SIZE] = {};
	av_strerror(code, buf, sizeof(buf));
	return buf;
}

bool ends_with(const std::string& s, const char* tail)
{
	size_t n = strlen(tail);
	return s.size() > n && s.compare(s.size() - n, n, tail) == 0;
}

// libavcodec's SpeedHQ decoder knows the upper-case FourCCs only; the preview stream's
// lower-case ones carry the same bitstream.
uint32_t upper_tag(uint32_t fourcc)
{
	uint32_t tag = 0;
	for (int i = 0; i < 4; ++i)
		tag |= static_cast<uint32_t>(toupper(static_cast<int>(fourcc >> (8 * i) & 0xFF))) << (8 * i);
	return tag;
}

bool is_field(int format)
{
	return format == kFormatField0 || format == kFormatField1;
}

// A frame header of one field alone: quality, then the 24-bit offset 4 of "no second field".
bool single_field(const std::vector<uint8_t>& d)
{
	return d.size() > 4 && mervane_speedhq::frame_header_ok(d.data(), d.size());
}

}  // namespace

RxRecorder::RxRecorder(std::string path, int stream, Audio audio)
	: path_(std::move(path)), stream_(stream), audio_format_(audio)
{
}

RxRecorder::~RxRecorder()
{
	std::string ignored;
	finish(ignored);
}

std::optional<std::string> RxRecorder::check_path(const std::string& path)
{
	if (path == "-" || ends_with(path, ".mkv") || ends_with(path, ".nut"))
		return std::nullopt;
	return "--record writes .mkv or .nut files (or NUT to standard output with -), not \"" + path + "\"";
}

void RxRecorder::warn_once(int which, const char* text)
{
	++dropped_;
	if (warned_ & (1u << which))
		return;
	warned_ |= 1u << which;
	fprintf(stderr, "vexo-rx: recording: %s (left out; told once)\n", text);
}

bool RxRecorder::open(const ndi_standin::VideoFrame& first, std::string& error)
{
	if (first.frame_rate_n <= 0 || first.frame_rate_d <= 0 || first.xres <= 0 || first.yres <= 0) {
		error = "the first frame announces no raster or frame rate";
		return false;
	}
	bool to_stdout = path_ == "-";
	const char* format = to_stdout || ends_with(path_, ".nut") ? "nut" : "matroska";
	std::string url = to_stdout ? "pipe:1" : path_;
	int r = avformat_alloc_output_context2(&ctx_, nullptr, format, url.c_str());
	if (r < 0) {
		error = std::string("no ") + format + " muxer: " + av_error(r);
		return false;
	}
	format_ = first;
	format_.data.clear();
	interlaced_ = is_field(first.format);
	xres_ = first.xres;
	yres_ = first.yres;
	rate_n_ = first.frame_rate_n;
	rate_d_ = first.frame_rate_d;
	int height = interlaced_ ? 2 * yres_ : yres_;

	vst_ = avformat_new_stream(ctx_, nullptr);
	ast_ = avformat_new_stream(ctx_, nullptr);
	if (vst_ == nullptr || ast_ == nullptr) {
		error = "out of memory";
		return false;
	}
	AVCodecParameters* vp = vst_->codecpar;
	vp->codec_type = AVMEDIA_TYPE_VIDEO;
	vp->codec_id = AV_CODEC_ID_SPEEDHQ;
	vp->codec_tag = upper_tag(first.fourcc);
	vp->width = xres_;
	vp->height = height;
	// The first field sent is the upper one.
	vp->field_order = interlaced_ ? AV_FIELD_TT : AV_FIELD_PROGRESSIVE;
	if (first.aspect > 0)
		vp->sample_aspect_ratio = av_d2q(static_cast<double>(first.aspect) * height / xres_, 1000);
	vst_->time_base = AVRational{rate_d_, rate_n_};
	vst_->avg_frame_rate = AVRational{rate_n_, rate_d_};
	vst_->r_frame_rate = vst_->avg_frame_rate;

	AVCodecParameters* ap = ast_->codecpar;
	bool s16 = audio_format_ == Audio::S16;
	ap->codec_type = AVMEDIA_TYPE_AUDIO;
	ap->codec_id = s16 ? AV_CODEC_ID_PCM_S16LE : AV_CODEC_ID_PCM_F32LE;
	ap->sample_rate = kAudioRate;
	av_channel_layout_default(&ap->ch_layout, kAudioChannels);
	ap->bits_per_coded_sample = s16 ? 16 : 32;
	ap->block_align = kAudioChannels * ap->bits_per_coded_sample / 8;
	ast_->time_base = AVRational{1, kAudioRate};

	r = avio_open(&ctx_->pb, url.c_str(), AVIO_FLAG_WRITE);
	if (r < 0) {
		error = "cannot open " + (to_stdout ? std::string("standard output") : path_) + ": " + av_error(r);
		return false;
	}
	ctx_->flush_packets = 1;
	r = avformat_write_header(ctx_, nullptr);
	if (r < 0) {
		error = "cannot write the file header: " + av_error(r);
		return false;
	}
	avio_flush(ctx_->pb);
	origin_ = first.timecode;
	return true;
}

int64_t RxRecorder::video_pts(int64_t timecode) const
{
	double t = static_cast<double>(timecode - origin_) / kTimecodeUnits;
	int64_t by_timecode = llround(t * rate_n_ / rate_d_);
	// Send jitter moves a timecode by part of a frame: only a gap of a frame or more beyond
	// that (frames lost on the way) moves the count on.
	return by_timecode >= next_pts_ + 2 ? by_timecode : next_pts_;
}

bool RxRecorder::write(AVPacket* pkt, AVStream* st, std::string& error)
{
	AVRational from = st == vst_ ? AVRational{rate_d_, rate_n_} : AVRational{1, kAudioRate};
	pkt->stream_index = st->index;
	pkt->flags |= AV_PKT_FLAG_KEY;
	av_packet_rescale_ts(pkt, from, st->time_base);
	int r = av_write_frame(ctx_, pkt);
	// Matroska keeps a cluster in memory until it ends: end it with each picture.
	if (r >= 0 && st == vst_)
		r = av_write_frame(ctx_, nullptr);
	if (r < 0) {
		failed_ = true;
		error = "writing " + (path_ == "-" ? std::string("standard output") : path_) + " failed: " + av_error(r);
		return false;
	}
	return true;
}

bool RxRecorder::same_format(const ndi_standin::VideoFrame& a, const ndi_standin::VideoFrame& b)
{
	return a.xres == b.xres && a.yres == b.yres && upper_tag(a.fourcc) == upper_tag(b.fourcc) &&
	       a.frame_rate_n == b.frame_rate_n && a.frame_rate_d == b.frame_rate_d && is_field(a.format) == is_field(b.format);
}

bool RxRecorder::video(const ndi_standin::VideoFrame& f, std::string& error)
{
	if (failed_) {
		error = "recording has ended";
		return false;
	}
	if (ended_ || f.stream != stream_ || f.data.empty())
		return true;
	if (ctx_ == nullptr) {
		// A lone frame (the start-up still before the source's own) does not decide the
		// recording's format: two frames in a row of one format do.
		if (!first_ || !same_format(*first_, f)) {
			if (first_)
				++dropped_;
			first_.reset();
			if (f.format != kFormatField1)  // begin with a whole frame
				first_ = f;
			return true;
		}
		if (!open(*first_, error)) {
			failed_ = true;
			return false;
		}
		ndi_standin::VideoFrame first = std::move(*first_);
		first_.reset();
		if (!put(first, error))
			return false;
		return put(f, error);
	}
	if (!same_format(f, format_)) {
		fprintf(stderr, "vexo-rx: recording: the stream changed to %dx%d %s at %d/%d; the recording ends here\n",
		        f.xres, f.yres, is_field(f.format) ? "fields" : "progressive", f.frame_rate_n, f.frame_rate_d);
		ended_ = true;
		return finish(error);
	}
	return put(f, error);
}

bool RxRecorder::put(const ndi_standin::VideoFrame& f, std::string& error)
{
	PacketPtr pkt(av_packet_alloc());
	if (!pkt) {
		error = "out of memory";
		return false;
	}
	int64_t timecode = f.timecode;
	if (!interlaced_) {
		if (av_new_packet(pkt.get(), static_cast<int>(f.data.size())) < 0) {
			error = "out of memory";
			return false;
		}
		memcpy(pkt->data, f.data.data(), f.data.size());
	} else if (f.format == kFormatField0) {
		if (field0_)
			warn_once(1, "a first field came without its second");
		field0_ = f;
		return true;
	} else {
		if (!field0_) {
			warn_once(1, "a second field came without its first");
			return true;
		}
		const std::vector<uint8_t>& a = field0_->data;
		const std::vector<uint8_t>& b = f.data;
		// Both fields of one packet share the quality byte of its header.
		if (!single_field(a) || !single_field(b) || a[0] != b[0] || a.size() >= (1u << 24)) {
			field0_.reset();
			warn_once(2, "a field pair with differing quality or an unexpected header");
			return true;
		}
		if (av_new_packet(pkt.get(), static_cast<int>(a.size() + b.size() - 4)) < 0) {
			error = "out of memory";
			return false;
		}
		pkt->data[0] = a[0];
		AV_WL24(pkt->data + 1, static_cast<uint32_t>(a.size()));
		memcpy(pkt->data + 4, a.data() + 4, a.size() - 4);
		memcpy(pkt->data + a.size(), b.data() + 4, b.size() - 4);
		timecode = field0_->timecode;
		field0_.reset();
	}
	int64_t pts = frames_ == 0 ? 0 : video_pts(timecode);
	pkt->pts = pkt->dts = pts;
	pkt->duration = 1;
	if (!write(pkt.get(), vst_, error))
		return false;
	next_pts_ = pts + 1;
	++frames_;
	return true;
}

bool RxRecorder::audio(const ndi_standin::AudioFrame& a, std::string& error)
{
	if (failed_) {
		error = "recording has ended";
		return false;
	}
	if (ctx_ == nullptr || a.samples <= 0 || a.channels <= 0 ||
	    a.data.size() < static_cast<size_t>(a.samples) * static_cast<size_t>(a.channels))
		return true;  // nothing before the first picture
	if (a.sample_rate != kAudioRate) {
		warn_once(3, "audio at a sample rate other than 48 kHz");
		return true;
	}
	bool s16 = audio_format_ == Audio::S16;
	size_t n = static_cast<size_t>(a.samples);
	PacketPtr pkt(av_packet_alloc());
	if (!pkt || av_new_packet(pkt.get(), static_cast<int>(n * kAudioChannels * (s16 ? 2 : 4))) < 0) {
		error = "out of memory";
		return false;
	}
	// Stereo from the first two channels; a mono source goes to both.
	for (size_t i = 0; i < n; ++i) {
		for (size_t c = 0; c < kAudioChannels; ++c) {
			float v = a.data[i * a.channels + std::min<size_t>(c, a.channels - 1)];
			size_t k = i * kAudioChannels + c;
			if (s16) {
				long q = lrintf(std::clamp(v, -1.0f, 1.0f) * 32767.0f);
				AV_WL16(pkt->data + 2 * k, static_cast<uint16_t>(static_cast<int16_t>(q)));
			} else {
				uint32_t bits = 0;
				memcpy(&bits, &v, sizeof(bits));
				AV_WL32(pkt->data + 4 * k, bits);
			}
		}
	}
	double t = static_cast<double>(a.timecode - origin_) / kTimecodeUnits;
	int64_t by_timecode = std::max<int64_t>(0, llround(t * kAudioRate));
	// Contiguous unless a tenth of a second or more is missing.
	int64_t pts = next_audio_pts_ < 0 || by_timecode >= next_audio_pts_ + kAudioRate / 10 ? by_timecode
	                                                                                      : next_audio_pts_;
	pkt->pts = pkt->dts = pts;
	pkt->duration = static_cast<int64_t>(n);
	if (!write(pkt.get(), ast_, error))
		return false;
	next_audio_pts_ = pts + static_cast<int64_t>(n);
	return true;
}

bool RxRecorder::finish(std::string& error)
{
	if (first_) {
		first_.reset();
		++dropped_;
	}
	if (ctx_ == nullptr)
		return true;
	if (field0_) {
		field0_.reset();
		++dropped_;
	}
	bool ok = true;
	if (!failed_) {
		int r = av_write_trailer(ctx_);
		if (r < 0) {
			error = "cannot write the end of the recording: " + av_error(r);
			ok = false;
		}
	}
	if (ctx_->pb != nullptr) {
		int r = avio_closep(&ctx_->pb);
		if (r < 0 && ok) {
			error = "cannot close the recording: " + av_error(r);
			ok = false;
		}
	}
	avformat_free_context(ctx_);
	ctx_ = nullptr;
	vst_ = ast_ = nullptr;
	return ok;
}

double RxRecorder::duration() const
{
	return rate_n_ > 0 ? static_cast<double>(next_pts_ - first_pts_) * rate_d_ / rate_n_ : 0.0;
}

}  // namespace rx
