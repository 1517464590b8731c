// End-to-end test harness: temporary sysroots, child processes, the virtual appliance and receiver.
#include "harness.h"
#include "sysroot.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <utility>

extern char** environ;

namespace fs = std::filesystem;

namespace e2e {

static std::string read_whole(const fs::path& path)
{
	std::ifstream in(path, std::ios::binary);
	if (!in)
		throw std::runtime_error("cannot read " + path.string());
	return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const std::string kDefaultEncSettings =
	read_whole(fs::path(sim::appliance_defaults().settings) / "mervane-enc1-settings.json");

// ---------------------------------------------------------------------------------------
// Sysroot

Sysroot::Sysroot(bool defaults) : dir_("vexo-e2e", sim::sysroot_base())
{
	sim::lay_out_sysroot(root(), defaults ? &sim::appliance_defaults() : nullptr);
}

void Sysroot::write(const std::string& rel, const std::string& text) const
{
	fs::create_directories(fs::path(path(rel)).parent_path());
	testcommon::write_file(path(rel), text);
}

std::string Sysroot::read(const std::string& rel) const
{
	return testcommon::read_file(path(rel));
}

bool Sysroot::exists(const std::string& rel) const
{
	return fs::exists(path(rel));
}

void Sysroot::remove(const std::string& rel) const
{
	std::error_code ec;
	fs::remove(path(rel), ec);
}

// ---------------------------------------------------------------------------------------
// Process

Process::Process(std::vector<std::string> argv, std::map<std::string, std::string> env)
{
	int out_pipe[2];
	int err_pipe[2];
	if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
		throw std::runtime_error("pipe2 failed");

	// The child's environment: ours, with `env` replacing or adding entries.
	for (char** e = environ; *e != nullptr; e++)
		if (const char* eq = strchr(*e, '='))
			env.emplace(std::string(*e, static_cast<size_t>(eq - *e)), eq + 1);
	std::vector<std::string> env_strings;
	for (const auto& kv : env)
		env_strings.push_back(kv.first + "=" + kv.second);
	std::vector<char*> envp, args;
	for (auto& s : env_strings)
		envp.push_back(s.data());
	for (auto& s : argv)
		args.push_back(s.data());
	envp.push_back(nullptr);
	args.push_back(nullptr);

	posix_spawn_file_actions_t actions;
	posix_spawn_file_actions_init(&actions);
	posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
	posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
	posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
	int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data());
	posix_spawn_file_actions_destroy(&actions);
	close(out_pipe[1]);
	close(err_pipe[1]);
	if (rc != 0) {
		close(out_pipe[0]);
		close(err_pipe[0]);
		throw std::runtime_error("cannot start " + argv[0] + ": " + strerror(rc));
	}
	out_thread_ = std::thread(&Process::reader, this, out_pipe[0], false);
	err_thread_ = std::thread(&Process::reader, this, err_pipe[0], true);
}

// A child that changed a frame buffer while the NDI runtime still held it (the stand-in reports
// each such frame on standard error) fails the test.
static void expect_no_buffer_modified_while_held(const std::vector<std::string>& err)
{
	for (const auto& line : err)
		if (line.find("modified while held") != std::string::npos)
			ADD_FAILURE() << line;
}

Process::~Process()
{
	if (running()) {
		kill(pid_, SIGKILL);
		wait_exit(5s);
	}
	finish_output();
	expect_no_buffer_modified_while_held(err_);
	// A child built with sanitizers reports on its standard error; any report fails the test.
	static const char* const kReports[] = {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
	                                       "WARNING: ThreadSanitizer", "runtime error:"};
	for (const auto& line : err_)
		for (const char* report : kReports)
			if (line.find(report) != std::string::npos) {
				ADD_FAILURE() << "sanitizer report from a child process:\n" << output();
				return;
			}
}

void Process::finish_output()
{
	if (out_thread_.joinable())
		out_thread_.join();
	if (err_thread_.joinable())
		err_thread_.join();
}

void Process::reader(int fd, bool is_err)
{
	std::string partial;
	char buf[4096];
	for (;;) {
		ssize_t n = ::read(fd, buf, sizeof(buf));
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			break;
		partial.append(buf, static_cast<size_t>(n));
		size_t nl;
		std::lock_guard<std::recursive_mutex> lock(mutex_);
		while ((nl = partial.find('\n')) != std::string::npos) {
			(is_err ? err_ : out_).push_back(partial.substr(0, nl));
			partial.erase(0, nl + 1);
		}
		cv_.notify_all();
	}
	std::lock_guard<std::recursive_mutex> lock(mutex_);
	if (!partial.empty())
		(is_err ? err_ : out_).push_back(partial);
	(is_err ? err_ended_ : out_ended_) = true;
	cv_.notify_all();
	close(fd);
}

std::vector<std::string> Process::lines() const
{
	std::lock_guard<std::recursive_mutex> lock(mutex_);
	return out_;
}

std::vector<std::string> Process::err_lines() const
{
	std::lock_guard<std::recursive_mutex> lock(mutex_);
	return err_;
}

std::string Process::output() const
{
	std::lock_guard<std::recursive_mutex> lock(mutex_);
	std::string text = "--- stdout ---\n";
	for (const auto& l : out_)
		text += l + "\n";
	text += "--- stderr ---\n";
	for (const auto& l : err_)
		text += l + "\n";
	return text;
}

static std::optional<size_t> find_line(const std::vector<std::string>& lines, const std::string& text, size_t from)
{
	for (size_t i = from; i < lines.size(); i++)
		if (lines[i].find(text) != std::string::npos)
			return i;
	return std::nullopt;
}

std::optional<size_t> Process::wait_for_line(const std::string& text, Clock::duration timeout, size_t from)
{
	std::unique_lock<std::recursive_mutex> lock(mutex_);
	std::optional<size_t> found;
	cv_.wait_for(lock, scaled(timeout), [&] { return (found = find_line(out_, text, from)).has_value() || out_ended_; });
	return found;
}

std::optional<size_t> Process::wait_for_err_line(const std::string& text, Clock::duration timeout, size_t from)
{
	std::unique_lock<std::recursive_mutex> lock(mutex_);
	std::optional<size_t> found;
	cv_.wait_for(lock, scaled(timeout), [&] { return (found = find_line(err_, text, from)).has_value() || err_ended_; });
	return found;
}

bool Process::wait_for(const std::function<bool(const std::vector<std::string>&)>& pred, Clock::duration timeout)
{
	std::unique_lock<std::recursive_mutex> lock(mutex_);
	bool held = false;
	cv_.wait_for(lock, scaled(timeout), [&] { return (held = pred(out_)) || out_ended_; });
	return held;
}

void Process::interrupt()
{
	if (pid_ > 0 && !status_)
		kill(pid_, SIGINT);
}

std::optional<int> Process::wait_exit(Clock::duration timeout)
{
	if (status_)
		return status_;
	testcommon::wait_until(
		[&] {
			int wstatus = 0;
			pid_t r = waitpid(pid_, &wstatus, WNOHANG);
			if (r == pid_)
				status_ = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
			return status_ || r < 0;  // ended, or no such child to wait for
		},
		timeout, 10ms);
	return status_;
}

bool Process::running()
{
	if (pid_ <= 0 || status_)
		return false;
	return !wait_exit(0s).has_value();
}

// ---------------------------------------------------------------------------------------
// Sim and Rx

static std::map<std::string, std::string> with(std::map<std::string, std::string> env,
                                               const std::map<std::string, std::string>& base)
{
	for (const auto& kv : base)
		env.emplace(kv.first, kv.second);
	return env;
}

// The sysroot and its start-up source are laid out before the child is spawned.
static const Sysroot& prepare_sim(const Sysroot& sysroot, const std::string& hdmi)
{
	// A private network per test keeps the fixed UDP port and eth0 to this test alone.
	enter_netns();
	sysroot.write("sim/hdmi", hdmi + "\n");
	return sysroot;
}

Sim::Sim(const Sysroot& sysroot, const std::string& hdmi, std::map<std::string, std::string> env)
	: Process({VEXO_SIM_BIN},
	          with(std::move(env), {{"VEXO_SYSROOT", prepare_sim(sysroot, hdmi).root()},
	                                {"NDI_STANDIN_DIR", sysroot.path("ndi")}})),
	  sysroot_(sysroot)
{
}

void Sim::control(const std::string& name, const std::string& line)
{
	sysroot_.write("sim/" + name, line + "\n");
}

static std::vector<json> parse_lines(const std::vector<std::string>& lines)
{
	std::vector<json> events;
	for (const auto& line : lines) {
		json j = json::parse(line, nullptr, false);
		if (!j.is_discarded())
			events.push_back(std::move(j));
	}
	return events;
}

std::vector<json> Sim::events() const
{
	return parse_lines(testcommon::lines_of(sysroot_.read("sim/events.jsonl")));
}

// Keeps the first of `events` that satisfies `pred` in `found`; false when none does.
static bool first_match(const std::vector<json>& events, const std::function<bool(const json&)>& pred,
                        std::optional<json>& found)
{
	for (const auto& e : events)
		if (pred(e)) {
			found = e;
			return true;
		}
	return false;
}

std::optional<json> Sim::wait_for_event(const std::function<bool(const json&)>& pred, Clock::duration timeout)
{
	std::optional<json> found;
	poll_until([&] { return first_match(events(), pred, found); }, timeout);
	return found;
}

std::optional<int> Sim::stop(Clock::duration timeout)
{
	interrupt();
	return wait_exit(timeout);
}

static std::vector<std::string> rx_argv(std::vector<std::string> args)
{
	const char* host = getenv("VEXO_HOST_RX");
	std::string program = host != nullptr && *host != '\0' ? host : VEXO_RX_BIN;
	if (access(program.c_str(), X_OK) != 0)
		throw std::runtime_error("no receiver to run: " + program);
	std::vector<std::string> argv = {program, "--json"};
	argv.insert(argv.end(), args.begin(), args.end());
	return argv;
}

// The receiver's wait for its source (5 s unless --wait says otherwise) is a deadline like the
// tests' own: stretched on a slow build or machine.
static std::string rx_wait()
{
	return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(scaled(5s)).count());
}

