// Audio routing on the board: codec gain writes and the selector behind a failed mapping.

#include <vector>

#include <gtest/gtest.h>

#include "adv7619.h"
#include "sim_board_fixture.h"

namespace {

class AudioRouting : public simtest::BoardTest {
protected:
	adv7619 receiver_;
};

TEST_F(AudioRouting, GainsGoToBothChannelsAsTheirLowByte)
{
	receiver_.SetAnalogAudioInGain(96);
	receiver_.SetAnalogAudioOutGain(300);
	EXPECT_EQ(events_of("i2c-0"), (std::vector<nlohmann::json>{{{"addr", 24}, {"reg", 15}, {"val", 96}},
	                                                            {{"addr", 24}, {"reg", 16}, {"val", 96}},
	                                                            {{"addr", 24}, {"reg", 43}, {"val", 44}},
	                                                            {{"addr", 24}, {"reg", 44}, {"val", 44}}}));
}

TEST_F(AudioRouting, FailedMappingSaysSoOnceAndNeverWritesTheSelector)
{
	testing::internal::CaptureStdout();
	receiver_.init_audinsel(-1);
	receiver_.SetAudioInSel(1);
	receiver_.SetAudioInSel(0);
	receiver_.deinit_audinsel();
	EXPECT_EQ(testing::internal::GetCapturedStdout(), "failed to map the audio input select registers\n");
	EXPECT_EQ(events_of("gpio").size(), 0u);
}

}  // namespace
