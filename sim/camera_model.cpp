// Serial PTZ camera model: a VISCA camera at address 1 behind a pseudo-terminal.
#include "camera_model.h"

#include <algorithm>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include "board.h"
#include "hex_bytes.h"
#include "real_io.h"

namespace sim {

namespace {

// A camera drops a packet that grows beyond this without its terminator.
const size_t kMaxPacket = 32;

int baud_of(speed_t speed)
{
	switch (speed) {
	case B1200: return 1200;
	case B2400: return 2400;
	case B4800: return 4800;
	case B9600: return 9600;
	case B19200: return 19200;
	case B38400: return 38400;
	case B57600: return 57600;
	case B115200: return 115200;
	case B230400: return 230400;
	default: return 9600;  // B0 or an odd speed: the slowest the camera supports.
	}
}

std::vector<uint8_t> nibbles(uint16_t v)
{
	return {static_cast<uint8_t>((v >> 12) & 0xF), static_cast<uint8_t>((v >> 8) & 0xF),
	        static_cast<uint8_t>((v >> 4) & 0xF), static_cast<uint8_t>(v & 0xF)};
}

}  // namespace

constexpr std::chrono::milliseconds CameraModel::kCompletionDelay;
constexpr std::chrono::milliseconds CameraModel::kSlowDelay;

CameraModel::CameraModel() = default;

CameraModel::~CameraModel()
{
	stop();
}

bool CameraModel::start(PacketHandler on_packet)
{
	if (running_)
		return true;
	master_ = posix_openpt(O_RDWR | O_NOCTTY);
	if (master_ < 0)
		return false;
	const char* name = nullptr;
	if (grantpt(master_) != 0 || unlockpt(master_) != 0 || (name = ptsname(master_)) == nullptr) {
		__real_close(master_);
		master_ = -1;
		return false;
	}
	slave_ = name;
	// Raw from the start, so nothing is echoed or cooked before the program sets the line up
	// (termios requests on the master act on the slave).
	termios raw = {};
	if (tcgetattr(master_, &raw) == 0) {
		cfmakeraw(&raw);
		cfsetispeed(&raw, B9600);
		cfsetospeed(&raw, B9600);
		tcsetattr(master_, TCSANOW, &raw);
	}
	on_packet_ = std::move(on_packet);
	line_free_ = Clock::now();
	running_ = true;
	thread_ = std::thread(&CameraModel::run, this);
	return true;
}

void CameraModel::stop()
{
	running_ = false;
	if (thread_.joinable())
		thread_.join();
	if (master_ >= 0) {
		__real_close(master_);
		master_ = -1;
	}
	slave_.clear();
}

bool CameraModel::set_mode(const std::string& word)
{
	static const struct {
		const char* word;
		Mode mode;
	} words[] = {{"normal", Mode::normal}, {"silent", Mode::silent},   {"ack-only", Mode::ack_only},
	             {"error", Mode::error},   {"garbage", Mode::garbage}, {"slow", Mode::slow}};
	for (const auto& w : words) {
		if (word == w.word) {
			mode_ = w.mode;
			return true;
		}
	}
	return false;
}

termios CameraModel::line() const
{
	termios t = {};  // B0 when unreadable
	tcgetattr(master_, &t);
	return t;
}

int CameraModel::baud() const
{
	const termios t = line();
	return baud_of(cfgetospeed(&t));
}

CameraModel::Clock::duration CameraModel::line_time(size_t bytes) const
{
	// 8N1: ten bit times per byte at the speed the program set on the slave.
	return std::chrono::microseconds(static_cast<int64_t>(bytes) * 10 * 1000000 / baud());
}

void CameraModel::schedule(Clock::time_point due, std::vector<uint8_t> bytes)
{
	// One line: an answer starts after the previous one has gone out, and is seen whole
	// once its last byte has been sent.
	Clock::time_point start = std::max(due, line_free_);
	line_free_ = start + line_time(bytes.size());
	pending_.push_back({line_free_, std::move(bytes)});
}

void CameraModel::run()
{
	uint8_t buf[256];
	while (running_) {
		Clock::time_point now = Clock::now();
		int timeout_ms = 20;
		if (!pending_.empty()) {
			auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(pending_.front().due - now);
			timeout_ms = static_cast<int>(std::clamp<int64_t>(wait.count(), 0, 20));
		}
		pollfd pfd = {master_, POLLIN, 0};
		int ready = poll(&pfd, 1, timeout_ms);
		if (ready > 0 && (pfd.revents & POLLIN)) {
			ssize_t got = __real_read(master_, buf, sizeof buf);
			for (ssize_t i = 0; i < got; ++i) {
				rx_.push_back(buf[i]);
				if (buf[i] == 0xFF || rx_.size() >= kMaxPacket) {
					on_packet(rx_);
					rx_.clear();
				}
			}
			if (got < 0)
				std::this_thread::sleep_for(std::chrono::milliseconds(10));
		} else if (ready > 0) {
			// POLLHUP: nobody has the slave open between two runs of the program's engine.
			rx_.clear();
			std::this_thread::sleep_for(std::chrono::milliseconds(10));
		}

		now = Clock::now();
		while (!pending_.empty() && pending_.front().due <= now) {
			const std::vector<uint8_t>& bytes = pending_.front().bytes;
			ssize_t put = __real_write(master_, bytes.data(), bytes.size());
			(void)put;  // With the slave closed the answer is lost, as on a real line.
			pending_.pop_front();
		}
	}
}

void CameraModel::on_packet(const std::vector<uint8_t>& packet)
{
	Replies replies = on_packet_ ? on_packet_(packet, baud()) : std::nullopt;
	Clock::time_point now = Clock::now();
	if (replies) {
		for (Reply& r : *replies)
			schedule(now += std::chrono::milliseconds(r.delay_ms), std::move(r.bytes));
		return;
	}
	Mode mode = mode_;
	if (mode == Mode::silent)
		return;
	// Only packets for address 1 (or the broadcast address) are ours.
	if (packet.empty() || (packet[0] != 0x81 && packet[0] != 0x88))
		return;
	if (mode == Mode::slow)
		now += kSlowDelay;
	if (mode == Mode::error) {
		schedule(now, {0x90, 0x60, 0x02, 0xFF});
		return;
	}
	if (mode == Mode::garbage) {
		std::vector<uint8_t> junk;
		for (int i = 0; i < 5; ++i) {
			garbage_seed_ = garbage_seed_ * 1103515245u + 12345u;
			junk.push_back(static_cast<uint8_t>((garbage_seed_ >> 16) & 0x7F));  // never 0x90
		}
		junk.push_back(0xFF);
		schedule(now, std::move(junk));
		return;
	}

	bool well_formed = packet.size() >= 4 && packet.size() <= 16 && packet.back() == 0xFF;
	if (well_formed && packet[1] == 0x01) {
		answer_command(packet, now, mode);
	} else if (well_formed && packet[1] == 0x09) {
		schedule(now, answer_inquiry(packet));
	} else {
		schedule(now, {0x90, 0x60, 0x02, 0xFF});  // syntax error
	}
}

void CameraModel::answer_command(const std::vector<uint8_t>& p, Clock::time_point now, Mode mode)
{
	// The camera takes the command into its state as it accepts it.
	if (p.size() == 6 && p[2] == 0x04 && p[3] == 0x00 && (p[4] == 0x02 || p[4] == 0x03))
		power_on_ = p[4] == 0x02;
	else if (p.size() == 9 && p[2] == 0x04 && p[3] == 0x47)
		zoom_position_ = static_cast<uint16_t>((p[4] & 0xF) << 12 | (p[5] & 0xF) << 8 | (p[6] & 0xF) << 4 | (p[7] & 0xF));
	else if (p.size() == 6 && p[2] == 0x04 && p[3] == 0x38 && (p[4] == 0x02 || p[4] == 0x03))
		focus_auto_ = p[4] == 0x02;
	else if (p.size() == 6 && p[2] == 0x04 && p[3] == 0x35)
		wb_mode_ = p[4];
	else if (p.size() == 6 && p[2] == 0x04 && p[3] == 0x39)
		ae_mode_ = p[4];

	schedule(now, {0x90, 0x41, 0xFF});
	if (mode != Mode::ack_only)
		schedule(now + kCompletionDelay, {0x90, 0x51, 0xFF});
}

std::vector<uint8_t> CameraModel::answer_inquiry(const std::vector<uint8_t>& p) const
{
	std::vector<uint8_t> answer = {0x90, 0x50};
	auto is = [&p](uint8_t category, uint8_t id) { return p.size() == 5 && p[2] == category && p[3] == id; };
	if (is(0x04, 0x00)) {
		answer.push_back(power_on_ ? 0x02 : 0x03);
	} else if (is(0x04, 0x47)) {
		for (uint8_t n : nibbles(zoom_position_))
			answer.push_back(n);
	} else if (is(0x04, 0x48)) {
		for (uint8_t n : nibbles(focus_position_))
			answer.push_back(n);
	} else if (is(0x04, 0x38)) {
		answer.push_back(focus_auto_ ? 0x02 : 0x03);
	} else if (is(0x04, 0x35)) {
		answer.push_back(wb_mode_);
	} else if (is(0x04, 0x39)) {
		answer.push_back(ae_mode_);
	} else if (is(0x00, 0x02)) {
		// Version: vendor, model, ROM revision, maximum socket number.
		for (uint8_t b : {0x00, 0x01, 0x05, 0x19, 0x01, 0x00, 0x02})
			answer.push_back(b);
	} else {
		answer.push_back(0x00);
	}
	answer.push_back(0xFF);
	return answer;
}

namespace {

// The installed camera. Reached through a pointer that is never deleted, because in
// vexoenc-sim the board uninstalls after every static destructor has run. `mutex` protects
// `model` between install/uninstall and the control file's watcher thread.
struct Installed {
	std::mutex mutex;
	std::unique_ptr<CameraModel> model;
};

Installed& installed()
{
	static Installed* state = new Installed;
	return *state;
}

// Makes a camera on a fresh pseudo-terminal and links dev/ttyPS1 to it; null on failure.
std::unique_ptr<CameraModel> plug_in(Board& board)
{
	std::unique_ptr<CameraModel> camera(new CameraModel);
	// The line speed is logged before the first packet that comes at a new speed.
	auto last_baud = std::make_shared<int>(0);
	bool started = camera->start([&board, last_baud](const std::vector<uint8_t>& packet, int baud) {
		if (baud != *last_baud) {
			*last_baud = baud;
			board.event("camera", {{"baud", baud}});
		}
		board.event("camera", {{"rx", hex_bytes(packet.data(), packet.size())}});
		return std::nullopt;
	});
	if (!started) {
		board.event("camera", {{"error", "no pseudo-terminal"}});
		return nullptr;
	}
	std::string link = board.path("dev/ttyPS1");
	unlink(link.c_str());
	if (symlink(camera->slave_path().c_str(), link.c_str()) != 0)
		board.event("camera", {{"error", "cannot link " + link}});
	return camera;
}

void install(Board& board)
{
	std::unique_ptr<CameraModel> camera = plug_in(board);
	if (!camera)
		return;
	{
		std::lock_guard<std::mutex> lock(installed().mutex);
		installed().model = std::move(camera);
	}
	// "unplugged" takes the camera and its port away: the pseudo-terminal's master closes, so
	// an open port reads and writes EIO, and dev/ttyPS1 is gone. Any other setting plugs a
	// camera in again on a new port first.
	board.add_control("camera", "normal", [&board](const std::string& line) {
		std::lock_guard<std::mutex> lock(installed().mutex);
		if (line == "unplugged") {
			if (installed().model) {
				installed().model->stop();
				installed().model.reset();
				unlink(board.path("dev/ttyPS1").c_str());
				board.event("camera", {{"port", "unplugged"}});
			}
			return;
		}
		CameraModel probe;  // checks the word before a camera is plugged in for it
		if (!probe.set_mode(line)) {
			board.event("board", {{"error", "camera: unknown setting " + line}});
			return;
		}
		CameraModel::Mode mode = probe.mode();
		if (!installed().model) {
			installed().model = plug_in(board);
			if (!installed().model)
				return;
			board.event("camera", {{"port", "plugged"}});
		}
		installed().model->set_mode(mode);
	});
}

void uninstall(Board& board)
{
	std::unique_ptr<CameraModel> camera;
	{
		std::lock_guard<std::mutex> lock(installed().mutex);
		camera = std::move(installed().model);
	}
	if (!camera)
		return;
	camera->stop();
	unlink(board.path("dev/ttyPS1").c_str());
}

}  // namespace

bool installed_camera_mode(CameraModel::Mode* mode)
{
	std::lock_guard<std::mutex> lock(installed().mutex);
	if (!installed().model)
		return false;
	*mode = installed().model->mode();
	return true;
}

namespace {

// After the board (constructor priority 101), before the program's own globals.
ModelRegistrar registrar __attribute__((init_priority(200)))({"camera", install, uninstall});

}  // namespace

}  // namespace sim
