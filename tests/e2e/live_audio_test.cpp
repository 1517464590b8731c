// Audio end to end: the board's card through the audio thread to an NDI receiver.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "../../sim/audio_signal.h"
#include "harness.h"

namespace {

using namespace std::chrono_literals;
using e2e::json;

const auto kStartTimeout = 20s;  // start-up, light sequence, encode start, under sanitizers
const char* const kCard = "default:CARD=mvnhdmisnd";

// The NDI sample the program makes of a board sample: x 5.0 / 2^23 in float.
float ndi_sample(bool hdmi, int channel, int frame)
{
	return static_cast<float>(sim::audio_test_sample(hdmi, channel, frame) * 5.0 / 8388608.0);
}

const auto is_audio = e2e::event_is("audio");

// The frame's first four samples (two stereo frames) are the signal at some phase, exactly.
bool carries(const json& e, bool hdmi)
{
	if (!is_audio(e) || !e.contains("first") || e["first"].size() != 4)
		return false;
	for (int phase = 0; phase < sim::kAudioSignalPeriod; phase++) {
		bool all = true;
		for (int i = 0; all && i < 4; i++)
			all = static_cast<float>(e["first"][i].get<double>()) == ndi_sample(hdmi, i % 2, phase + i / 2);
		if (all)
			return true;
	}
	return false;
}

TEST(LiveAudio, FramesOfTheFedSignalEveryTenMilliseconds)
{
	e2e::Sysroot root;
	e2e::Sim sim(root);
	ASSERT_TRUE(sim.wait_for_line("initialiseAudioDevice(default:CARD=mvnhdmisnd) done", kStartTimeout))
		<< sim.output();
	e2e::Rx rx(root);
	ASSERT_TRUE(rx.wait_for_event(is_audio, 10s)) << rx.output();

	// Past the first second (blocks queued before the receiver came), count for ten, timed
	// between the two snapshots of the receiver's output.
	std::this_thread::sleep_for(1s);
	const std::vector<std::string> first = rx.lines();
	const auto start = e2e::Clock::now();
	std::this_thread::sleep_for(10s);
	const std::vector<std::string> last = rx.lines();
	const double seconds = std::chrono::duration<double>(e2e::Clock::now() - start).count();
	// The frames the program sent: those received and those the runtime dropped for a slow
	// receiver.
	const size_t received = e2e::Rx::count_in(last, is_audio) - e2e::Rx::count_in(first, is_audio);
	const long dropped = e2e::Rx::dropped_in(last, "audio") - e2e::Rx::dropped_in(first, "audio");
	const double frames = static_cast<double>(received) + static_cast<double>(dropped);
	EXPECT_TIMING(std::abs(frames / seconds - 100.0) <= 5.0,
	              std::to_string(received) + " audio frames received and " + std::to_string(dropped) +
	                  " dropped for the receiver in " + std::to_string(seconds) + " s (100 +- 5 a second)");

	size_t checked = 0;
	for (const auto& e : rx.events()) {
		if (!is_audio(e))
			continue;
		EXPECT_EQ(e.value("sample_rate", 0), 48000);
		EXPECT_EQ(e.value("channels", 0), 2);
		EXPECT_EQ(e.value("samples", 0), 480);
		EXPECT_TRUE(carries(e, true)) << e.dump();
		checked++;
	}
	EXPECT_GT(checked, 1000u);
	EXPECT_TRUE(sim.wait_for_event(
		[](const json& e) { return e.value("dev", "") == "gpio" && e.value("data", -1) == 1; }, 3s));
}

TEST(LiveAudio, MuteStopsTheFramesAndAnalogBringsThemBackWithTheOtherSignal)
{
	e2e::Sysroot root;
	e2e::Sim sim(root);
	e2e::Rx rx(root);
	ASSERT_TRUE(rx.wait_for_event([](const json& e) { return carries(e, true); }, kStartTimeout)) << sim.output();

	root.write("etc/mervane-enc1-settings.json", e2e::enc_settings_with("NDIAudioMain", "NDIAudioMute"));
	auto down = sim.wait_for_line("sound card shut down successfully", 3s);
	ASSERT_TRUE(down) << sim.output();
	EXPECT_TRUE(sim.wait_for_line("Encode Audio Disabled", e2e::kPrintedSoon));
	// Whatever was on its way has arrived within a short while; then nothing more comes.
	std::this_thread::sleep_for(e2e::scaled(300ms));
	size_t muted = rx.count(is_audio);
	std::this_thread::sleep_for(1s);
	EXPECT_EQ(rx.count(is_audio), muted);

	root.write("etc/mervane-enc1-settings.json", e2e::enc_settings_with("NDIAudioMain", "NDIAudioAnalog"));
	EXPECT_TRUE(sim.wait_for_line("initialiseAudioDevice(default:CARD=mvnhdmisnd) done", 3s, *down)) << sim.output();
	EXPECT_TRUE(rx.wait_for_event([](const json& e) { return carries(e, false); }, 4s)) << rx.output();
	EXPECT_TRUE(sim.wait_for_event(
		[](const json& e) { return e.value("dev", "") == "gpio" && e.value("data", -1) == 0; }, 3s));
}

TEST(LiveAudio, MissingCardIsReportedOncePerThreadStartAndVideoGoesOn)
{
	e2e::Sysroot root;
	root.write("sim/audio", "missing\n");
	e2e::Sim sim(root);
	e2e::Rx rx(root);
	const std::string failure = std::string("Failed to open headset audio device '") + kCard + "'";
	ASSERT_TRUE(sim.wait_for_err_line(failure, kStartTimeout)) << sim.output();

	EXPECT_TRUE(e2e::poll_until([&] { return rx.count(e2e::event_is("video")) > 30; }, 10s)) << rx.output();
	auto failures = [&] {
		size_t n = 0;
		for (const auto& line : sim.err_lines())
			n += line.find(failure) != std::string::npos;
		return n;
	};
	EXPECT_EQ(failures(), 1u);
	EXPECT_EQ(rx.count(is_audio), 0u);

	// Each new thread start (mute, then on again) tries once more; with the card back it works.
	e2e::restart_audio(root, sim, 3s);
	EXPECT_TRUE(e2e::poll_until([&] { return failures() == 2; }, 3s));
	sim.control("audio", "ok");
	ASSERT_TRUE(sim.wait_for_event([](const json& e) { return e.value("card", "") == "ok"; }, 3s));
	e2e::restart_audio(root, sim, 3s);
	EXPECT_TRUE(rx.wait_for_event([](const json& e) { return carries(e, true); }, 4s)) << sim.output();
	EXPECT_EQ(failures(), 2u);
}

}  // namespace
