// Live settings end to end: encoder requests each second and the codec gains on the bus.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"

namespace {

using namespace std::chrono_literals;
using e2e::json;

const auto kStartTimeout = 20s;  // start-up with the light sequence, under sanitizers

bool is_codec(const json& e, int reg, int val)
{
	return e.value("dev", "") == "i2c-0" && e.value("addr", -1) == 0x18 && e.value("reg", -1) == reg &&
	       e.value("val", -1) == val;
}

bool is_request(const json& e)
{
	int req = e.value("req", -1);
	return e.value("dev", "") == "encoder" && (req == 13 || req == 14 || req == 5 || req == 6);
}

TEST(LiveSettingsRequests, RatesAndQualityEachSecondAndGainsOnTheCodec)
{
	e2e::Sysroot root;
	root.write("etc/mervane-enc1-settings.json", e2e::enc_settings_with("\"Auto\"", "\"Manual\""));
	root.write("etc/mervane-device-settings.json", "{\"AnalogAudioInGain\":\"50\",\"AnalogAudioOutGain\":\"50\"}");
	e2e::Sim sim(root, "none");

	// Before any settings thread has run the main loop writes the defaults.
	for (int reg : {15, 16})
		EXPECT_TRUE(sim.wait_for_event([reg](const json& e) { return is_codec(e, reg, 96); }, kStartTimeout));
	for (int reg : {43, 44})
		EXPECT_TRUE(sim.wait_for_event([reg](const json& e) { return is_codec(e, reg, 25); }, 3s));

	sim.control("hdmi", "1080p59.94");
	ASSERT_TRUE(sim.wait_for_line("encode_settings", 10s)) << sim.output();
	// 50 % in: 60; 50 % out: (100 - 50) x 1.28 = 64.
	for (int reg : {15, 16})
		EXPECT_TRUE(sim.wait_for_event([reg](const json& e) { return is_codec(e, reg, 60); }, 4s));
	for (int reg : {43, 44})
		EXPECT_TRUE(sim.wait_for_event([reg](const json& e) { return is_codec(e, reg, 64); }, 1s));
	std::vector<json> requests;
	std::vector<double> codec_times;
	auto collect = [&] {
		requests.clear();
		codec_times.clear();
		for (const auto& e : sim.events()) {
			if (is_request(e))
				requests.push_back(e);
			if (is_codec(e, 15, 60))
				codec_times.push_back(e.value("t", 0.0));
		}
		return requests.size() >= 16 && codec_times.size() >= 3;
	};
	testcommon::wait_until(collect, 8s, 100ms);
	// Manual 100 Mbit/s at 1080p59.94 (59 frames) and the 10 Mbit/s preview at 29.
	const int expected[4][2] = {{13, 0}, {14, 62}, {5, 211864}, {6, 43103}};
	ASSERT_GE(requests.size(), 16u);
	for (size_t i = 0; i + 4 <= requests.size(); i += 4) {
		for (int k = 0; k < 4; k++) {
			EXPECT_EQ(requests[i + k].value("req", -1), expected[k][0]) << requests[i + k].dump();
			EXPECT_EQ(requests[i + k].value("arg", -1), expected[k][1]) << requests[i + k].dump();
		}
		if (i >= 4) {
			e2e::expect_about_a_second(requests[i].value("t", 0.0) - requests[i - 4].value("t", 0.0));
		}
	}
	ASSERT_GE(codec_times.size(), 3u);
	for (size_t i = 1; i < codec_times.size(); i++)
		e2e::expect_about_a_second(codec_times[i] - codec_times[i - 1]);
}

}  // namespace
