// visca engine against a scripted camera on a pseudo-terminal: handshakes, rewrites,
// inquiry framing, the exec thread's batches and the double buffer under concurrency.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "camcontrol.h"
#include "visca.h"
#include "visca_test_peer.h"

using namespace std::chrono_literals;
using visca_test::Clock;
using visca_test::executed;
using visca_test::Answer;
using visca_test::Bytes;
using sim::hex_bytes;
using visca_test::ScriptedCamera;

namespace {

const Bytes kAck = {0x90, 0x41, 0xFF};
const Bytes kCompletion = {0x90, 0x51, 0xFF};
const Bytes kSyntaxError = {0x90, 0x60, 0x02, 0xFF};

// The power inquiry queued and executed.
visca_inq_command power_inquiry(visca& v)
{
	visca_inq_command q;
	v.create_inqcommand(q, 0, 0x04, 0x00, 0, 4);
	q.cmd_fill = true;
	v.visca_exec_inq_cmd(q);
	return q;
}

// Marks a slot of the capture buffer queued, as the PTZ thread does.
void queue(visca& v, visca_command* slot)
{
	std::unique_lock<std::mutex> lock;
	slot[v.lock_cap_buffer(lock)].cmd_fill = true;
}

double ms_between(Clock::time_point a, Clock::time_point b)
{
	return std::chrono::duration<double, std::milli>(b - a).count();
}

class ViscaEngine : public testing::Test {
protected:
	void SetUp() override { ASSERT_EQ(v.init_visca(), 1); }
	void TearDown() override { v.deinit_visca(); }

	ScriptedCamera cam;  // first: the engine opens its slave through the sysroot it sets
	visca v;
};

}  // namespace

TEST_F(ViscaEngine, LineIsRawEightNoneOneAtTheConfiguredSpeed)
{
	termios t = cam.line();
	EXPECT_EQ(cfgetospeed(&t), B115200);
	EXPECT_EQ(cfgetispeed(&t), B115200);
	EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
	EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
	EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHOE | ISIG), 0u);
	EXPECT_EQ(t.c_iflag, 0u);
	EXPECT_EQ(t.c_oflag & OPOST, 0u);

	// Each start reopens the port with the current speed.
	v.deinit_visca();
	v.camBr = B38400;
	ASSERT_EQ(v.init_visca(), 1);
	t = cam.line();
	EXPECT_EQ(cfgetospeed(&t), B38400);

	// A start while the engine runs stops it first, then starts afresh.
	v.camBr = B9600;
	ASSERT_EQ(v.init_visca(), 1);
	t = cam.line();
	EXPECT_EQ(cfgetospeed(&t), B9600);
	visca_command c = executed(v, 1, 0x04, 0x00, 0x02);
	EXPECT_TRUE(c.comp);
}

TEST_F(ViscaEngine, CommandCompletesWhetherAnswersComeApartOrInOneBurst)
{
	visca_command c = executed(v, 1, 0x04, 0x00, 0x02);
	EXPECT_TRUE(c.ack);
	EXPECT_TRUE(c.comp);
	EXPECT_FALSE(c.cmd_fill);

	cam.set_script([](const Bytes&, int) {
		return std::vector<Answer>{{0, {0x90, 0x41, 0xFF, 0x90, 0x51, 0xFF}}};
	});
	visca_command d = executed(v, 1, 0x04, 0x00, 0x03);
	EXPECT_TRUE(d.ack);
	EXPECT_TRUE(d.comp);

	EXPECT_EQ(cam.packet_hex(), (std::vector<std::string>{"81 01 04 00 02 FF", "81 01 04 00 03 FF"}));
}

TEST_F(ViscaEngine, SilentCameraGetsTheCommandTwiceAboutATimeOutApart)
{
	cam.set_script([](const Bytes&, int) { return std::vector<Answer>{}; });
	visca_command c;
	v.create_command(c, 4, 0x04, 0x47, 0x03000A0A);
	c.cmd_fill = true;
	c.sequence_number = 42;
	const Clock::time_point start = Clock::now();
	v.visca_exec_cmd(c);
	EXPECT_FALSE(c.ack);
	EXPECT_FALSE(c.comp);
	EXPECT_EQ(c.sequence_number, 42u);
	ASSERT_TRUE(cam.wait_packets(2));
	auto p = cam.packets();
	ASSERT_EQ(p.size(), 2u);
	EXPECT_EQ(p[0].bytes, p[1].bytes);
	// The acknowledge wait ran out first. Timed from before the call: a packet is stamped when
	// the camera's thread reads it, which a busy machine can delay, so only a late stamp of the
	// second write is possible here, never a shortened interval.
	EXPECT_GE(ms_between(start, p[1].at), 100.0);
}

