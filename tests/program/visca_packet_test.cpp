// visca packet builders, the command slot table and the engine without a serial port.
#include <gtest/gtest.h>

#include "test_support.h"
#include "visca.h"
#include "visca_test_peer.h"

using sim::hex_bytes;

TEST(ViscaPacket, CommandPutsParameterBytesMostSignificantFirstAndDropsTheRest)
{
	visca v;
	visca_command c;
	c.cmd_fill = c.ack = c.comp = true;
	v.create_command(c, 4, 0x06, 0x01, 0x01010101);
	EXPECT_EQ(hex_bytes(c.cmd, c.cmd_length), "81 01 06 01 01 01 01 01 FF");
	EXPECT_EQ(c.cmd_length, 9);
	EXPECT_FALSE(c.cmd_fill);
	EXPECT_FALSE(c.ack);
	EXPECT_FALSE(c.comp);

	v.create_command(c, 1, 0x04, 0x07, 0x05050303);
	EXPECT_EQ(hex_bytes(c.cmd, c.cmd_length), "81 01 04 07 03 FF");

	v.create_command(c, 2, 0x104, 0x3F, 0x1234);  // only the low byte of the category
	EXPECT_EQ(hex_bytes(c.cmd, c.cmd_length), "81 01 04 3F 12 34 FF");
}

TEST(ViscaPacket, InquiryWithoutParametersIsFiveBytesAndKeepsTheQueuedFlag)
{
	visca v;
	visca_inq_command q;
	q.cmd_fill = true;
	q.inq_fill = true;
	v.create_inqcommand(q, 0, 0x04, 0x00, 0xABCD, 4);
	EXPECT_EQ(hex_bytes(q.cmd, q.cmd_length), "81 09 04 00 FF");
	EXPECT_EQ(q.cmd_length, 5);
	EXPECT_EQ(q.cmd_length_tot, 3);
	EXPECT_FALSE(q.inq_fill);
	EXPECT_TRUE(q.cmd_fill);
}

TEST(ViscaPacket, SlotTableBuildsBothBuffersAndClearsEveryFlag)
{
	visca v;
	const std::pair<visca_command*, const char*> table[] = {
		{v.cam_pt_dir_move_command, "81 01 06 01 01 01 01 01 FF"},
		{v.cam_pt_stop_command, "81 01 06 01 05 05 03 03 FF"},
		{v.cam_zoom_direct, "81 01 04 47 05 05 03 03 FF"},
		{v.cam_zoom_speed, "81 01 04 07 00 FF"},
		{v.cam_zoom_stop, "81 01 04 07 00 FF"},
		{v.cam_preset_call_rst_recall, "81 01 04 3F 00 00 FF"},
		{v.cam_focus_mode, "81 01 04 38 00 FF"},
		{v.cam_focus_near_far_speed, "81 01 04 08 00 FF"},
		{v.cam_focus_stop, "81 01 04 08 00 FF"},
		{v.cam_wb_mode, "81 01 04 35 00 FF"},
		{v.cam_wb_rg_dir, "81 01 04 43 00 00 00 00 FF"},
		{v.cam_wb_bg_dir, "81 01 04 44 00 00 00 00 FF"},
		{v.cam_exposure_mode, "81 01 04 39 00 FF"},
		{v.cam_exposure_iris_dir, "81 01 04 4B 00 00 00 00 FF"},
		{v.cam_exposure_shut_dir, "81 01 04 4A 00 00 00 00 FF"},
	};
	for (auto& [slot, bytes] : table) {
		for (int i = 0; i < 2; ++i) {
			slot[i].cmd[4] = 0x7E;
			slot[i].cmd_fill = slot[i].ack = slot[i].comp = true;
		}
	}
	v.init_visca_command();
	for (auto& [slot, bytes] : table) {
		for (int i = 0; i < 2; ++i) {
			SCOPED_TRACE(bytes);
			EXPECT_EQ(hex_bytes(slot[i].cmd, slot[i].cmd_length), bytes);
			EXPECT_FALSE(slot[i].cmd_fill || slot[i].ack || slot[i].comp);
		}
	}
}

TEST(ViscaPort, MissingPortIsReportedAndLeavesNoThread)
{
	testcommon::TempSysroot root({}, "vexo_noport");
	visca v;
	testing::internal::CaptureStdout();
	EXPECT_EQ(v.init_visca(), 0);
	std::string out = testing::internal::GetCapturedStdout();
	EXPECT_EQ(out, "cannot open /dev/ttyPS1\n");
	EXPECT_EQ(v.cam_fd, -1);
	EXPECT_FALSE(v.exec_visca_thread.joinable());

	// Without a port a command simply fails.
	visca_command c = visca_test::executed(v, 1, 0x04, 0x00, 0x02);
	EXPECT_FALSE(c.cmd_fill);
	EXPECT_FALSE(c.ack);
	EXPECT_FALSE(c.comp);

	v.deinit_visca();
	EXPECT_EQ(v.cam_fd, -1);
}
