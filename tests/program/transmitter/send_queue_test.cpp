// Send queues, send threads and the keep-alive of sent frames, watched through the stand-in
// NDI runtime's receiver.

#include "test_support.h"
#include "encoder_video_fixture.h"

namespace {

using namespace std::chrono_literals;
using ndi_standin::Receiver;
using ndi_standin::RxEvent;
using Kind = ndi_standin::RxEvent::Kind;
using videotest::StdoutCapture;
using Frame = NdiTransmitter::frame_t;

// A frame with a valid SpeedHQ header whose fifth byte names it.
std::shared_ptr<Frame> numbered_frame(uint8_t id, bool prvw, NDIlib_frame_format_type_e format = NDIlib_frame_format_type_progressive)
{
	auto f = std::make_shared<Frame>();
	f->xres = prvw ? 640 : 1920;
	f->yres = prvw ? 360 : 1080;
	f->FourCC = prvw ? NDIlib_FourCC_video_type_ex_SHQ0_lowest_bandwidth : NDIlib_FourCC_video_type_ex_SHQ2_highest_bandwidth;
	f->frame_rate_N = prvw ? 30000 : 60000;
	f->frame_rate_D = 1001;
	f->picture_aspect_ratio = 1.0f;  // the send path announces 16:9 whatever this says
	f->frame_format_type = format;
	f->frame_data_size = 64;
	f->frame_data.reset(new uint8_t[64]());
	f->frame_data[0] = 90;
	f->frame_data[1] = 4;
	f->frame_data[4] = id;
	return f;
}

// The next video frame the receiver gets, or none within the time-out.
std::optional<ndi_standin::VideoFrame> next_video(Receiver& rx, int timeout_ms = 2000)
{
	auto deadline = std::chrono::steady_clock::now() + testcommon::scaled(std::chrono::milliseconds(timeout_ms));
	while (std::chrono::steady_clock::now() < deadline) {
		RxEvent e = rx.next(50);
		if (e.kind == Kind::Video)
			return e.video;
		if (e.kind == Kind::Disconnected)
			break;
	}
	return std::nullopt;
}

class SendQueue : public videotest::VideoTest {};

TEST_F(SendQueue, AFullQueueKeepsTheNewestThreeInOrder)
{
	for (bool prvw : {false, true}) {
		std::vector<std::weak_ptr<Frame>> sent;
		const unsigned drops_before = send_queue_bound_drops(prvw);
		for (uint8_t id = 1; id <= 5; ++id) {
			auto f = numbered_frame(id, prvw);
			sent.push_back(f);
			tx.queue_frame(f, prvw);
		}
		auto& queue = prvw ? tx.m_ndi_prvw_send_queue : tx.m_ndi_full_send_queue;
		ASSERT_EQ(3u, queue.size());
		EXPECT_EQ(2u, send_queue_bound_drops(prvw) - drops_before) << "each dropped frame is counted on its stream";
		EXPECT_TRUE(sent[0].expired()) << "a dropped frame is freed at once";
		EXPECT_TRUE(sent[1].expired());
		for (int expect = 3; expect <= 5; ++expect) {
			EXPECT_EQ(sent[expect - 1].lock(), queue.front());
			queue.pop();
		}
	}
	// The other stream's queue was never touched by the first.
	EXPECT_TRUE(tx.m_ndi_full_send_queue.empty());
}

TEST_F(SendQueue, SendThreadsSendWhatIsQueuedThenMeetTheEndMarker)
{
	Receiver rx;
	make_sender(rx);
	StdoutCapture out(path("out.txt"));
	for (uint8_t id = 1; id <= 5; ++id) {
		tx.queue_frame(numbered_frame(id, false), false);
		tx.queue_frame(numbered_frame(100 + id, true), true);
	}
	tx.m_ndi_full_send_queue.push(nullptr);
	tx.m_ndi_prvw_send_queue.push(nullptr);
	std::thread full(&NdiTransmitter::send_full, &tx);
	std::thread prvw(&NdiTransmitter::send_prvw, &tx);
	full.join();
	prvw.join();
	EXPECT_EQ(1u, out.count("send_full thread done!"));
	EXPECT_EQ(1u, out.count("send_prvw thread done!"));
	EXPECT_TRUE(tx.m_ndi_full_send_queue.empty());
	EXPECT_TRUE(tx.m_ndi_prvw_send_queue.empty());

	std::vector<int> program, preview;
	while (program.size() + preview.size() < 6) {
		auto v = next_video(rx);
		ASSERT_TRUE(v) << "only " << program.size() << " program and " << preview.size() << " preview frames";
		ASSERT_GE(v->data.size(), 5u);
		(v->stream == 0 ? program : preview).push_back(v->data[4]);
		if (v->stream == 0) {
			EXPECT_EQ(1920, v->xres);
			EXPECT_EQ("SHQ2", ndi_standin::fourcc_text(v->fourcc));
			EXPECT_EQ(64, v->line_stride_or_size);
			EXPECT_FLOAT_EQ(16.0f / 9.0f, v->aspect);
		} else {
			EXPECT_EQ("shq0", ndi_standin::fourcc_text(v->fourcc));
		}
	}
	EXPECT_EQ((std::vector<int>{3, 4, 5}), program);
	EXPECT_EQ((std::vector<int>{103, 104, 105}), preview);
	EXPECT_FALSE(next_video(rx, 200)) << "nothing but the newest three of each stream";
}

TEST_F(SendQueue, WithoutSenderEachFrameIsDroppedAsSenderDead)
{
	StdoutCapture out(path("out.txt"));
	auto before = numbered_frame(1, false);
	tx.m_prev_video_frame[1] = before;
	auto frame = numbered_frame(2, false);
	std::weak_ptr<Frame> watch = frame;
	tx.add_frame(std::move(frame), false);
	EXPECT_EQ(1u, out.count("sender DEAD"));
	EXPECT_EQ(before, tx.m_prev_video_frame[1]) << "the stored previous frame stays";
	EXPECT_TRUE(watch.expired()) << "the dropped frame is not kept";

	// A run with no sender still starts and stops.
	tx.map_NdiTransmitter_mem(-1);
	tx.start_encode(42, 0);
	ASSERT_TRUE(simtest::BoardTest::wait_until([&] { return out.count("sender DEAD") >= 3; }, 5000ms));
	tx.stop_encode();
	EXPECT_TRUE(out.find("STOP send_audio_frame_thread").has_value());
}

TEST_F(SendQueue, TheSentFrameLivesUntilTheNextSendOfItsStream)
{
	Receiver rx;
	make_sender(rx);
	auto f1 = numbered_frame(1, false);
	std::weak_ptr<Frame> w1 = f1;
	tx.add_frame(std::move(f1), false);
	EXPECT_FALSE(w1.expired()) << "the runtime may still read it";

	// A preview send leaves the program stream's frame alone.
	auto p1 = numbered_frame(101, true);
	std::weak_ptr<Frame> wp1 = p1;
	tx.add_frame(std::move(p1), true);
	EXPECT_FALSE(w1.expired());

	auto f2 = numbered_frame(2, false);
	std::weak_ptr<Frame> w2 = f2;
	tx.add_frame(std::move(f2), false);
	EXPECT_TRUE(w1.expired()) << "freed once the next frame of its stream has been handed over";
	EXPECT_FALSE(w2.expired());
	EXPECT_FALSE(wp1.expired());

	// Every byte reached the receiver intact although the sender read it after the calls.
	std::vector<int> ids;
	for (int i = 0; i < 3; ++i) {
		auto v = next_video(rx);
		ASSERT_TRUE(v);
		ASSERT_EQ(64u, v->data.size());
		EXPECT_EQ(90, v->data[0]);
		ids.push_back(v->data[4]);
	}
	std::sort(ids.begin(), ids.end());
	EXPECT_EQ((std::vector<int>{1, 2, 101}), ids);
}

TEST_F(SendQueue, CaptureIsTriedOnProgressiveFramesOnlyAndReportedEachTime)
{
	Receiver rx;
	make_sender(rx);
	StdoutCapture out(path("out.txt"));
	tx.m_bFullCaptureEnabled = true;
	tx.add_frame(numbered_frame(1, false, NDIlib_frame_format_type_field_0), false);
	EXPECT_TRUE(tx.m_bFullCaptureEnabled) << "a field never serves a capture";
	EXPECT_TRUE(out.lines().empty());

	// Nor does a frame without data.
	auto empty = numbered_frame(3, false);
	empty->frame_data.reset();
	empty->frame_data_size = 0;
	tx.add_frame(empty, false);
	EXPECT_TRUE(tx.m_bFullCaptureEnabled);
	EXPECT_TRUE(out.lines().empty());

	tx.add_frame(numbered_frame(2, false), false);
	auto lines = out.lines();
	ASSERT_FALSE(lines.empty());
	bool saved = !tx.m_bFullCaptureEnabled;
	// A stored frame is reported by the store before the status line.
	EXPECT_EQ(saved ? 2u : 1u, lines.size());
	EXPECT_EQ(saved ? " The capture status full 0, prvw 0 " : " The capture status full 1, prvw 0 ", lines.back());
	EXPECT_TRUE(next_video(rx).has_value());
}

}  // namespace
