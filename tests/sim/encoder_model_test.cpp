// The encoder model on its own: its frames, its frame clock, its selection and its faults.
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include "av_support.h"
#include "pattern.h"
#include "encoder_model.h"
#include "speedhq_bank.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;
using sim::EncoderDevice;
using sim::EncoderModel;
using sim::EncoderSource;
namespace enc = mervane_speedhq;

// Decodes one SpeedHQ frame as an NDI receiver would: the FourCC gives the sampling, the
// frame description the raster. Returns the decoded pixel format, or -1.
int decode_speedhq(const std::vector<uint8_t>& bytes, int width, int height, bool chroma_420)
{
	vexo_av::FramePtr frame = vexo_av::decode_one(AV_CODEC_ID_SPEEDHQ, bytes.data(), bytes.size(), width, height,
	                                              chroma_420 ? MKTAG('S', 'H', 'Q', '0') : MKTAG('S', 'H', 'Q', '2'));
	return frame && frame->width == width && frame->height == height ? frame->format : -1;
}

// The decoded picture of a SpeedHQ frame as its three planes' rows, empty when it does not decode.
std::vector<uint8_t> decoded_pixels(const std::vector<uint8_t>& bytes, int width, int height)
{
	vexo_av::FramePtr f = vexo_av::decode_one(AV_CODEC_ID_SPEEDHQ, bytes.data(), bytes.size(), width, height,
	                                          MKTAG('S', 'H', 'Q', '2'));
	std::vector<uint8_t> pixels;
	if (!f)
		return pixels;
	for (int plane = 0; plane < 3; ++plane) {
		const int w = plane == 0 ? width : width / 2;
		for (int y = 0; y < height; ++y)
			pixels.insert(pixels.end(), f->data[plane] + y * f->linesize[plane], f->data[plane] + y * f->linesize[plane] + w);
	}
	return pixels;
}

std::vector<uint8_t> stuffed(const std::vector<uint8_t>& frame, size_t size, size_t count)
{
	std::vector<uint8_t> out(count, 0xAA);
	out.resize(sim::speedhq_write_stuffed(frame, size, out.data(), count));
	return out;
}

EncoderSource source_1080p(int rate_n, int rate_d)
{
	return EncoderSource{true, 1920, 1080, false, rate_n, rate_d};
}

// A released model on one descriptor, with a source the test chooses.
struct ModelFixture : ::testing::Test {
	std::shared_ptr<EncoderModel> model = std::make_shared<EncoderModel>(nullptr);
	EncoderDevice dev{model};
	EncoderSource source = source_1080p(60000, 1001);
	uint32_t words[6] = {};

	void SetUp() override
	{
		model->set_source_provider([this] { return source; });
		ASSERT_EQ(0, request(enc::kMode, 2));
		ASSERT_EQ(0, request(enc::kEnable4k, 0));
		ASSERT_EQ(0, request(enc::kPixFormat420, 0));
		ASSERT_EQ(0, dev.ioctl(enc::kRelease, nullptr));
	}

	int request(unsigned long req, int32_t value) { return dev.ioctl(req, &value); }
	int request_out(unsigned long req, int32_t& value) { return dev.ioctl(req, &value); }

	// Selects the status and reads it into `words`; returns the buffer number.
	int status()
	{
		EXPECT_EQ(0, request(enc::kReadSelect, enc::kSelectStatus));
		return static_cast<int>(dev.read(words, 6));
	}

	// Selects a stream, asks its size and reads it.
	std::vector<uint8_t> frame(int selection)
	{
		int32_t size = 0;
		EXPECT_EQ(0, request(enc::kReadSelect, selection));
		EXPECT_EQ(0, request_out(enc::kFrameSize, size));
		std::vector<uint8_t> bytes(size > 0 ? size : 0);
		ssize_t got = dev.read(bytes.data(), bytes.size());
		bytes.resize(got > 0 ? got : 0);
		return bytes;
	}
};

