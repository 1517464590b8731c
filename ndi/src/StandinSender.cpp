// One stand-in NDI sender: a listening Unix socket, its receivers and the sender-side state.
#include "StandinSender.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <cmath>
#include <system_error>

#include <nlohmann/json.hpp>

#include "standin_paths.h"

namespace ndi_standin {

namespace {

int64_t now_100ns()
{
	using namespace std::chrono;
	return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
}

int64_t stamp(int64_t timecode)
{
	return timecode == NDIlib_send_timecode_synthesize ? now_100ns() : timecode;
}

bool is_speedhq(uint32_t fourcc)
{
	// "SHQ" or "shq" followed by a digit.
	char c0 = static_cast<char>(fourcc & 0xFF), c1 = static_cast<char>(fourcc >> 8 & 0xFF),
	     c2 = static_cast<char>(fourcc >> 16 & 0xFF), c3 = static_cast<char>(fourcc >> 24 & 0xFF);
	return ((c0 == 'S' && c1 == 'H' && c2 == 'Q') || (c0 == 's' && c1 == 'h' && c2 == 'q')) && c3 >= '0' &&
	       c3 <= '9';
}

}  // namespace

int stream_of(NDIlib_FourCC_video_type_e fourcc)
{
	switch (fourcc) {
	case NDIlib_FourCC_video_type_ex_SHQ0_lowest_bandwidth:
	case NDIlib_FourCC_video_type_ex_SHQ2_lowest_bandwidth:
	case NDIlib_FourCC_video_type_ex_SHQ7_lowest_bandwidth:
		return 1;
	default:
		return 0;
	}
}

size_t video_data_size(const NDIlib_video_frame_v2_t& f)
{
	if (f.p_data == nullptr)
		return 0;
	if (is_speedhq(static_cast<uint32_t>(f.FourCC)))
		return f.data_size_in_bytes > 0 ? static_cast<size_t>(f.data_size_in_bytes) : 0;
	if (f.xres <= 0 || f.yres <= 0)
		return 0;
	size_t x = static_cast<size_t>(f.xres), y = static_cast<size_t>(f.yres);
	size_t stride = f.line_stride_in_bytes > 0 ? static_cast<size_t>(f.line_stride_in_bytes) : 0;
	switch (f.FourCC) {
	case NDIlib_FourCC_video_type_UYVY:
		return (stride ? stride : 2 * x) * y;
	case NDIlib_FourCC_video_type_UYVA:
		return (stride ? stride : 2 * x) * y + x * y;
	case NDIlib_FourCC_video_type_P216:
		return (stride ? stride : 2 * x) * y * 2;
	case NDIlib_FourCC_video_type_PA16:
		return (stride ? stride : 2 * x) * y * 3;
	case NDIlib_FourCC_video_type_YV12:
	case NDIlib_FourCC_video_type_I420:
	case NDIlib_FourCC_video_type_NV12:
		return (stride ? stride : x) * y * 3 / 2;
	default:  // BGRA, BGRX, RGBA, RGBX
		return (stride ? stride : 4 * x) * y;
	}
}

uint64_t frame_checksum(const NDIlib_video_frame_v2_t& f)
{
	// The description, the metadata text and the picture data, gathered into one string and
	// hashed. Data beyond kWhole is sampled: its first and last kEdge bytes and kSamples words
	// spread between. A buffer rewritten in place (another frame, a torn copy) differs in
	// nearly every sample, and a look costs microseconds instead of a pass over megabytes on
	// the caller's frame path.
	constexpr size_t kWhole = 16 << 10, kEdge = 1 << 10, kSamples = 32, kWord = 8;
	thread_local std::string bytes;
	bytes.clear();
	const int32_t description[] = {f.xres, f.yres, static_cast<int32_t>(f.FourCC), f.frame_rate_N, f.frame_rate_D,
	                               static_cast<int32_t>(f.frame_format_type), f.line_stride_in_bytes};
	bytes.append(reinterpret_cast<const char*>(description), sizeof(description));
	bytes.append(reinterpret_cast<const char*>(&f.picture_aspect_ratio), sizeof(f.picture_aspect_ratio));
	if (f.p_metadata != nullptr)
		bytes.append(f.p_metadata).push_back('\0');
	const char* data = reinterpret_cast<const char*>(f.p_data);
	const size_t size = video_data_size(f);
	if (size <= kWhole) {
		bytes.append(data, size);
	} else {
		bytes.append(data, kEdge);
		const size_t span = size - 2 * kEdge - kWord;
		for (size_t i = 0; i < kSamples; ++i)
			bytes.append(data + kEdge + span * i / kSamples, kWord);
		bytes.append(data + size - kEdge, kEdge);
	}
	return std::hash<std::string>{}(bytes);
}

int target_frame_size(const NDIlib_video_frame_v2_t& f)
{
	if (f.xres <= 0 || f.yres <= 0)
		return 0;
	// Bits per pixel of one compressed frame: 4:2:2 SpeedHQ at 1.25, 4:2:0 at three quarters
	// of that, 4:2:2:4 (with alpha) at one and a half times. The stream's data rate is this
	// size times the frame rate, so it grows with raster and rate alike.
	double bpp = 1.25;
	char c3 = static_cast<char>(static_cast<uint32_t>(f.FourCC) >> 24);
	if (is_speedhq(static_cast<uint32_t>(f.FourCC)) && c3 == '0')
		bpp = 1.25 * 0.75;
	else if (is_speedhq(static_cast<uint32_t>(f.FourCC)) && c3 == '7')
		bpp = 1.25 * 1.5;
	double bytes = std::ceil(static_cast<double>(f.xres) * f.yres * bpp / 8.0);
	return bytes > 2147483647.0 ? 2147483647 : static_cast<int>(bytes);
}

StandinSender::StandinSender(std::string name, std::optional<std::string> groups, std::optional<std::string> config)
	: name_(std::move(name)), groups_(std::move(groups)), config_(std::move(config))
{
	source_.p_ndi_name = name_.c_str();
	source_.p_url_address = nullptr;
}

StandinSender* StandinSender::create(const NDIlib_send_create_t* settings, const char* config)
{
	std::string name = settings != nullptr && settings->p_ndi_name != nullptr ? settings->p_ndi_name : "";
	std::optional<std::string> groups;
	if (settings != nullptr && settings->p_groups != nullptr)
		groups = settings->p_groups;
	std::optional<std::string> cfg;
	if (config != nullptr) {
		cfg = config;
		// NDI reads its settings from this text; a broken one is reported and left out.
		nlohmann::json parsed = nlohmann::json::parse(*cfg, nullptr, false);
		if (parsed.is_discarded())
			fprintf(stderr, "ndi-standin: configuration for source \"%s\" is not valid JSON; going on with defaults\n",
			        name.c_str());
		else if (!parsed.is_object())
			fprintf(stderr, "ndi-standin: configuration for source \"%s\" is not a JSON object; going on with defaults\n",
			        name.c_str());
	}

	std::unique_ptr<StandinSender> s(new StandinSender(name, groups, cfg));
	std::string dir = source_dir();
	if (!s->listen_on(dir))
		return nullptr;
	s->wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
	if (s->wake_fd_ < 0) {
		fprintf(stderr, "ndi-standin: eventfd: %s\n", strerror(errno));
		return nullptr;  // the destructor closes and unlinks the socket
	}
	// A system that cannot make the threads gives no sender, as a failed creation does; the
	// destructor joins a thread that did start.
	try {
		s->io_thread_ = std::thread(&StandinSender::io_loop, s.get());
		s->video_thread_ = std::thread(&StandinSender::video_worker, s.get());
	} catch (const std::system_error& e) {
		fprintf(stderr, "ndi-standin: cannot start the sender's threads: %s\n", e.what());
		return nullptr;
	}
	return s.release();
}

bool StandinSender::listen_on(const std::string& dir)
{
	if (!make_source_dir(dir)) {
		fprintf(stderr, "ndi-standin: cannot create source directory %s: %s\n", dir.c_str(), strerror(errno));
		return false;
	}
	for (int attempt = 0; attempt < 100; ++attempt) {
		std::string path = dir + "/" + socket_file_name(name_, dir, attempt);
		int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
		if (fd < 0) {
			fprintf(stderr, "ndi-standin: socket: %s\n", strerror(errno));
			return false;
		}
		sockaddr_un addr{};
		addr.sun_family = AF_UNIX;
		memcpy(addr.sun_path, path.c_str(), path.size() + 1);
		const sockaddr* sa = reinterpret_cast<const sockaddr*>(&addr);
		if (bind(fd, sa, sizeof(addr)) != 0) {
			int err = errno;
			if (err == EADDRINUSE) {
				// A socket file nobody listens on is left over from a sender that died;
				// a live one belongs to another source of the same name.
				int probe = connect_socket(path);
				if (probe >= 0) {
					::close(probe);
					::close(fd);
					continue;
				}
				unlink(path.c_str());
				err = bind(fd, sa, sizeof(addr)) == 0 ? 0 : errno;
			}
			if (err != 0) {
				fprintf(stderr, "ndi-standin: cannot bind %s: %s\n", path.c_str(), strerror(err));
				::close(fd);
				return false;
			}
		}
		if (listen(fd, 16) != 0) {
			fprintf(stderr, "ndi-standin: listen on %s: %s\n", path.c_str(), strerror(errno));
			::close(fd);
			unlink(path.c_str());
			return false;
		}
		listen_fd_ = fd;
		socket_path_ = path;
		return true;
	}
	fprintf(stderr, "ndi-standin: too many live sources named \"%s\"\n", name_.c_str());
	return false;
}

StandinSender::~StandinSender()
{
	// Frames handed over asynchronously still belong to this sender: send them first.
	if (video_thread_.joinable()) {
		{
			std::lock_guard<std::mutex> lk(async_mutex_);
			stop_worker_ = true;
		}
		async_work_cv_.notify_all();
		video_thread_.join();
	}
	{
		// Destruction releases the buffers still held (the worker has read them all by now).
		std::lock_guard<std::mutex> lk(async_mutex_);
		for (int s = 0; s < 2; ++s)
			release_held_locked(s, "the sender's destruction");
	}
	if (io_thread_.joinable()) {
		{
			std::lock_guard<std::mutex> lk(state_mutex_);
			if (failover_) {
				MessageWriter w(kMsgFailover);
				w.str(*failover_);
				Message msg = std::make_shared<const std::vector<uint8_t>>(w.finish());
				for (auto& rx : receivers_)
					enqueue(*rx, msg, false);
			}
			closing_ = true;
			close_deadline_ = Clock::now() + kCloseFlushTime;
		}
		wake();
		io_thread_.join();
	}
	for (auto& rx : receivers_)
		::close(rx->fd);
	receivers_.clear();
	if (listen_fd_ >= 0) {
		::close(listen_fd_);
		unlink(socket_path_.c_str());
	}
	if (wake_fd_ >= 0)
		::close(wake_fd_);
}

void StandinSender::wake()
{
	uint64_t one = 1;
	ssize_t r = ::write(wake_fd_, &one, sizeof(one));
	(void)r;  // a full counter already means "wake up"
}

StandinSender::Message StandinSender::hello_message() const
{
	MessageWriter w(kMsgHello);
	w.u32(kProtocolVersion);
	w.str(name_);
	w.opt_str(groups_ ? groups_->c_str() : nullptr);
	w.opt_str(config_ ? config_->c_str() : nullptr);
	return std::make_shared<const std::vector<uint8_t>>(w.finish());
}

StandinSender::Message StandinSender::video_message(const NDIlib_video_frame_v2_t& f, int stream)
{
	size_t size = video_data_size(f);
	if (size > kMaxBodyFromSender - 4096) {
		fprintf(stderr, "ndi-standin: video frame of %zu bytes is too large, not sent\n", size);
		return nullptr;
	}
	MessageWriter w(kMsgVideo, 64 + size);
	w.u8(static_cast<uint8_t>(stream));
	w.i32(f.xres);
	w.i32(f.yres);
	w.u32(static_cast<uint32_t>(f.FourCC));
	w.i32(f.frame_rate_N);
	w.i32(f.frame_rate_D);
	w.f32(f.picture_aspect_ratio);
	w.i32(static_cast<int32_t>(f.frame_format_type));
	w.i64(stamp(f.timecode));
	w.i64(now_100ns());
	w.i32(f.line_stride_in_bytes);
	w.opt_str(f.p_metadata);
	w.u32(static_cast<uint32_t>(size));
	w.bytes(f.p_data, size);
	return std::make_shared<const std::vector<uint8_t>>(w.finish());
}

void StandinSender::enqueue(Receiver& rx, const Message& msg, bool media)
{
	rx.out.push_back({msg, media});
	if (!media)
		return;
	rx.media_bytes += msg->size();
	rx.media_count += 1;
	// Drop the oldest media message that has not started to go out, never the newest one:
	// a receiver that does not keep up loses frames instead of holding the sender back.
	while (rx.media_count > 1 && (rx.media_bytes > kMaxQueuedMediaBytes || rx.media_count > kMaxQueuedMediaMessages)) {
		auto it = rx.out.begin();
		if (rx.sent > 0)
			++it;
		while (it != rx.out.end() && !it->media)
			++it;
		if (it == rx.out.end() || it->msg == msg)
			break;
		rx.media_bytes -= it->msg->size();
		rx.media_count -= 1;
		const std::vector<uint8_t>& dropped = *it->msg;
		const uint32_t type = load_u32(dropped.data());
		++rx.dropped[type == kMsgVideo ? (dropped[kHeaderSize] == 1 ? 1 : 0) : type == kMsgAudio ? 2 : 3];
		rx.out.erase(it);
		post_drop_notice(rx);
	}
}

// Tells the receiver what it has lost so far. At most one notice waits in its queue: one not
// yet started takes the new counts.
void StandinSender::post_drop_notice(Receiver& rx)
{
	MessageWriter w(kMsgDropped);
	for (uint32_t n : rx.dropped)
		w.u32(n);
	Message notice = std::make_shared<const std::vector<uint8_t>>(w.finish());
	for (auto it = rx.out.begin() + (rx.sent > 0 ? 1 : 0); it != rx.out.end(); ++it) {
		if (!it->media && load_u32(it->msg->data()) == kMsgDropped) {
			it->msg = notice;
			return;
		}
	}
	rx.out.push_back({notice, false});
}

void StandinSender::broadcast(const Message& msg, bool media)
{
	if (!msg)
		return;
	{
		std::lock_guard<std::mutex> lk(state_mutex_);
		if (receivers_.empty())
			return;
		for (auto& rx : receivers_)
			enqueue(*rx, msg, media);
	}
	wake();
}

void StandinSender::io_loop()
{
	std::vector<pollfd> fds;
	std::vector<Receiver*> polled;
	uint8_t drain[8];
	for (;;) {
		int timeout = -1;
		fds.clear();
		polled.clear();
		{
			std::lock_guard<std::mutex> lk(state_mutex_);
			if (closing_) {
				bool empty = std::all_of(receivers_.begin(), receivers_.end(),
				                         [](const std::unique_ptr<Receiver>& rx) { return rx->out.empty(); });
				auto left = std::chrono::duration_cast<std::chrono::milliseconds>(close_deadline_ - Clock::now());
				if (empty || left.count() <= 0)
					return;
				timeout = static_cast<int>(left.count()) + 1;
			}
			fds.push_back({wake_fd_, POLLIN, 0});
			fds.push_back({closing_ ? -1 : listen_fd_, POLLIN, 0});
			for (auto& rx : receivers_) {
				fds.push_back({rx->fd, static_cast<short>(POLLIN | (rx->out.empty() ? 0 : POLLOUT)), 0});
				polled.push_back(rx.get());
			}
		}
		int n = poll(fds.data(), fds.size(), timeout);
		if (n < 0 && errno != EINTR) {
			fprintf(stderr, "ndi-standin: poll: %s\n", strerror(errno));
			return;
		}
		if (n <= 0)
			continue;
		if (fds[0].revents & POLLIN) {
			ssize_t r = ::read(wake_fd_, drain, sizeof(drain));
			(void)r;
		}
		if (fds[1].revents & POLLIN)
			accept_receivers();

		std::lock_guard<std::mutex> lk(state_mutex_);
		bool lost = false;
		for (size_t i = 0; i < polled.size(); ++i) {
			Receiver& rx = *polled[i];
			short ev = fds[i + 2].revents;
			bool ok = true;
			if (ev & (POLLIN | POLLHUP | POLLERR))
				ok = read_receiver(rx);
			if (ok && !rx.out.empty())
				ok = write_receiver(rx);
			if (!ok) {
				// A receiver that went away while it was written to may have sent its last
				// messages (a metadata frame, its tally) since the poll: they are still taken.
				read_receiver(rx);
				::close(rx.fd);
				rx.fd = -1;
				lost = true;
			}
		}
		if (lost) {
			receivers_.erase(std::remove_if(receivers_.begin(), receivers_.end(),
			                                [](const std::unique_ptr<Receiver>& rx) { return rx->fd < 0; }),
			                 receivers_.end());
			update_tally_locked();
			connections_cv_.notify_all();
		}
	}
}

void StandinSender::accept_receivers()
{
	for (;;) {
		int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
		if (fd < 0)
			return;
		auto rx = std::make_unique<Receiver>();
		rx->fd = fd;
		std::lock_guard<std::mutex> lk(state_mutex_);
		enqueue(*rx, hello_message(), false);
		for (const std::string& text : connection_metadata_) {
			MessageWriter w(kMsgConnectionMeta);
			w.str(text);
			enqueue(*rx, std::make_shared<const std::vector<uint8_t>>(w.finish()), false);
		}
		receivers_.push_back(std::move(rx));
		connections_cv_.notify_all();
	}
}

bool StandinSender::read_receiver(Receiver& rx)
{
	uint8_t buf[16384];
	for (;;) {
		ssize_t r = ::recv(rx.fd, buf, sizeof(buf), MSG_DONTWAIT);
		if (r > 0) {
			rx.in.feed(buf, static_cast<size_t>(r));
			continue;
		}
		if (r < 0 && errno == EINTR)
			continue;
		bool open = r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
		uint32_t type;
		std::vector<uint8_t> body;
		while (rx.in.next(type, body))
			handle_message(rx, type, body);
		return open && !rx.in.broken();
	}
}

bool StandinSender::write_receiver(Receiver& rx)
{
	while (!rx.out.empty()) {
		const std::vector<uint8_t>& m = *rx.out.front().msg;
		ssize_t r = ::send(rx.fd, m.data() + rx.sent, m.size() - rx.sent, MSG_DONTWAIT | MSG_NOSIGNAL);
		if (r < 0 && errno == EINTR)
			continue;
		if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
			return true;
		if (r <= 0)
			return false;
		rx.sent += static_cast<size_t>(r);
		if (rx.sent < m.size())
			continue;
		if (rx.out.front().media) {
			rx.media_bytes -= m.size();
			rx.media_count -= 1;
		}
		rx.out.pop_front();
		rx.sent = 0;
	}
	return true;
}

void StandinSender::handle_message(Receiver& rx, uint32_t type, const std::vector<uint8_t>& body)
{
	MessageReader r(body.data(), body.size());
	if (type == kMsgTally) {
		bool program = r.u8() != 0;
		bool preview = r.u8() != 0;
		if (r.failed())
			return;
		rx.program = program;
		rx.preview = preview;
		update_tally_locked();
	} else if (type == kMsgRxMetadata) {
		int64_t timecode = r.i64();
		std::string text = r.str();
		if (r.failed())
			return;
		inbox_.emplace_back(timecode, std::move(text));
		while (inbox_.size() > kMaxInbox)
			inbox_.pop_front();
		inbox_cv_.notify_all();
	}
	// Anything else comes from a newer peer: ignored.
}

void StandinSender::update_tally_locked()
{
	NDIlib_tally_t t;
	for (auto& rx : receivers_) {
		t.on_program = t.on_program || rx->program;
		t.on_preview = t.on_preview || rx->preview;
	}
	if (t.on_program != tally_.on_program || t.on_preview != tally_.on_preview) {
		tally_ = t;
		tally_cv_.notify_all();
	}
}

bool StandinSender::get_tally(NDIlib_tally_t* tally, uint32_t timeout_ms)
{
	std::unique_lock<std::mutex> lk(state_mutex_);
	auto changed = [&] {
		return tally_.on_program != tally_reported_.on_program || tally_.on_preview != tally_reported_.on_preview;
	};
	bool result = tally_cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms), changed);
	tally_reported_ = tally_;
	if (tally != nullptr)
		*tally = tally_;
	return result;
}

