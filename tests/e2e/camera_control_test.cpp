// Camera control end to end: PTZ metadata from a receiver and VISCA over IP datagrams reach
// the virtual appliance's serial camera as exactly the expected VISCA bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "visca_ip_client.h"

namespace {

using namespace std::chrono_literals;
using e2e::json;
using Strings = std::vector<std::string>;

const auto kStartTimeout = 20s;

using ViscaClient = testcommon::ViscaIpClient;

const std::vector<uint8_t> kPowerOn = {0x01, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x2A, 0x81, 0x01, 0x04, 0x00, 0x02, 0xFF};
const char* const kPowerOnAck = "01 11 00 03 00 00 00 2A 90 41 FF";
const char* const kPowerOnDone = "01 11 00 03 00 00 00 2A 90 51 FF";

// Power on, answered with the ACK and the completion.
void expect_power_on(ViscaClient& client)
{
	client.send(kPowerOn);
	EXPECT_EQ(client.receive(), kPowerOnAck);
	EXPECT_EQ(client.receive(), kPowerOnDone);
}

class CameraControl : public e2e::ApplianceTest {
protected:
	// Starts the appliance and waits for its camera control to be up.
	void start()
	{
		sim_ = std::make_unique<e2e::Sim>(root_);
		ASSERT_TRUE(sim_->wait_for_line("camcontrol_voip_rx", kStartTimeout).has_value()) << sim_->output();
	}

	// What the serial camera logged under `key` so far: "rx" the packets it received, "baud"
	// each line speed it was opened with (a number, as text).
	Strings camera(const std::string& key)
	{
		Strings out;
		for (const json& e : sim_->events())
			if (e.value("dev", "") == "camera" && e.contains(key))
				out.push_back(key == "rx" ? e[key].get<std::string>() : e[key].dump());
		return out;
	}
	Strings camera_rx() { return camera("rx"); }

	// Waits until the camera has received at least `n` packets.
	bool wait_rx(size_t n, e2e::Clock::duration timeout = 5s)
	{
		return e2e::poll_until([&] { return camera_rx().size() >= n; }, timeout);
	}
};

}  // namespace

TEST_F(CameraControl, ViscaOverIpReachesTheSerialCameraAndIsAnswered)
{
	ASSERT_NO_FATAL_FAILURE(start());
	ViscaClient client;
	expect_power_on(client);
	client.send({0x01, 0x10, 0x00, 0x05, 0x00, 0x00, 0x00, 0x07, 0x81, 0x09, 0x04, 0x00, 0xFF});
	EXPECT_EQ(client.receive(), "01 11 00 04 00 00 00 07 90 50 02 FF");
	client.send({0x02, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x05, 0x01});
	EXPECT_EQ(client.receive(), "02 01 00 01 00 00 00 05 01");

	// A camera that stops answering: the ACK only, after the engine's two tries.
	sim_->control("camera", "silent");
	ASSERT_TRUE(wait_rx(2));
	EXPECT_TRUE(testcommon::wait_until(
		[&] {
			client.send(kPowerOn);
			EXPECT_EQ(client.receive(), kPowerOnAck);
			return client.receive(700ms).empty();
		},
		5s, 0ms));

	ASSERT_TRUE(wait_rx(2));
	Strings rx = camera_rx();
	ASSERT_GE(rx.size(), 2u);
	EXPECT_EQ(rx[0], "81 01 04 00 02 FF");
	EXPECT_EQ(rx[1], "81 09 04 00 FF");
	// The appliance's default settings ask for 9600 baud.
	EXPECT_EQ(camera("baud"), Strings{"9600"});
}

TEST_F(CameraControl, SettingsFileSelectsTheLineSpeed)
{
	root_.write("etc/mervane-ptz-settings.json", "{\"address\":\"1\",\"baudrate\":\"38400\"}");
	ASSERT_NO_FATAL_FAILURE(start());
	ViscaClient client;
	client.send(kPowerOn);
	EXPECT_EQ(client.receive(), kPowerOnAck);
	ASSERT_TRUE(wait_rx(1));
	EXPECT_EQ(camera("baud"), Strings{"38400"});
}