TEST(SpeedhqBank, FramesCarryTheDeviceHeaderAndDecodeWithLibavcodec)
{
	struct Case {
		int w, h;
		bool c420;
		int pix_fmt;
	} cases[] = {
		{1920, 1080, false, AV_PIX_FMT_YUV422P},
		{1920, 540, false, AV_PIX_FMT_YUV422P},
		{640, 360, true, AV_PIX_FMT_YUV420P},
		{1280, 720, false, AV_PIX_FMT_YUV422P},
	};
	for (const Case& c : cases) {
		SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
		const sim::SpeedhqBankKey key{c.w, c.h, c.c420};
		auto bank = sim::speedhq_bank(key);
		ASSERT_TRUE(bank);
		ASSERT_EQ(static_cast<size_t>(sim::speedhq_bank_length(c.w, c.h)), bank->frames.size());
		EXPECT_EQ(0u, bank->frames.size() % 2) << "fields would lose their parity at the wrap";
		for (const sim::SpeedhqFrame& f : bank->frames) {
			ASSERT_GE(f->size(), 4u);
			EXPECT_LE((*f)[0], 99);
			EXPECT_EQ(4, (*f)[1]);
			EXPECT_EQ(0, (*f)[2]);
			EXPECT_EQ(0, (*f)[3]);
		}
		EXPECT_EQ(c.pix_fmt, decode_speedhq(*bank->frames[0], c.w, c.h, c.c420));
		EXPECT_EQ(c.pix_fmt, decode_speedhq(*bank->frames.back(), c.w, c.h, c.c420));
		// A moving picture: consecutive frames differ.
		EXPECT_NE(*bank->frames[0], *bank->frames[1]);
		// Cached: the same key gives the same frames without a second encode.
		EXPECT_EQ(bank, sim::speedhq_bank(key));
	}
}

TEST(SpeedhqBank, BlackAndSwappedChromaAreBanksOfTheirOwn)
{
	sim::SpeedhqBankKey key{640, 360, true};
	sim::SpeedhqBankKey swapped = key;
	swapped.uv_swapped = true;
	sim::SpeedhqBankKey black = key;
	black.black = true;
	auto plain_bank = sim::speedhq_bank(key);
	auto swapped_bank = sim::speedhq_bank(swapped);
	auto black_bank = sim::speedhq_bank(black);
	ASSERT_TRUE(plain_bank && swapped_bank && black_bank);
	EXPECT_NE(*plain_bank->frames[0], *swapped_bank->frames[0]);
	ASSERT_EQ(1u, black_bank->frames.size());
	EXPECT_EQ(AV_PIX_FMT_YUV420P, decode_speedhq(*black_bank->frames[0], 640, 360, true));
}

// Stuffing grows a frame to its target and changes nothing a decoder sees, for one field and
// for a field pair put into one frame the way a receiver joins them.
TEST(SpeedhqBank, StuffedFramesDecodeToTheSamePictureAndKeepTheirHeader)
{
	auto bank = sim::speedhq_bank({1920, 540});
	ASSERT_TRUE(bank);
	const std::vector<uint8_t>& field0 = *bank->frames[0];
	const std::vector<uint8_t>& field1 = *bank->frames[1];
	const size_t limit = 4u * 1920 * 540;

	const size_t target = 3 * field0.size() + 5;  // a share for each slice and a remainder
	ASSERT_EQ(target, sim::speedhq_stuffed_size(field0, static_cast<long>(target), limit));
	std::vector<uint8_t> grown = stuffed(field0, target, target);
	ASSERT_EQ(target, grown.size());
	EXPECT_TRUE(mervane_speedhq::frame_header_ok(grown.data(), grown.size()));
	const std::vector<uint8_t> picture = decoded_pixels(field0, 1920, 540);
	ASSERT_FALSE(picture.empty());
	EXPECT_EQ(picture, decoded_pixels(grown, 1920, 540));
	// A short read gets the stuffed frame's beginning.
	EXPECT_EQ(std::vector<uint8_t>(grown.begin(), grown.begin() + 1000), stuffed(field0, target, 1000));

	// Both fields in one frame: the second field's offset moves with the first field's stuffing.
	std::vector<uint8_t> pair(field0);
	pair[1] = static_cast<uint8_t>(field0.size());
	pair[2] = static_cast<uint8_t>(field0.size() >> 8);
	pair[3] = static_cast<uint8_t>(field0.size() >> 16);
	pair.insert(pair.end(), field1.begin() + 4, field1.end());
	const size_t pair_target = 2 * pair.size();
	ASSERT_EQ(pair_target, sim::speedhq_stuffed_size(pair, static_cast<long>(pair_target), 2 * limit));
	std::vector<uint8_t> pair_grown = stuffed(pair, pair_target, pair_target);
	const size_t offset = pair_grown[1] | (pair_grown[2] << 8) | (pair_grown[3] << 16);
	EXPECT_GT(offset, field0.size());
	EXPECT_LT(offset, pair_target - field1.size());
	const std::vector<uint8_t> pair_picture = decoded_pixels(pair, 1920, 1080);
	ASSERT_FALSE(pair_picture.empty());
	EXPECT_EQ(pair_picture, decoded_pixels(pair_grown, 1920, 1080));

	// Never below the frame, never above the limit, and a frame that is no SpeedHQ stays as it is.
	EXPECT_EQ(field0.size(), sim::speedhq_stuffed_size(field0, 1000, limit));
	EXPECT_EQ(field0.size(), sim::speedhq_stuffed_size(field0, 0, limit));
	EXPECT_EQ(limit, sim::speedhq_stuffed_size(field0, 0x7fffffff, limit));
	std::vector<uint8_t> junk(field0.size(), 0xff);
	EXPECT_EQ(junk.size(), sim::speedhq_stuffed_size(junk, static_cast<long>(target), limit));
}