NDIlib_frame_type_e StandinSender::capture(NDIlib_metadata_frame_t* frame, uint32_t timeout_ms)
{
	std::unique_lock<std::mutex> lk(state_mutex_);
	if (!inbox_cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] { return !inbox_.empty(); }))
		return NDIlib_frame_type_none;
	if (frame == nullptr)
		return NDIlib_frame_type_none;  // nowhere to put it: leave it for the next call
	std::pair<int64_t, std::string> item = std::move(inbox_.front());
	inbox_.pop_front();
	lk.unlock();
	char* text = static_cast<char*>(malloc(item.second.size() + 1));
	if (text == nullptr)
		return NDIlib_frame_type_error;
	memcpy(text, item.second.data(), item.second.size());
	text[item.second.size()] = '\0';
	frame->p_data = text;
	frame->length = static_cast<int>(item.second.size() + 1);  // NDI counts the terminator
	frame->timecode = item.first;
	return NDIlib_frame_type_metadata;
}

int StandinSender::connections(uint32_t timeout_ms)
{
	std::unique_lock<std::mutex> lk(state_mutex_);
	connections_cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] { return !receivers_.empty(); });
	return static_cast<int>(receivers_.size());
}

void StandinSender::add_connection_metadata(const char* text)
{
	if (text == nullptr)
		return;
	MessageWriter w(kMsgConnectionMeta);
	w.str(text);
	Message msg = std::make_shared<const std::vector<uint8_t>>(w.finish());
	{
		// Receivers already connected get it at once, later ones on connecting.
		std::lock_guard<std::mutex> lk(state_mutex_);
		connection_metadata_.emplace_back(text);
		for (auto& rx : receivers_)
			enqueue(*rx, msg, false);
	}
	wake();
}