TEST_F(ViscaEngine, ErrorAnswerIsDrainedAndTheCommandWrittenOnceMore)
{
	// If the error's fourth byte stayed behind, the second acknowledge would be misread.
	cam.set_script([](const Bytes&, int n) {
		return n == 0 ? std::vector<Answer>{{0, kSyntaxError}} : visca_test::ack_and_completion();
	});
	visca_command c = executed(v, 1, 0x04, 0x38, 0x02);
	EXPECT_TRUE(c.ack);
	EXPECT_TRUE(c.comp);
	EXPECT_EQ(cam.packets().size(), 2u);

	// Refused both times: no third write, nothing set.
	cam.clear();
	cam.set_script([](const Bytes&, int) { return std::vector<Answer>{{0, kSyntaxError}}; });
	visca_command d = executed(v, 1, 0x04, 0x38, 0x02);
	EXPECT_FALSE(d.ack);
	EXPECT_FALSE(d.comp);
	EXPECT_FALSE(cam.wait_packets(3, 300ms));
	EXPECT_EQ(cam.packets().size(), 2u);
}

TEST_F(ViscaEngine, AcknowledgeWithoutCompletionIsNotRetried)
{
	cam.set_script([](const Bytes&, int) { return std::vector<Answer>{{0, kAck}}; });
	visca_command c = executed(v, 1, 0x04, 0x07, 0x23);
	EXPECT_TRUE(c.ack);
	EXPECT_FALSE(c.comp);
	EXPECT_EQ(cam.packets().size(), 1u);

	// A completion for another socket fails the completion wait as well.
	cam.set_script([](const Bytes&, int) { return std::vector<Answer>{{0, kAck}, {1, {0x90, 0x52, 0xFF}}}; });
	visca_command d = executed(v, 1, 0x04, 0x07, 0x23);
	EXPECT_TRUE(d.ack);
	EXPECT_FALSE(d.comp);
}

TEST_F(ViscaEngine, InquiryAnswerIsFramedFromItsAddressToItsTerminator)
{
	cam.set_script([](const Bytes&, int) { return std::vector<Answer>{{0, {0x90, 0x50}}, {3, {0x02, 0xFF}}}; });
	visca_inq_command q = power_inquiry(v);
	ASSERT_TRUE(q.inq_fill);
	EXPECT_EQ(q.inq_length, 4);
	EXPECT_EQ(hex_bytes(q.inq, q.inq_length), "90 50 02 FF");
	EXPECT_FALSE(q.cmd_fill);
	EXPECT_EQ(cam.packet_hex(), std::vector<std::string>{"81 09 04 00 FF"});
}

TEST_F(ViscaEngine, InquiryFailuresRewriteOnceThenGiveUp)
{
	struct Case {
		const char* what;
		Bytes first;
	};
	const Case cases[] = {
		{"error answer", kSyntaxError},
		{"first byte not 0x90", {0x12, 0x90, 0x50, 0x02, 0xFF}},
		{"no terminator within 16 bytes",
		 {0x90, 0x50, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 0xFF}},
	};
	for (const Case& c : cases) {
		SCOPED_TRACE(c.what);
		// Wrong first, right on the rewrite: the rest of the bad answer must not linger.
		cam.clear();
		Bytes first = c.first;
		cam.set_script([first](const Bytes&, int n) {
			return std::vector<Answer>{{0, n == 0 ? first : Bytes{0x90, 0x50, 0x03, 0xFF}}};
		});
		visca_inq_command q = power_inquiry(v);
		EXPECT_TRUE(q.inq_fill);
		EXPECT_EQ(hex_bytes(q.inq, q.inq_length), "90 50 03 FF");
		EXPECT_EQ(cam.packets().size(), 2u);

		// Wrong both times.
		cam.clear();
		cam.set_script([first](const Bytes&, int) { return std::vector<Answer>{{0, first}}; });
		visca_inq_command r = power_inquiry(v);
		EXPECT_FALSE(r.inq_fill);
		EXPECT_EQ(r.inq_length, 0);
		EXPECT_EQ(cam.packets().size(), 2u);
	}
	// The line is clean for the next exchange.
	cam.set_script([](const Bytes&, int) { return visca_test::ack_and_completion(); });
	visca_command c = executed(v, 1, 0x04, 0x00, 0x02);
	EXPECT_TRUE(c.comp);
}

