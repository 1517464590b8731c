// Tests of the clip bank: rate conversion, fields, the cache, and clips it must refuse.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>
#include <vector>

#include "av_support.h"
#include "pattern.h"
#include "clip_bank.h"
#include "test_support.h"

namespace {

using testcommon::TempDir;
using testcommon::write_file;

class ClipBankTest : public ::testing::Test {
protected:
	void SetUp() override { setenv("VEXO_PICTURE_CACHE", (dir_.path() + "/cache").c_str(), 1); }
	void TearDown() override { unsetenv("VEXO_PICTURE_CACHE"); }

	// One second of a moving test source at `rate` frames a second, made by ffmpeg.
	std::string make_clip(int rate)
	{
		const std::string clip = dir_.path() + "/clip" + std::to_string(rate) + ".mkv";
		const std::string cmd = "ffmpeg -loglevel error -y -f lavfi -i testsrc2=size=320x240:rate=" +
		                        std::to_string(rate) + ":duration=1 -c:v ffv1 " + clip;
		EXPECT_EQ(system(cmd.c_str()), 0) << cmd;
		return clip;
	}

	static sim::ClipBankKey key(int width, int height, int rate_n, int rate_d, bool fields = false)
	{
		sim::ClipBankKey k;
		k.width = width;
		k.height = height;
		k.rate_n = rate_n;
		k.rate_d = rate_d;
		k.fields = fields;
		return k;
	}

	TempDir dir_{"vexo-clip"};
};

TEST_F(ClipBankTest, ClipIsConvertedToTheRateEncodedAndThenReadFromTheCache)
{
	const std::string clip = make_clip(25);
	std::string error;
	size_t made = 0;
	auto bank = sim::ClipBank::open(clip, key(192, 108, 50, 1), error, [&](size_t done, size_t) { made = done; });
	ASSERT_TRUE(bank) << error;
	EXPECT_EQ(bank->count(), 50u);  // each of the 25 frames twice
	EXPECT_EQ(made, 50u);
	std::vector<uint8_t> entry;
	for (size_t i : {size_t{0}, size_t{49}}) {
		ASSERT_TRUE(bank->read(i, entry));
		auto picture = vexo_av::decode_one(AV_CODEC_ID_SPEEDHQ, entry.data(), entry.size(), 192, 108,
		                                   MKTAG('S', 'H', 'Q', '2'), &error);
		ASSERT_TRUE(picture) << error;
		EXPECT_EQ(picture->height, 108);
	}
	// A repeated frame is the same entry twice; the next frame differs.
	std::vector<uint8_t> a, b, c;
	ASSERT_TRUE(bank->read(2, a) && bank->read(3, b) && bank->read(4, c));
	EXPECT_EQ(a, b);
	EXPECT_NE(b, c);

	made = 0;
	auto again = sim::ClipBank::open(clip, key(192, 108, 50, 1), error, [&](size_t done, size_t) { made = done; });
	ASSERT_TRUE(again) << error;
	EXPECT_EQ(made, 0u);
	EXPECT_EQ(again->path(), bank->path());
	EXPECT_EQ(again->count(), 50u);
}

TEST_F(ClipBankTest, FieldsComeInPairsAndFasterRatesDropFrames)
{
	const std::string clip = make_clip(30);
	std::string error;
	// 59.94 fields a second from 30 frames: an even count of entries, field height.
	auto fields = sim::ClipBank::open(clip, key(192, 54, 60000, 1001, true), error);
	ASSERT_TRUE(fields) << error;
	EXPECT_EQ(fields->count() % 2, 0u);
	EXPECT_NEAR(static_cast<double>(fields->count()), 60.0, 2.0);
	// 10 frames a second from 30: one in three kept.
	auto slow = sim::ClipBank::open(clip, key(192, 108, 10, 1), error);
	ASSERT_TRUE(slow) << error;
	EXPECT_EQ(slow->count(), 10u);
}

TEST_F(ClipBankTest, PatternFramesCarryTheirNumbersInOrder)
{
	std::string error;
	auto bank = sim::ClipBank::open(sim::kPatternName, key(960, 540, 60000, 1001), error);
	ASSERT_TRUE(bank) << error;
	ASSERT_EQ(bank->count(), static_cast<size_t>(vexo_av::kPatternFrames));
	std::vector<uint8_t> entry;
	for (size_t i : {size_t{0}, size_t{1}, size_t{77}, size_t{119}}) {
		ASSERT_TRUE(bank->read(i, entry));
		auto picture = vexo_av::decode_one(AV_CODEC_ID_SPEEDHQ, entry.data(), entry.size(), 960, 540,
		                                   MKTAG('S', 'H', 'Q', '2'), &error);
		ASSERT_TRUE(picture) << error;
		EXPECT_EQ(vexo_av::pattern_number(picture->data[0], picture->linesize[0], 960, 540), static_cast<int>(i));
	}
}

TEST_F(ClipBankTest, ClipsThatCannotBeReadAreRefusedWithTheirReason)
{
	std::string error;
	EXPECT_FALSE(sim::ClipBank::open(dir_.path() + "/missing.mkv", key(192, 108, 50, 1), error));
	EXPECT_NE(error.find("missing.mkv"), std::string::npos) << error;

	write_file(dir_.path() + "/text.mkv", "not a clip\n");
	error.clear();
	EXPECT_FALSE(sim::ClipBank::open(dir_.path() + "/text.mkv", key(192, 108, 50, 1), error));
	EXPECT_NE(error.find("text.mkv"), std::string::npos) << error;

	// A file with audio only has no video stream.
	const std::string tone = dir_.path() + "/tone.wav";
	ASSERT_EQ(system(("ffmpeg -loglevel error -y -f lavfi -i sine=duration=0.2 " + tone).c_str()), 0);
	error.clear();
	EXPECT_FALSE(sim::ClipBank::open(tone, key(192, 108, 50, 1), error));
	EXPECT_NE(error.find("no video stream"), std::string::npos) << error;
}

}  // namespace