void StandinSender::clear_connection_metadata()
{
	std::lock_guard<std::mutex> lk(state_mutex_);
	connection_metadata_.clear();
}

void StandinSender::set_failover(const char* name)
{
	std::lock_guard<std::mutex> lk(state_mutex_);
	if (name != nullptr)
		failover_ = name;
	else
		failover_.reset();
}

size_t StandinSender::modified_while_held()
{
	std::lock_guard<std::mutex> lk(async_mutex_);
	return modified_while_held_;
}

size_t StandinSender::queued_media_bytes()
{
	std::lock_guard<std::mutex> lk(state_mutex_);
	size_t total = 0;
	for (auto& rx : receivers_)
		total += rx->media_bytes;
	return total;
}

void StandinSender::send_metadata(const NDIlib_metadata_frame_t* frame)
{
	if (frame == nullptr || frame->p_data == nullptr)
		return;
	MessageWriter w(kMsgMetadata);
	w.i64(stamp(frame->timecode));
	// length 0 means a zero-terminated text; otherwise it counts the terminator too.
	size_t n = frame->length > 0 ? strnlen(frame->p_data, static_cast<size_t>(frame->length)) : strlen(frame->p_data);
	w.str(std::string(frame->p_data, n));
	// Lossy like audio and video, so a stalled receiver cannot make it pile up.
	broadcast(std::make_shared<const std::vector<uint8_t>>(w.finish()), true);
}

