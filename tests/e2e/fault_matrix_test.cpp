// Faults end to end: each device, card, file and reader failing under the running appliance.
// Every case shows the program's own lines for the fault, loses no stored still or setting,
// works again once the fault has cleared, and still ends only on SIGINT, with status 0.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "adv7619.h"
#include "harness.h"
#include "mervane_av_format.h"
#include "visca_ip_client.h"

namespace {

using namespace std::chrono_literals;
using e2e::json;

const auto kStartTimeout = 25s;  // start-up with the light sequence and encode start, sanitizers
const char* const kCard = "default:CARD=mvnhdmisnd";

const auto is_audio = e2e::event_is("audio");

bool dev_event(const json& e, const char* dev, const char* key, const std::string& value)
{
	return e.value("dev", "") == dev && e.value(key, "") == value;
}

using e2e::enc_settings_with;

// Waits until the receiver has `more` program frames beyond those it had.
bool frames_flow(e2e::Rx& rx, size_t more, e2e::Clock::duration timeout = 15s)
{
	size_t from = rx.count(e2e::is_program_frame);
	return e2e::poll_until([&] { return rx.count(e2e::is_program_frame) >= from + more; }, timeout);
}

// CPU time, in seconds, that thread `tid` of process `pid` has used so far.
double thread_cpu_seconds(pid_t pid, long tid)
{
	std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/stat");
	std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
	std::istringstream fields(stat.substr(stat.rfind(')') + 2));  // after "pid (comm) "
	std::string field;
	double ticks = 0;
	for (int i = 3; i <= 15 && fields >> field; i++)
		if (i >= 14)  // utime, stime
			ticks += std::stod(field);
	return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Writes a line to sim/audio-fault; true once the board has taken it.
bool audio_fault(e2e::Sim& sim, const std::string& line)
{
	sim.control("audio-fault", line);
	return sim.wait_for_event([&](const json& e) { return dev_event(e, "audio", "fault", line); }, 3s).has_value();
}

// A card that fails every read: once what was on its way has arrived, no audio frame comes
// while video goes on. Returns the audio frames received.
size_t audio_stops_while_video_goes_on(e2e::Rx& rx)
{
	std::this_thread::sleep_for(e2e::scaled(300ms));
	const size_t audio = rx.count(is_audio);
	EXPECT_TRUE(frames_flow(rx, 30)) << rx.output();
	EXPECT_EQ(rx.count(is_audio), audio);
	return audio;
}

// ---------------------------------------------------------------------------------------
// Bus device nodes

class BusNode : public ::testing::TestWithParam<const char*> {};

// "/dev/i2c-1" missing or refused from the start: the table load reports every row, the
// receiver reads as not readable (no encode decision, dashboard "VIDEO FORMAT INVALID/"),
// the lights stay as they were; once the node is back the table is loaded and encoding of
// the connected source follows.
TEST_P(BusNode, ReceiverBusGoneThenBack)
{
	e2e::Sysroot root;
	root.write("sim/dev-i2c-1", std::string(GetParam()) + "\n");
	auto stored = e2e::etc_files(root);
	e2e::Sim sim(root);
	ASSERT_TRUE(sim.wait_for_line("failed to write 0x", kStartTimeout)) << sim.output();
	ASSERT_TRUE(sim.wait_for_line("start main_exit_loop", kStartTimeout)) << sim.output();
	EXPECT_EQ(e2e::count_lines(sim.lines(), "failed to write 0x"), 313u);
	EXPECT_TRUE(sim.wait_for_line("register at 312", 0s));
	// Each pass: detection and tally lights each open the bus and report it.
	size_t loop = *sim.wait_for_line("start main_exit_loop", 0s);
	ASSERT_TRUE(sim.wait_for([&](const std::vector<std::string>& lines) {
		return e2e::count_lines(lines, "failed to open i2c device", loop) >= 6;
	}, 10s)) << sim.output();
	EXPECT_FALSE(sim.wait_for_line("START NDI Encode", 0s));
	EXPECT_EQ(root.read("sim/lights"), "");
	// Polled: each record truncates the file before it is written.
	EXPECT_TRUE(e2e::poll_until(
		[&] { return root.read("tmp/mervane-dashboard-pipe") == "{\"dashboard_vid_input\":\"VIDEO FORMAT INVALID/\"}"; }, 3s));

	e2e::Rx rx(root);
	sim.control("dev-i2c-1", "present");
	ASSERT_TRUE(sim.wait_for_line(e2e::start_line(video_format_1080_59p), 10s)) << sim.output();
	EXPECT_TRUE(frames_flow(rx, 10)) << rx.output();
	EXPECT_EQ(e2e::table_loads(sim.events(), adv7619_2klut).size(), 1u);
	EXPECT_NE(root.read("sim/lights"), "");
	EXPECT_TRUE(e2e::stops_cleanly(sim));
	EXPECT_EQ(e2e::etc_files(root), stored);
}

// "/dev/i2c-0" missing or refused: the gains report their failed open each pass and video
// goes on; once the node is back the codec gets its gains on the next pass.
TEST_P(BusNode, CodecBusGoneThenBack)
{
	e2e::Sysroot root;
	root.write("sim/dev-i2c-0", std::string(GetParam()) + "\n");
	e2e::Sim sim(root);
	e2e::Rx rx(root);
	auto started = sim.wait_for_line(e2e::start_line(video_format_1080_59p), kStartTimeout);
	ASSERT_TRUE(started) << sim.output();
	EXPECT_TRUE(frames_flow(rx, 10)) << rx.output();
	// Input gain and output volume: two failed opens per pass.
	EXPECT_GE(e2e::count_lines(sim.lines(), "failed to open i2c device"), 4u) << sim.output();
	auto codec = [](const json& e) { return e.value("dev", "") == "i2c-0" && e.contains("reg"); };
	EXPECT_FALSE(sim.wait_for_event(codec, 0s));

	sim.control("dev-i2c-0", "present");
	EXPECT_TRUE(sim.wait_for_event(
		[](const json& e) { return e.value("dev", "") == "i2c-0" && e.value("addr", -1) == 0x18 && e.value("reg", -1) == 15; },
		5s));
	EXPECT_TRUE(e2e::stops_cleanly(sim));
}

INSTANTIATE_TEST_SUITE_P(Faults, BusNode, ::testing::Values("missing", "denied"));

// ---------------------------------------------------------------------------------------
// Audio card

struct SetupFault {
	const char* setting;  // line for sim/audio-fault
	const char* message;  // the set-up step's line on standard error
};

void PrintTo(const SetupFault& fault, std::ostream* os)
{
	*os << fault.setting;
}

class AudioSetup : public ::testing::TestWithParam<SetupFault> {};

// A card that fails a set-up step: the step's line, then the initialisation failure naming
// the card; the card is closed, video goes on, and a new audio start after the fault has
// cleared brings the audio.
TEST_P(AudioSetup, StepFailsThenAudioComesBack)
{
	e2e::Sysroot root;
	root.write("sim/audio-fault", std::string(GetParam().setting) + "\n");
	e2e::Sim sim(root);
	e2e::Rx rx(root);
	ASSERT_TRUE(sim.wait_for_err_line(GetParam().message, kStartTimeout)) << sim.output();
	const std::string message = GetParam().message;
	const std::string why = message.substr(message.find("' failed: ") + 10);  // ALSA's error text
	EXPECT_TRUE(sim.wait_for_err_line(std::string("Failed to initialise headset audio device '") + kCard + "': " + why, 2s))
		<< sim.output();
	EXPECT_TRUE(sim.wait_for_event([](const json& e) { return dev_event(e, "audio", "pcm", "closed"); }, 2s));
	EXPECT_TRUE(frames_flow(rx, 30)) << rx.output();
	EXPECT_EQ(rx.count(is_audio), 0u);

	ASSERT_TRUE(audio_fault(sim, "none"));
	e2e::restart_audio(root, sim, 5s);
	EXPECT_TRUE(rx.wait_for_event(is_audio, 5s)) << sim.output();
	EXPECT_TRUE(e2e::stops_cleanly(sim));
}

INSTANTIATE_TEST_SUITE_P(
	Faults, AudioSetup,
	::testing::Values(SetupFault{"fail any", "'snd_pcm_hw_params_any' failed: Input/output error"},
	                  SetupFault{"fail access", "'snd_pcm_hw_params_set_access' failed: Input/output error"},
	                  SetupFault{"format S16_LE", "'snd_pcm_hw_params_set_format' failed: Invalid argument"},
	                  SetupFault{"channels 1", "'snd_pcm_hw_params_set_channels' failed: Invalid argument"},
	                  SetupFault{"rate 44100", "'snd_pcm_hw_params_set_rate' failed: Invalid argument"},
	                  SetupFault{"rate 48001", "'snd_pcm_hw_params_set_rate' failed: Invalid argument"},
	                  SetupFault{"fail period", "'snd_pcm_hw_params_set_period_size_near' failed: Input/output error"},
	                  SetupFault{"fail params", "'snd_pcm_hw_params' failed: Input/output error"}),
	[](const auto& p) {
		std::string name = p.param.setting;
		std::replace(name.begin(), name.end(), ' ', '_');
		return name;
	});

// A card that goes away while it is read: no more audio frames, video goes on, muting still
// closes the card, and with the card back the audio returns.
TEST(AudioCardFault, VanishesMidStream)
{
	e2e::Sysroot root;
	e2e::Sim sim(root);
	e2e::Rx rx(root);
	ASSERT_TRUE(rx.wait_for_event(is_audio, kStartTimeout)) << sim.output();
	ASSERT_TRUE(audio_fault(sim, "vanish"));
	const size_t audio = audio_stops_while_video_goes_on(rx);

	size_t from = sim.lines().size();
	ASSERT_TRUE(audio_fault(sim, "none"));
	e2e::restart_audio(root, sim, 5s);
	EXPECT_TRUE(sim.wait_for_line("sound card shut down successfully", e2e::kPrintedSoon, from)) << sim.output();
	EXPECT_TRUE(e2e::poll_until([&] { return rx.count(is_audio) > audio + 10; }, 5s)) << sim.output();
	EXPECT_TRUE(e2e::stops_cleanly(sim));
}

// Timecodes (seconds) of the audio blocks a receiver got, in order.
std::vector<double> audio_times(const e2e::Rx& rx)
{
	std::vector<double> t;
	for (const auto& e : rx.events())
		if (is_audio(e))
			t.push_back(e.value("timecode", 0.0) / 1e7);
	return t;
}

// One overrun: the read fails, the program prepares the card again and blocks come at the
// card's pace once more, the gap in the stream under half a second.
TEST(AudioCardFault, OneOverrunThenBlocksAtTheCardsPaceAgain)
{
	e2e::Sysroot root;
	e2e::Sim sim(root);
	e2e::Rx rx(root);
	ASSERT_TRUE(rx.wait_for_event(is_audio, kStartTimeout)) << sim.output();
	ASSERT_TRUE(audio_fault(sim, "overrun"));
	ASSERT_TRUE(sim.wait_for_event([](const json& e) { return dev_event(e, "audio", "overrun", "forced"); }, 3s));
	const size_t before = rx.count(is_audio);
	ASSERT_TRUE(e2e::poll_until([&] { return rx.count(is_audio) >= before + 300; }, 10s)) << sim.output();

	// The longest gap is the overrun's; the two seconds after it carry 200 blocks.
	const std::vector<double> t = audio_times(rx);
	size_t gap = 1;
	for (size_t i = 1; i < t.size(); i++)
		if (t[i] - t[i - 1] > t[gap] - t[gap - 1])
			gap = i;
	const auto after = std::count_if(t.begin() + static_cast<long>(gap), t.end(), [&](double x) { return x < t[gap] + 2.0; });
	EXPECT_TIMING(t[gap] - t[gap - 1] <= 0.5 && std::abs(after - 200) <= 12,
	              "overrun gap " + std::to_string(t[gap] - t[gap - 1]) + " s (at most 0.5), then " +
	                  std::to_string(after) + " blocks in 2 s (200 +- 12)");
	EXPECT_EQ(rx.dropped("audio"), 0);
	EXPECT_FALSE(sim.wait_for_event([](const json& e) { return dev_event(e, "audio", "overrun", "late"); }, 0s));
	EXPECT_TRUE(e2e::stops_cleanly(sim));
}

// A card stuck in overrun: every read fails at once; the audio thread retries without
// spinning while video goes on, and the audio is back as soon as the card is.
TEST(AudioCardFault, StuckInOverrunIsRetriedWithoutSpinning)
{
	e2e::Sysroot root;
	e2e::Sim sim(root);
	e2e::Rx rx(root);
	ASSERT_TRUE(rx.wait_for_event(is_audio, kStartTimeout)) << sim.output();
	auto opened = sim.wait_for_event([](const json& e) { return dev_event(e, "audio", "pcm", "open"); }, 0s);
	ASSERT_TRUE(opened);
	const long thread = opened->value("thread", 0L);
	ASSERT_TRUE(audio_fault(sim, "overrun-stuck"));
	const double cpu = thread_cpu_seconds(sim.pid(), thread);
	const auto start = e2e::Clock::now();
	const size_t audio = audio_stops_while_video_goes_on(rx);
	std::this_thread::sleep_until(start + 2s);
	const double share = (thread_cpu_seconds(sim.pid(), thread) - cpu) /
	                     std::chrono::duration<double>(e2e::Clock::now() - start).count();
	EXPECT_TIMING(share < 0.05, "audio thread stuck in overrun: " + std::to_string(share * 100) + " % of a core");
	EXPECT_LT(share, 0.5) << "the audio thread spins";

	ASSERT_TRUE(audio_fault(sim, "none"));
	EXPECT_TRUE(e2e::poll_until([&] { return rx.count(is_audio) > audio + 10; }, 3s)) << sim.output();
	EXPECT_TRUE(e2e::stops_cleanly(sim));
}

// ---------------------------------------------------------------------------------------
// Encoder device, "/dev/mem", serial port

// Encoder device missing at start: its one message; an encode start finds nothing to read
// ("err " each status) and sends no live frame; with the device back, the next encode start
// opens it and frames flow.
TEST(DeviceFault, EncoderMissingThenBack)
{
	e2e::Sysroot root;
	root.write("sim/dev-mervane-speedhq", "missing\n");
	e2e::Sim sim(root);
	e2e::Rx rx(root);
	ASSERT_TRUE(sim.wait_for_line("Failed to open the mervane-speedhq device", kStartTimeout)) << sim.output();
	ASSERT_TRUE(sim.wait_for_line(e2e::start_line(video_format_1080_59p), kStartTimeout)) << sim.output();
	ASSERT_TRUE(sim.wait_for([](const std::vector<std::string>& l) { return e2e::count_lines(l, "err ") >= 20; }, 10s));
	EXPECT_LE(rx.count(e2e::is_program_frame), 1u) << "only the start-up still";

	sim.control("dev-mervane-speedhq", "present");
	ASSERT_TRUE(sim.wait_for_event([](const json& e) { return dev_event(e, "mervane-speedhq", "node", "present"); }, 3s));
	size_t from = sim.lines().size();
	sim.control("hdmi", "none");
	ASSERT_TRUE(sim.wait_for_line("STOP NDI Encode", 10s, from)) << sim.output();
	sim.control("hdmi", "1080p59.94");
	ASSERT_TRUE(sim.wait_for_line(e2e::start_line(video_format_1080_59p), 10s, from)) << sim.output();
	EXPECT_TRUE(frames_flow(rx, 30)) << rx.output();
	EXPECT_TRUE(sim.wait_for_line("Open m_mervanespeedhqDevice", e2e::kPrintedSoon, from));
	EXPECT_TRUE(e2e::stops_cleanly(sim));
}

// "/dev/mem" that cannot be mapped: the selector is left alone with its message; video and
// the rest run as usual.
TEST(DeviceFault, MemoryMappingRefused)
{
	e2e::Sysroot root;
	root.write("sim/mem", "nomap\n");
	e2e::Sim sim(root);
	e2e::Rx rx(root);
	ASSERT_TRUE(sim.wait_for_line("failed to map the audio input select registers", kStartTimeout)) << sim.output();
	ASSERT_TRUE(sim.wait_for_line(e2e::start_line(video_format_1080_59p), kStartTimeout)) << sim.output();
	EXPECT_TRUE(frames_flow(rx, 30)) << rx.output();
	EXPECT_FALSE(sim.wait_for_event([](const json& e) { return e.value("dev", "") == "gpio"; }, 0s));
	EXPECT_TRUE(e2e::stops_cleanly(sim));
}

// One VISCA over IP command; the answers that come within `timeout`, as hex.
std::vector<std::string> voip_command(const std::vector<uint8_t>& datagram, std::chrono::milliseconds timeout)
{
	testcommon::ViscaIpClient client;
	client.send(datagram);
	std::vector<std::string> answers;
	for (std::string answer; !(answer = client.receive(timeout)).empty();)
		answers.push_back(answer);
	return answers;
}

// The serial port goes away while commands are exchanged, and is missing when the camera
// control restarts ("cannot open /dev/ttyPS1"); once it is back, the next restart serves the
// camera again.
TEST(DeviceFault, SerialPortVanishesMidExchangeThenBack)
{
	e2e::Sysroot root;
	// A failover source: losing the input restarts the camera control with the sender.
	root.write("etc/mervane-source1-name-encfailover", "BACKUP (Camera)");
	e2e::Sim sim(root);
	ASSERT_TRUE(sim.wait_for_line("camcontrol_voip_rx", kStartTimeout)) << sim.output();
	const std::vector<uint8_t> power_on = {0x01, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x2A,
	                                       0x81, 0x01, 0x04, 0x00, 0x02, 0xFF};
	const std::vector<std::string> ack_and_completion = {"01 11 00 03 00 00 00 2A 90 41 FF",
	                                                     "01 11 00 03 00 00 00 2A 90 51 FF"};
	ASSERT_EQ(voip_command(power_on, 500ms), ack_and_completion);

	std::thread unplug([&] {
		std::this_thread::sleep_for(2ms);
		sim.control("camera", "unplugged");
	});
	for (int i = 0; i < 10; i++)
		voip_command(power_on, 50ms);
	unplug.join();
	ASSERT_TRUE(sim.wait_for_event([](const json& e) { return dev_event(e, "camera", "port", "unplugged"); }, 3s));
	voip_command(power_on, 300ms);

	size_t from = sim.lines().size();
	sim.control("hdmi", "none");
	ASSERT_TRUE(sim.wait_for_line("distroy_ndi_tx_instance", 10s, from)) << sim.output();
	sim.control("hdmi", "1080p59.94");
	ASSERT_TRUE(sim.wait_for_line("cannot open /dev/ttyPS1", 10s, from)) << sim.output();
	EXPECT_TRUE(sim.running());

	sim.control("camera", "normal");
	ASSERT_TRUE(sim.wait_for_event([](const json& e) { return dev_event(e, "camera", "port", "plugged"); }, 3s));
	from = sim.lines().size();
	sim.control("hdmi", "none");
	ASSERT_TRUE(sim.wait_for_line("distroy_ndi_tx_instance", 10s, from)) << sim.output();
	sim.control("hdmi", "1080p59.94");
	ASSERT_TRUE(sim.wait_for_line("/dev/ttyPS1 opened successfully", 10s, from)) << sim.output();
	ASSERT_TRUE(sim.wait_for_line("camcontrol_voip_rx", 10s, from)) << sim.output();
	EXPECT_EQ(voip_command(power_on, 500ms), ack_and_completion);
	EXPECT_TRUE(e2e::stops_cleanly(sim));
}

// ---------------------------------------------------------------------------------------
// Dashboard reader

// A reader that opens the pipe and leaves before the record is written: each such record is
// lost (EPIPE), the loop goes on, and records reach the next reader.
TEST(DashboardFault, ReaderLeavesBeforeEachWrite)
{
	e2e::Sysroot root;
	root.write("sim/dashboard", "leaving\n");
	e2e::Sim sim(root);
	auto lost = [&] {
		size_t n = 0;
		for (const auto& e : sim.events())
			n += e.value("dev", "") == "dashboard" && e.contains("lost");
		return n;
	};
	ASSERT_TRUE(e2e::poll_until([&] { return lost() >= 3; }, kStartTimeout)) << sim.output();
	EXPECT_TRUE(sim.running());

	sim.control("dashboard", "normal");
	ASSERT_TRUE(sim.wait_for_event([](const json& e) { return dev_event(e, "dashboard", "control", "normal"); }, 3s));
	EXPECT_TRUE(e2e::poll_until(
		[&] { return root.read("tmp/mervane-dashboard-pipe") == "{\"dashboard_vid_input\":\"1080p59.94-422\"}"; }, 5s));
	EXPECT_TRUE(e2e::stops_cleanly(sim));
}

// ---------------------------------------------------------------------------------------
// Capture save on a full disk or past the file size limit

struct CaptureSpace {
	const char* name;
	bool tmpfs;  // a full file system for etc/; else a file size limit on the program
};

void PrintTo(const CaptureSpace& space, std::ostream* os)
{
	*os << space.name;
}

class CaptureSaveFault : public ::testing::TestWithParam<CaptureSpace> {};

// etc/ as a small file system of its own, holding what it held, filled up to the last block.
// The mount lives in this test process's own mount namespace and goes with the object.
class FullEtc {
public:
	explicit FullEtc(const e2e::Sysroot& root) : path_(root.path("etc"))
	{
		// The files' contents, not etc_files' descriptions of them.
		std::map<std::string, std::string> files;
		for (const auto& entry : std::filesystem::directory_iterator(path_))
			if (entry.is_regular_file())
				files[entry.path().filename()] = root.read("etc/" + entry.path().filename().string());
		if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
		    mount("tmpfs", path_.c_str(), "tmpfs", 0, "size=1m") != 0)
			return;
		mounted_ = true;
		for (const auto& f : files)
			root.write("etc/" + f.first, f.second);
		struct statvfs vfs;
		statvfs(path_.c_str(), &vfs);
		std::ofstream(path_ + "/.filler", std::ios::binary) << std::string(vfs.f_bavail * vfs.f_bsize, '\0');
	}
	~FullEtc()
	{
		if (mounted_)
			umount(path_.c_str());
	}
	bool mounted() const { return mounted_; }

private:
	std::string path_;
	bool mounted_ = false;
};

// The request's frames cannot be stored: "File write failed." for the program frame, the
// request stays pending, the previous capture stays as it was and is what is shown
// without input.
TEST_P(CaptureSaveFault, PreviousCaptureStaysAndIsShown)
{
	e2e::Sysroot root;
	// The previous capture: the build's black frames (their size tells them from the splash
	// and from live frames), with their format records.
	const std::string full = root.read("etc/enc_full_black.encoded");
	const std::string prvw = root.read("etc/enc_prvw_black.encoded");
	ASSERT_FALSE(full.empty() || prvw.empty()) << "the build made no stills";
	root.write("etc/enc_full_captured_frame.encoded", full);
	root.write("etc/enc_prvw_captured_frame.encoded", prvw);
	root.write("etc/enc_full-cap-frame-info-setup.json", e2e::format_record(1920, 1080, 844187731, full.size()));
	root.write("etc/enc_prvw-cap-frame-info-setup.json", e2e::format_record(640, 360, 812738675, prvw.size()));
	root.write("etc/mervane-enc1-settings.json", enc_settings_with("MervaneSS", "CaptureSS"));

	std::unique_ptr<FullEtc> full_etc;
	std::unique_ptr<e2e::Sim> sim;
	if (GetParam().tmpfs) {
		full_etc = std::make_unique<FullEtc>(root);
		if (!full_etc->mounted())
			GTEST_SKIP() << "no private mount namespace here";
		sim = std::make_unique<e2e::Sim>(root);
	} else {
		// The program inherits a limit below every frame, black ones too; its markers and
		// records stay below it (the board's event log is cut short by it, which this case does not read).
		// dev/mem made here at its full (sparse) size, so the board need not grow it past the
		// limit before the program's main has set the limit's signal aside.
		std::ofstream(root.path("dev/mem")).close();
		ASSERT_EQ(truncate(root.path("dev/mem").c_str(), 0x42000000), 0);
		rlimit saved;
		getrlimit(RLIMIT_FSIZE, &saved);
		rlimit limit = {2048, saved.rlim_max};
		ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
		sim = std::make_unique<e2e::Sim>(root);
		setrlimit(RLIMIT_FSIZE, &saved);
	}
	auto stored = e2e::etc_files(root);
	e2e::Rx rx(root);
	ASSERT_TRUE(sim->wait_for_line(e2e::start_line(video_format_1080_59p), kStartTimeout)) << sim->output();
	ASSERT_TRUE(frames_flow(rx, 10)) << rx.output();
	root.write("tmp/mervane-enc-cap", "");
	const std::string failed = root.path("etc/enc_full_captured_frame.encoded") + " File write failed.";
	ASSERT_TRUE(sim->wait_for([&](const std::vector<std::string>& l) { return e2e::count_lines(l, failed) >= 3; }, 10s))
		<< sim->output();
	EXPECT_FALSE(sim->wait_for_line("captured frame saved in", 0s));
	// While the request stays pending each frame is tried again, so a ".tmp" file may exist for
	// the moment of a failing save; after the stop none may be left (checked at the end).
	auto settled = e2e::etc_files(root);
	for (auto it = settled.begin(); it != settled.end();)
		it = it->first.size() > 4 && it->first.compare(it->first.size() - 4, 4, ".tmp") == 0 ? settled.erase(it) : std::next(it);
	EXPECT_EQ(settled, stored);

	sim->control("hdmi", "none");
	auto shown = [&](const json& e) { return e2e::is_program_frame(e) && e.value("size", 0) == static_cast<int>(full.size()); };
	const size_t before = rx.count(shown);
	EXPECT_TRUE(e2e::poll_until([&] { return rx.count(shown) > before; }, 10s)) << rx.output();
	EXPECT_TRUE(e2e::stops_cleanly(*sim));
	EXPECT_EQ(e2e::etc_files(root), stored);
}

INSTANTIATE_TEST_SUITE_P(Faults, CaptureSaveFault,
                         ::testing::Values(CaptureSpace{"DiskFull", true}, CaptureSpace{"FileSizeLimit", false}),
                         [](const auto& p) { return std::string(p.param.name); });

// ---------------------------------------------------------------------------------------
// Settings files

const char* const kSettingsFiles[] = {
	"etc/mervane-enc1-settings.json",         "etc/mervane-device-settings.json",
	"etc/mervane-ndinet-find-settings.json",  "etc/mervane-ndinet-tx-settings.json",
	"etc/mervane-source1-name-encfailover",   "etc/mervane-ptz-settings.json",
};

class DamagedSettings : public ::testing::TestWithParam<const char*> {};

// Every settings file missing, empty, cut in half or binary at once: the readers take their
// defaults, the source is encoded and sent, and no file is touched.
TEST_P(DamagedSettings, EveryFileAtOnceStillEncodes)
{
	const std::string damage = GetParam();
	e2e::Sysroot root;
	std::string binary;
	for (int i = 0; i < 512; i++)
		binary.push_back(static_cast<char>((i * 37) & 0xFF));
	for (const char* file : kSettingsFiles) {
		if (damage == "missing")
			root.remove(file);
		else if (damage == "empty")
			root.write(file, "");
		else if (damage == "truncated")
			root.write(file, root.read(file).substr(0, root.read(file).size() / 2));
		else
			root.write(file, binary);
	}
	auto stored = e2e::etc_files(root);
	e2e::Sim sim(root);
	e2e::Rx rx(root);
	ASSERT_TRUE(sim.wait_for_line(e2e::start_line(video_format_1080_59p), kStartTimeout)) << sim.output();
	EXPECT_TRUE(frames_flow(rx, 30)) << rx.output();
	EXPECT_TRUE(e2e::stops_cleanly(sim));
	EXPECT_EQ(e2e::etc_files(root), stored);
}

INSTANTIATE_TEST_SUITE_P(Faults, DamagedSettings, ::testing::Values("missing", "empty", "truncated", "binary"));

// ---------------------------------------------------------------------------------------
// A format forced from the web interface

// With a 2160p source encoding (4K table loaded), forcing 1080p50 restarts encoding with code
// 41, 4:2:2 and the HD table, whatever the source sends.
TEST(ForcedFormat, HdForcedWhileA2160pSourceIsConnected)
{
	e2e::Sysroot root;
	e2e::Sim sim(root, "2160p30");
	e2e::Rx rx(root);
	auto uhd = sim.wait_for_line(e2e::start_line(video_format_2160_30p), kStartTimeout);
	ASSERT_TRUE(uhd) << sim.output();

	root.write("etc/mervane-enc1-settings.json", enc_settings_with("\"VideoFormat\":\"AUTO\"", "\"VideoFormat\":\"1080p50\""));
	auto stop = sim.wait_for_line(e2e::stop_line(video_format_1080_50p), 10s, *uhd);
	ASSERT_TRUE(stop) << sim.output();
	auto start = sim.wait_for_line(e2e::start_line(video_format_1080_50p), 10s, *stop);
	ASSERT_TRUE(start) << sim.output();
	auto sampling = sim.wait_for_line("PROG SR 4", 10s, *start);
	ASSERT_TRUE(sampling) << sim.output();
	EXPECT_EQ(*sampling, *start + 1);
	EXPECT_EQ(sim.lines()[*sampling], "PROG SR 422");
	auto hd_frame = [](const json& e) {
		return e2e::is_program_frame(e) && e.value("xres", 0) == 1920 && e.value("yres", 0) == 1080 &&
		       e.value("fourcc", "") == "SHQ2";
	};
	const size_t before = rx.count(hd_frame);
	ASSERT_TRUE(frames_flow(rx, 30)) << rx.output();
	EXPECT_GT(rx.count(hd_frame), before) << rx.output();
	EXPECT_TRUE(e2e::stops_cleanly(sim));

	auto log = sim.events();
	auto hd = e2e::table_loads(log, adv7619_2klut);
	auto uhd_loads = e2e::table_loads(log, adv7619_4klut);
	ASSERT_EQ(hd.size(), 2u) << "at start and when 1080p50 starts";
	ASSERT_EQ(uhd_loads.size(), 1u);
	EXPECT_LT(uhd_loads[0], hd[1]);
}

}  // namespace
