// A video clip as the HDMI source, encoded once per raster, rate and quantiser into a cache file.
#include "clip_bank.h"

#include "av_support.h"
#include "pattern.h"
#include "real_io.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

extern "C" {
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

namespace sim {

namespace {

// The cache file: the frames one after another, their offsets (count + 1, little-endian
// 64-bit), then the count and the tag.
constexpr uint32_t kTag = 0x42435856;  // "VXCB"

struct InputFree {
	void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
using InputPtr = std::unique_ptr<AVFormatContext, InputFree>;

// The bank's own files are plain files: the calls go to libc, not through the device models.

// FNV-1a over the clip's bytes: the cache follows the content, not the name.
bool content_hash(const std::string& path, uint64_t& hash)
{
	const int fd = __real_open(path.c_str(), O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return false;
	hash = 1469598103934665603ULL;
	std::vector<uint8_t> buf(1 << 20);
	ssize_t n;
	while ((n = __real_read(fd, buf.data(), buf.size())) > 0)
		for (ssize_t i = 0; i < n; ++i)
			hash = (hash ^ buf[i]) * 1099511628211ULL;
	__real_close(fd);
	return n == 0;
}

bool write_all(int fd, const void* data, size_t size)
{
	const uint8_t* p = static_cast<const uint8_t*>(data);
	while (size > 0) {
		const ssize_t n = __real_write(fd, p, size);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		p += n;
		size -= static_cast<size_t>(n);
	}
	return true;
}

void put64(std::vector<uint8_t>& out, uint64_t v)
{
	for (int i = 0; i < 8; ++i)
		out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint64_t get64(const uint8_t* p)
{
	uint64_t v = 0;
	for (int i = 7; i >= 0; --i)
		v = (v << 8) | p[i];
	return v;
}

// The clip's video, decoded a frame at a time with its time in seconds from the first; or
// the pattern, drawn a frame at a time.
class Decoder {
public:
	void open_pattern() { pattern_ = true, period_ = static_cast<double>(vexo_av::kPatternRateD) / vexo_av::kPatternRateN; }

	bool open(const std::string& clip, std::string& error)
	{
		AVFormatContext* raw = nullptr;
		int r = avformat_open_input(&raw, clip.c_str(), nullptr, nullptr);
		if (r < 0) {
			error = "cannot open " + clip + ": " + vexo_av::error_text(r);
			return false;
		}
		input_.reset(raw);
		if ((r = avformat_find_stream_info(raw, nullptr)) < 0) {
			error = "cannot read " + clip + ": " + vexo_av::error_text(r);
			return false;
		}
		const AVCodec* codec = nullptr;
		stream_ = av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
		if (stream_ < 0 || codec == nullptr) {
			error = clip + " has no video stream libavcodec decodes";
			return false;
		}
		const AVStream* st = raw->streams[stream_];
		codec_.reset(avcodec_alloc_context3(codec));
		if (!codec_ || avcodec_parameters_to_context(codec_.get(), st->codecpar) < 0) {
			error = "out of memory";
			return false;
		}
		codec_->thread_count = 1;
		if ((r = avcodec_open2(codec_.get(), codec, nullptr)) < 0) {
			error = "cannot decode " + clip + ": " + vexo_av::error_text(r);
			return false;
		}
		time_base_ = av_q2d(st->time_base);
		if (st->avg_frame_rate.num > 0 && st->avg_frame_rate.den > 0)
			period_ = av_q2d(av_inv_q(st->avg_frame_rate));
		packet_.reset(av_packet_alloc());
		return packet_ != nullptr;
	}

	// The next frame, or null at the end or on an error (`failed` then says which).
	vexo_av::FramePtr next(double& seconds)
	{
		vexo_av::FramePtr frame(av_frame_alloc());
		if (pattern_ && frame) {
			if (frames_ == vexo_av::kPatternFrames)
				return nullptr;
			frame->format = AV_PIX_FMT_YUV422P;
			frame->width = vexo_av::kPatternWidth;
			frame->height = vexo_av::kPatternHeight;
			if (av_frame_get_buffer(frame.get(), 0) < 0) {
				failed = true;
				return nullptr;
			}
			vexo_av::draw_pattern(frame.get(), static_cast<int>(frames_));
			seconds = static_cast<double>(frames_++) * period_;
			return frame;
		}
		while (frame) {
			int r = avcodec_receive_frame(codec_.get(), frame.get());
			if (r == 0) {
				int64_t pts = frame->best_effort_timestamp;
				if (pts == AV_NOPTS_VALUE)
					pts = frames_;
				if (first_ == AV_NOPTS_VALUE)
					first_ = pts;
				seconds = frame->best_effort_timestamp == AV_NOPTS_VALUE ? frames_ * period_
				                                                          : (pts - first_) * time_base_;
				++frames_;
				return frame;
			}
			if (r != AVERROR(EAGAIN)) {
				failed = r != AVERROR_EOF;
				return nullptr;
			}
			r = av_read_frame(input_.get(), packet_.get());
			if (r < 0) {
				avcodec_send_packet(codec_.get(), nullptr);  // drain at the end
				continue;
			}
			if (packet_->stream_index == stream_ && avcodec_send_packet(codec_.get(), packet_.get()) < 0 &&
			    ++bad_packets_ > 16) {
				av_packet_unref(packet_.get());
				failed = true;
				return nullptr;
			}
			av_packet_unref(packet_.get());
		}
		return nullptr;
	}

	double period() const { return period_; }
	bool failed = false;

private:
	InputPtr input_;
	vexo_av::CodecPtr codec_;
	vexo_av::PacketPtr packet_;
	int stream_ = -1;
	double time_base_ = 0;
	double period_ = 0;
	int64_t first_ = AV_NOPTS_VALUE;
	int64_t frames_ = 0;
	bool pattern_ = false;
	int bad_packets_ = 0;
};

// Scales decoded frames to the key's whole raster (both fields) and encodes entries from it.
class Encoder {
public:
	bool open(const ClipBankKey& key, std::string& error)
	{
		key_ = key;
		format_ = key.chroma_420 ? AV_PIX_FMT_YUV420P : AV_PIX_FMT_YUV422P;
		codec_ = vexo_av::open_encoder(AV_CODEC_ID_SPEEDHQ, key.width, key.height, format_, key.quantiser, &error);
		picture_.reset(av_frame_alloc());
		view_.reset(av_frame_alloc());
		if (!codec_ || !picture_ || !view_)
			return false;
		picture_->format = format_;
		picture_->width = key.width;
		picture_->height = key.fields ? 2 * key.height : key.height;
		if (av_frame_get_buffer(picture_.get(), 0) < 0) {
			error = "out of memory";
			return false;
		}
		return true;
	}

	// Makes `source` the picture the next entries show.
	bool convert(const AVFrame* source)
	{
		sws_.reset(sws_getCachedContext(sws_.release(), source->width, source->height,
		                                static_cast<AVPixelFormat>(source->format), picture_->width, picture_->height,
		                                format_, SWS_BICUBIC, nullptr, nullptr, nullptr));
		return sws_ && av_frame_make_writable(picture_.get()) == 0 &&
		       sws_scale(sws_.get(), source->data, source->linesize, 0, source->height, picture_->data,
		                 picture_->linesize) == picture_->height;
	}

	// Entry `index` of the picture: the whole of it, or for fields the lines of its parity.
	bool encode(int64_t index, std::vector<uint8_t>& out, std::string& error)
	{
		av_frame_unref(view_.get());
		if (av_frame_ref(view_.get(), picture_.get()) < 0)
			return false;
		view_->height = key_.height;
		if (key_.fields) {
			const int parity = static_cast<int>(index & 1);
			for (int p = 0; p < 3; ++p) {
				view_->data[p] += parity * picture_->linesize[p];
				view_->linesize[p] *= 2;
			}
		}
		if (key_.uv_swapped)
			std::swap(view_->data[1], view_->data[2]);
		view_->pts = index;
		return vexo_av::encode_one(codec_.get(), view_.get(), out, &error);
	}

private:
	ClipBankKey key_;
	AVPixelFormat format_ = AV_PIX_FMT_NONE;
	vexo_av::CodecPtr codec_;
	vexo_av::FramePtr picture_;
	vexo_av::FramePtr view_;
	vexo_av::SwsPtr sws_;
};

// Decodes, converts and encodes the whole clip into `path` (written aside, then renamed).
bool make_bank(const std::string& clip, const ClipBankKey& key, const std::string& path, std::string& error,
               const std::function<void(size_t, size_t)>& progress)
{
	Decoder decoder;
	Encoder encoder;
	if (clip == kPatternName)
		decoder.open_pattern();
	else if (!decoder.open(clip, error))
		return false;
	if (!encoder.open(key, error))
		return false;
	const std::string tmp = path + ".new." + std::to_string(getpid());
	const int fd = __real_open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
	if (fd < 0) {
		error = "cannot write " + tmp + ": " + strerror(errno);
		return false;
	}
	auto fail = [&](const std::string& why) {
		__real_close(fd);
		::unlink(tmp.c_str());
		error = why;
		return false;
	};

	// Entry i shows the latest clip frame that has begun at its time: frames repeat or drop
	// to the key's rate. The clip ends with its last frame's period.
	double cur_t = 0, next_t = 0;
	vexo_av::FramePtr cur = decoder.next(cur_t);
	if (!cur)
		return fail(clip + (decoder.failed ? " cannot be decoded" : " holds no frame"));
	vexo_av::FramePtr next = decoder.next(next_t);
	double last_period = decoder.period();
	bool converted = false;
	std::vector<uint8_t> index, bytes;
	uint64_t offset = 0;
	put64(index, 0);
	const double step = static_cast<double>(key.rate_d) / key.rate_n;
	// Container timestamps are rounded (to the millisecond in Matroska): instants within a
	// quarter of the shorter period count as equal.
	const double eps = (decoder.period() > 0 ? std::min(step, decoder.period()) : step) / 4;
	int64_t i = 0;
	for (;; ++i) {
		const double t = static_cast<double>(i) * step;
		while (next && next_t <= t + eps) {
			last_period = next_t - cur_t > 0 ? next_t - cur_t : last_period;
			cur = std::move(next);
			cur_t = next_t;
			converted = false;
			next = decoder.next(next_t);
		}
		if (!next) {
			if (decoder.failed)
				return fail(clip + " cannot be decoded");
			const double period = decoder.period() > 0 ? decoder.period() : last_period;
			// Fields keep their parity across the loop: an odd count takes one more.
			if (t + eps >= cur_t + period && !(key.fields && (i & 1)))
				break;
		}
		if (!converted && !(converted = encoder.convert(cur.get())))
			return fail("cannot convert the pictures of " + clip);
		if (!encoder.encode(i, bytes, error) || !write_all(fd, bytes.data(), bytes.size()))
			return fail(error.empty() ? "cannot write " + tmp : error);
		offset += bytes.size();
		put64(index, offset);
		if (progress)
			progress(static_cast<size_t>(i + 1), 0);
	}
	if (i == 0)
		return fail(clip + " is shorter than one frame");
	put64(index, static_cast<uint64_t>(i));
	for (int b = 0; b < 4; ++b)
		index.push_back(static_cast<uint8_t>(kTag >> (8 * b)));
	if (!write_all(fd, index.data(), index.size()) || __real_close(fd) != 0) {
		::unlink(tmp.c_str());
		error = "cannot write " + tmp;
		return false;
	}
	if (::rename(tmp.c_str(), path.c_str()) != 0) {
		::unlink(tmp.c_str());
		error = "cannot store " + path + ": " + strerror(errno);
		return false;
	}
	return true;
}

}  // namespace

ClipBank::~ClipBank()
{
	if (fd_ >= 0)
		__real_close(fd_);
}

std::unique_ptr<ClipBank> ClipBank::open(const std::string& clip, const ClipBankKey& key, std::string& error,
                                         const std::function<void(size_t, size_t)>& progress)
{
	uint64_t hash = 0x7061747465726e31ULL;  // the pattern's: "pattern1"
	if (clip != kPatternName && !content_hash(clip, hash)) {
		error = "cannot read " + clip + ": " + strerror(errno);
		return nullptr;
	}
	if (key.width <= 0 || key.height <= 0 || key.rate_n <= 0 || key.rate_d <= 0) {
		error = "no raster or rate to convert " + clip + " to";
		return nullptr;
	}
	const std::string dir = clip_cache_dir();
	mkdir(dir.substr(0, dir.rfind('/')).c_str(), 0755);  // ~/.cache on a fresh account
	mkdir(dir.c_str(), 0755);
	char name[160];
	snprintf(name, sizeof(name), "/%016llx-%dx%d%s-%s%s-%d_%d-q%d.shq", static_cast<unsigned long long>(hash),
	         key.width, key.height, key.fields ? "f" : "", key.chroma_420 ? "420" : "422",
	         key.uv_swapped ? "s" : "", key.rate_n, key.rate_d, key.quantiser);
	std::unique_ptr<ClipBank> bank(new ClipBank);
	bank->path_ = dir + name;
	for (int attempt = 0; attempt < 2; ++attempt) {
		bank->fd_ = __real_open(bank->path_.c_str(), O_RDONLY | O_CLOEXEC);
		if (bank->fd_ >= 0) {
			struct stat st;
			uint8_t tail[12];
			bool ok = fstat(bank->fd_, &st) == 0 && st.st_size >= 12 + 16 &&
			          pread(bank->fd_, tail, sizeof(tail), st.st_size - 12) == 12 &&
			          (tail[8] | tail[9] << 8 | tail[10] << 16 | uint32_t(tail[11]) << 24) == kTag;
			const uint64_t count = ok ? get64(tail) : 0;
			const uint64_t index_bytes = (count + 1) * 8;
			ok = ok && count > 0 && index_bytes + 12 <= static_cast<uint64_t>(st.st_size);
			std::vector<uint8_t> raw(ok ? index_bytes : 0);
			ok = ok && pread(bank->fd_, raw.data(), raw.size(), st.st_size - 12 - static_cast<off_t>(index_bytes)) ==
			                   static_cast<ssize_t>(raw.size());
			for (uint64_t k = 0; ok && k <= count; ++k) {
				bank->offsets_.push_back(get64(raw.data() + 8 * k));
				ok = k == 0 ? bank->offsets_[0] == 0 : bank->offsets_[k] > bank->offsets_[k - 1];
				if (ok && k > 0)
					bank->largest_ = std::max<size_t>(bank->largest_, bank->offsets_[k] - bank->offsets_[k - 1]);
			}
			ok = ok && bank->offsets_.back() + index_bytes + 12 == static_cast<uint64_t>(st.st_size);
			if (ok)
				return bank;
			// A damaged cache file is made again.
			__real_close(bank->fd_);
			bank->fd_ = -1;
			bank->offsets_.clear();
			bank->largest_ = 0;
			::unlink(bank->path_.c_str());
		}
		if (attempt == 0 && !make_bank(clip, key, bank->path_, error, progress))
			return nullptr;
	}
	error = "cannot read the cache file " + bank->path_;
	return nullptr;
}

bool ClipBank::read(size_t index, std::vector<uint8_t>& out) const
{
	if (index >= count())
		return false;
	out.resize(size_of(index));
	return pread(fd_, out.data(), out.size(), static_cast<off_t>(offsets_[index])) == static_cast<ssize_t>(out.size());
}

std::string clip_cache_dir()
{
	if (const char* dir = getenv("VEXO_PICTURE_CACHE"); dir != nullptr && dir[0] != '\0')
		return dir;
	if (const char* xdg = getenv("XDG_CACHE_HOME"); xdg != nullptr && xdg[0] == '/')
		return std::string(xdg) + "/vexoenc-sim";
	const char* home = getenv("HOME");
	return std::string(home != nullptr && home[0] == '/' ? home : "/tmp") + "/.cache/vexoenc-sim";
}

}  // namespace sim