void StandinSender::send_audio(const NDIlib_audio_frame_interleaved_32f_t* f)
{
	if (f == nullptr || f->no_channels <= 0 || f->no_samples <= 0 || f->p_data == nullptr)
		return;
	uint64_t count = static_cast<uint64_t>(f->no_channels) * static_cast<uint64_t>(f->no_samples);
	if (count > (kMaxBodyFromSender - 64) / 4) {
		fprintf(stderr, "ndi-standin: audio frame of %llu samples is too large, not sent\n",
		        static_cast<unsigned long long>(count));
		return;
	}
	MessageWriter w(kMsgAudio, 32 + count * 4);
	w.i32(f->sample_rate);
	w.i32(f->no_channels);
	w.i32(f->no_samples);
	w.i64(stamp(f->timecode));
	w.u32(static_cast<uint32_t>(count));
	for (uint64_t i = 0; i < count; ++i)
		w.f32(f->p_data[i]);
	broadcast(std::make_shared<const std::vector<uint8_t>>(w.finish()), true);
}

void StandinSender::send_video(const NDIlib_video_frame_v2_t* frame)
{
	if (frame == nullptr)
		return;
	int stream = stream_of(frame->FourCC);
	flush_async(stream, "the next send on its stream");  // keep the stream in order
	broadcast(video_message(*frame, stream), true);
}

