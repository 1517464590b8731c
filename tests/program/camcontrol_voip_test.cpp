// Camcontrol's VISCA over IP server over real UDP, with the camera on a pseudo-terminal.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "test_support.h"
#include "camcontrol.h"
#include "visca_ip_client.h"
#include "visca_test_peer.h"

using namespace std::chrono_literals;
using visca_test::Answer;
using visca_test::Bytes;
using visca_test::ScriptedCamera;

namespace {

using Client = testcommon::ViscaIpClient;

const Bytes kCommand = {0x01, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x2A, 0x81, 0x01, 0x04, 0x00, 0x02, 0xFF};
const char* const kAck42 = "01 11 00 03 00 00 00 2A 90 41 FF";
const char* const kCompletion42 = "01 11 00 03 00 00 00 2A 90 51 FF";

class ViscaOverIp : public testing::Test {
protected:
	void SetUp() override
	{
		if (!visca_test::enter_private_netns())
			GTEST_SKIP() << "no private network namespace (needs CAP_SYS_ADMIN)";
		cam.set_script([](const Bytes& p, int) {
			if (p.size() > 1 && p[1] == 0x09)
				return std::vector<Answer>{{1, {0x90, 0x50, 0x02, 0xFF}}};
			return std::vector<Answer>{{1, {0x90, 0x41, 0xFF}}, {20, {0x90, 0x51, 0xFF}}};
		});
		cc.init_Camcontrol();  // no NDI sender: the PTZ thread waits without the runtime
		client.reset(new Client);
	}
	void TearDown() override { cc.deinit_Camcontrol(); }

	// kCommand gets its acknowledge at once and its completion once the camera completes it.
	void expect_command_completed()
	{
		client->send(kCommand);
		EXPECT_EQ(client->receive(), kAck42);
		EXPECT_EQ(client->receive(), kCompletion42);
	}

	// kCommand gets no answer at all.
	void expect_command_unanswered()
	{
		client->send(kCommand);
		EXPECT_EQ(client->receive(300ms), "");
	}

	ScriptedCamera cam;
	Camcontrol cc;
	std::unique_ptr<Client> client;
};

}  // namespace

TEST_F(ViscaOverIp, CommandIsAcknowledgedAtOnceAndCompletedWhenTheCameraCompletes)
{
	expect_command_completed();
	EXPECT_EQ(cam.packet_hex(), std::vector<std::string>{"81 01 04 00 02 FF"});

	// A silent camera: the ACK only, and the camera saw the command twice.
	cam.clear();
	cam.set_script([](const Bytes&, int) { return std::vector<Answer>{}; });
	client->send(kCommand);
	EXPECT_EQ(client->receive(), kAck42);
	EXPECT_EQ(client->receive(700ms), "");
	EXPECT_EQ(cam.packets().size(), 2u);
}

TEST_F(ViscaOverIp, InquiryIsAnsweredOnceWithTheCamerasReplyWhateverItsPayloadType)
{
	for (uint8_t type_low : {0x10, 0x00}) {
		SCOPED_TRACE(type_low);
		client->send({0x01, type_low, 0x00, 0x05, 0x12, 0x34, 0x56, 0x78, 0x81, 0x09, 0x04, 0x00, 0xFF});
		EXPECT_EQ(client->receive(), "01 11 00 04 12 34 56 78 90 50 02 FF");
		EXPECT_EQ(client->receive(300ms), "");
	}
	// The address byte is passed on as it came.
	EXPECT_EQ(cam.packet_hex(), (std::vector<std::string>{"81 09 04 00 FF", "81 09 04 00 FF"}));

	// A camera that answers with an error: nothing goes back.
	cam.set_script([](const Bytes&, int) { return std::vector<Answer>{{0, {0x90, 0x60, 0x02, 0xFF}}}; });
	client->send({0x01, 0x10, 0x00, 0x05, 0x00, 0x00, 0x00, 0x01, 0x81, 0x09, 0x04, 0x00, 0xFF});
	EXPECT_EQ(client->receive(700ms), "");
}

TEST_F(ViscaOverIp, ControlCommandIsAnsweredWithItsSequenceNumber)
{
	client->send({0x02, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x05, 0x01});
	EXPECT_EQ(client->receive(), "02 01 00 01 00 00 00 05 01");
	client->send({0x02, 0x00, 0x00, 0x02, 0xDE, 0xAD, 0xBE, 0xEF, 0x0F, 0x01});
	EXPECT_EQ(client->receive(), "02 01 00 01 DE AD BE EF 01");
	EXPECT_FALSE(cc.camcontrol_voip_det_cmd);
}

TEST_F(ViscaOverIp, DatagramsItCannotUseGetNoAnswerAndReachNoCamera)
{
	const Bytes dropped[] = {
		{0x01, 0x20, 0x00, 0x06, 0x00, 0x00, 0x00, 0x01, 0x81, 0x01, 0x04, 0x00, 0x02, 0xFF},  // type 0x0120
		{0x01, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x02, 0x81, 0x02, 0x04, 0x00, 0x02, 0xFF},  // second byte 0x02
		{0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x03, 0x81},                                // no byte 9
		{0x01, 0x00, 0x00},                                                                    // no header
		{0x01, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x04, 0x81, 0x01, 0x04, 0x00},              // no 0xFF
		{0x01, 0x00, 0x00, 0x11, 0x00, 0x00, 0x00, 0x05, 0x81, 0x01, 0x04, 0x47, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,
		 13, 0xFF},  // 18 bytes, longer than a VISCA message
	};
	for (const Bytes& d : dropped)
		client->send(d);
	// Handled in arrival order: the next answer belongs to this command.
	expect_command_completed();
	EXPECT_EQ(cam.packet_hex(), std::vector<std::string>{"81 01 04 00 02 FF"});

	// A message of exactly 16 bytes fits.
	client->send({0x01, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x2A, 0x81, 0x01, 0x04, 0x47, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10,
	              11, 0xFF});
	EXPECT_EQ(client->receive(), kAck42);
}

