// Test helpers for camera control: the virtual appliance's camera with scripted answers, a
// private sysroot that points /dev/ttyPS1 at it, and a private network namespace.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <sched.h>
#include <stdint.h>
#include <string.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include <net/if.h>
#include <sys/ioctl.h>

#include "camera_model.h"
#include "hex_bytes.h"
#include "test_support.h"
#include "visca.h"

extern "C" {
int __real_close(int fd);
int __real_ioctl(int fd, unsigned long request, ...);
}

namespace visca_test {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using Answer = sim::CameraModel::Reply;

inline std::vector<Answer> ack_and_completion() { return {{0, {0x90, 0x41, 0xFF}}, {2, {0x90, 0x51, 0xFF}}}; }

// A command queued and executed by the engine `v`.
inline visca_command executed(visca& v, int bytes, int type, int id, uint64_t prefil)
{
	visca_command c;
	v.create_command(c, bytes, type, id, prefil);
	c.cmd_fill = true;
	v.visca_exec_cmd(c);
	return c;
}

// The virtual appliance's camera, with a log of the packets it received and answers a test
// may script packet by packet; until then it answers as a camera does. It owns a temporary
// sysroot whose dev/ttyPS1 links to its port, and sets VEXO_SYSROOT to it for its lifetime.
// The script runs on the camera's own thread.
class ScriptedCamera {
public:
	// `n` counts the packets received since the last clear(), from 0.
	using Script = std::function<std::vector<Answer>(const Bytes& packet, int n)>;

	struct Packet {
		Bytes bytes;
		Clock::time_point at;
	};

	ScriptedCamera()
	{
		camera_.start([this](const Bytes& packet, int) -> sim::CameraModel::Replies {
			std::lock_guard<std::mutex> lock(mutex_);
			packets_.push_back({packet, Clock::now()});
			cv_.notify_all();
			if (!script_)
				return std::nullopt;
			return script_(packet, static_cast<int>(packets_.size()) - 1);
		});
		symlink(camera_.slave_path().c_str(), sysroot_.path("dev/ttyPS1").c_str());
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
			out.push_back(sim::hex_bytes(p.bytes.data(), p.bytes.size()));
		return out;
	}

	void clear()
	{
		std::lock_guard<std::mutex> lock(mutex_);
		packets_.clear();
	}

	termios line() const { return camera_.line(); }

	void write_file(const std::string& rel, const std::string& text) { testcommon::write_file(sysroot_.path(rel), text); }

	const std::string& root() const { return sysroot_.path(); }

private:
	testcommon::TempSysroot sysroot_{{"dev", "etc"}, "vexo_cam"};
	std::mutex mutex_;
	std::condition_variable cv_;
	std::vector<Packet> packets_;
	Script script_;
	sim::CameraModel camera_;  // last: its thread stops first
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