void StandinSender::wait_read(std::unique_lock<std::mutex>& lk, int stream)
{
	while (slots_[stream].pending) {
		slots_[stream].flush = true;
		async_work_cv_.notify_all();
		async_done_cv_.wait(lk);
	}
}

void StandinSender::flush_async(int stream, const char* releaser)
{
	std::unique_lock<std::mutex> lk(async_mutex_);
	for (int s = 0; s < 2; ++s) {
		if (stream >= 0 && s != stream)
			continue;
		wait_read(lk, s);
		release_held_locked(s, releaser);
	}
}

void StandinSender::release_held_locked(int stream, const char* releaser)
{
	// Under the lock: another thread's send releasing the same buffer cannot return (and
	// give it back to its caller) while it is still being read here.
	AsyncSlot& slot = slots_[stream];
	if (!slot.held)
		return;
	slot.held = false;
	if (frame_checksum(slot.frame) == slot.checksum)
		return;
	++modified_while_held_;
	const NDIlib_video_frame_v2_t& f = slot.frame;
	fprintf(stderr,
	        "ndi-standin: %s frame %llu (%dx%d %s) of source \"%s\" was modified while held: its buffer "
	        "changed after NDIlib_send_send_video_async_v2 and before %s returned\n",
	        stream == 0 ? "program" : "preview", static_cast<unsigned long long>(slot.sequence), f.xres, f.yres,
	        fourcc_text(static_cast<uint32_t>(f.FourCC)).c_str(), name_.c_str(), releaser);
}