TEST_F(ViscaOverIp, MetadataWaitsUntilHalfASecondAfterTheLastDatagram)
{
	// The test plays the PTZ thread's part: stop the real one, whose last act releases the
	// exec thread with the condition set, so batches now go out every cycle. The auto focus
	// queued at its start goes out with the first of them.
	cc.camcontrol_ndi_Running = false;
	cc.camcontrol_ndi_thread.join();
	ASSERT_TRUE(cam.wait_packets(1));
	EXPECT_EQ(cam.packet_hex(), std::vector<std::string>{"81 01 04 38 02 FF"});

	std::string text = "<ntk_ptz_zoom zoom=\"1\"/>";
	cc.ptz_cmd.p_data = &text[0];

	// A dropped datagram and a control command do not mark VISCA over IP as in use.
	client->send({0x01, 0x20, 0x00, 0x06, 0x00, 0x00, 0x00, 0x01, 0x81, 0x01, 0x04, 0x00, 0x02, 0xFF});
	client->send({0x02, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x05, 0x01});
	EXPECT_NE(client->receive(), "");
	EXPECT_FALSE(cc.camcontrol_voip_det_cmd);

	expect_command_completed();
	ASSERT_TRUE(cc.camcontrol_voip_det_cmd);
	cc.camcontrol_ndi_result(NDIlib_frame_type_metadata);  // taken, not acted on
	auto start = std::chrono::steady_clock::now();
	ASSERT_TRUE(testcommon::wait_until([&] { return !cc.camcontrol_voip_det_cmd; }, 3s));
	EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
	EXPECT_EQ(cam.packets().size(), 2u);

	cc.camcontrol_ndi_result(NDIlib_frame_type_metadata);  // acted on
	ASSERT_TRUE(cam.wait_packets(3));
	EXPECT_EQ(cam.packet_hex(), (std::vector<std::string>{"81 01 04 38 02 FF", "81 01 04 00 02 FF",
	                                                      "81 01 04 47 04 00 00 00 FF"}));
	cc.ptz_cmd.p_data = nullptr;
}

TEST_F(ViscaOverIp, StopWaitsForTheExchangeOnTheLineBeforeClosingThePort)
{
	// The server stops last, so a command may still be on the line when the port closes.
	cam.set_script([](const Bytes&, int) { return std::vector<Answer>{}; });
	client->send(kCommand);
	ASSERT_EQ(client->receive(), kAck42);
	cc.deinit_Camcontrol();
	// Both writes of the exchange reached the camera: the port was not closed under it.
	EXPECT_EQ(cam.packet_hex(), (std::vector<std::string>{"81 01 04 00 02 FF", "81 01 04 00 02 FF"}));
	cc.init_Camcontrol();
}

TEST_F(ViscaOverIp, ServerAnswersAgainAfterStopAndStart)
{
	for (int round = 0; round < 3; ++round) {
		SCOPED_TRACE(round);
		cc.deinit_Camcontrol();
		EXPECT_EQ(cc.sockfd, -1);
		EXPECT_EQ(cc.m_visca.cam_fd, -1);
		cc.init_Camcontrol();
		expect_command_completed();
	}
}

// The port held by another program, or no thread to be had: the server stays off (nothing
// answers, the stop has nothing to join) and starts normally once the cause is gone.
TEST_F(ViscaOverIp, PortInUseOrNoThreadsLeaveTheServerOffUntilTheNextStart)
{
	for (bool port_taken : {true, false}) {
		SCOPED_TRACE(port_taken ? "port in use" : "no threads");
		cc.deinit_Camcontrol();
		int holder = -1;
		if (port_taken) {
			holder = socket(AF_INET, SOCK_DGRAM, 0);
			sockaddr_in addr = {};
			addr.sin_family = AF_INET;
			addr.sin_addr.s_addr = htonl(INADDR_ANY);
			addr.sin_port = htons(52381);
			ASSERT_EQ(0, bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
			EXPECT_FALSE(cc.camcontrol_init_voip());
			EXPECT_EQ(cc.sockfd, -1);
		} else {
			testcommon::NoNewThreads no_threads;
			ASSERT_TRUE(no_threads.ok());
			std::string out = testcommon::stdout_of([&] { cc.init_Camcontrol(); });
			EXPECT_NE(out.find("cannot start thread camcontrol_ndi: "), std::string::npos) << out;
			EXPECT_NE(out.find("cannot start thread camcontrol_voip: "), std::string::npos) << out;
			EXPECT_FALSE(cc.camcontrol_ndi_thread.joinable());
		}
		EXPECT_FALSE(cc.camcontrol_voip_thread.joinable());
		if (!port_taken)
			expect_command_unanswered();
		cc.deinit_Camcontrol();
		EXPECT_EQ(cc.sockfd, -1);
		if (holder >= 0)
			__real_close(holder);

		cc.init_Camcontrol();
		expect_command_completed();
	}
}

// A start while running stops the running controller first; a controller destroyed while
// running stops its threads (a running std::thread destroyed would end the program) and
// closes its port.
TEST_F(ViscaOverIp, StartWhileRunningRestartsAndDestructionStops)
{
	cc.init_Camcontrol();
	expect_command_completed();

	cc.deinit_Camcontrol();
	{
		Camcontrol other;
		other.init_Camcontrol();
		EXPECT_TRUE(other.camcontrol_ndi_thread.joinable());
		expect_command_completed();
	}
	expect_command_unanswered();
	cc.init_Camcontrol();
}