Rx::Rx(const Sysroot& sysroot, std::vector<std::string> args)
	: Process(rx_argv(std::move(args)), {{"NDI_STANDIN_DIR", sysroot.path("ndi")}, {"VEXO_RX_WAIT", rx_wait()}})
{
}

std::vector<json> Rx::events() const
{
	return parse_lines(lines());
}

std::optional<json> Rx::wait_for_event(const std::function<bool(const json&)>& pred, Clock::duration timeout)
{
	std::optional<json> found;
	wait_for([&](const std::vector<std::string>& lines) { return first_match(parse_lines(lines), pred, found); },
	         timeout);
	return found;
}

size_t Rx::count_in(const std::vector<std::string>& lines, const std::function<bool(const json&)>& pred)
{
	const std::vector<json> all = parse_lines(lines);
	return static_cast<size_t>(std::count_if(all.begin(), all.end(), pred));
}

long Rx::dropped_in(const std::vector<std::string>& lines, const std::string& stream)
{
	// Each "dropped" event counts from the connection's start; a disconnection starts anew.
	long total = 0, connection = 0;
	for (const json& e : parse_lines(lines)) {
		if (e.value("event", "") == "dropped")
			connection = e.value(stream, 0L);
		else if (e.value("event", "") == "disconnected")
			total += std::exchange(connection, 0);
	}
	return total + connection;
}

