// visca: the serial VISCA engine.
#include "visca.h"

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

#include "thread_start.h"
#include "vexo_path.h"

namespace {

// Every reply we accept comes from camera 1 (0x90) on socket 1.
const uint8_t kReplyAddress = 0x90;
const uint8_t kReplyAck = 0x41;
const uint8_t kReplyCompletion = 0x51;
const uint8_t kReplyAnswer = 0x50;
const uint8_t kTerminator = 0xFF;
const int kMaxPacket = 16;

void sleep_1ms()
{
	std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace

void visca_ndi_event::wait()
{
	// The flag is consumed here rather than cleared on entry, so a signal given between the
	// caller's test of its condition and this wait still wakes it.
	std::unique_lock<std::mutex> lock(m_mutex);
	m_condVar.wait(lock, [this] { return m_notified; });
	m_notified = false;
}

void visca_ndi_event::signal()
{
	std::lock_guard<std::mutex> lock(m_mutex);
	m_notified = true;
	m_condVar.notify_one();
}

visca::visca()
	: camSerial("/dev/ttyPS1"), camBr(B115200), cam_fd(-1), camAddress(1), exec_visca_Running(true)
{
}

visca::~visca()
{
	deinit_visca();
}

int visca::init_visca()
{
	if (exec_visca_thread.joinable())
		deinit_visca();

	// The port changes only under the line's lock: the VISCA over IP thread may be in the
	// middle of an exchange when the controller restarts the engine.
	std::unique_lock<std::mutex> line(visca_uart_mutex);
	std::string device = vexo_path(camSerial);
	cam_fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
	if (cam_fd < 0) {
		cam_fd = -1;
		printf("cannot open %s\n", camSerial);
		return 0;
	}
	printf("%s opened successfully\n", camSerial);
	// Blocking again: reads are issued only for bytes already waiting.
	fcntl(cam_fd, F_SETFL, 0);

	tcgetattr(cam_fd, &camOptions);
	camOptions.c_cflag &= ~(PARENB | CSTOPB | CSIZE | CRTSCTS);
	camOptions.c_cflag |= CS8 | CREAD | CLOCAL;
	camOptions.c_lflag &= ~(ICANON | ECHO | ECHOE | ISIG);
	camOptions.c_iflag = 0;
	camOptions.c_oflag &= ~OPOST;
	cfsetispeed(&camOptions, camBr);
	cfsetospeed(&camOptions, camBr);
	tcsetattr(cam_fd, TCSANOW, &camOptions);
	line.unlock();

	// Slots and indices are in place before any producer can start.
	init_visca_command();
	cap_cmd_index = 0;
	exe_cmd_index = 1;
	vid_fmt_switch = false;
	exec_visca_Running = true;
	start_thread(exec_visca_thread, "exec_visca", &visca::exec_visca, this);
	return 1;
}

void visca::deinit_visca()
{
	exec_visca_Running = false;
	// Wake an exec thread that sleeps on the event rather than wait for the producer's next
	// signal: the engine can then be stopped on its own as well.
	signal_m_visca_ndi_event();
	if (exec_visca_thread.joinable())
		exec_visca_thread.join();
	// Closed between exchanges, never under one: the VISCA over IP thread still runs, and a
	// descriptor closed during its exchange could be reused by the next open and written to.
	std::lock_guard<std::mutex> line(visca_uart_mutex);
	if (cam_fd != -1) {
		close(cam_fd);
		cam_fd = -1;
	}
}

// Writes 81 <kind> <type> <id> <cmd_bytes parameter bytes, most significant first> FF into
// `packet`; the parameter bytes are the low bytes of `prefil`. Returns the packet length.
static int build_packet(char* packet, int kind, int cmd_bytes, int cmd_type, int cmd_id, uint64_t prefil)
{
	cmd_bytes = std::clamp(cmd_bytes, 0, kMaxPacket - 5);
	packet[0] = static_cast<char>(0x81);
	packet[1] = static_cast<char>(kind);
	packet[2] = static_cast<char>(cmd_type & 0xFF);
	packet[3] = static_cast<char>(cmd_id & 0xFF);
	for (int i = 3 + cmd_bytes; i >= 4; --i) {
		packet[i] = static_cast<char>(prefil & 0xFF);
		prefil >>= 8;
	}
	packet[4 + cmd_bytes] = static_cast<char>(kTerminator);
	return cmd_bytes + 5;
}

void visca::create_command(visca_command& cmd, int cmd_bytes, int cmd_type, int cmd_id, uint64_t prefil)
{
	cmd.cmd_length = build_packet(cmd.cmd, 0x01, cmd_bytes, cmd_type, cmd_id, prefil);
	cmd.ack = false;
	cmd.comp = false;
	cmd.cmd_fill = false;
}

void visca::create_inqcommand(visca_inq_command& cmd, int cmd_bytes, int cmd_type, int cmd_id, uint64_t prefil,
                              int cmd_length_tot)
{
	cmd.cmd_length = build_packet(cmd.cmd, 0x09, cmd_bytes, cmd_type, cmd_id, prefil);
	cmd.inq_fill = false;
	cmd.cmd_length_tot = cmd_length_tot - 1;
}

void visca::init_visca_command()
{
	// Each buffer under its own lock: the exec thread rebuilds on exit while the PTZ thread
	// may still be writing.
	for (int i = 0; i < number_of_cmd; ++i) {
		std::lock_guard<std::mutex> lock(cam_mutex[i]);
		create_command(cam_pt_dir_move_command[i], 4, 0x06, 0x01, 0x01010101);
		create_command(cam_pt_stop_command[i], 4, 0x06, 0x01, 0x05050303);
		create_command(cam_zoom_direct[i], 4, 0x04, 0x47, 0x05050303);
		create_command(cam_zoom_speed[i], 1, 0x04, 0x07, 0);
		create_command(cam_zoom_stop[i], 1, 0x04, 0x07, 0);
		create_command(cam_preset_call_rst_recall[i], 2, 0x04, 0x3F, 0);
		create_command(cam_focus_mode[i], 1, 0x04, 0x38, 0);
		create_command(cam_focus_near_far_speed[i], 1, 0x04, 0x08, 0);
		create_command(cam_focus_stop[i], 1, 0x04, 0x08, 0);
		create_command(cam_wb_mode[i], 1, 0x04, 0x35, 0);
		create_command(cam_wb_rg_dir[i], 4, 0x04, 0x43, 0);
		create_command(cam_wb_bg_dir[i], 4, 0x04, 0x44, 0);
		create_command(cam_exposure_mode[i], 1, 0x04, 0x39, 0);
		create_command(cam_exposure_iris_dir[i], 4, 0x04, 0x4B, 0);
		create_command(cam_exposure_shut_dir[i], 4, 0x04, 0x4A, 0);
	}
}

void visca::visca_exec_cmd(visca_command& exec_cmd)
{
	std::lock_guard<std::mutex> lock(visca_uart_mutex);
	// A late reply to an earlier exchange must not be taken for this one.
	visca_cls_rx();
	size_t length = static_cast<size_t>(std::clamp(exec_cmd.cmd_length, 0, kMaxPacket));
	ssize_t written = write(cam_fd, exec_cmd.cmd, length);
	(void)written;  // A failed write shows up as a missing acknowledge.
	exec_cmd.cmd_fill = false;
	exec_cmd.ack = false;
	exec_cmd.comp = false;

	for (int attempt = 0; attempt < 2; ++attempt) {
		if (visca_wait_for_ack()) {
			exec_cmd.ack = true;
			if (visca_wait_for_cmp())
				exec_cmd.comp = true;
			return;
		}
		if (attempt == 0) {
			written = write(cam_fd, exec_cmd.cmd, length);
			(void)written;
		}
	}
}

void visca::visca_exec_inq_cmd(visca_inq_command& exec_cmd)
{
	std::lock_guard<std::mutex> lock(visca_uart_mutex);
	visca_cls_rx();
	size_t length = static_cast<size_t>(std::clamp(exec_cmd.cmd_length, 0, kMaxPacket));
	ssize_t written = write(cam_fd, exec_cmd.cmd, length);
	exec_cmd.cmd_fill = false;
	exec_cmd.inq_fill = false;
	exec_cmd.inq_length = 0;
	if (!visca_wait_for_res(exec_cmd)) {
		written = write(cam_fd, exec_cmd.cmd, length);
		visca_wait_for_res(exec_cmd);
	}
	(void)written;
}

bool visca::visca_wait_for_ack()
{
	return visca_wait_for_reply(kReplyAck, 100);
}

bool visca::visca_wait_for_cmp()
{
	return visca_wait_for_reply(kReplyCompletion, 200);
}

bool visca::visca_wait_for_reply(uint8_t reply_type, int timeout_ms)
{
	for (;;) {
		if (timeout_ms-- <= 0) {
			visca_cls_rx();
			return false;
		}
		int waiting = 0;
		if (ioctl(cam_fd, FIONREAD, &waiting) < 0 || waiting < 3) {
			sleep_1ms();
			continue;
		}
		uint8_t reply[3] = {};
		ssize_t got = read(cam_fd, reply, sizeof reply);
		if (got == 3 && reply[0] == kReplyAddress && reply[1] == reply_type && reply[2] == kTerminator)
			return true;
		// An error message, another socket or address, stray bytes: give up at once.
		visca_cls_rx();
		return false;
	}
}

bool visca::visca_wait_for_res(visca_inq_command& res_cmd)
{
	uint8_t answer[kMaxPacket] = {};
	int timeout_ms = 200;
	int idx = 0;
	for (;;) {
		if (timeout_ms-- <= 0) {
			visca_cls_rx();
			return false;
		}
		int waiting = 0;
		if (ioctl(cam_fd, FIONREAD, &waiting) < 0 || waiting <= 0) {
			sleep_1ms();
			continue;
		}
		uint8_t byte = 0;
		if (read(cam_fd, &byte, 1) != 1)
			continue;
		answer[idx] = byte;
		res_cmd.inq[idx] = static_cast<char>(byte);

		if (answer[0] == kReplyAddress && byte == kTerminator) {
			bool ok = idx >= 1 && answer[1] == kReplyAnswer;
			res_cmd.inq_fill = ok;
			res_cmd.inq_length = ok ? idx + 1 : 0;
			visca_cls_rx();
			return ok;
		}
		if (answer[0] != kReplyAddress) {
			visca_cls_rx();
			return false;
		}
		if (++idx == kMaxPacket) {
			// No terminator within the record: the answer cannot be held, so the inquiry fails.
			res_cmd.inq_fill = false;
			res_cmd.inq_length = 0;
			visca_cls_rx();
			return false;
		}
	}
}

void visca::visca_cls_rx()
{
	int waiting = 0;
	if (ioctl(cam_fd, FIONREAD, &waiting) < 0)
		return;
	// One pass over what is waiting now; bytes that arrive later stay.
	uint8_t scratch[256];
	while (waiting > 0) {
		size_t chunk = std::min(static_cast<size_t>(waiting), sizeof scratch);
		ssize_t got = read(cam_fd, scratch, chunk);
		if (got <= 0)
			break;
		waiting -= static_cast<int>(got);
	}
}

void visca::exec_visca()
{
	puts("exec_visca");
	while (exec_visca_Running) {
		if (!m_visca_ndi_event_cond)
			waitFor_m_visca_ndi_event();
		if (m_visca_ndi_event_cond) {
			switch_ndi_exebuff();
			exec_ndi_visca();
		}
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
	}
	// No queued command survives into the next start.
	init_visca_command();
}

void visca::switch_ndi_exebuff()
{
	// Only this thread moves the indices, so reading the capture index before locking is safe.
	int cap = cap_cmd_index;
	std::lock_guard<std::mutex> lock(cam_mutex[cap]);
	exe_cmd_index = cap;
	cap_cmd_index = (cap + 1) % number_of_cmd;
}

void visca::exec_ndi_visca()
{
	const int e = exe_cmd_index;
	visca_command* const slots[] = {
		&cam_pt_dir_move_command[e], &cam_pt_stop_command[e], &cam_zoom_direct[e],
		&cam_zoom_speed[e], &cam_zoom_stop[e], &cam_preset_call_rst_recall[e],
		&cam_focus_mode[e], &cam_focus_near_far_speed[e], &cam_focus_stop[e],
		&cam_wb_mode[e], &cam_wb_rg_dir[e], &cam_wb_bg_dir[e],
		&cam_exposure_mode[e], &cam_exposure_iris_dir[e], &cam_exposure_shut_dir[e],
	};
	for (visca_command* slot : slots) {
		if (slot->cmd_fill)
			visca_exec_cmd(*slot);
	}
}

void visca::waitFor_m_visca_ndi_event()
{
	m_visca_ndi_event.wait();
}

void visca::signal_m_visca_ndi_event()
{
	m_visca_ndi_event.signal();
}

int visca::lock_cap_buffer(std::unique_lock<std::mutex>& lock)
{
	// The swap may move the index between the read and the lock: re-check under the lock.
	for (;;) {
		int idx = cap_cmd_index;
		std::unique_lock<std::mutex> candidate(cam_mutex[idx]);
		if (idx == cap_cmd_index) {
			lock = std::move(candidate);
			return idx;
		}
	}
}
