// visca: the serial VISCA engine that owns the line to the PTZ camera.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <netinet/in.h>
#include <stdint.h>
#include <sys/resource.h>
#include <termios.h>
#include <thread>

// One VISCA command: a command slot, or a record built by the VISCA over IP server.
struct visca_command {
	char cmd[16] = {};
	int cmd_length = 0;
	bool cmd_fill = false;
	bool ack = false;
	bool comp = false;
	sockaddr_in cliaddr = {};
	uint32_t sequence_number = 0;
};

// One VISCA inquiry and its answer.
struct visca_inq_command {
	char cmd[16] = {};
	int cmd_length = 0;
	bool cmd_fill = false;
	char inq[16] = {};
	int inq_length = 0;
	bool inq_fill = false;
	int cmd_length_tot = 0;
	sockaddr_in cliaddr = {};
	uint32_t sequence_number = 0;
};

// Wakes the exec thread. Signals are remembered until the waiter consumes them.
class visca_ndi_event {
public:
	void wait();
	void signal();

	std::mutex m_mutex;
	std::condition_variable m_condVar;
	bool m_notified = false;
};

// visca: the serial port, the double-buffered command slots and the exec thread that sends
// them. visca_uart_mutex serialises every exchange on the line (exec thread and VISCA over IP
// thread) and the opening and closing of the port; cam_mutex[i] protects slot buffer i while
// a producer writes it and while the swap moves the indices. No code path holds two of these
// locks.
class visca {
public:
	visca();
	~visca();

	int init_visca();
	void deinit_visca();
	void create_command(visca_command& cmd, int cmd_bytes, int cmd_type, int cmd_id, uint64_t prefil);
	void create_inqcommand(visca_inq_command& cmd, int cmd_bytes, int cmd_type, int cmd_id, uint64_t prefil,
	                       int cmd_length_tot);
	void init_visca_command();
	void visca_exec_cmd(visca_command& exec_cmd);
	void visca_exec_inq_cmd(visca_inq_command& exec_cmd);
	bool visca_wait_for_ack();
	bool visca_wait_for_cmp();
	bool visca_wait_for_res(visca_inq_command& res_cmd);
	bool visca_wait_for_reply(uint8_t reply_type, int timeout_ms);
	void visca_cls_rx();
	void exec_visca();
	void switch_ndi_exebuff();
	void exec_ndi_visca();
	void waitFor_m_visca_ndi_event();
	void signal_m_visca_ndi_event();
	// Locks the capture buffer for a producer and returns its index; the index cannot move
	// while the returned lock is held.
	int lock_cap_buffer(std::unique_lock<std::mutex>& lock);

	const char* camSerial;
	speed_t camBr;
	int cam_fd;
	uint8_t camAddress;
	std::atomic<bool> exec_visca_Running;
	bool vid_fmt_switch = false;
	std::atomic<int> cap_cmd_index{0};
	std::atomic<int> exe_cmd_index{1};
	static const int number_of_cmd = 2;
	std::mutex cam_mutex[number_of_cmd];
	visca_command cam_vid_fmt;
	visca_inq_command cam_vid_fmt_inq;
	visca_command cam_pt_dir_move_command[number_of_cmd];
	visca_command cam_pt_stop_command[number_of_cmd];
	visca_command cam_zoom_direct[number_of_cmd];
	visca_command cam_zoom_speed[number_of_cmd];
	visca_command cam_zoom_stop[number_of_cmd];
	visca_command cam_preset_call_rst_recall[number_of_cmd];
	visca_command cam_focus_mode[number_of_cmd];
	visca_command cam_focus_near_far_speed[number_of_cmd];
	visca_command cam_focus_stop[number_of_cmd];
	visca_command cam_wb_mode[number_of_cmd];
	visca_command cam_wb_rg_dir[number_of_cmd];
	visca_command cam_wb_bg_dir[number_of_cmd];
	visca_command cam_exposure_mode[number_of_cmd];
	visca_command cam_exposure_iris_dir[number_of_cmd];
	visca_command cam_exposure_shut_dir[number_of_cmd];
	visca_ndi_event m_visca_ndi_event;
	std::atomic<bool> m_visca_ndi_event_cond{false};
	std::mutex visca_uart_mutex;
	rusage before2 = {};
	rusage after2 = {};
	termios camOptions = {};
	std::thread exec_visca_thread;
};
