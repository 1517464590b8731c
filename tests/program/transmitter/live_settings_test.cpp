// Live settings: frame-size targets, gains, the web UI readers and the settings thread itself.
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include <Processing.NDI.Lib.h>
#include <gtest/gtest.h>

#include "NdiTransmitter.h"
#include "mervane_av_format.h"
#include "sim_board_fixture.h"
#include "web_settings.h"

namespace {

NDIlib_video_frame_v2_t rate(int n, int d)
{
	NDIlib_video_frame_v2_t frame;
	frame.frame_rate_N = n;
	frame.frame_rate_D = d;
	return frame;
}

TEST(LiveSettingsArithmetic, FrameTargetsInSinglePrecisionAndCodecGains)
{
	EXPECT_EQ(frames_per_second(rate(60000, 1001)), 59);
	EXPECT_EQ(frames_per_second(rate(30000, 1001)), 29);
	EXPECT_EQ(frames_per_second(rate(30000, 0)), 0);

	// Manual 100 Mbit/s: 1080p59.94 and 1080i59.94 (fields, half a frame each).
	EXPECT_EQ(target_to_int(manual_program_target(100, 59, false)), 211864);
	EXPECT_EQ(target_to_int(manual_program_target(100, 29, true)), 215517);
	// Starting targets: 10 Mbit/s preview at 29 fps, 100 Mbit/s program at 59 fps.
	EXPECT_EQ(target_to_int(frame_target(1250000.0f, 29)), 43103);
	EXPECT_EQ(target_to_int(frame_target(12500000.0f, 59)), 211864);

	// No rate and absurd manual rates: no division by zero, no overflowing conversion.
	EXPECT_EQ(frame_target(1250000.0f, 0), 0.0f);
	EXPECT_EQ(target_to_int(manual_program_target(INT_MAX, 1, false)), INT_MAX);
	EXPECT_EQ(target_to_int(manual_program_target(INT_MIN, 1, false)), INT_MIN);
	EXPECT_EQ(target_to_int(std::nan("")), 0);

	// The web interface's default 80 gives the codec's start-up gains (25.6 truncated); the
	// output attenuates, so 100 is its loudest. The thread case below has the other ends.
	EXPECT_EQ(analog_in_gain_from_setting(80), 96);
	EXPECT_EQ(analog_out_gain_from_setting(80), 25);
	EXPECT_EQ(analog_out_gain_from_setting(100), 0);
}

class LiveSettings : public simtest::BoardTest {
protected:
	void enc(const std::string& json) { write_text("etc/mervane-enc1-settings.json", json); }
	NdiTransmitter tx_;
};

TEST_F(LiveSettings, WebUIReadersMapNamesAndFallBack)
{
	const std::vector<std::pair<std::string, int>> names = {
		{"2160p30", 53},    {"2160p29.97", 52}, {"2160p25", 51},    {"2160p24", 50},    {"2160p23.97", 49},
		{"1080p60", 43},    {"1080p59.94", 42}, {"1080p50", 41},    {"1080p30", 5},     {"1080p29.97", 4},
		{"1080p25", 3},     {"1080p24", 2},     {"1080p23.97", 1},  {"1080i60", 21},    {"1080i59.94", 20},
		{"1080i50", 19},    {"720p60", 8},      {"720p59.94", 7},   {"720p50", 6},      {"AUTO", 255},
		{"2160p23.98", 0},  {"1080P60", 0},     {"auto", 0},
	};
	for (const auto& name : names) {
		enc("{\"VideoFormat\":\"" + name.first + "\",\"VideoCSC\":\"yvu\",\"VideoSampleRate\":\"420\"}");
		EXPECT_EQ(tx_.GetWebUIVideoFormat(), name.second) << name.first;
	}
	EXPECT_EQ(tx_.GetWebUIVideoCSC(), 1);
	EXPECT_EQ(tx_.GetWebUIVideoSampleRate(), 1);

	enc("{\"VideoCSC\":\"YVU\",\"VideoSampleRate\":\"444\"}");
	EXPECT_EQ(tx_.GetWebUIVideoFormat(), 255);
	EXPECT_EQ(tx_.GetWebUIVideoCSC(), 0);
	EXPECT_EQ(tx_.GetWebUIVideoSampleRate(), 0);

	unlink(path("etc/mervane-enc1-settings.json").c_str());
	EXPECT_EQ(tx_.GetWebUIVideoFormat(), 255);
	EXPECT_EQ(tx_.GetWebUIVideoCSC(), 0);
	EXPECT_EQ(tx_.GetWebUIVideoSampleRate(), 0);
}

TEST_F(LiveSettings, ThreadSendsTheRequestsAndFollowsAudioAndGainSettings)
{
	enc("{\"BandwidthMode\":\"Manual\",\"BandwidthSelect\":\"100\",\"NDIAudio\":\"NDIAudioAnalog\"}");
	write_text("etc/mervane-device-settings.json", "{\"AnalogAudioInGain\":\"100\",\"AnalogAudioOutGain\":\"0\"}");
	tx_.m_mervanespeedhqDevice = open(path("dev/mervane-speedhq").c_str(), O_RDWR);
	ASSERT_GE(tx_.m_mervanespeedhqDevice, 0);
	tx_.prog_info_frame = rate(60000, 1001);
	tx_.prev_info_frame = rate(30000, 1001);
	tx_.encodeRunning = true;
	std::thread settings(&NdiTransmitter::encode_settings, &tx_);

	// The encoder requests of one settings cycle, as the encoder model logs them.
	const std::vector<nlohmann::json> cycle = {{{"req", 13}, {"arg", 0}},
	                                           {{"req", 14}, {"arg", 62}},
	                                           {{"req", 5}, {"arg", 211864}},
	                                           {{"req", 6}, {"arg", 43103}}};
	EXPECT_TRUE(wait_until([&] { return events_of("encoder").size() >= 8; }));
	std::vector<nlohmann::json> sent = events_of("encoder");
	sent.resize(8);
	std::vector<nlohmann::json> two = cycle;
	two.insert(two.end(), cycle.begin(), cycle.end());
	EXPECT_EQ(sent, two);
	EXPECT_EQ(tx_.bit_rate.load(), 211864);
	EXPECT_EQ(tx_.AudioInSel.load(), 0);
	EXPECT_EQ(tx_.AnalogAudioInGain.load(), 120);
	EXPECT_EQ(tx_.AnalogAudioOutGain.load(), 128);
	EXPECT_TRUE(tx_.audio_en.load());

	// Muting stops the audio thread and leaves the input choice alone.
	enc("{\"BandwidthMode\":\"Auto\",\"NDIAudio\":\"NDIAudioMute\"}");
	EXPECT_TRUE(wait_until([&] { return !tx_.audio_en.load(); }));
	EXPECT_EQ(tx_.AudioInSel.load(), 0);
	// Without a sender there is no recommendation to ask for: the target stays.
	EXPECT_EQ(tx_.bit_rate.load(), 211864);

	enc("{\"NDIAudio\":\"NDIAudioMain\"}");
	EXPECT_TRUE(wait_until([&] { return tx_.audio_en.load() && tx_.AudioInSel.load() == 1; }));

	tx_.encodeRunning = false;
	settings.join();
	tx_.audio_en = false;
	tx_.send_audio_frame_thread.join();
	close(tx_.m_mervanespeedhqDevice);
}

// One settings pass at a time (encoding stopped): audio starts only with the program stream's
// rate known and its thread made; a thread that cannot be made leaves audio off, so the next
// pass tries again.
TEST_F(LiveSettings, AudioStartsOnlyWithAKnownRateAndAThreadThatStarts)
{
	tx_.m_mervanespeedhqDevice = -1;
	tx_.encodeRunning = false;
	enc("{\"NDIAudio\":\"NDIAudioMain\"}");
	for (NDIlib_video_frame_v2_t unknown : {rate(0, 1001), rate(60000, 0)}) {
		tx_.prog_info_frame = unknown;
		tx_.encode_settings();
		EXPECT_FALSE(tx_.audio_en.load()) << unknown.frame_rate_N << "/" << unknown.frame_rate_D;
		EXPECT_FALSE(tx_.send_audio_frame_thread.joinable());
	}

	tx_.prog_info_frame = rate(60000, 1001);
	testing::internal::CaptureStdout();
	{
		testcommon::NoNewThreads no_threads;
		ASSERT_TRUE(no_threads.ok());
		tx_.encode_settings();
	}
	std::string out = testing::internal::GetCapturedStdout();
	EXPECT_NE(out.find("cannot start thread send_audio_frame: "), std::string::npos) << out;
	EXPECT_FALSE(tx_.audio_en.load());
	EXPECT_FALSE(tx_.send_audio_frame_thread.joinable());

	tx_.encode_settings();
	EXPECT_TRUE(tx_.audio_en.load());
	EXPECT_TRUE(tx_.send_audio_frame_thread.joinable());

	// Muting joins the thread; muting again finds nothing to stop.
	enc("{\"NDIAudio\":\"NDIAudioMute\"}");
	for (int pass = 0; pass < 2; ++pass) {
		tx_.encode_settings();
		EXPECT_FALSE(tx_.audio_en.load());
		EXPECT_FALSE(tx_.send_audio_frame_thread.joinable());
	}
}

// A card that is missing ends the audio thread at its open; the flag stays set, so audio is
// not tried again until it is muted or encoding restarts.
TEST_F(LiveSettings, MissingCardEndsTheAudioThreadAtItsOpen)
{
	setenv("NDI_STANDIN_DIR", path("sim").c_str(), 1);
	NDIlib_send_create_t create("live-settings-test", nullptr, false, false);
	tx_.ndi_tx_inst = NDIlib_send_create(&create);
	ASSERT_NE(tx_.ndi_tx_inst, nullptr);
	write_text("sim/audio", "missing\n");
	ASSERT_TRUE(wait_until([&] { return logged("audio", "card", "missing"); }));

	tx_.audio_en = true;
	testing::internal::CaptureStderr();
	tx_.send_audio_frame();  // returns at once
	std::string err = testing::internal::GetCapturedStderr();
	EXPECT_NE(err.find("Failed to open headset audio device 'default:CARD=mvnhdmisnd': "), std::string::npos) << err;
	EXPECT_TRUE(tx_.audio_en.load());
	EXPECT_EQ(tx_.ndi_AudioSupport.m_pHeadsetAudioCaptureHandle, nullptr);
	EXPECT_EQ(tx_.ndi_AudioSupport.NDI_audio_frame.p_data, nullptr);

	tx_.audio_en = false;
	NDIlib_send_destroy(tx_.ndi_tx_inst);
	tx_.ndi_tx_inst = nullptr;
	unsetenv("NDI_STANDIN_DIR");
}

TEST_F(LiveSettings, RecommendedTargetComesFromTheSender)
{
	setenv("NDI_STANDIN_DIR", path("sim").c_str(), 1);
	NDIlib_send_create_t create("live-settings-test", nullptr, false, false);
	tx_.ndi_tx_inst = NDIlib_send_create(&create);
	ASSERT_NE(tx_.ndi_tx_inst, nullptr);
	tx_.prog_info_frame = rate(60000, 1001);
	tx_.prog_info_frame.xres = 1920;
	tx_.prog_info_frame.yres = 1080;
	tx_.prev_info_frame = rate(30000, 1001);
	tx_.m_mervanespeedhqDevice = -1;
	int expected = NDIlib_send_get_target_frame_size(tx_.ndi_tx_inst, &tx_.prog_info_frame);
	ASSERT_GT(expected, 0);

	// Manual without a rate falls back on the recommendation too.
	enc("{\"BandwidthMode\":\"Manual\"}");
	tx_.encodeRunning = false;  // one cycle
	tx_.encode_settings();
	EXPECT_EQ(tx_.bit_rate.load(), expected);

	NDIlib_send_destroy(tx_.ndi_tx_inst);
	tx_.ndi_tx_inst = nullptr;
	unsetenv("NDI_STANDIN_DIR");
}

}  // namespace
