// End-to-end test harness: temporary sysroots, child processes, the virtual appliance and receiver.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "test_support.h"

namespace e2e {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using json = nlohmann::json;

// Every wait of the harness below is stretched by $VEXO_TEST_TIME_SCALE; a wait that ends
// early costs nothing. The program's own timing and the bounds the tests assert about it
// (elapsed times, rates) are never stretched.
using testcommon::scaled;

// The compact settings file a freshly set-up appliance holds (sim/sysroot/etc).
extern const std::string kDefaultEncSettings;

// A fresh sysroot from the sysroot maker (sim/sysroot.h), removed with everything below it when
// the object goes; with `defaults`, it holds a new appliance's settings files and the built stills.
class Sysroot {
public:
	explicit Sysroot(bool defaults = true);

	const std::string& root() const { return dir_.path(); }
	std::string path(const std::string& rel) const { return dir_.path(rel); }
	void write(const std::string& rel, const std::string& text) const;
	std::string read(const std::string& rel) const;
	bool exists(const std::string& rel) const;
	void remove(const std::string& rel) const;

private:
	testcommon::TempDir dir_;
};

// A child process with its standard output and error captured line by line.
class Process {
public:
	Process(std::vector<std::string> argv, std::map<std::string, std::string> env = {});
	virtual ~Process();
	Process(const Process&) = delete;
	Process& operator=(const Process&) = delete;

	pid_t pid() const { return pid_; }
	std::vector<std::string> lines() const;  // standard output so far
	std::vector<std::string> err_lines() const;  // standard error so far
	std::string output() const;  // both, for failure messages

	// Index of the first stdout line at or after `from` that contains `text`, waiting up to
	// `timeout` (scaled) for it to appear; nullopt when it did not. The waits end early once
	// the process has closed the output they read: nothing more can come.
	std::optional<size_t> wait_for_line(const std::string& text, Clock::duration timeout, size_t from = 0);
	std::optional<size_t> wait_for_err_line(const std::string& text, Clock::duration timeout, size_t from = 0);
	// Waits until `pred` holds for the stdout lines, at most `timeout`.
	bool wait_for(const std::function<bool(const std::vector<std::string>&)>& pred, Clock::duration timeout);

	void interrupt();  // SIGINT
	// Exit status once the process has ended within `timeout` (128+N for a signal N).
	std::optional<int> wait_exit(Clock::duration timeout);
	bool running();
	// Waits until the child's output has been read to its end (after it has exited).
	void finish_output();

private:
	void reader(int fd, bool is_err);