TEST_F(CameraControl, RestartedControllerRereadsItsSettingsAndServesAgain)
{
	// With a failover source configured, losing the input tears the sender (and the camera
	// control) down; its return creates both again.
	root_.write("etc/mervane-source1-name-encfailover", "BACKUP (Camera)");
	ASSERT_NO_FATAL_FAILURE(start());
	ViscaClient client;
	expect_power_on(client);
	ASSERT_TRUE(wait_rx(1));

	root_.write("etc/mervane-ptz-settings.json", "{\"address\":\"1\",\"baudrate\":\"38400\"}");
	sim_->control("hdmi", "none");
	auto down = sim_->wait_for_line("distroy_ndi_tx_instance", 10s);
	if (!down)
		GTEST_SKIP() << "no failover tear-down in this build";
	sim_->control("hdmi", "1080p59.94");
	ASSERT_TRUE(sim_->wait_for_line("camcontrol_voip_rx", 10s, *down).has_value()) << sim_->output();

	expect_power_on(client);
	auto power_ons = [&] {
		Strings rx = camera_rx();
		return std::count(rx.begin(), rx.end(), std::string("81 01 04 00 02 FF"));
	};
	e2e::poll_until([&] { return power_ons() >= 2; }, 5s);
	EXPECT_EQ(power_ons(), 2);
	// The port was opened again with the speed the file now names.
	EXPECT_EQ(camera("baud"), (Strings{"9600", "38400"}));
}

namespace {

// PTZ metadata needs the NDI sender; on a build without one there is no source to talk to.
class CameraPtzMetadata : public CameraControl {
protected:
	void SetUp() override
	{
		ASSERT_NO_FATAL_FAILURE(start());
		e2e::Rx probe(root_, {"--wait", "5", "--seconds", "0.2"});
		if (!probe.wait_for_event(e2e::event_is("source"), 8s))
			GTEST_SKIP() << "no NDI source from the appliance (sender not built)";
	}

	// Sends one metadata frame from a receiver and returns what the camera received for it.
	Strings frame(const std::string& xml, size_t expected)
	{
		size_t before = camera_rx().size();
		e2e::Rx rx(root_, {"--metadata", xml, "--seconds", "0.3"});
		rx.wait_exit(10s);
		wait_rx(before + expected);
		Strings all = camera_rx();
		return Strings(all.begin() + static_cast<long>(before), all.end());
	}
};

}  // namespace

