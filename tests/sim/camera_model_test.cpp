// The virtual appliance's serial camera, driven through the program's own VISCA engine.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <sys/stat.h>

#include "camera_model.h"
#include "sim_board_fixture.h"
#include "visca.h"
#include "visca_test_peer.h"

using sim::hex_bytes;

namespace {

class SerialCamera : public simtest::BoardTest {
protected:
	void SetUp() override
	{
		simtest::BoardTest::SetUp();
		ASSERT_EQ(v.init_visca(), 1);
	}
	void TearDown() override
	{
		v.deinit_visca();
		simtest::BoardTest::TearDown();
	}

	visca_command command(int bytes, int type, int id, uint64_t prefil)
	{
		return visca_test::executed(v, bytes, type, id, prefil);
	}

	std::string inquiry(int type, int id)
	{
		visca_inq_command q;
		v.create_inqcommand(q, 0, type, id, 0, 0);
		q.cmd_fill = true;
		v.visca_exec_inq_cmd(q);
		return q.inq_fill ? hex_bytes(q.inq, q.inq_length) : std::string();
	}

	// Sets the camera's behaviour and waits for the watcher to have passed it on.
	void set_mode(const std::string& word, sim::CameraModel::Mode mode)
	{
		write_text("sim/camera", word + "\n");
		ASSERT_TRUE(wait_until([&] {
			sim::CameraModel::Mode now;
			return sim::installed_camera_mode(&now) && now == mode;
		}));
	}

	visca v;
};

}  // namespace

TEST_F(SerialCamera, DeviceNodeIsThePseudoTerminalAndGoesWithTheBoard)
{
	struct stat st = {};
	ASSERT_EQ(lstat(path("dev/ttyPS1").c_str(), &st), 0);
	EXPECT_TRUE(S_ISLNK(st.st_mode));
	EXPECT_EQ(read_text("sim/camera"), "normal\n");
	v.deinit_visca();
	sim::Board::instance().stop();
	EXPECT_NE(lstat(path("dev/ttyPS1").c_str(), &st), 0);
	sim::Board::instance().start(root_);
	ASSERT_EQ(v.init_visca(), 1);
	EXPECT_TRUE(command(1, 0x04, 0x00, 0x02).comp);
}

TEST_F(SerialCamera, CommandsCompleteAndInquiriesReflectTheCamerasState)
{
	EXPECT_EQ(inquiry(0x04, 0x00), "90 50 02 FF");
	visca_command zoom = command(4, 0x04, 0x47, 0x030A000A);
	EXPECT_TRUE(zoom.ack);
	EXPECT_TRUE(zoom.comp);
	EXPECT_EQ(inquiry(0x04, 0x47), "90 50 03 0A 00 0A FF");
	EXPECT_EQ(inquiry(0x04, 0x38), "90 50 02 FF");
	EXPECT_TRUE(command(1, 0x04, 0x38, 0x03).comp);
	EXPECT_EQ(inquiry(0x04, 0x38), "90 50 03 FF");
	EXPECT_EQ(inquiry(0x04, 0x7E), "90 50 00 FF");

	// Every packet received is in the event log, as sent.
	ASSERT_TRUE(wait_until([&] { return logged("camera", "rx", "81 01 04 47 03 0A 00 0A FF"); }))
	        << read_text("sim/events.jsonl");
	EXPECT_EQ(values_of("camera", "rx").size(), 7u);
}

TEST_F(SerialCamera, ControlFileSetsHowTheCameraAnswers)
{
	using Mode = sim::CameraModel::Mode;
	set_mode("ack-only", Mode::ack_only);
	visca_command c = command(1, 0x04, 0x00, 0x02);
	EXPECT_TRUE(c.ack);
	EXPECT_FALSE(c.comp);
	EXPECT_EQ(inquiry(0x04, 0x00), "90 50 02 FF");

	const std::pair<const char*, Mode> failing[] = {
		{"silent", Mode::silent}, {"error", Mode::error}, {"garbage", Mode::garbage}, {"slow", Mode::slow}};
	for (const auto& [word, mode] : failing) {
		SCOPED_TRACE(word);
		set_mode(word, mode);
		visca_command d = command(1, 0x04, 0x00, 0x02);
		EXPECT_FALSE(d.ack);
		EXPECT_FALSE(d.comp);
	}

	// Back to normal: once the slow camera's late answers are through, commands complete.
	set_mode("normal", Mode::normal);
	EXPECT_TRUE(wait_until([&] { return command(1, 0x04, 0x00, 0x02).comp; }, std::chrono::seconds(5)));

	// An unknown word changes nothing.
	write_text("sim/camera", "sleepy\n");
	ASSERT_TRUE(wait_until([&] { return logged("board", "error", "camera: unknown setting sleepy"); }));
	EXPECT_TRUE(command(1, 0x04, 0x00, 0x02).comp);
}

TEST_F(SerialCamera, AnswersArePacedAtTheLineSpeed)
{
	// 9600 baud: ten bits a byte, so a seven-byte answer takes over 7 ms on the line.
	v.deinit_visca();
	v.camBr = B9600;
	ASSERT_EQ(v.init_visca(), 1);
	auto start = std::chrono::steady_clock::now();
	EXPECT_EQ(inquiry(0x04, 0x47), "90 50 00 00 00 00 FF");
	EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::microseconds(7 * 10 * 1000000 / 9600));

	// The speed change is logged once, before the first packet at the new speed.
	EXPECT_EQ(values_of("camera", "baud"), std::vector<nlohmann::json>{9600});
}

TEST_F(SerialCamera, ReopenedPortIsServedAtItsNewSpeed)
{
	EXPECT_TRUE(command(1, 0x04, 0x00, 0x02).comp);
	v.deinit_visca();
	v.camBr = B38400;
	ASSERT_EQ(v.init_visca(), 1);
	EXPECT_TRUE(command(1, 0x04, 0x00, 0x03).comp);
	EXPECT_EQ(inquiry(0x04, 0x00), "90 50 03 FF");

	EXPECT_EQ(events_of("camera"), (std::vector<nlohmann::json>{{{"baud", 115200}},
	                                                             {{"rx", "81 01 04 00 02 FF"}},
	                                                             {{"baud", 38400}},
	                                                             {{"rx", "81 01 04 00 03 FF"}},
	                                                             {{"rx", "81 09 04 00 FF"}}}));
}