// The frames follow the rate requests: stuffed up to the target, from a coarser bank below the
// fine one, and no smaller than the coarsest bank can make them. A field 1 keeps its field 0's bank.
TEST_F(ModelFixture, FrameSizesFollowTheRateTargets)
{
	ASSERT_EQ(0, request(enc::kBitRate, 211864));
	ASSERT_EQ(0, request(enc::kBitRatePrev, 43103));
	status();
	EXPECT_EQ(211864u, words[2]);
	EXPECT_EQ(43103u, words[3]);
	std::vector<uint8_t> full = frame(enc::kSelectFull);
	ASSERT_EQ(211864u, full.size());
	EXPECT_EQ(92, full[0]);
	EXPECT_EQ(AV_PIX_FMT_YUV422P, decode_speedhq(full, 1920, 1080, false));
	EXPECT_EQ(43103u, frame(enc::kSelectPreview).size());

	auto fine = sim::speedhq_bank({1920, 1080});
	ASSERT_TRUE(fine);
	const int32_t below_fine = static_cast<int32_t>(fine->largest) - 1;
	ASSERT_EQ(0, request(enc::kBitRate, below_fine));
	status();
	full = frame(enc::kSelectFull);
	EXPECT_EQ(static_cast<size_t>(below_fine), full.size());
	EXPECT_LT(full[0], 92) << "a coarser quantiser";

	ASSERT_EQ(0, request(enc::kBitRate, 1000));
	status();
	full = frame(enc::kSelectFull);
	EXPECT_EQ(100 - 2 * 31, full[0]);
	EXPECT_GT(full.size(), 1000u) << "the coarsest bank's own size";

	ASSERT_EQ(0, request(enc::kMode, 3));
	source.interlaced = true;
	ASSERT_EQ(0, request(enc::kBitRate, 200000));
	int32_t field = -1;
	do {
		status();
		ASSERT_EQ(0, request_out(enc::kField, field));
	} while (field != 0);
	const uint8_t quality0 = frame(enc::kSelectFull)[0];
	EXPECT_EQ(92, quality0);
	ASSERT_EQ(0, request(enc::kBitRate, 1000));
	status();
	EXPECT_EQ(quality0, frame(enc::kSelectFull)[0]) << "field 1 from its field 0's bank";
	status();
	EXPECT_EQ(100 - 2 * 31, frame(enc::kSelectFull)[0]);
}

