// The program's format detection (adv7619): every format the web interface names, the clock
// windows and raster limits, no source and a receiver that does not answer; the receiver
// model plays the signal.
#include <algorithm>
#include <iterator>
#include <tuple>

#include "adv7619_fixture.h"
#include "mervane_av_format.h"

namespace {

using simtest::Adv7619ModelTest;

TEST_F(Adv7619ModelTest, EveryWebInterfaceFormatIsDetectedAsItsCode)
{
	load_table();
	// Each format's code and the frame rate the encoder behind the receiver is fed.
	const std::tuple<int, uint32_t, uint32_t> formats[] = {
		{video_format_2160_30p, 30000, 1000},    {video_format_2160_29p, 30000, 1001},
		{video_format_2160_25p, 25000, 1000},    {video_format_2160_24p, 24000, 1000},
		{video_format_2160_23_95p, 24000, 1001}, {video_format_1080_60p, 60000, 1000},
		{video_format_1080_59p, 60000, 1001},    {video_format_1080_50p, 50000, 1000},
		{video_format_1080_30p, 30000, 1000},    {video_format_1080_29p, 30000, 1001},
		{video_format_1080_25p, 25000, 1000},    {video_format_1080_24p, 24000, 1000},
		{video_format_1080_23_95p, 24000, 1001}, {video_format_1080_30i, 30000, 1000},
		{video_format_1080_29i, 30000, 1001},    {video_format_1080_25i, 25000, 1000},
		{video_format_720_60p, 60000, 1000},     {video_format_720_59p, 60000, 1001},
		{video_format_720_50p, 50000, 1000},
	};
	ASSERT_EQ(std::size(formats), std::size(kVideoFormatNames));
	for (const auto& [code, rate_n, rate_d] : formats) {
		const char* name = video_format_name(code);
		EXPECT_EQ(format_for(name), code) << name;
		EXPECT_EQ(rx_.adv7619_get_connected(), 1) << name;
		const sim::HdmiSource source = model_->source();
		EXPECT_EQ(source.rate_n, rate_n) << name;
		EXPECT_EQ(source.rate_d, rate_d) << name;
	}
}

TEST_F(Adv7619ModelTest, ClockWindowEdgesAndOddRasters)
{
	load_table();
	EXPECT_EQ(format_for("timing 1920 1080 2200 65"), video_format_not_valid);
	EXPECT_EQ(format_for("timing 1920 1080 2200 74.1953125"), video_format_1080_29p);
	EXPECT_EQ(format_for("timing 1920 1080 2200 74.203125"), video_format_1080_30p);
	EXPECT_EQ(format_for("timing 3840 2160 4400 296.6953125"), video_format_2160_29p);
	EXPECT_EQ(format_for("timing 3840 2160 4400 296.703125"), video_format_2160_30p);
	EXPECT_EQ(format_for("timing 3840 2160 4400 297.0"), video_format_2160_30p);
	// The clock reads in whole 1/128 MHz steps, rounded down: 297/1.001 MHz reads 296.703125,
	// just above the window, which is why the 2160p29.97 setting reads one step lower.
	EXPECT_EQ(format_for("timing 3840 2160 4400 296.7033"), video_format_2160_30p);
	EXPECT_EQ(format_for("timing 3840 2160 4400 296.703"), video_format_2160_29p);
	EXPECT_EQ(format_for("timing 1920 1080 2200 74.2"), video_format_1080_29p) << "74.2 reads as 74.1953125";
	EXPECT_EQ(format_for("timing 1920 539 2200 74.25 i"), video_format_1080_30i);
	EXPECT_EQ(format_for("timing 1920 541 2640 74.25 i"), video_format_1080_25i);
	EXPECT_EQ(format_for("timing 1920 542 2200 74.25 i"), video_format_not_valid);
	EXPECT_EQ(format_for("timing 1280 540 2200 74.25 i"), video_format_not_valid);
	EXPECT_EQ(format_for("timing 1920 1080 2000 148.5"), video_format_not_valid);
	EXPECT_EQ(format_for("timing 1920 1080 2200 148.5 i"), video_format_not_valid) << "a 1080-line field is no 1080i";
	EXPECT_EQ(rx_.adv7619_get_connected(), 1);
}

TEST_F(Adv7619ModelTest, NoSourceAndAnUnreadableReceiver)
{
	load_table();
	EXPECT_EQ(format_for("none"), video_format_not_valid);
	EXPECT_EQ(rx_.adv7619_get_connected(), video_format_not_valid);

	EXPECT_EQ(format_for("unreadable"), video_format_detect_failed);
	EXPECT_EQ(rx_.adv7619_get_connected(), -1);
	// A table load to a silent receiver reports every row and is not logged as written.
	size_t events_before = event_lines().size();
	std::string out = testcommon::stdout_of([&] { rx_.adv7619_config(false); });
	EXPECT_NE(out.find("failed to write 0x44 value to 0x4c : 0xfd register at 6\n"), std::string::npos);
	EXPECT_NE(out.find("register at 312\n"), std::string::npos);
	EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 313);
	EXPECT_EQ(event_lines().size(), events_before);

	// It answers again, with the table it held before.
	EXPECT_EQ(format_for("1080p50"), video_format_1080_50p);
	EXPECT_EQ(rx_.adv7619_get_connected(), 1);
}

}  // namespace
