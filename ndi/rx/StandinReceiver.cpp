// Receiver side of the stand-in NDI runtime: finds sources and watches one.
#include "ndi_standin_rx.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "standin_paths.h"
#include "standin_wire.h"

namespace ndi_standin {

namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline)
{
	auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
	return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace


std::vector<SourceInfo> find_sources(const std::string& dir)
{
	std::vector<SourceInfo> found;
	for (const std::string& path : list_socket_paths(dir)) {
		Receiver rx;
		if (rx.open_path(path, 500))
			found.push_back(rx.source());
	}
	return found;
}

Receiver::~Receiver()
{
	close();
}

void Receiver::close()
{
	if (fd_ >= 0)
		::close(fd_);
	fd_ = -1;
	buf_.clear();
	start_ = 0;
	source_pending_ = false;
}

bool Receiver::open(const std::string& dir, const std::optional<std::string>& name, int timeout_ms)
{
	Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
	for (;;) {
		for (const std::string& path : list_socket_paths(dir)) {
			if (open_path(path, 500) && (!name || source_.name == *name))
				return true;
			close();
		}
		if (remaining_ms(deadline) == 0)
			return false;
		// Sources appear as socket files; looking again every 100 ms is quick enough.
		poll(nullptr, 0, std::min(100, remaining_ms(deadline)));
	}
}

bool Receiver::open_path(const std::string& path, int timeout_ms)
{
	int fd = connect_socket(path);
	if (fd < 0) {
		close();
		return false;
	}
	return open_fd(fd, path, timeout_ms);
}

bool Receiver::open_fd(int fd, const std::string& path, int timeout_ms)
{
	close();
	eof_ = false;
	fd_ = fd;
	RxEvent ev = next(timeout_ms);
	if (ev.kind != RxEvent::Kind::Source) {
		close();
		return false;
	}
	source_ = ev.source;
	source_.path = path;
	source_pending_ = true;
	return true;
}

bool Receiver::set_tally(bool program, bool preview)
{
	if (fd_ < 0)
		return false;
	MessageWriter w(kMsgTally);
	w.u8(program ? 1 : 0);
	w.u8(preview ? 1 : 0);
	std::vector<uint8_t> m = w.finish();
	return send_all(fd_, m.data(), m.size());
}

bool Receiver::send_metadata(const std::string& text)
{
	if (fd_ < 0)
		return false;
	MessageWriter w(kMsgRxMetadata);
	w.i64(NDIlib_send_timecode_synthesize);
	w.str(text);
	std::vector<uint8_t> m = w.finish();
	return send_all(fd_, m.data(), m.size());
}

bool Receiver::fill(int timeout_ms)
{
	pollfd p{fd_, POLLIN, 0};
	int n;
	do {
		n = poll(&p, 1, timeout_ms);
	} while (n < 0 && errno == EINTR);
	if (n < 0)
		eof_ = true;  // the descriptor itself is unusable
	if (n <= 0)
		return n < 0;
	if (start_ > 0 && start_ >= buf_.size() / 2) {
		buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(start_));
		start_ = 0;
	}
	uint8_t chunk[65536];
	ssize_t r;
	do {
		r = ::recv(fd_, chunk, sizeof(chunk), 0);
	} while (r < 0 && errno == EINTR);
	if (r <= 0)
		eof_ = true;
	else
		buf_.insert(buf_.end(), chunk, chunk + r);
	return true;
}

RxEvent Receiver::next(int timeout_ms)
{
	RxEvent ev;
	if (source_pending_) {
		source_pending_ = false;
		ev.kind = RxEvent::Kind::Source;
		ev.source = source_;
		return ev;
	}
	if (fd_ < 0)
		return ev;
	Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
	for (;;) {
		size_t avail = buf_.size() - start_;
		if (avail >= kHeaderSize) {
			const uint8_t* h = buf_.data() + start_;
			uint32_t type = load_u32(h);
			uint32_t len = load_u32(h + 4);
			if (len > kMaxBodyFromSender) {
				close();
				ev.kind = RxEvent::Kind::Disconnected;
				return ev;
			}
			if (avail >= kHeaderSize + len) {
				MessageReader r(h + kHeaderSize, len);
				start_ += kHeaderSize + len;
				bool known = true;
				switch (type) {
				case kMsgHello:
					ev.kind = RxEvent::Kind::Source;
					r.u32();  // protocol version; later versions only add messages
					ev.source.name = r.str();
					ev.source.groups = r.opt_str();
					ev.source.config = r.opt_str();
					break;
				case kMsgConnectionMeta:
					ev.kind = RxEvent::Kind::ConnectionMetadata;
					ev.text = r.str();
					break;
				case kMsgMetadata:
					ev.kind = RxEvent::Kind::Metadata;
					ev.timecode = r.i64();
					ev.text = r.str();
					break;
				case kMsgFailover:
					ev.kind = RxEvent::Kind::Failover;
					ev.text = r.str();
					break;
				case kMsgDropped:
					ev.kind = RxEvent::Kind::Dropped;
					for (uint32_t& n : ev.dropped)
						n = r.u32();
					break;
				case kMsgVideo: {
					ev.kind = RxEvent::Kind::Video;
					VideoFrame& v = ev.video;
					v.stream = r.u8();
					v.xres = r.i32();
					v.yres = r.i32();
					v.fourcc = r.u32();
					v.frame_rate_n = r.i32();
					v.frame_rate_d = r.i32();
					v.aspect = r.f32();
					v.format = r.i32();
					v.timecode = r.i64();
					v.timestamp = r.i64();
					v.line_stride_or_size = r.i32();
					v.metadata = r.opt_str();
					uint32_t size = r.u32();
					if (const uint8_t* d = r.bytes(size))
						v.data.assign(d, d + size);
					break;
				}
				case kMsgAudio: {
					ev.kind = RxEvent::Kind::Audio;
					AudioFrame& a = ev.audio;
					a.sample_rate = r.i32();
					a.channels = r.i32();
					a.samples = r.i32();
					a.timecode = r.i64();
					uint32_t count = r.u32();
					if (count <= r.remaining() / 4) {
						a.data.resize(count);
						for (uint32_t i = 0; i < count; ++i)
							a.data[i] = r.f32();
					} else {
						r.bytes(r.remaining() + 1);  // marks the message broken
					}
					break;
				}
				default:
					known = false;  // from a newer sender: skipped
				}
				if (r.failed()) {
					close();
					ev = RxEvent();
					ev.kind = RxEvent::Kind::Disconnected;
					return ev;
				}
				if (known)
					return ev;
				continue;
			}
		}
		if (eof_) {
			close();
			ev.kind = RxEvent::Kind::Disconnected;
			return ev;
		}
		int wait = timeout_ms < 0 ? -1 : remaining_ms(deadline);
		if (!fill(wait) && timeout_ms >= 0 && remaining_ms(deadline) == 0)
			return ev;
	}
}

}  // namespace ndi_standin