void StandinSender::send_video_async(const NDIlib_video_frame_v2_t* frame)
{
	// A null frame waits until every buffer handed over before has been read, and releases them.
	if (frame == nullptr) {
		flush_async(-1, "a null send");
		return;
	}
	int stream = stream_of(frame->FourCC);
	// Taken while the caller is inside the call, so the buffer is surely as handed over.
	uint64_t checksum = frame_checksum(*frame);
	std::unique_lock<std::mutex> lk(async_mutex_);
	AsyncSlot& slot = slots_[stream];
	wait_read(lk, stream);
	release_held_locked(stream, "the next send on its stream");
	slot.frame = *frame;
	slot.pending = true;
	slot.flush = false;
	slot.due = Clock::now() + kAsyncReadDelay;
	slot.held = true;
	slot.checksum = checksum;
	slot.sequence += 1;
	async_work_cv_.notify_all();
}

void StandinSender::video_worker()
{
	std::unique_lock<std::mutex> lk(async_mutex_);
	for (;;) {
		Clock::time_point now = Clock::now();
		Clock::time_point earliest = Clock::time_point::max();
		int ready = -1;
		bool any_pending = false;
		for (int s = 0; s < 2; ++s) {
			if (!slots_[s].pending)
				continue;
			any_pending = true;
			if (slots_[s].flush || stop_worker_ || now >= slots_[s].due) {
				ready = s;
				break;
			}
			earliest = std::min(earliest, slots_[s].due);
		}
		if (ready >= 0) {
			NDIlib_video_frame_v2_t frame = slots_[ready].frame;
			lk.unlock();
			// The caller's buffer is read here, after NDIlib_send_send_video_async_v2 returned.
			Message msg = video_message(frame, ready);
			broadcast(msg, true);
			lk.lock();
			slots_[ready].pending = false;
			slots_[ready].flush = false;
			async_done_cv_.notify_all();
			continue;
		}
		if (stop_worker_ && !any_pending)
			return;
		if (earliest == Clock::time_point::max())
			async_work_cv_.wait(lk);
		else
			async_work_cv_.wait_until(lk, earliest);
	}
}

}  // namespace ndi_standin