// Coarser banks of pictures no longer in use go: rate and raster changes cannot grow the cache.
TEST(SpeedhqBank, CoarseBanksAreKeptForTheTwoLatestPicturesOnly)
{
	sim::SpeedhqBankKey fine{640, 360, true};
	sim::SpeedhqBankKey a = fine, b = fine, c = fine;
	a.quantiser = b.quantiser = c.quantiser = 12;
	b.uv_swapped = true;
	c.black = true;
	auto fine_bank = sim::speedhq_bank(fine);
	auto a_bank = sim::speedhq_bank(a);
	auto b_bank = sim::speedhq_bank(b);
	ASSERT_TRUE(fine_bank && a_bank && b_bank);
	EXPECT_EQ(100 - 2 * 12, (*a_bank->frames[0])[0]);
	EXPECT_EQ(a_bank, sim::speedhq_bank(a));
	const size_t held = sim::speedhq_bank_bytes();
	auto c_bank = sim::speedhq_bank(c);  // a third picture: b, the least recently used, goes
	ASSERT_TRUE(c_bank);
	size_t c_bytes = 0;
	for (const sim::SpeedhqFrame& frame : c_bank->frames)
		c_bytes += frame->capacity();
	// b's frames have gone from the count, but the peak holds them with c's: both were in memory.
	EXPECT_LT(sim::speedhq_bank_bytes(), held + c_bytes);
	EXPECT_GE(sim::speedhq_bank_peak_bytes(), held + c_bytes);
	EXPECT_EQ(a_bank, sim::speedhq_bank(a));
	EXPECT_NE(b_bank, sim::speedhq_bank(b));
	EXPECT_EQ(fine_bank, sim::speedhq_bank(fine));
}

TEST_F(ModelFixture, StatusHandsOutBuffersOneToFiveWithThePreviousInWordFour)
{
	int previous = 0;
	for (int i = 0; i < 12; ++i) {
		int buffer = status();
		EXPECT_EQ(i % 5 + 1, buffer);
		EXPECT_EQ(static_cast<uint32_t>(previous), words[4]);
		EXPECT_NE(static_cast<uint32_t>(buffer), words[4]);
		previous = buffer;
	}
}

TEST_F(ModelFixture, StatusReadWaitsForTheFrameClockOfTheSource)
{
	source = source_1080p(50, 1);  // 20 ms a frame
	status();
	auto start = std::chrono::steady_clock::now();
	for (int i = 0; i < 10; ++i)
		status();
	EXPECT_GE(std::chrono::steady_clock::now() - start, 180ms);
}

TEST_F(ModelFixture, ReadsDeliverTheCurrentFramesOfTheProgramModeAndSampling)
{
	status();
	std::vector<uint8_t> full = frame(enc::kSelectFull);
	std::vector<uint8_t> preview = frame(enc::kSelectPreview);
	EXPECT_EQ(AV_PIX_FMT_YUV422P, decode_speedhq(full, 1920, 1080, false));
	EXPECT_EQ(AV_PIX_FMT_YUV420P, decode_speedhq(preview, 640, 360, true));
	EXPECT_EQ(words[2], full.size());
	EXPECT_EQ(words[3], preview.size());

	// 720p mode with 4:2:0 asked for: the program raster follows the mode, the sampling request 3.
	ASSERT_EQ(0, request(enc::kMode, 1));
	ASSERT_EQ(0, request(enc::kPixFormat420, 1));
	status();
	full = frame(enc::kSelectFull);
	EXPECT_EQ(AV_PIX_FMT_YUV420P, decode_speedhq(full, 1280, 720, true));
	auto bank = sim::speedhq_bank({1280, 720, true});
	ASSERT_TRUE(bank);
	EXPECT_NE(bank->frames.end(), std::find_if(bank->frames.begin(), bank->frames.end(),
	                                           [&](const sim::SpeedhqFrame& f) { return *f == full; }));
}

// The pattern number the program frame of the last status read shows; -1 when none.
int shown_number(const std::vector<uint8_t>& full)
{
	vexo_av::FramePtr f = vexo_av::decode_one(AV_CODEC_ID_SPEEDHQ, full.data(), full.size(), 1920, 1080,
	                                          MKTAG('S', 'H', 'Q', '2'));
	return f ? vexo_av::pattern_number(f->data[0], f->linesize[0], 1920, 1080) : -1;
}