TEST_F(ViscaEngine, BatchSendsQueuedSlotsInTableOrderAndEachOnlyOnce)
{
	{
		std::unique_lock<std::mutex> lock;
		int c = v.lock_cap_buffer(lock);
		EXPECT_EQ(c, 0);
		// Queued in the "wrong" order: the stop before the drive.
		v.cam_wb_mode[c].cmd[4] = 0x01;
		v.cam_wb_mode[c].cmd_fill = true;
		v.cam_zoom_stop[c].cmd_fill = true;
		v.cam_pt_stop_command[c].cmd_fill = true;
		v.cam_pt_dir_move_command[c].cmd[4] = 0x09;
		v.cam_pt_dir_move_command[c].cmd_fill = true;
	}
	v.m_visca_ndi_event_cond = true;
	v.signal_m_visca_ndi_event();
	ASSERT_TRUE(cam.wait_packets(4));
	EXPECT_EQ(cam.packet_hex(), (std::vector<std::string>{"81 01 06 01 09 01 01 01 FF", "81 01 06 01 05 05 03 03 FF",
	                                                      "81 01 04 07 00 FF", "81 01 04 35 01 FF"}));

	// Later batches keep running while the condition holds; only new work goes out.
	queue(v, v.cam_zoom_direct);
	ASSERT_TRUE(cam.wait_packets(5));
	queue(v, v.cam_focus_stop);
	ASSERT_TRUE(cam.wait_packets(6));
	v.m_visca_ndi_event_cond = false;
	auto sent = cam.packet_hex();
	ASSERT_EQ(sent.size(), 6u);
	EXPECT_EQ(sent[4], "81 01 04 47 05 05 03 03 FF");
	EXPECT_EQ(sent[5], "81 01 04 08 00 FF");
}

TEST_F(ViscaEngine, StoppingDropsQueuedCommands)
{
	queue(v, v.cam_zoom_direct);
	v.deinit_visca();
	EXPECT_FALSE(v.cam_zoom_direct[0].cmd_fill || v.cam_zoom_direct[1].cmd_fill);
	ASSERT_EQ(v.init_visca(), 1);
	v.m_visca_ndi_event_cond = true;
	v.signal_m_visca_ndi_event();
	queue(v, v.cam_focus_stop);
	ASSERT_TRUE(cam.wait_packets(1));
	EXPECT_EQ(cam.packet_hex().front(), "81 01 04 08 00 FF");
}

// The PTZ producer writes whole frames while the exec thread swaps: every batch must hold
// one frame's red and blue gains together (each frame sets them equal). The window for a
// tear is narrow; under ThreadSanitizer an unlocked write is reported at once.
TEST(ViscaDoubleBuffer, SwapNeverSplitsOneFramesWrites)
{
	ScriptedCamera cam;
	cam.set_script([](const Bytes&, int) { return std::vector<Answer>{{0, {0x90, 0x41, 0xFF, 0x90, 0x51, 0xFF}}}; });
	Camcontrol cc;
	ASSERT_EQ(cc.m_visca.init_visca(), 1);

	std::atomic<bool> stop{false};
	std::thread producer([&] {
		char xml[128];
		for (int i = 0; !stop; i = (i + 1) % 250) {
			float gain = static_cast<float>(i) / 255.0f + 0.001f;
			snprintf(xml, sizeof xml, "<ntk_ptz_white_balance mode=\"manual\" red=\"%f\" blue=\"%f\"/>", gain, gain);
			NDIlib_metadata_frame_t frame;
			frame.p_data = xml;
			cc.camcontrol_capture_ndi(&frame);
			cc.m_visca.m_visca_ndi_event_cond = true;
			cc.m_visca.signal_m_visca_ndi_event();
			std::this_thread::sleep_for(100us);
		}
	});
	bool enough = cam.wait_packets(120, 20s);
	stop = true;
	producer.join();
	cc.m_visca.deinit_visca();
	ASSERT_TRUE(enough);

	// A rewrite after a missed acknowledge (a loaded machine) repeats a packet: not a tear.
	auto sent = cam.packet_hex();
	sent.erase(std::unique(sent.begin(), sent.end()), sent.end());
	int pairs = 0;
	for (size_t i = 0; i + 2 < sent.size(); ++i) {
		if (sent[i] != "81 01 04 35 05 FF")
			continue;
		// Mode, R gain, B gain: one batch, one frame.
		ASSERT_EQ(sent[i + 1].substr(0, 11), "81 01 04 43");
		ASSERT_EQ(sent[i + 2].substr(0, 11), "81 01 04 44");
		EXPECT_EQ(sent[i + 1].substr(12), sent[i + 2].substr(12)) << "batch " << i;
		++pairs;
	}
	EXPECT_GE(pairs, 30);
}
