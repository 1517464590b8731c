// Test helpers for camera control: a scripted VISCA camera on a pseudo-terminal, a private
// sysroot that points /dev/ttyPS1 at it, and a private network namespace.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <poll.h>
#include <sched.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <net/if.h>
#include <sys/ioctl.h>

#include "test_support.h"

extern "C" {
ssize_t __real_read(int fd, void* buf, size_t count);
ssize_t __real_write(int fd, const void* buf, size_t count);
int __real_close(int fd);
int __real_ioctl(int fd, unsigned long request, ...);
}

namespace visca_test {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

using testcommon::hex;

inline std::string hex(const char* data, int length)
{
	return hex(Bytes(reinterpret_cast<const uint8_t*>(data), reinterpret_cast<const uint8_t*>(data) + length));
}

// One answer of the scripted camera: written `delay_ms` after the previous one (or after
// the packet that caused it).
struct Answer {
	int delay_ms;
	Bytes bytes;
};

inline std::vector<Answer> ack_and_completion() { return {{0, {0x90, 0x41, 0xFF}}, {2, {0x90, 0x51, 0xFF}}}; }

// A VISCA camera whose answers a test scripts packet by packet. It owns a pseudo-terminal
// and a temporary sysroot whose dev/ttyPS1 links to the slave, and sets VEXO_SYSROOT to it
// for its lifetime. The script runs on the camera's own thread.
class ScriptedCamera {
public:
	// `n` counts the packets received so far, from 0.
	using Script = std::function<std::vector<Answer>(const Bytes& packet, int n)>;

	struct Packet {
		Bytes bytes;
		Clock::time_point at;
	};

	ScriptedCamera()
	{
		root_ = sysroot_.path();
		master_ = posix_openpt(O_RDWR | O_NOCTTY);
		grantpt(master_);
		unlockpt(master_);
		slave_ = ptsname(master_);
		symlink(slave_.c_str(), (root_ + "/dev/ttyPS1").c_str());
		script_ = [](const Bytes&, int) { return ack_and_completion(); };
		thread_ = std::thread(&ScriptedCamera::run, this);
	}

	~ScriptedCamera()
	{
		running_ = false;
		thread_.join();
		__real_close(master_);
	}

	void set_script(Script script)
	{
		std::lock_guard<std::mutex> lock(mutex_);
		script_ = std::move(script);
	}

	bool wait_packets(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(3))
	{
		std::unique_lock<std::mutex> lock(mutex_);
		return cv_.wait_for(lock, testcommon::scaled(timeout), [&] { return packets_.size() >= n; });
	}

	std::vector<Packet> packets()
	{
		std::lock_guard<std::mutex> lock(mutex_);
		return packets_;
	}

	std::vector<std::string> packet_hex()
	{
		std::vector<std::string> out;
		for (const Packet& p : packets())
			out.push_back(hex(p.bytes));
		return out;
	}

	void clear()
	{
		std::lock_guard<std::mutex> lock(mutex_);
		packets_.clear();
	}

	termios line()
	{
		termios t = {};
		tcgetattr(master_, &t);
		return t;
	}

	void write_file(const std::string& rel, const std::string& text)
	{
		FILE* f = fopen((root_ + "/" + rel).c_str(), "w");
		fputs(text.c_str(), f);
		fclose(f);
	}

	const std::string& root() const { return root_; }

private:
	void run()
	{
		Bytes rx;
		uint8_t buf[256];
		while (running_) {
			pollfd pfd = {master_, POLLIN, 0};
			int ready = poll(&pfd, 1, 10);
			if (ready <= 0)
				continue;
			if (!(pfd.revents & POLLIN)) {
				std::this_thread::sleep_for(std::chrono::milliseconds(5));  // slave closed
				continue;
			}
			ssize_t got = __real_read(master_, buf, sizeof buf);
			if (got <= 0) {
				std::this_thread::sleep_for(std::chrono::milliseconds(5));
				continue;
			}
			for (ssize_t i = 0; i < got; ++i) {
				rx.push_back(buf[i]);
				if (buf[i] != 0xFF)
					continue;
				std::vector<Answer> answers;
				{
					std::lock_guard<std::mutex> lock(mutex_);
					packets_.push_back({rx, Clock::now()});
					answers = script_(rx, static_cast<int>(packets_.size()) - 1);
				}
				cv_.notify_all();
				rx.clear();
				for (const Answer& a : answers) {
					if (a.delay_ms > 0)
						std::this_thread::sleep_for(std::chrono::milliseconds(a.delay_ms));
					ssize_t put = __real_write(master_, a.bytes.data(), a.bytes.size());
					(void)put;
				}
			}
		}
	}

	testcommon::TempSysroot sysroot_{{"dev", "etc"}, "vexo_cam"};
	std::string root_;
	std::string slave_;
	int master_ = -1;
	std::thread thread_;
	std::atomic<bool> running_{true};
	std::mutex mutex_;
	std::condition_variable cv_;
	std::vector<Packet> packets_;
	Script script_;
};

// Port 52381 is shared by everything on the machine: tests that bind it run in a network
// namespace of their own with only lo, brought up. False when no namespace can be made.
inline bool enter_private_netns()
{
	if (unshare(CLONE_NEWNET) != 0)
		return false;
	int s = socket(AF_INET, SOCK_DGRAM, 0);
	if (s < 0)
		return false;
	ifreq ifr = {};
	strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
	bool up = __real_ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
	ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
	up = up && __real_ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
	__real_close(s);
	return up;
}

}  // namespace visca_test
