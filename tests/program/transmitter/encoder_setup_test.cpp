// Opening, programming and stopping the encoder device, and the encoding threads' order.

#include <future>

#include "encoder_video_fixture.h"
#include "mervane_av_format.h"

namespace {

using namespace std::chrono_literals;
using videotest::Req;
using videotest::StdoutCapture;

namespace enc = mervane_speedhq;
const Req hold{enc::kHold, -1};
const Req release{enc::kRelease, -1};

class EncoderSetup : public videotest::VideoTest {
protected:
	// Waits until the acquisition thread has released the encoder after a start.
	bool wait_for_release(size_t from)
	{
		return wait_until([&] {
			auto r = start_stop_requests(from);
			return r.size() >= 10 && r[9] == release;
		});
	}
};

TEST_F(EncoderSetup, OpenHoldsAndPreparesTheDeviceAndCloseHoldsIt)
{
	StdoutCapture out(path("out.txt"));
	tx.map_NdiTransmitter_mem(1234);
	EXPECT_GT(tx.m_mervanespeedhqDevice, 2);
	EXPECT_EQ((std::vector<Req>{hold, {enc::kLowAc, 1}, {enc::kSwitchBuff, 1}}), requests());
	tx.unmap_NdiTransmitter_mem();
	EXPECT_EQ(-1, tx.m_mervanespeedhqDevice);
	EXPECT_EQ((std::vector<Req>{hold, {enc::kLowAc, 1}, {enc::kSwitchBuff, 1}, hold}), requests());
	EXPECT_EQ((std::vector<std::string>{"Open m_mervanespeedhqDevice", "Close m_mervanespeedhqDevice"}), out.lines());
	// A second close does not touch a descriptor that is gone.
	tx.unmap_NdiTransmitter_mem();
	EXPECT_EQ(-1, tx.m_mervanespeedhqDevice);
}

TEST_F(EncoderSetup, StartWith1080p60ProgramsTheDeviceInOrderAndDescribesBothStreams)
{
	tx.map_NdiTransmitter_mem(-1);
	const size_t from = requests().size();
	StdoutCapture out(path("out.txt"));
	tx.encoder_pix_format_420 = 0;
	tx.start_encode(video_format_1080_60p, 0);
	ASSERT_TRUE(wait_for_release(from));
	EXPECT_EQ((std::vector<Req>{hold, {enc::kUvSwap, 0}, {enc::kDci, 0}, {enc::kMode, enc::kMode1080p},
	                            {enc::kEnable4k, 0}, hold, release, hold, {enc::kPixFormat420, 0}, release}),
	          start_stop_requests(from));

	expect_frame(tx.prog_info_frame, 1920, 1080, NDIlib_FourCC_video_type_ex_SHQ2_highest_bandwidth, 60000, 1000);
	EXPECT_EQ(NDIlib_frame_format_type_progressive, tx.prog_info_frame.frame_format_type);
	EXPECT_FLOAT_EQ(1.7777778f, tx.prog_info_frame.picture_aspect_ratio);
	expect_frame(tx.prev_info_frame, 640, 360, NDIlib_FourCC_video_type_ex_SHQ0_lowest_bandwidth, 30000, 1000);
	EXPECT_TRUE(tx.skip_prev_frame_en);
	EXPECT_FALSE(tx.interlaced_field);

	tx.stop_encode();
	EXPECT_EQ(hold, start_stop_requests().back()) << "stopped encoding leaves the device held";
	auto lines = out.lines();
	const std::vector<std::string> start_lines{"Setup encode", "video format passed 2b", "setup_video_frame",
	                                           "SET PROG SR 422", "startencodeThreads", "creat_encode_threads"};
	EXPECT_TRUE(std::equal(start_lines.begin(), start_lines.end(), lines.begin())) << out.lines().size();
}

TEST_F(EncoderSetup, A2160pStartAfter1080iResetsFieldsAndSkipping)
{
	write_text("sim/hdmi", "1080i59.94\n");
	tx.map_NdiTransmitter_mem(-1);
	StdoutCapture out(path("out.txt"));
	tx.start_encode(video_format_1080_29i, 0);
	EXPECT_TRUE(tx.interlaced_field);
	EXPECT_TRUE(tx.skip_prev_frame_en);
	EXPECT_EQ(540, tx.prog_info_frame.yres);
	tx.stop_encode();

	write_text("sim/hdmi", "2160p25\n");
	const size_t from = requests().size();
	tx.encoder_pix_format_420 = 1;
	tx.start_encode(video_format_2160_25p, 1);
	ASSERT_TRUE(wait_for_release(from));
	EXPECT_EQ((std::vector<Req>{hold, {enc::kUvSwap, 1}, {enc::kDci, 0}, {enc::kMode, enc::kMode2160p},
	                            {enc::kEnable4k, 1}, hold, release, hold, {enc::kPixFormat420, 1}, release}),
	          start_stop_requests(from));
	EXPECT_FALSE(tx.interlaced_field);
	EXPECT_FALSE(tx.skip_prev_frame_en);
	expect_frame(tx.prog_info_frame, 3840, 2160, NDIlib_FourCC_video_type_ex_SHQ0_highest_bandwidth, 30000, 1200);
	EXPECT_EQ(30000, tx.prev_info_frame.frame_rate_N);
	EXPECT_EQ(1200, tx.prev_info_frame.frame_rate_D);
	tx.stop_encode();
	EXPECT_TRUE(out.find("SET PROG SR 420").has_value());
	EXPECT_TRUE(out.find("video format passed 33").has_value());
}

TEST_F(EncoderSetup, ACodeOutsideTheTableKeepsTheLastRasterAndRates)
{
	tx.map_NdiTransmitter_mem(-1);
	tx.setup_video_frame(video_format_720_50p);
	const size_t from = requests().size();
	tx.start_encode(30, 0);
	tx.stop_encode();
	std::vector<Req> sent = start_stop_requests(from);
	sent.resize(std::min<size_t>(sent.size(), 5));
	EXPECT_EQ((std::vector<Req>{hold, {enc::kUvSwap, 0}, {enc::kDci, 0}, {enc::kMode, enc::kMode1080p}, {enc::kEnable4k, 0}}),
	          sent);
	expect_frame(tx.prog_info_frame, 1280, 720, NDIlib_FourCC_video_type_ex_SHQ2_highest_bandwidth, 60000, 1200);
	EXPECT_EQ(30000, tx.prev_info_frame.frame_rate_N);
	EXPECT_EQ(1200, tx.prev_info_frame.frame_rate_D);
	EXPECT_TRUE(tx.skip_prev_frame_en);
	// Code 1: full 24000/1001, preview announced at 30000/1001, every preview kept.
	tx.setup_video_frame(video_format_1080_23_95p);
	EXPECT_EQ(24000, tx.prog_info_frame.frame_rate_N);
	EXPECT_EQ(1001, tx.prog_info_frame.frame_rate_D);
	EXPECT_EQ(30000, tx.prev_info_frame.frame_rate_N);
	EXPECT_FALSE(tx.skip_prev_frame_en);
}

TEST_F(EncoderSetup, ThreadsStartInOrderAndAreJoinedAcquisitionFirst)
{
	tx.map_NdiTransmitter_mem(-1);
	StdoutCapture out(path("out.txt"));
	tx.start_encode(video_format_1080_59p, 0);
	EXPECT_TRUE(tx.encode_settings_thread.joinable());
	EXPECT_TRUE(tx.get_tally_thread.joinable());
	EXPECT_TRUE(tx.wait_ndi_frame_thread.joinable());
	EXPECT_TRUE(tx.send_ndi_frame_prog_thread.joinable());
	EXPECT_TRUE(tx.send_ndi_frame_prev_thread.joinable());
	EXPECT_TRUE(tx.tally_running);
	ASSERT_TRUE(wait_until([&] { return out.find("START send_video_frame").has_value(); }));
	tx.audio_en = true;
	tx.stop_encode();

	EXPECT_FALSE(tx.encodeRunning);
	EXPECT_FALSE(tx.tally_running);
	EXPECT_FALSE(tx.audio_en);
	EXPECT_FALSE(tx.wait_ndi_frame_thread.joinable());
	EXPECT_FALSE(tx.send_ndi_frame_prog_thread.joinable());

	auto at = [&](const std::string& line) {
		auto i = out.find(line);
		EXPECT_TRUE(i.has_value()) << line;
		return i.value_or(0);
	};
	EXPECT_LT(at("creat_encode_threads"), at("Encode Audio Created"));
	EXPECT_LT(at("startencodeThreads"), at("START send_video_frame"));
	EXPECT_LT(at("stopencodeThreads"), at("distroy_encode_threads"));
	// The acquisition thread posts the end markers, so it ends first; each send thread ends
	// before its join is reported.
	EXPECT_LT(at("distroy_encode_threads"), at("END send_video_frame"));
	EXPECT_LT(at("END send_video_frame"), at("STOP wait_ndi_frame_thread"));
	EXPECT_LT(at("send_full thread done!"), at("STOP send_ndi_frame_prog_thread"));
	EXPECT_LT(at("send_prvw thread done!"), at("STOP send_ndi_frame_prev_thread"));
	EXPECT_LT(at("STOP wait_ndi_frame_thread"), at("STOP send_ndi_frame_prog_thread"));
	EXPECT_LT(at("STOP send_ndi_frame_prog_thread"), at("STOP send_ndi_frame_prev_thread"));
	EXPECT_LT(at("STOP send_ndi_frame_prev_thread"), at("STOP encode_settings_thread"));
	EXPECT_LT(at("STOP encode_settings_thread"), at("STOP get_tally_thread"));
	EXPECT_LT(at("STOP get_tally_thread"), at("STOP send_audio_frame_thread"));
	EXPECT_TRUE(tx.m_ndi_full_send_queue.empty());
	EXPECT_TRUE(tx.m_ndi_prvw_send_queue.empty());

	// A second run starts cleanly on the same object.
	tx.start_encode(video_format_1080_59p, 0);
	tx.stop_encode();
	EXPECT_EQ(2u, out.count("STOP send_audio_frame_thread"));
}

// A system that cannot make threads: each is reported and left out, the stop joins none of
// them (joining a thread that never ran would end the program), and the next start has all.
TEST_F(EncoderSetup, ThreadsThatCannotStartAreReportedAndTheStopJoinsNone)
{
	tx.map_NdiTransmitter_mem(-1);
	StdoutCapture out(path("out.txt"));
	{
		testcommon::NoNewThreads no_threads;
		ASSERT_TRUE(no_threads.ok());
		tx.start_encode(video_format_1080_59p, 0);
	}
	size_t reported = 0;
	for (const std::string& line : out.lines())
		reported += line.rfind("cannot start thread ", 0) == 0 ? 1 : 0;
	EXPECT_EQ(5u, reported);
	for (const std::thread* t : {&tx.encode_settings_thread, &tx.get_tally_thread, &tx.wait_ndi_frame_thread,
	                             &tx.send_ndi_frame_prog_thread, &tx.send_ndi_frame_prev_thread})
		EXPECT_FALSE(t->joinable());
	tx.stop_encode();
	EXPECT_TRUE(out.find("STOP send_audio_frame_thread").has_value());

	tx.start_encode(video_format_1080_59p, 0);
	EXPECT_TRUE(tx.wait_ndi_frame_thread.joinable());
	EXPECT_TRUE(tx.send_ndi_frame_prev_thread.joinable());
	tx.stop_encode();
}

// The acquisition thread alone could not start: its send threads still get their end
// markers, so the stop ends; and a send thread that did not run leaves its queue empty for
// the next run.
TEST_F(EncoderSetup, StopEndsSendThreadsWhoseAcquisitionNeverStarted)
{
	tx.map_NdiTransmitter_mem(-1);
	StdoutCapture out(path("out.txt"));
	tx.encodeRunning = true;
	tx.send_ndi_frame_prog_thread = std::thread(&NdiTransmitter::send_full, &tx);
	auto stopped = std::async(std::launch::async, [&] { tx.distroy_encode_threads(); });
	if (stopped.wait_for(testcommon::scaled(3s)) != std::future_status::ready) {
		ADD_FAILURE() << "the stop hangs";
		std::lock_guard<std::mutex> lock(tx.m_ndi_full_send_queue_lock);  // let it end
		tx.m_ndi_full_send_queue.push(nullptr);
		tx.m_ndi_full_send_queue_condvar.notify_one();
	}
	stopped.wait();
	EXPECT_TRUE(out.find("send_full thread done!").has_value());
	EXPECT_TRUE(tx.m_ndi_full_send_queue.empty());
	tx.encodeRunning = false;

	// Acquisition and full send run, the preview's send thread does not: what was posted for
	// it, end marker included, is gone after the stop.
	tx.start_encode(video_format_1080_59p, 0);
	tx.stop_encode();
	tx.encodeRunning = true;
	tx.wait_ndi_frame_thread = std::thread(&NdiTransmitter::wait_ndi_frame, &tx);
	tx.send_ndi_frame_prog_thread = std::thread(&NdiTransmitter::send_full, &tx);
	ASSERT_TRUE(wait_until([&] {
		std::lock_guard<std::mutex> lock(tx.m_ndi_prvw_send_queue_lock);
		return !tx.m_ndi_prvw_send_queue.empty();
	}));
	tx.encodeRunning = false;
	tx.distroy_encode_threads();
	EXPECT_TRUE(tx.m_ndi_prvw_send_queue.empty());
	EXPECT_EQ(3u, out.count("send_full thread done!"));
	EXPECT_EQ(1u, out.count("send_prvw thread done!"));
}

TEST_F(EncoderSetup, MissingDeviceIsReportedAndTheAcquisitionLoopPacesItsErrors)
{
	sim::Board::instance().remove_device("mervane-speedhq");
	StdoutCapture out(path("out.txt"));
	tx.map_NdiTransmitter_mem(-1);
	EXPECT_EQ(-1, tx.m_mervanespeedhqDevice);
	EXPECT_EQ(1u, out.count("Failed to open the mervane-speedhq device"));

	tx.start_encode(video_format_1080_59p, 0);
	ASSERT_TRUE(wait_until([&] { return out.count("err ") >= 1; }));
	auto first = std::chrono::steady_clock::now();
	ASSERT_TRUE(wait_until([&] { return out.count("err ") >= 6; }));
	// Five more failed passes: without a pause they would take microseconds.
	EXPECT_GE(std::chrono::steady_clock::now() - first, 80ms);
	tx.stop_encode();
	EXPECT_TRUE(out.find("STOP send_audio_frame_thread").has_value());
	EXPECT_EQ(0u, out.count("sender DEAD"));
}

}  // namespace
