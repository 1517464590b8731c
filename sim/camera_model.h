// Serial PTZ camera model: a VISCA camera at address 1 behind a pseudo-terminal.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <stdint.h>
#include <string>
#include <termios.h>
#include <thread>
#include <vector>

namespace sim {

// CameraModel: the camera on the far end of the program's serial line. It owns a real
// pseudo-terminal; the program opens the slave as its serial device, the model's thread
// reads VISCA packets from the master and answers them like a camera at address 1, paced at
// the line speed the program set on the slave. The mode (normal, silent, ack-only, error,
// garbage, slow) may change from any thread; everything else belongs to the model's thread.
class CameraModel {
public:
	enum class Mode { normal, silent, ack_only, error, garbage, slow };

	CameraModel();
	~CameraModel();

	// One scripted answer, written `delay_ms` after the previous one (or after the packet).
	struct Reply {
		int delay_ms;
		std::vector<uint8_t> bytes;
	};
	using Replies = std::optional<std::vector<Reply>>;

	// Opens the pseudo-terminal and starts the thread; `on_packet` sees every packet
	// received with the line speed (baud) it came at, on the model's thread, and may return
	// the replies that stand in for the camera's own (nullopt: the camera answers as its mode
	// says). False when no pseudo-terminal could be made.
	using PacketHandler = std::function<Replies(const std::vector<uint8_t>& packet, int baud)>;
	bool start(PacketHandler on_packet);
	void stop();
	// The slave's path (/dev/pts/N) while started.
	const std::string& slave_path() const { return slave_; }
	// The line settings the program made on the slave.
	termios line() const;

	// Accepts the control-file words; false for an unknown word (the mode stays).
	bool set_mode(const std::string& word);
	void set_mode(Mode mode) { mode_ = mode; }
	Mode mode() const { return mode_; }

	// Later answers after a command arrives: completion after the acknowledge, and how long
	// a slow camera takes, beyond every wait of the program's engine.
	static constexpr std::chrono::milliseconds kCompletionDelay{5};
	static constexpr std::chrono::milliseconds kSlowDelay{500};

private:
	using Clock = std::chrono::steady_clock;
	struct Pending {
		Clock::time_point due;
		std::vector<uint8_t> bytes;
	};

	void run();
	void on_packet(const std::vector<uint8_t>& packet);
	void answer_command(const std::vector<uint8_t>& packet, Clock::time_point now, Mode mode);
	std::vector<uint8_t> answer_inquiry(const std::vector<uint8_t>& packet) const;
	void schedule(Clock::time_point due, std::vector<uint8_t> bytes);
	int baud() const;
	Clock::duration line_time(size_t bytes) const;

	int master_ = -1;
	std::string slave_;
	std::thread thread_;
	std::atomic<bool> running_{false};
	std::atomic<Mode> mode_{Mode::normal};
	PacketHandler on_packet_;

	// Model thread only: the packet being received, answers not yet due, camera state.
	std::vector<uint8_t> rx_;
	std::deque<Pending> pending_;
	Clock::time_point line_free_;
	bool power_on_ = true;
	bool focus_auto_ = true;
	uint16_t zoom_position_ = 0;
	uint16_t focus_position_ = 0x1000;
	uint8_t wb_mode_ = 0;
	uint8_t ae_mode_ = 0;
	unsigned garbage_seed_ = 1;
};

// The mode of the camera the board installed, for tests that wait until a control-file
// setting has been taken over; false when no camera is installed.
bool installed_camera_mode(CameraModel::Mode* mode);

}  // namespace sim