	pid_t pid_ = -1;
	std::optional<int> status_;
	mutable std::recursive_mutex mutex_;  // recursive: wait predicates may call lines()
	std::condition_variable_any cv_;
	std::vector<std::string> out_;
	std::vector<std::string> err_;
	bool out_ended_ = false, err_ended_ = false;  // read to the end
	std::thread out_thread_;
	std::thread err_thread_;
};

// vexoenc-sim on a sysroot. `hdmi` is the source present at start (a line for sim/hdmi).
class Sim : public Process {
public:
	explicit Sim(const Sysroot& sysroot, const std::string& hdmi = "1080p59.94",
	             std::map<std::string, std::string> env = {});
	// Writes one line to the control file sim/<name>.
	void control(const std::string& name, const std::string& line);
	// The events logged so far in sim/events.jsonl.
	std::vector<json> events() const;
	// Waits until some event satisfies `pred`; returns it.
	std::optional<json> wait_for_event(const std::function<bool(const json&)>& pred, Clock::duration timeout);
	// Sends SIGINT and waits for the exit status.
	std::optional<int> stop(Clock::duration timeout = 5s);

private:
	const Sysroot& sysroot_;
};

// vexo-rx --json on the sysroot's NDI directory; `args` are the further options. The receiver
// is the host build's vexo-rx when $VEXO_HOST_RX names one: an emulated armhf appliance is then
// watched by a native 64-bit receiver, which keeps up with every frame.
class Rx : public Process {
public:
	explicit Rx(const Sysroot& sysroot, std::vector<std::string> args = {});
	std::vector<json> events() const;
	std::optional<json> wait_for_event(const std::function<bool(const json&)>& pred, Clock::duration timeout);
	// Number of events satisfying `pred` so far.
	size_t count(const std::function<bool(const json&)>& pred) const { return count_in(lines(), pred); }
	// The same in `lines`, a snapshot of lines() (which a rate measurement times; parsing the
	// events afterwards can take long under a sanitizer).
	static size_t count_in(const std::vector<std::string>& lines, const std::function<bool(const json&)>& pred);
	// Frames of a stream ("program", "preview", "audio") the sender dropped because this
	// receiver did not keep up, over all its connections, in `lines` (default: all so far).
	long dropped(const std::string& stream) const { return dropped_in(lines(), stream); }
	static long dropped_in(const std::vector<std::string>& lines, const std::string& stream);
};

// Moves this test process (and every child started afterwards) into a private network
// namespace with loopback up and an eth0 carrying `addresses` (CIDR). False when that is not
// possible here (no privileges); the caller skips then. Only the first call in a process
// acts (Sim calls it with the default address), so a test that needs other addresses calls
// it before it makes its Sim.
bool enter_netns(std::initializer_list<const char*> addresses = {"192.0.2.10/24"});

// Runs a program to the end and returns its exit status and standard output.
struct RunResult {
	int status = -1;
	std::string out;
};
RunResult run(std::vector<std::string> argv, std::map<std::string, std::string> env = {});

// ---------------------------------------------------------------------------------------
// Checks and helpers shared by the cases

std::string start_line(int code);  // "START NDI Encode with format %x"
std::string stop_line(int code);   // "STOP NDI Encode %x"
// Lines from `from` on that contain `text`.
size_t count_lines(const std::vector<std::string>& lines, const std::string& text, size_t from = 0);
// A line the program prints beside something a test has already seen (an event on another
// channel, a line of the same pass) may still be on its way through the pipe: a wait for it
// has this deadline, never none.
constexpr Clock::duration kPrintedSoon = 5s;
// Polls `done` every 20 ms (each look re-reads a log) until it holds or `timeout` (scaled)
// passes.
inline bool poll_until(const std::function<bool()>& done, Clock::duration timeout)
{
	return testcommon::wait_until(done, timeout, 20ms);
}
// The program's once-a-second cadence: an interval of `seconds` between two of its passes,
// 1 +- 0.5 s, judged in the default build only.
void expect_about_a_second(double seconds);
// Events of one kind ("source", "audio", "disconnected" ...) as vexo-rx reports them.
std::function<bool(const json&)> event_is(const std::string& name);
// A frame of one stream ("program" or "preview") as vexo-rx reports it.
bool is_video(const json& e, const std::string& stream);
inline bool is_program_frame(const json& e) { return is_video(e, "program"); }
inline bool is_preview_frame(const json& e) { return is_video(e, "preview"); }
// What a frame announces; an empty `format` (the scan) is not checked.
struct VideoFormat {
	int xres, yres;
	std::string fourcc;
	int rate_n, rate_d;
	std::string format;
};
void expect_video(const json& e, const VideoFormat& f);
// The argument of the last logged encoder request `req` (5 the program's rate target, 6 the
// preview's), -1 when there was none.
long last_request(const std::vector<json>& events, int req);
// A frame event whose size is within 10 % of `target` bytes.
bool near_target(const json& e, long target);
// `base` (the compact settings of a new appliance) with its first `from` replaced by `to`.
std::string enc_settings_with(const std::string& from, const std::string& to,
                              std::string base = kDefaultEncSettings);
// The format record stored with a captured frame.
std::string format_record(int x, int y, unsigned fourcc, size_t size);
// Mutes and un-mutes the audio: each new start of the audio thread opens the card afresh.
void restart_audio(const Sysroot& sysroot, Sim& sim, Clock::duration timeout);
// Positions in the i2c-1 writes of `events` where a complete load of `table` starts.
std::vector<size_t> table_loads(const std::vector<json>& events, const int (*table)[3]);
// Every file below etc/ with its size and a hash of its content, to show that a fault lost
// or changed nothing.
std::map<std::string, std::string> etc_files(const Sysroot& sysroot);
// SIGINT ends the program with status 0, "End Vexo 4k enc app" its last line.
::testing::AssertionResult stops_cleanly(Sim& sim);

// A case with one appliance and, once started, a receiver; both are stopped at its end.
class ApplianceTest : public ::testing::Test {
protected:
	void TearDown() override;
	// Both programs' output, for failure messages.
	std::string diagnostics() const;

	Sysroot root_;
	std::unique_ptr<Sim> sim_;
	std::unique_ptr<Rx> rx_;
};

}  // namespace e2e
