// Tally lights end to end: receivers' tally, the encoding state, and lights off.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"

namespace {

using namespace std::chrono_literals;
using e2e::json;

const auto kStartTimeout = 20s;  // start-up with the light sequence, under sanitizers

bool lights_become(const e2e::Sysroot& root, const std::string& value, e2e::Clock::duration timeout)
{
	return e2e::poll_until([&] { return root.read("sim/lights") == value; }, timeout);
}

TEST(LiveTallyLights, ReceiversTallyReachesTheLights)
{
	e2e::Sysroot root;
	e2e::Sim sim(root);
	ASSERT_TRUE(sim.wait_for_line("START NDI Encode with format", kStartTimeout)) << sim.output();
	const std::vector<std::pair<std::string, std::string>> cases = {
		{"program", "80"}, {"preview", "40"}, {"both", "80"}, {"none", "00"}};
	for (const auto& c : cases) {
		e2e::Rx rx(root, {"--tally", c.first});
		// The tally thread's wait (1 s) and pause, then the next pass of the main loop.
		EXPECT_TRUE(lights_become(root, c.second, 4s)) << c.first << ": " << root.read("sim/lights");
	}
}

TEST(LiveTallyLights, VideoModeShowsEncodingAndOtherModesSwitchOff)
{
	e2e::Sysroot root;
	root.write("etc/mervane-enc1-settings.json", e2e::enc_settings_with("TallyOn", "VideoMode"));
	e2e::Sim sim(root, "none");
	EXPECT_TRUE(lights_become(root, "80", kStartTimeout)) << sim.output();

	sim.control("hdmi", "1080p59.94");
	ASSERT_TRUE(sim.wait_for_line("START NDI Encode with format", 10s)) << sim.output();
	auto started = e2e::Clock::now();
	// The start itself waits a second; the same pass then drives the lights.
	EXPECT_TRUE(lights_become(root, "40", 3s));
	const double took = std::chrono::duration<double>(e2e::Clock::now() - started).count();
	EXPECT_TIMING(took < 3.0, "lights at encoding " + std::to_string(took) + " s after the start (under 3 s)");

	root.write("etc/mervane-enc1-settings.json", e2e::enc_settings_with("TallyOn", "TallyOff"));
	EXPECT_TRUE(lights_become(root, "00", 3s));
	// The pattern is written every pass, changed or not.
	std::vector<double> times;
	auto off_writes = [&] {
		times.clear();  // the writes since the lights last showed something
		for (const auto& e : sim.events()) {
			if (e.value("dev", "") != "i2c-1" || e.value("addr", -1) != 0x20 || e.value("reg", -1) != 1)
				continue;
			if (e.value("val", -1) != 0)
				times.clear();
			else
				times.push_back(e.value("t", 0.0));
		}
		return times.size() >= 4;
	};
	testcommon::wait_until(off_writes, 6s, 100ms);
	ASSERT_GE(times.size(), 4u);
	for (size_t i = times.size() - 3; i < times.size(); i++)
		e2e::expect_about_a_second(times[i] - times[i - 1]);
}

}  // namespace