TEST_F(ModelFixture, PictureFollowsItsControlAndAnUnreadableClipLeavesItAsItWas)
{
	testcommon::TempDir cache("vexo-picture");
	setenv("VEXO_PICTURE_CACHE", cache.path().c_str(), 1);
	ASSERT_TRUE(model->set_picture("pattern"));
	for (int i = 0; i < 3; ++i) {
		status();
		EXPECT_EQ(shown_number(frame(enc::kSelectFull)), static_cast<int>(words[0] % vexo_av::kPatternFrames));
	}
	const std::string text = cache.path() + "/not-a-clip.mkv";
	testcommon::write_file(text, "text\n");
	for (const std::string& bad : {"clip " + cache.path() + "/missing.mkv", "clip " + text}) {
		ASSERT_TRUE(model->set_picture(bad));
		status();
		EXPECT_EQ(shown_number(frame(enc::kSelectFull)), static_cast<int>(words[0] % vexo_av::kPatternFrames)) << bad;
	}
	ASSERT_TRUE(model->set_picture("testcard"));
	status();
	EXPECT_EQ(shown_number(frame(enc::kSelectFull)), -1);
	EXPECT_FALSE(model->set_picture("film"));
	unsetenv("VEXO_PICTURE_CACHE");
}

TEST_F(ModelFixture, InterlacedModeReportsAlternatingFieldsOfHalfHeight)
{
	ASSERT_EQ(0, request(enc::kMode, 3));
	source.interlaced = true;
	int expected = 0;
	for (int i = 0; i < 6; ++i) {
		status();
		std::vector<uint8_t> full = frame(enc::kSelectFull);
		int32_t field = -1;
		ASSERT_EQ(0, request_out(enc::kField, field));
		EXPECT_EQ(expected, field & 1);
		EXPECT_EQ(AV_PIX_FMT_YUV422P, decode_speedhq(full, 1920, 540, false));
		expected ^= 1;
	}
	ASSERT_EQ(0, request(enc::kMode, 2));
	status();
	int32_t field = -1;
	ASSERT_EQ(0, request_out(enc::kField, field));
	EXPECT_EQ(0, field);
}

TEST_F(ModelFixture, WithoutSourceTheClockRunsOnABlackPicture)
{
	status();
	source.present = false;
	for (int i = 0; i < 3; ++i) {
		int buffer = status();
		EXPECT_GE(buffer, 1);
		EXPECT_LE(buffer, 5);
	}
	sim::SpeedhqBankKey black{1920, 1080};
	black.black = true;
	auto bank = sim::speedhq_bank(black);
	ASSERT_TRUE(bank);
	EXPECT_EQ(*bank->frames[0], frame(enc::kSelectFull));
}

TEST_F(ModelFixture, HoldMakesReadsWaitForTheReleaseAndWakesAWaitingRead)
{
	status();

	// Held: a status read waits until the release.
	// A status read on a thread of its own: its buffer number.
	auto read_status = [&] {
		uint32_t w[6];
		return static_cast<int>(dev.read(w, 6));
	};
	ASSERT_EQ(0, dev.ioctl(enc::kHold, nullptr));
	auto held_read = std::async(std::launch::async, read_status);
	EXPECT_EQ(std::future_status::timeout, held_read.wait_for(150ms));
	ASSERT_EQ(0, dev.ioctl(enc::kRelease, nullptr));
	ASSERT_EQ(std::future_status::ready, held_read.wait_for(2s));
	EXPECT_EQ(2, held_read.get());

	// Released with a slow clock: a hold ends the wait at once with the next frame.
	source = source_1080p(1, 10);  // ten seconds a frame
	status();
	auto slow_read = std::async(std::launch::async, read_status);
	EXPECT_EQ(std::future_status::timeout, slow_read.wait_for(100ms));
	ASSERT_EQ(0, dev.ioctl(enc::kHold, nullptr));
	ASSERT_EQ(std::future_status::ready, slow_read.wait_for(2s));
	EXPECT_EQ(4, slow_read.get());
}