TEST_F(CameraPtzMetadata, EveryElementGivesExactlyItsBytesAtTheCamera)
{
	// The start of the controller queued auto focus; it rides with the first batch.
	EXPECT_EQ(frame("<ntk_ptz_zoom zoom=\"0.5\"/>", 2), (Strings{"81 01 04 47 03 0A 00 0A FF", "81 01 04 38 02 FF"}));
	struct Case {
		const char* xml;
		Strings bytes;
	};
	const Case cases[] = {
		{"<ntk_ptz_zoom zoom=\"1\"/>", {"81 01 04 47 04 00 00 00 FF"}},
		{"<ntk_ptz_zoom zoom=\"-3\"/>", {"81 01 04 47 00 00 00 00 FF"}},
		{"<NTK_PTZ_ZOOM zoom=\"1\"/>", {"81 01 04 47 04 00 00 00 FF"}},
		{"<ntk_ptz_zoom Zoom=\"1\"/>", {"81 01 04 47 00 00 00 00 FF"}},
		{"<ntk_ptz_zoom_speed zoom_speed=\"0.5\"/>", {"81 01 04 07 23 FF"}},
		{"<ntk_ptz_zoom_speed zoom_speed=\"-1\"/>", {"81 01 04 07 37 FF"}},
		{"<ntk_ptz_zoom_speed zoom_speed=\"0\"/>", {"81 01 04 07 00 FF"}},
		{"<ntk_ptz_zoom_speed zoom_speed=\"1.5\"/>", {"81 01 04 07 22 FF"}},
		{"<ntk_ptz_pan_tilt_speed pan_speed=\"0.5\" tilt_speed=\"0\"/>", {"81 01 06 01 09 00 01 03 FF"}},
		{"<ntk_ptz_pan_tilt_speed pan_speed=\"-1\" tilt_speed=\"-0.25\"/>", {"81 01 06 01 12 05 02 02 FF"}},
		{"<ntk_ptz_pan_tilt_speed pan_speed=\"0\" tilt_speed=\"0\"/>", {"81 01 06 01 05 05 03 03 FF"}},
		{"<ntk_ptz_store_preset index=\"7\"/>", {"81 01 04 3F 01 07 FF"}},
		{"<ntk_ptz_store_preset index=\"100\"/>", {}},
		{"<ntk_ptz_store_preset index=\"-1\"/>", {}},
		{"<ntk_ptz_store_preset/>", {"81 01 04 3F 01 00 FF"}},
		{"<ntk_ptz_recall_preset index=\"12\"/>", {"81 01 04 3F 02 0C FF"}},
		{"<ntk_ptz_white_balance mode=\"manual\" red=\"1\" blue=\"0\"/>",
		 {"81 01 04 35 05 FF", "81 01 04 43 00 00 0F 0F FF", "81 01 04 44 00 00 00 00 FF"}},
		{"<ntk_ptz_white_balance mode=\"indoor\"/>", {"81 01 04 35 01 FF"}},
		{"<ntk_ptz_exposure mode=\"manual\" value=\"1\"/>", {"81 01 04 4B 00 00 01 01 FF"}},
		{"<ntk_ptz_mervane_exposure mode=\"manual\" iris=\"10\" shutterspeed=\"300\"/>",
		 {"81 01 04 4B 00 00 00 0A FF", "81 01 04 4A 00 01 02 0C FF"}},
		{"<ntk_ptz_focus mode=\"manual\" distance=\"0.5\"/>", {"81 01 04 38 03 FF"}},
		{"<ntk_ptz_focus mode=\"manual\" distance=\"0.75\"/>", {"81 01 04 08 23 FF", "81 01 04 08 00 FF"}},
		{"<ntk_ptz_focus mode=\"manual\" distance=\"0.95\"/>", {"81 01 04 08 23 FF", "81 01 04 08 00 FF"}},
		{"<ntk_ptz_focus mode=\"manual\" distance=\"0.8\"/>", {"81 01 04 08 32 FF", "81 01 04 08 00 FF"}},
		{"<ntk_ptz_focus mode=\"auto\"/>", {"81 01 04 38 02 FF"}},
		{"<ntk_ptz_focus mode=\"auto\"/>", {}},
		{"<other/><ntk_ptz_zoom zoom=\"1\"/>", {}},
		{"<ntk_ptz_zoom zoom=\"1\"", {}},
	};
	for (const Case& c : cases) {
		SCOPED_TRACE(c.xml);
		// A frame that queues nothing shows as nothing before the next frame's bytes.
		Strings got = frame(c.xml, c.bytes.size());
		if (c.bytes.empty())
			got = frame("<ntk_ptz_recall_preset index=\"1\"/>", 1);
		Strings want = c.bytes.empty() ? Strings{"81 01 04 3F 02 01 FF"} : c.bytes;
		EXPECT_EQ(got, want);
	}
}

TEST_F(CameraPtzMetadata, MetadataWaitsWhileViscaOverIpIsInUse)
{
	EXPECT_EQ(frame("<ntk_ptz_zoom zoom=\"1\"/>", 2).size(), 2u);
	ViscaClient client;
	size_t before = camera_rx().size();
	// Datagrams every 100 ms for 1.5 s, with a metadata frame in the middle.
	std::unique_ptr<e2e::Rx> rx;
	for (int i = 0; i < 15; ++i) {
		client.send(kPowerOn);
		if (i == 5)
			rx.reset(new e2e::Rx(root_, {"--metadata", "<ntk_ptz_zoom zoom=\"0\"/>", "--seconds", "0.3"}));
		std::this_thread::sleep_for(100ms);
	}
	rx->wait_exit(10s);
	ASSERT_TRUE(wait_rx(before + 15));
	for (size_t i = before; i < camera_rx().size(); ++i)
		EXPECT_EQ(camera_rx()[i], "81 01 04 00 02 FF");

	// Half a second after the last datagram (with some margin) metadata acts again.
	std::this_thread::sleep_for(e2e::scaled(700ms));
	EXPECT_EQ(frame("<ntk_ptz_zoom zoom=\"0.5\"/>", 1), Strings{"81 01 04 47 03 0A 00 0A FF"});
}
