// Fuzz target: the VISCA engine reading the camera's answers. The camera line is a model in
// this process (the engine's read, write, ioctl and nanosleep on it are redirected), with a
// clock that moves by the engine's own 1 ms pauses, so answers can come late, in pieces, too
// long, without a terminator, or as garbage, and a late answer meets the next exchange.
// The input is a script of steps:
//   0x00-0x3F  an exchange: bit 0 set an inquiry (the video format), clear a command from
//              the slot (byte >> 1) % 15, executed as the exec thread does; at most six
//              exchanges an input
//   0x40-0xFF  an answer piece: arrives (byte & 0x3F) * 4 ms after now; the next byte is its
//              length (at most 31), then its bytes
#include <algorithm>
#include <deque>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "visca.h"

extern "C" {
ssize_t __real_read(int fd, void* buf, size_t count);
ssize_t __real_write(int fd, const void* buf, size_t count);
int __real_ioctl(int fd, unsigned long request, void* arg);
int __real_nanosleep(const timespec* req, timespec* rem);
}

namespace {

struct Piece {
	long due_ms;
	std::vector<uint8_t> bytes;
};

struct Line {
	int fd = -1;           // a reserved descriptor number that stands for the camera line
	bool active = false;   // redirect only while an input runs
	long now_ms = 0;
	std::deque<Piece> pending;
	std::deque<uint8_t> rx;  // arrived, not yet read by the engine
	size_t written = 0;
};

Line line;

void arrive()
{
	while (!line.pending.empty() && line.pending.front().due_ms <= line.now_ms) {
		line.rx.insert(line.rx.end(), line.pending.front().bytes.begin(), line.pending.front().bytes.end());
		line.pending.pop_front();
	}
}

void check(bool ok)
{
	if (!ok)
		__builtin_trap();
}

}  // namespace

extern "C" ssize_t __wrap_read(int fd, void* buf, size_t count)
{
	if (!line.active || fd != line.fd)
		return __real_read(fd, buf, count);
	size_t n = std::min(count, line.rx.size());
	std::copy_n(line.rx.begin(), n, static_cast<uint8_t*>(buf));
	line.rx.erase(line.rx.begin(), line.rx.begin() + static_cast<long>(n));
	if (n == 0) {
		errno = EAGAIN;
		return -1;
	}
	return static_cast<ssize_t>(n);
}

extern "C" ssize_t __wrap_write(int fd, const void* buf, size_t count)
{
	if (!line.active || fd != line.fd)
		return __real_write(fd, buf, count);
	check(count <= 16);  // the engine never sends more than one packet
	line.written += count;
	return static_cast<ssize_t>(count);
}

extern "C" int __wrap_ioctl(int fd, unsigned long request, ...)
{
	va_list args;
	va_start(args, request);
	void* arg = va_arg(args, void*);
	va_end(args);
	if (!line.active || fd != line.fd)
		return __real_ioctl(fd, request, arg);
	if (request != FIONREAD) {
		errno = ENOTTY;
		return -1;
	}
	*static_cast<int*>(arg) = static_cast<int>(line.rx.size());
	return 0;
}

extern "C" int __wrap_nanosleep(const timespec* req, timespec* rem)
{
	if (!line.active)
		return __real_nanosleep(req, rem);
	line.now_ms += req->tv_sec * 1000 + std::max(1L, req->tv_nsec / 1000000);
	arrive();
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
	static visca* engine = [] {
		visca* v = new visca;  // lives for the whole run
		line.fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
		v->cam_fd = line.fd;
		return v;
	}();
	visca_command* const slots[] = {
		&engine->cam_pt_dir_move_command[0], &engine->cam_pt_stop_command[0], &engine->cam_zoom_direct[0],
		&engine->cam_zoom_speed[0], &engine->cam_zoom_stop[0], &engine->cam_preset_call_rst_recall[0],
		&engine->cam_focus_mode[0], &engine->cam_focus_near_far_speed[0], &engine->cam_focus_stop[0],
		&engine->cam_wb_mode[0], &engine->cam_wb_rg_dir[0], &engine->cam_wb_bg_dir[0],
		&engine->cam_exposure_mode[0], &engine->cam_exposure_iris_dir[0], &engine->cam_exposure_shut_dir[0],
	};
	engine->init_visca_command();
	const int fd = line.fd;
	line = Line();
	line.fd = fd;
	line.active = true;

	// A few exchanges are enough to meet every answer; more would only repeat time-outs.
	const int kMaxExchanges = 6;
	int exchanges = 0;
	for (size_t i = 0; i < size && exchanges < kMaxExchanges;) {
		const uint8_t step = data[i++];
		if (step >= 0x40) {
			size_t length = 0;
			if (i < size) {
				length = data[i] & 0x1F;
				++i;
				length = std::min(length, size - i);
			}
			long due = line.now_ms + (step & 0x3F) * 4;
			auto at = line.pending.begin();
			while (at != line.pending.end() && at->due_ms <= due)
				++at;
			line.pending.insert(at, Piece{due, std::vector<uint8_t>(data + i, data + i + length)});
			i += length;
			continue;
		}
		++exchanges;
		if (step & 1) {
			visca_inq_command& inq = engine->cam_vid_fmt_inq;
			inq.cmd_fill = true;
			engine->visca_exec_inq_cmd(inq);
			check(!inq.cmd_fill);
			if (inq.inq_fill) {
				// A held answer is one whole reply: address, answer, ..., terminator.
				check(inq.inq_length >= 3 && inq.inq_length <= 16);
				check(static_cast<uint8_t>(inq.inq[0]) == 0x90 && inq.inq[1] == 0x50);
				check(static_cast<uint8_t>(inq.inq[inq.inq_length - 1]) == 0xFF);
			} else {
				check(inq.inq_length == 0);
			}
		} else {
			visca_command& cmd = *slots[(step >> 1) % (sizeof slots / sizeof slots[0])];
			cmd.cmd_fill = true;
			engine->visca_exec_cmd(cmd);
			check(!cmd.cmd_fill && (cmd.ack || !cmd.comp));
		}
	}
	line.active = false;
	return 0;
}