// ---------------------------------------------------------------------------------------
// Helpers

RunResult run(std::vector<std::string> argv, std::map<std::string, std::string> env)
{
	Process p(std::move(argv), std::move(env));
	RunResult result;
	result.status = p.wait_exit(60s).value_or(-1);
	p.finish_output();
	for (const auto& l : p.lines())
		result.out += l + "\n";
	return result;
}

static bool sh(const std::string& cmd)
{
	std::string quiet = cmd + " >/dev/null 2>&1";
	return system(quiet.c_str()) == 0;
}

bool enter_netns(std::initializer_list<const char*> addresses)
{
	// Once per process: the first call decides the namespace and eth0's addresses.
	static std::optional<bool> entered;
	if (entered)
		return *entered;
	entered = false;
	if (unshare(CLONE_NEWNET) != 0)
		return false;
	if (!sh("ip link set lo up"))
		return false;
	if (!sh("ip link add eth0 type veth peer name eth0peer"))
		return false;
	for (const char* addr : addresses)
		if (!sh(std::string("ip addr add ") + addr + " dev eth0"))
			return false;
	entered = sh("ip link set eth0 up");
	return *entered;
}

// ---------------------------------------------------------------------------------------
// Checks and helpers shared by the cases

std::string start_line(int code)
{
	char text[64];
	snprintf(text, sizeof(text), "START NDI Encode with format %x", code);
	return text;
}

std::string stop_line(int code)
{
	char text[64];
	snprintf(text, sizeof(text), "STOP NDI Encode %x", code);
	return text;
}

size_t count_lines(const std::vector<std::string>& lines, const std::string& text, size_t from)
{
	size_t n = 0;
	for (size_t i = from; i < lines.size(); i++)
		n += lines[i].find(text) != std::string::npos;
	return n;
}

void expect_about_a_second(double seconds)
{
	EXPECT_TIMING(seconds >= 0.5 && seconds <= 1.5, "a pass " + std::to_string(seconds) + " s after the last (1 +- 0.5 s)");
}