TEST_F(ModelFixture, SelectionSurvivesTheOtherThreadsRequests)
{
	status();
	ASSERT_EQ(0, request(enc::kReadSelect, enc::kSelectPreview));
	std::thread settings([&] {
		for (int i = 0; i < 200; ++i) {
			int32_t v = 5000 + i;
			dev.ioctl(enc::kBitRate, &v);
			dev.ioctl(enc::kBitRatePrev, &v);
			v = 0;
			dev.ioctl(enc::kQSel, &v);
			v = 62;
			dev.ioctl(enc::kQuality, &v);
		}
	});
	int32_t size = 0;
	for (int i = 0; i < 200; ++i) {
		ASSERT_EQ(0, request_out(enc::kFrameSize, size));
		ASSERT_EQ(words[3], static_cast<uint32_t>(size));
	}
	settings.join();
	EXPECT_EQ(5199, model->settings().bit_rate);
	EXPECT_EQ(62, model->settings().quality);
}

TEST_F(ModelFixture, ProtocolErrorsFailLikeTheDriver)
{
	int32_t bad = 4;
	EXPECT_EQ(-1, dev.ioctl(enc::kReadSelect, &bad));
	EXPECT_EQ(EINVAL, errno);
	EXPECT_EQ(-1, dev.ioctl(2, &bad));
	EXPECT_EQ(ENOTTY, errno);
	EXPECT_EQ(-1, dev.ioctl(enc::kBitRate, nullptr));
	EXPECT_EQ(EFAULT, errno);
	// Nothing encoded yet on a fresh model: no full frame to size.
	auto fresh = std::make_shared<EncoderModel>(nullptr);
	EncoderDevice other(fresh);
	int32_t sel = enc::kSelectFull;
	ASSERT_EQ(0, other.ioctl(enc::kReadSelect, &sel));
	int32_t size = 0;
	EXPECT_EQ(-1, other.ioctl(enc::kFrameSize, &size));
}

TEST_F(ModelFixture, EachInjectedFaultHitsOnceThenTheDeviceIsWellAgain)
{
	status();

	ASSERT_TRUE(model->control("novalid 6"));
	EXPECT_EQ(6, status());
	EXPECT_GE(status(), 1);

	ASSERT_TRUE(model->control("same"));
	int buffer = status();
	EXPECT_EQ(static_cast<uint32_t>(buffer), words[4]);
	buffer = status();
	EXPECT_NE(static_cast<uint32_t>(buffer), words[4]);

	ASSERT_TRUE(model->control("badheader"));
	EXPECT_EQ(100, frame(enc::kSelectFull)[0]);
	EXPECT_LE(frame(enc::kSelectFull)[0], 99);

	ASSERT_TRUE(model->control("shortread"));
	status();
	EXPECT_LT(frame(enc::kSelectFull).size(), words[2]);
	EXPECT_EQ(words[2], frame(enc::kSelectFull).size());

	ASSERT_TRUE(model->control("selectfail"));
	EXPECT_EQ(-1, request(enc::kReadSelect, enc::kSelectFull));
	EXPECT_EQ(0, request(enc::kReadSelect, enc::kSelectFull));

	int32_t size = 0;
	ASSERT_TRUE(model->control("sizefail"));
	EXPECT_EQ(-1, request_out(enc::kFrameSize, size));
	EXPECT_EQ(0, request_out(enc::kFrameSize, size));

	ASSERT_TRUE(model->control("hugesize"));
	ASSERT_EQ(0, request_out(enc::kFrameSize, size));
	EXPECT_EQ(EncoderModel::kHugeSize, size);
	ASSERT_EQ(0, request_out(enc::kFrameSize, size));
	EXPECT_EQ(words[2], static_cast<uint32_t>(size));

	// "ok" disarms whatever is pending.
	ASSERT_TRUE(model->control("novalid 0"));
	ASSERT_TRUE(model->control("sizefail"));
	ASSERT_TRUE(model->control("ok"));
	EXPECT_GE(status(), 1);
	EXPECT_EQ(0, request(enc::kReadSelect, enc::kSelectFull));
	EXPECT_EQ(0, request_out(enc::kFrameSize, size));

	EXPECT_FALSE(model->control("explode"));
	EXPECT_FALSE(model->control("novalid"));
}

}  // namespace
