// AudioSupport: sample decoding and conversion, set-up and reads on the virtual appliance's card.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include "AudioSupport.h"
#include "adv7619.h"
#include "audio_signal.h"
#include "sim_board_fixture.h"

namespace {

void put(std::vector<unsigned char>& raw, size_t at, unsigned char b0, unsigned char b1, unsigned char b2)
{
	raw[at] = b0;
	raw[at + 1] = b1;
	raw[at + 2] = b2;
}

TEST(AudioSupportSamples, Signed24BitLittleEndianAtThreeBytesPerSampleAndGainOfFive)
{
	AudioSupport audio;
	std::vector<unsigned char> raw(2 * AudioRawBufferBytes, 0);
	put(raw, 0, 0x00, 0x00, 0x80);
	put(raw, 3, 0x01, 0x00, 0x00);
	put(raw, 6, 0xFF, 0xFF, 0x7F);
	put(raw, 9, 0xFF, 0xFF, 0xFF);
	put(raw, 2877, 0x56, 0x34, 0x12);  // sample 959, the last right-channel sample
	put(raw, 2880 + 3, 0x10, 0x00, 0x00);  // block 1, sample 1

	EXPECT_EQ(audio.getLeS24(raw.data(), 0, 0), -8388608);
	EXPECT_EQ(audio.getLeS24(raw.data(), 0, 1), 1);
	EXPECT_EQ(audio.getLeS24(raw.data(), 0, 2), 8388607);
	EXPECT_EQ(audio.getLeS24(raw.data(), 0, 3), -1);
	EXPECT_EQ(audio.getLeS24(raw.data(), 0, 959), 0x123456);
	EXPECT_EQ(audio.getLeS24(raw.data(), 1, 1), 16);

	std::vector<float> out(AudioFloatSamples, 99.0f);
	audio.convertBlock(raw.data(), out.data());
	EXPECT_EQ(out[0], -5.0f);
	EXPECT_EQ(out[1], 5.0f / 8388608.0f);
	EXPECT_EQ(out[2], static_cast<float>(8388607 * 5.0 / 8388608.0));
	EXPECT_LT(out[2], 5.0f);
	EXPECT_EQ(out[3], -5.0f / 8388608.0f);
	EXPECT_EQ(out[4], 0.0f);
	EXPECT_EQ(out[959], static_cast<float>(0x123456 * 5.0 / 8388608.0));
}

// Frames of `raw` match one of the board's signals at some phase, frame after frame.
bool matches_signal(const unsigned char* raw, bool hdmi)
{
	AudioSupport audio;
	for (int phase = 0; phase < sim::kAudioSignalPeriod; phase++) {
		bool all = true;
		for (int i = 0; all && i < AudioFramesPerRead; i++)
			for (int ch = 0; all && ch < 2; ch++)
				all = audio.getLeS24(raw, 0, i * 2 + ch) == sim::audio_test_sample(hdmi, ch, i + phase);
		if (all)
			return true;
	}
	return false;
}

class AudioCard : public simtest::BoardTest {
protected:
	void TearDown() override
	{
		if (pcm_ != nullptr)
			snd_pcm_close(pcm_);
		simtest::BoardTest::TearDown();
	}

	int open_card()
	{
		AudioSupport audio;
		return snd_pcm_open(&pcm_, audio.AlsaSndCardDeviceName, SND_PCM_STREAM_CAPTURE, 0);
	}

	snd_pcm_t* pcm_ = nullptr;
};

TEST_F(AudioCard, CaptureFollowsTheSelectorWrittenThroughDevMem)
{
	ASSERT_EQ(open_card(), 0);
	AudioSupport audio;
	audio.m_pHeadsetAudioCaptureHandle = pcm_;
	ASSERT_EQ(audio.initialiseAudioDevice(pcm_), 0);

	std::vector<unsigned char> raw(AudioRawBufferBytes);
	auto read_until = [&](bool hdmi) {
		return wait_until([&] { return audio.readBlock(raw.data()) == AudioFramesPerRead && matches_signal(raw.data(), hdmi); });
	};
	// dev/mem starts zeroed: the selector reads as the analog input.
	EXPECT_TRUE(read_until(false));

	adv7619 receiver;
	int mem = open(path("dev/mem").c_str(), O_RDWR);
	ASSERT_GE(mem, 0);
	// The model polls the word: each value is seen before the next store.
	auto stored = [&](uint32_t data) { return wait_until([&] { return logged("gpio", "data", data); }); };
	receiver.init_audinsel(mem);
	EXPECT_TRUE(stored(4294967295u));
	EXPECT_TRUE(read_until(true));
	receiver.SetAudioInSel(0);
	EXPECT_TRUE(stored(0));
	EXPECT_TRUE(read_until(false));
	receiver.SetAudioInSel(1);
	EXPECT_TRUE(stored(1));
	EXPECT_TRUE(read_until(true));
	receiver.deinit_audinsel();
	close(mem);

	EXPECT_EQ(events_of("gpio"), (std::vector<nlohmann::json>{{{"addr", "0x41210000"}, {"data", 4294967295u}},
	                                                           {{"addr", "0x41210000"}, {"data", 0}},
	                                                           {{"addr", "0x41210000"}, {"data", 1}}}));
}

TEST_F(AudioCard, MissingCardFailsToOpenUntilItIsBack)
{
	write_text("sim/audio", "missing\n");
	EXPECT_TRUE(wait_until([&] { return read_text("sim/alsa/asound.conf").find("pcm.") == std::string::npos; }));
	EXPECT_EQ(open_card(), -ENOENT);
	pcm_ = nullptr;

	write_text("sim/audio", "ok\n");
	EXPECT_TRUE(wait_until([&] { return read_text("sim/alsa/asound.conf").find("pcm.") != std::string::npos; }));
	EXPECT_EQ(open_card(), 0);
}

// A card whose every read fails (here: never configured, so neither a read nor a prepare can
// succeed): the reads must be paced, not repeated as fast as the error returns.
TEST(AudioSupportReads, PersistentReadErrorsArePacedNotSpun)
{
	const char text[] = "pcm.quiet { type null }\n";
	snd_config_t* conf = nullptr;
	snd_input_t* in = nullptr;
	ASSERT_EQ(snd_config_top(&conf), 0);
	ASSERT_EQ(snd_input_buffer_open(&in, text, static_cast<ssize_t>(sizeof(text) - 1)), 0);
	ASSERT_EQ(snd_config_load(conf, in), 0);
	snd_input_close(in);

	AudioSupport audio;
	ASSERT_EQ(snd_pcm_open_lconf(&audio.m_pHeadsetAudioCaptureHandle, "quiet", SND_PCM_STREAM_CAPTURE, 0, conf), 0);

	std::vector<unsigned char> raw(AudioRawBufferBytes);
	int reads = 0;
	auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
	while (std::chrono::steady_clock::now() < end) {
		EXPECT_LT(audio.readBlock(raw.data()), 0);
		reads++;
	}
	EXPECT_LE(reads, 300 / static_cast<int>(AudioSupport::ReadRetryWaitUs / 1000) + 1);

	snd_pcm_close(audio.m_pHeadsetAudioCaptureHandle);
	snd_config_delete(conf);
}

}  // namespace
