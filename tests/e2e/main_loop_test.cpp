// The supervision loop end to end: detection, encode decisions, tables, marker, dashboard, shutdown.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "adv7619.h"
#include "harness.h"
#include "mervane_av_format.h"

namespace {

using namespace std::chrono_literals;
using e2e::json;

const auto kStartTimeout = 20s;  // start-up with the light sequence, under sanitizers
const auto kSwitchTimeout = 10s;  // one stop, a one-second pause and a start
// The program ends within 3 s of SIGINT (a slow build's wait for it is stretched).
const auto kExitBound = 3s;

using e2e::start_line;
using e2e::stop_line;
using e2e::table_loads;

const int kUnusable = -1;  // a source that is not usable: encoding stops with code 0

// Sets the source and waits for encoding to start with `code` (or to stop); returns the line
// index.
size_t switch_to(e2e::Sim& sim, const std::string& source, int code, size_t from)
{
	sim.control("hdmi", source);
	const std::string line = code == kUnusable ? stop_line(0) : start_line(code);
	auto at = sim.wait_for_line(line, kSwitchTimeout, from);
	EXPECT_TRUE(at.has_value()) << source << " should log " << line << "\n" << sim.output();
	return at.value_or(from);
}

size_t wait_started(e2e::Sim& sim, int code)
{
	auto at = sim.wait_for_line(start_line(code), kStartTimeout);
	EXPECT_TRUE(at.has_value()) << sim.output();
	return at.value_or(0);
}

// The light writes logged so far: the start-up sequence, when it runs, then one each pass.
std::vector<int> light_values(const e2e::Sim& sim)
{
	std::vector<int> values;
	for (const auto& e : sim.events())
		if (e.value("dev", "") == "i2c-1" && e.value("addr", -1) == 0x20 && e.value("reg", -1) == 1)
			values.push_back(e.value("val", -1));
	return values;
}

struct NamedFormat {
	const char* name;
	int code;
};

// Every format of one group (2160p or the HD table) by its name, the one the run started
// with last, so each step is a change.
std::vector<VideoFormatName> formats_of_group(bool uhd, int start_code)
{
	std::vector<VideoFormatName> group;
	for (const auto& f : kVideoFormatNames)
		if (video_format_is_4k(f.code) == uhd && f.code != start_code)
			group.push_back(f);
	group.push_back({start_code, video_format_name(start_code)});
	return group;
}

TEST(MainLoop, EveryHdFormatNameIsDetected)
{
	e2e::Sysroot sysroot;
	e2e::Sim sim(sysroot, "1080p59.94");
	size_t at = wait_started(sim, video_format_1080_59p);
	for (const auto& f : formats_of_group(false, video_format_1080_59p))
		at = switch_to(sim, f.name, f.code, at + 1);
	EXPECT_EQ(sim.stop(), 0);
}

TEST(MainLoop, EveryUhdFormatNameIsDetected)
{
	e2e::Sysroot sysroot;
	e2e::Sim sim(sysroot, "2160p30");
	size_t at = wait_started(sim, video_format_2160_30p);
	for (const auto& f : formats_of_group(true, video_format_2160_30p))
		at = switch_to(sim, f.name, f.code, at + 1);
	EXPECT_EQ(sim.stop(), 0);
}

TEST(MainLoop, ClockEdgesAndOddRastersDecideTheFormat)
{
	e2e::Sysroot sysroot;
	e2e::Sim sim(sysroot, "1080p59.94");
	size_t at = wait_started(sim, 42);
	const NamedFormat steps[] = {
		// Below every 1080p window: not usable, encoding stops and stays stopped.
		{"timing 1920 1080 2200 65", kUnusable},
		{"timing 1920 1080 2200 74.1953125", 4}, {"timing 1920 1080 2200 74.203125", 5},
		{"timing 3840 2160 4400 296.6953125", 52}, {"timing 3840 2160 4400 296.703125", 53},
		{"timing 3840 2160 4400 296.6953125", 52}, {"timing 3840 2160 4400 297.0", 53},
		// Interlaced 1080 with a field height off by one either way is still recognised.
		{"timing 1920 539 2200 74.1796875 i", 20}, {"timing 1920 541 2640 74.25 i", 19},
		{"timing 1920 541 2200 74.25 i", 21},
		// Interlaced but not 1920 wide, and a 1080p raster with a 2000-pixel line: 0, not -1.
		{"timing 1280 720 1650 74.25 i", kUnusable}, {"1080p59.94", 42},
		{"timing 1920 1080 2000 148.5", kUnusable},
	};
	for (const auto& step : steps)
		at = switch_to(sim, step.name, step.code, at + 1);
	EXPECT_EQ(sim.stop(), 0);
}

TEST(MainLoop, UnreadableReceiverFreezesDecisionsButNotLightsOrDashboard)
{
	e2e::Sysroot sysroot;
	e2e::Sim sim(sysroot, "2160p30");
	size_t at = wait_started(sim, 53);

	sim.control("hdmi", "unreadable");
	// Let three passes run with the receiver silent.
	ASSERT_TRUE(sim.wait_for_event([&](const json&) { return true; }, 1s));
	std::this_thread::sleep_for(300ms);
	const size_t lights_before = light_values(sim).size();
	EXPECT_TRUE(e2e::poll_until([&] { return light_values(sim).size() >= lights_before + 3; }, 6s))
		<< "the lights are refreshed every pass";
	EXPECT_FALSE(sim.wait_for_line("STOP NDI Encode", 0s, at + 1).has_value()) << sim.output();
	EXPECT_EQ(sysroot.read("tmp/mervane-dashboard-pipe"), "{\"dashboard_vid_input\":\"2160p30-422\"}");

	// The source goes away: encoding stops and the dashboard says so.
	sim.control("hdmi", "none");
	EXPECT_TRUE(sim.wait_for_line("STOP NDI Encode", kSwitchTimeout, at + 1).has_value()) << sim.output();
	ASSERT_TRUE(sim.wait_for_event([&](const json&) {
		return sysroot.read("tmp/mervane-dashboard-pipe") == "{\"dashboard_vid_input\":\"NO INPUT/\"}";
	}, 5s)) << sysroot.read("tmp/mervane-dashboard-pipe");
	EXPECT_EQ(sim.stop(), 0);
}

TEST(MainLoop, ReceiverTableIsReloadedOnlyWhenEncodingStartsInTheOtherMode)
{
	e2e::Sysroot sysroot;
	e2e::Sim sim(sysroot, "1080p59.94");
	size_t at = wait_started(sim, 42);
	at = switch_to(sim, "1080p50", 41, at + 1);
	at = switch_to(sim, "2160p30", 53, at + 1);
	at = switch_to(sim, "2160p25", 51, at + 1);
	at = switch_to(sim, "720p60", 8, at + 1);
	EXPECT_EQ(sim.stop(), 0);

	auto events = sim.events();
	auto hd = table_loads(events, adv7619_2klut);
	auto uhd = table_loads(events, adv7619_4klut);
	ASSERT_EQ(hd.size(), 2u) << "at start and when 720p60 starts";
	ASSERT_EQ(uhd.size(), 1u) << "when 2160p30 starts, not again for 2160p25";
	EXPECT_LT(hd[0], uhd[0]);
	EXPECT_LT(uhd[0], hd[1]);
}

TEST(MainLoop, NoSourceStopsEncoding)
{
	e2e::Sysroot sysroot;
	e2e::Sim sim(sysroot, "1080p59.94");
	size_t at = wait_started(sim, 42);
	sim.control("hdmi", "none");
	auto stop = sim.wait_for_line("STOP NDI Encode", kSwitchTimeout, at + 1);
	ASSERT_TRUE(stop.has_value()) << sim.output();
	EXPECT_EQ(sim.lines()[*stop], "STOP NDI Encode");
	// The source returns with the same format: encoding starts again.
	switch_to(sim, "1080p59.94", 42, *stop + 1);
	EXPECT_EQ(sim.stop(), 0);
}

TEST(MainLoop, LightSequenceOnlyOnTheFirstStartAfterBoot)
{
	e2e::Sysroot sysroot;
	sysroot.write("etc/mervane-enc1-settings.json", "{\"TallyMode\":\"Off\"}");
	{
		e2e::Sim sim(sysroot, "none");
		ASSERT_TRUE(sim.wait_for_line("start main_exit_loop", kStartTimeout).has_value()) << sim.output();
		auto lines = sim.lines();
		ASSERT_GE(lines.size(), 4u);
		EXPECT_EQ(lines[1], "Looking for file");
		EXPECT_EQ(lines[2], "file not found");
		EXPECT_EQ(lines[3], "save file");
		EXPECT_EQ(sim.stop(), 0);
		std::vector<int> expected = {0x40, 0x80, 0x40, 0x80, 0x40, 0x80, 0x40, 0x00};
		auto values = light_values(sim);
		ASSERT_GE(values.size(), expected.size());
		EXPECT_EQ(std::vector<int>(values.begin(), values.begin() + 8), expected);
		EXPECT_EQ(sysroot.read("tmp/mv_start_test").size(), 20u);
	}
	sysroot.remove("sim/events.jsonl");
	{
		e2e::Sim sim(sysroot, "none");
		ASSERT_TRUE(sim.wait_for_line("start main_exit_loop", kStartTimeout).has_value()) << sim.output();
		EXPECT_EQ(sim.lines()[2], "file found");
		EXPECT_EQ(sim.stop(), 0);
		for (int v : light_values(sim))
			EXPECT_EQ(v, 0x00) << "no sequence on a restart; lights off in this tally mode";
	}
}

TEST(MainLoop, EmptyStartMarkerCountsAsMissing)
{
	e2e::Sysroot sysroot;
	sysroot.write("tmp/mv_start_test", "");
	e2e::Sim sim(sysroot, "none");
	ASSERT_TRUE(sim.wait_for_line("save file", kStartTimeout).has_value()) << sim.output();
	EXPECT_EQ(sim.lines()[2], "file not found");
	EXPECT_EQ(sim.stop(), 0);
}

TEST(MainLoop, SigintShutsDownInOrderAndExitsZero)
{
	e2e::Sysroot sysroot;
	e2e::Sim sim(sysroot, "1080p59.94");
	wait_started(sim, 42);
	auto t0 = std::chrono::steady_clock::now();
	auto status = sim.stop(kExitBound);
	ASSERT_TRUE(status.has_value()) << "exits in time\n" << sim.output();
	EXPECT_EQ(*status, 0);
	const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
	EXPECT_TIMING(took < 3.0, "exit " + std::to_string(took) + " s after SIGINT (under 3 s)");
	sim.finish_output();

	auto lines = sim.lines();
	ASSERT_FALSE(lines.empty());
	EXPECT_EQ(lines.back(), "End Vexo 4k enc app");
	auto stop = sim.wait_for_line("STOP NDI Encode", 0s);
	ASSERT_TRUE(stop.has_value());
	std::vector<std::string> order = {"distroy_ndi_tx_instance", "unmap_NdiTransmitter_mem", "NDIlib_destroy()",
	                                  "End Vexo 4k enc app"};
	size_t prev = *stop;
	for (const auto& text : order) {
		auto at = sim.wait_for_line(text, 0s, prev + 1);
		ASSERT_TRUE(at.has_value()) << text << " after line " << prev << "\n" << sim.output();
		prev = *at;
	}
	EXPECT_EQ(sysroot.read("tmp/mervane-dashboard-pipe"), "{\"dashboard_vid_input\":\"VIDEO FORMAT INVALID/\"}");
}

// Reads the dashboard pipe for the whole life of the test, one record per writer.
class PipeReader {
public:
	explicit PipeReader(const std::string& path) : fd_(open(path.c_str(), O_RDONLY | O_NONBLOCK))
	{
		thread_ = std::thread([this] {
			std::string current;
			while (!stop_) {
				char buf[256];
				ssize_t n = read(fd_, buf, sizeof(buf));
				if (n > 0) {
					std::lock_guard<std::mutex> lock(mutex_);
					records_.emplace_back(buf, static_cast<size_t>(n));
				} else {
					std::this_thread::sleep_for(10ms);
				}
			}
		});
	}
	~PipeReader()
	{
		stop_ = true;
		thread_.join();
		close(fd_);
	}
	bool ok() const { return fd_ >= 0; }
	std::vector<std::string> records()
	{
		std::lock_guard<std::mutex> lock(mutex_);
		return records_;
	}

private:
	int fd_;
	std::atomic<bool> stop_{false};
	std::mutex mutex_;
	std::vector<std::string> records_;
	std::thread thread_;
};

TEST(Dashboard, RecordsReachAReaderOfTheNamedPipe)
{
	e2e::Sysroot sysroot;
	ASSERT_EQ(mkfifo(sysroot.path("tmp/mervane-dashboard-pipe").c_str(), 0644), 0);
	PipeReader reader(sysroot.path("tmp/mervane-dashboard-pipe"));
	ASSERT_TRUE(reader.ok());

	e2e::Sim sim(sysroot, "none");
	auto wait_record = [&](const std::string& record) {
		return e2e::poll_until([&] {
			const auto records = reader.records();
			return std::find(records.begin(), records.end(), record) != records.end();
		}, kStartTimeout);
	};
	EXPECT_TRUE(wait_record("{\"dashboard_vid_input\":\"NO INPUT/\"}"));
	sim.control("hdmi", "1080p59.94");
	EXPECT_TRUE(wait_record("{\"dashboard_vid_input\":\"1080p59.94-422\"}"));
	EXPECT_EQ(sim.stop(), 0);
	EXPECT_TRUE(wait_record("{\"dashboard_vid_input\":\"VIDEO FORMAT INVALID/\"}"));
	for (const auto& r : reader.records())
		EXPECT_EQ(r.find("\n"), std::string::npos) << "no line end in a record";
}

TEST(Dashboard, PipeWithoutReaderDoesNotStopTheLoop)
{
	e2e::Sysroot sysroot;
	ASSERT_EQ(mkfifo(sysroot.path("tmp/mervane-dashboard-pipe").c_str(), 0644), 0);
	e2e::Sim sim(sysroot, "1080p59.94");
	wait_started(sim, 42);
	// Passes go on: the lights are written once per pass.
	EXPECT_TRUE(e2e::poll_until([&] { return light_values(sim).size() >= 4; }, 10s));
	EXPECT_EQ(sim.stop(kExitBound), 0);
}

TEST(VirtualAppliance, RefusesToStartWithoutSysroot)
{
	auto r = e2e::run({VEXO_SIM_BIN}, {{"VEXO_SYSROOT", ""}});
	EXPECT_NE(r.status, 0);
	EXPECT_EQ(r.out, "") << "nothing of the program ran";
}

TEST(VirtualAppliance, ProgramLinksAvahiClientForTheRuntime)
{
	auto r = e2e::run({"/usr/bin/readelf", "-d", VEXO_BIN});
	ASSERT_EQ(r.status, 0);
	EXPECT_NE(r.out.find("[libavahi-client.so"), std::string::npos) << r.out;
	EXPECT_NE(r.out.find("[libndi.so.4]"), std::string::npos) << r.out;

	e2e::Sysroot sysroot;
	e2e::Sim sim(sysroot, "none", {{"NDI_STANDIN_REPORT_AVAHI", "1"}});
	auto line = sim.wait_for_err_line("ndi-standin: avahi-client functions resolved:", kStartTimeout);
	ASSERT_TRUE(line.has_value()) << sim.output();
	auto text = sim.err_lines()[*line];
	auto tail = text.substr(text.find(':', text.find("resolved")) + 2);
	auto of = tail.find(" of ");
	ASSERT_NE(of, std::string::npos) << text;
	EXPECT_EQ(tail.substr(0, of), tail.substr(of + 4)) << text;
	EXPECT_EQ(sim.stop(), 0);
}

}  // namespace