std::function<bool(const json&)> event_is(const std::string& name)
{
	return [name](const json& e) { return e.value("event", "") == name; };
}

bool is_video(const json& e, const std::string& stream)
{
	return e.value("event", "") == "video" && e.value("stream", "") == stream;
}

void expect_video(const json& e, const VideoFormat& f)
{
	EXPECT_EQ(f.xres, e.value("xres", 0)) << e.dump();
	EXPECT_EQ(f.yres, e.value("yres", 0)) << e.dump();
	EXPECT_EQ(f.fourcc, e.value("fourcc", "")) << e.dump();
	EXPECT_EQ(f.rate_n, e.value("frame_rate_n", 0)) << e.dump();
	EXPECT_EQ(f.rate_d, e.value("frame_rate_d", 0)) << e.dump();
	if (!f.format.empty()) {
		EXPECT_EQ(f.format, e.value("format", "")) << e.dump();
	}
}

long last_request(const std::vector<json>& events, int req)
{
	long arg = -1;
	for (const auto& e : events)
		if (e.value("dev", "") == "encoder" && e.value("req", -1) == req)
			arg = e.value("arg", -1L);
	return arg;
}

bool near_target(const json& e, long target)
{
	const double size = static_cast<double>(e.value("size", 0L));
	return target > 0 && size >= 0.9 * static_cast<double>(target) && size <= 1.1 * static_cast<double>(target);
}

std::string enc_settings_with(const std::string& from, const std::string& to, std::string base)
{
	return base.replace(base.find(from), from.size(), to);
}

std::string format_record(int x, int y, unsigned fourcc, size_t size)
{
	return "{\"rez_x\":\"" + std::to_string(x) + "\",\"rez_y\":\"" + std::to_string(y) + "\",\"FourCC\":\"" +
	       std::to_string(fourcc) + "\",\"line_strides\":\"" + std::to_string(size) + "\"}";
}

void restart_audio(const Sysroot& sysroot, Sim& sim, Clock::duration timeout)
{
	size_t from = sim.lines().size();
	sysroot.write("etc/mervane-enc1-settings.json", enc_settings_with("NDIAudioMain", "NDIAudioMute"));
	ASSERT_TRUE(sim.wait_for_line("Encode Audio Disabled", timeout, from)) << sim.output();
	sysroot.write("etc/mervane-enc1-settings.json", kDefaultEncSettings);
	ASSERT_TRUE(sim.wait_for_line("Encode Audio active", timeout, from)) << sim.output();
}

std::vector<size_t> table_loads(const std::vector<json>& events, const int (*table)[3])
{
	std::vector<json> writes;
	for (const auto& e : events)
		if (e.value("dev", "") == "i2c-1")
			writes.push_back(e);
	std::vector<size_t> loads;
	for (size_t i = 0; i + 313 <= writes.size(); i++) {
		bool all = true;
		for (size_t r = 0; r < 313 && all; r++)
			all = writes[i + r].value("addr", -1) == table[r][0] && writes[i + r].value("reg", -1) == table[r][1] &&
			      writes[i + r].value("val", -1) == table[r][2];
		if (all)
			loads.push_back(i);
	}
	return loads;
}

std::map<std::string, std::string> etc_files(const Sysroot& sysroot)
{
	std::map<std::string, std::string> files;
	std::error_code ec;
	for (const auto& entry : fs::directory_iterator(sysroot.path("etc"), ec))
		if (entry.is_regular_file()) {
			const std::string content = sysroot.read("etc/" + entry.path().filename().string());
			files[entry.path().filename()] =
				std::to_string(content.size()) + " bytes, hash " + std::to_string(std::hash<std::string>()(content));
		}
	return files;
}

::testing::AssertionResult stops_cleanly(Sim& sim)
{
	// Sanitizer builds stop several times slower than the 3 s of the normal one.
	std::optional<int> status = sim.stop(15s);
	sim.finish_output();
	auto lines = sim.lines();
	if (status != 0 || lines.empty() || lines.back() != "End Vexo 4k enc app")
		return ::testing::AssertionFailure() << "exit status " << status.value_or(-1) << "\n" << sim.output();
	return ::testing::AssertionSuccess();
}

void ApplianceTest::TearDown()
{
	rx_.reset();
	if (sim_)
		sim_->stop();
}

std::string ApplianceTest::diagnostics() const
{
	return (rx_ ? "--- receiver:\n" + rx_->output() : std::string()) + "\n--- appliance:\n" +
	       (sim_ ? sim_->output() : std::string());
}

}  // namespace e2e
