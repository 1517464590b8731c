// The acquisition thread against the encoder model: start-up drop, preview skipping, fields,
// and every check that skips a frame.
#include "encoder_video_fixture.h"
#include "mervane_av_format.h"

namespace {

using namespace std::chrono_literals;
using videotest::Req;
using videotest::StdoutCapture;

class Acquisition : public videotest::VideoTest {
protected:
	// Bank positions of the full frames received so far.
	std::vector<int> full_positions(const sim::SpeedhqBankKey& k)
	{
		std::lock_guard<std::mutex> guard(tap.mutex);
		std::vector<int> out;
		for (auto& f : tap.full)
			out.push_back(bank_index(*f, k));
		return out;
	}

	size_t full_count()
	{
		std::lock_guard<std::mutex> guard(tap.mutex);
		return tap.full.size();
	}

	bool wait_full(size_t n)
	{
		return tap.wait([&] { return tap.full.size() >= n; });
	}

	// Number of frames lost between consecutive received ones, from the `from`-th on.
	int frames_skipped(const sim::SpeedhqBankKey& k, size_t from)
	{
		std::vector<int> pos = full_positions(k);
		const int n = sim::speedhq_bank_length(k.width, k.height);
		int skipped = 0;
		for (size_t i = from + 1; i < pos.size(); ++i)
			skipped += ((pos[i] - pos[i - 1] + n) % n) - 1;
		return skipped;
	}
};

TEST_F(Acquisition, SixtyFullFramesAreDroppedAfterStartAndPreviewTakesEverySecond)
{
	StdoutCapture out(path("out.txt"));
	run_acquisition(video_format_1080_59p, 2, 0);
	ASSERT_TRUE(wait_full(4));
	ASSERT_TRUE(tap.wait([&] { return tap.prvw.size() >= 2; }));
	stop_acquisition();

	// Device frames are numbered from 0; the bank loops every 16. The 61st frame (number 60)
	// is the first queued; the preview of the 60th pass is already queued.
	const auto program = key(1920, 1080, false);
	const auto preview = key(640, 360, true);
	std::vector<int> pos = full_positions(program);
	ASSERT_GE(pos.size(), 4u);
	EXPECT_EQ((std::vector<int>{60 % 16, 61 % 16, 62 % 16, 63 % 16}), std::vector<int>(pos.begin(), pos.begin() + 4));
	EXPECT_EQ(59 % 16, bank_index(*tap.prvw[0], preview));
	EXPECT_EQ(61 % 16, bank_index(*tap.prvw[1], preview));

	for (auto& f : tap.full) {
		expect_frame(*f, 1920, 1080, NDIlib_FourCC_video_type_ex_SHQ2_highest_bandwidth, 60000, 1001);
		EXPECT_EQ(NDIlib_frame_format_type_progressive, f->frame_format_type);
	}
	for (auto& f : tap.prvw)
		expect_frame(*f, 640, 360, NDIlib_FourCC_video_type_ex_SHQ0_lowest_bandwidth, 30000, 1001);
	EXPECT_EQ(1u, out.count("START send_video_frame"));
	EXPECT_EQ(1u, out.count("END send_video_frame"));
	EXPECT_EQ(60, tx.init_frame_drop);
}

TEST_F(Acquisition, WithoutSkippingEveryFullFrameBringsItsPreview)
{
	hdmi_ = "1080p30";
	tx.init_frame_drop_count = 0;
	run_acquisition(video_format_1080_30p, 2, 0);
	ASSERT_TRUE(wait_full(3));
	ASSERT_TRUE(tap.wait([&] { return tap.prvw.size() >= 3; }));
	stop_acquisition();
	const auto preview = key(640, 360, true);
	EXPECT_EQ(0, bank_index(*tap.prvw[0], preview));
	EXPECT_EQ(1, bank_index(*tap.prvw[1], preview));
	EXPECT_EQ(2, bank_index(*tap.prvw[2], preview));
}

TEST_F(Acquisition, InterlacedInputGivesAlternatingFieldsOfHalfHeight)
{
	hdmi_ = "1080i59.94";
	run_acquisition(video_format_1080_29i, 3, 0);
	ASSERT_TRUE(wait_full(4));
	ASSERT_TRUE(tap.wait([&] { return tap.prvw.size() >= 2; }));
	stop_acquisition();
	for (size_t i = 0; i < 4; ++i) {
		EXPECT_EQ(540, tap.full[i]->yres);
		EXPECT_EQ(30000, tap.full[i]->frame_rate_N);
		EXPECT_EQ(1001, tap.full[i]->frame_rate_D);
		// Field 60 is the first queued: an even number, so field 0 first.
		EXPECT_EQ(i % 2 == 0 ? NDIlib_frame_format_type_field_0 : NDIlib_frame_format_type_field_1,
		          tap.full[i]->frame_format_type);
	}
	EXPECT_EQ(NDIlib_frame_format_type_progressive, tap.prvw[0]->frame_format_type);
	std::vector<int> pos = full_positions(key(1920, 540, false));
	EXPECT_EQ(60 % 16, pos[0]);
}

TEST_F(Acquisition, FrameFaultsSkipOneFrameEachAndTheLoopGoesOn)
{
	tx.init_frame_drop_count = 0;  // the drop is covered above; here every frame counts
	const auto program = key(1920, 1080, false);
	run_acquisition(video_format_1080_59p, 2, 0);
	ASSERT_TRUE(wait_full(3));
	for (const char* fault : {"badheader", "shortread", "selectfail", "sizefail", "hugesize"}) {
		SCOPED_TRACE(fault);
		size_t before = full_count();
		ASSERT_TRUE(model().control(fault));
		ASSERT_TRUE(wait_full(before + 4));
		EXPECT_EQ(1, frames_skipped(program, before - 1));
	}
	stop_acquisition();
	EXPECT_LT(model().largest_read(), static_cast<size_t>(sim::EncoderModel::kHugeSize))
		<< "a frame of an impossible size is not read";
	// Every queued frame passed the header check.
	for (auto& f : tap.full) {
		EXPECT_LE(f->frame_data[0], 99);
		EXPECT_GE(bank_index(*f, program), 0);
	}
}

TEST_F(Acquisition, StatusFaultsPrintTheirLinesAndOnlyAHighNumberRestartsTheEncoder)
{
	tx.init_frame_drop_count = 0;
	const auto program = key(1920, 1080, false);
	StdoutCapture out(path("out.txt"));
	run_acquisition(video_format_1080_59p, 2, 0);
	ASSERT_TRUE(wait_full(3));

	// novalid 0: the lines, no restart.
	size_t reqs = requests().size();
	size_t before = full_count();
	ASSERT_TRUE(model().control("novalid 0"));
	ASSERT_TRUE(wait_full(before + 4));
	auto buffer0 = out.find("Buffer 0 ");
	ASSERT_TRUE(buffer0.has_value());
	EXPECT_EQ("!!!!!!!!!!!!!!!!!!!!!!!!!!!!NOVALID FRAME", out.lines().at(*buffer0 + 1));
	EXPECT_EQ(1, frames_skipped(program, before - 1));
	EXPECT_TRUE(requests(reqs).empty()) << "no hold or release";

	// same: the repeat is seen in word 4.
	before = full_count();
	ASSERT_TRUE(model().control("same"));
	ASSERT_TRUE(wait_full(before + 4));
	auto lines = out.lines();
	auto same = std::find(lines.begin(), lines.end(), "!!!!!!!!!!!!!!!!!!!!!!!!!!!!SAME FRAME");
	ASSERT_NE(lines.end(), same);
	EXPECT_EQ(0u, (same - 1)->rfind("Buffer ", 0));
	EXPECT_EQ(1, frames_skipped(program, before - 1));

	// novalid 6: the lines, then hold and release.
	reqs = requests().size();
	before = full_count();
	ASSERT_TRUE(model().control("novalid 6"));
	ASSERT_TRUE(wait_full(before + 4));
	auto buffer6 = out.find("Buffer 6 ");
	ASSERT_TRUE(buffer6.has_value());
	EXPECT_EQ("!!!!!!!!!!!!!!!!!!!!!!!!!!!!NOVALID FRAME", out.lines().at(*buffer6 + 1));
	EXPECT_EQ((std::vector<Req>{{1, -1}, {0, -1}}), requests(reqs));
	stop_acquisition();
	EXPECT_EQ(1u, out.count("END send_video_frame"));
}

TEST_F(Acquisition, StopWithEmptyQueuesEndsBothStreamsWithinAFramePeriod)
{
	hdmi_ = "1080p24";
	run_acquisition(video_format_1080_24p, 2, 0);
	// Running: frames are being read (the model's first picture encode is behind it).
	ASSERT_TRUE(wait_until([&] { return model().largest_read() > 0; }, 10000ms));
	auto asked = std::chrono::steady_clock::now();
	stop_acquisition();
	EXPECT_LT(std::chrono::steady_clock::now() - asked, 1s);
	EXPECT_TRUE(tap.full_ended);
	EXPECT_TRUE(tap.prvw_ended);
	EXPECT_TRUE(tap.full.empty()) << "still inside the start-up drop";
	EXPECT_TRUE(tx.m_ndi_full_send_queue.empty());
	EXPECT_TRUE(tx.m_ndi_prvw_send_queue.empty());
}

}  // namespace
