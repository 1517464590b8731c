// Camcontrol: PTZ metadata elements to the bytes they queue, focus state, settings file.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "camcontrol.h"
#include "visca_test_peer.h"

using sim::hex_bytes;

namespace {

// Feeds metadata frames to the handler and reads back what each queued in the capture
// buffer, in the order the exec thread would send it.
class PtzMetadata : public testing::Test {
protected:
	void SetUp() override { cc.m_visca.init_visca_command(); }

	std::vector<std::string> frame(const std::string& xml)
	{
		std::string text = xml;
		NDIlib_metadata_frame_t f;
		f.p_data = &text[0];
		f.length = static_cast<int>(text.size() + 1);
		cc.camcontrol_capture_ndi(&f);
		EXPECT_EQ(text, xml) << "the frame itself must be left unchanged";
		return take_queued();
	}

	std::vector<std::string> take_queued()
	{
		visca& v = cc.m_visca;
		const int c = v.cap_cmd_index;
		visca_command* const slots[] = {
			&v.cam_pt_dir_move_command[c], &v.cam_pt_stop_command[c], &v.cam_zoom_direct[c],
			&v.cam_zoom_speed[c], &v.cam_zoom_stop[c], &v.cam_preset_call_rst_recall[c],
			&v.cam_focus_mode[c], &v.cam_focus_near_far_speed[c], &v.cam_focus_stop[c],
			&v.cam_wb_mode[c], &v.cam_wb_rg_dir[c], &v.cam_wb_bg_dir[c],
			&v.cam_exposure_mode[c], &v.cam_exposure_iris_dir[c], &v.cam_exposure_shut_dir[c],
		};
		std::vector<std::string> out;
		for (visca_command* s : slots) {
			if (s->cmd_fill)
				out.push_back(hex_bytes(s->cmd, s->cmd_length));
			s->cmd_fill = false;
		}
		return out;
	}

	Camcontrol cc;
};

using Q = std::vector<std::string>;

}  // namespace

TEST_F(PtzMetadata, ZoomMapsThroughTheTableAndClamps)
{
	EXPECT_EQ(frame("<ntk_ptz_zoom zoom=\"0.5\"/>"), Q{"81 01 04 47 03 0A 00 0A FF"});
	EXPECT_EQ(frame("<ntk_ptz_zoom zoom=\"1\"/>"), Q{"81 01 04 47 04 00 00 00 FF"});
	EXPECT_EQ(frame("<ntk_ptz_zoom zoom=\"0.99\"/>"), Q{"81 01 04 47 03 0F 0D 0C FF"});
	EXPECT_EQ(frame("<ntk_ptz_zoom zoom=\"-3\"/>"), Q{"81 01 04 47 00 00 00 00 FF"});
	EXPECT_EQ(frame("<ntk_ptz_zoom zoom=\"7\"/>"), Q{"81 01 04 47 04 00 00 00 FF"});
	EXPECT_EQ(frame("<ntk_ptz_zoom zoom=\"nan\"/>"), Q{"81 01 04 47 00 00 00 00 FF"});
	EXPECT_EQ(frame("<ntk_ptz_zoom/>"), Q{"81 01 04 47 00 00 00 00 FF"});
	// Element names ignore case, attribute names do not.
	EXPECT_EQ(frame("<NTK_PTZ_ZOOM zoom=\"1\"/>"), Q{"81 01 04 47 04 00 00 00 FF"});
	EXPECT_EQ(frame("<ntk_ptz_zoom Zoom=\"1\"/>"), Q{"81 01 04 47 00 00 00 00 FF"});
}

TEST_F(PtzMetadata, ZoomSpeedDrivesTeleWideOrStops)
{
	EXPECT_EQ(frame("<ntk_ptz_zoom_speed zoom_speed=\"0.5\"/>"), Q{"81 01 04 07 23 FF"});
	EXPECT_EQ(frame("<ntk_ptz_zoom_speed zoom_speed=\"-1\"/>"), Q{"81 01 04 07 37 FF"});
	EXPECT_EQ(frame("<ntk_ptz_zoom_speed zoom_speed=\"0\"/>"), Q{"81 01 04 07 00 FF"});
	EXPECT_EQ(frame("<ntk_ptz_zoom_speed zoom_speed=\"1.5\"/>"), Q{"81 01 04 07 22 FF"});
	// Beyond any speed: defined, and still a tele drive.
	EXPECT_EQ(frame("<ntk_ptz_zoom_speed zoom_speed=\"1e30\"/>"), Q{"81 01 04 07 27 FF"});
	EXPECT_EQ(frame("<ntk_ptz_zoom_speed zoom_speed=\"-inf\"/>"), Q{"81 01 04 07 37 FF"});
	// A stop leaves the drive's bytes alone; the stop slot always reads 00.
	EXPECT_EQ(frame("<ntk_ptz_zoom_speed zoom_speed=\"0.5\"/>"), Q{"81 01 04 07 23 FF"});
	EXPECT_EQ(frame("<ntk_ptz_zoom_speed/>"), Q{"81 01 04 07 00 FF"});
	EXPECT_EQ(cc.m_visca.cam_zoom_speed[0].cmd[4], 0x23);
}

TEST_F(PtzMetadata, PanTiltSpeedGivesSpeedsAndDirections)
{
	EXPECT_EQ(frame("<ntk_ptz_pan_tilt_speed pan_speed=\"0.5\" tilt_speed=\"0\"/>"), Q{"81 01 06 01 09 00 01 03 FF"});
	EXPECT_EQ(frame("<ntk_ptz_pan_tilt_speed pan_speed=\"-1\" tilt_speed=\"-0.25\"/>"), Q{"81 01 06 01 12 05 02 02 FF"});
	EXPECT_EQ(frame("<ntk_ptz_pan_tilt_speed pan_speed=\"0\" tilt_speed=\"0\"/>"), Q{"81 01 06 01 05 05 03 03 FF"});
	EXPECT_EQ(frame("<ntk_ptz_pan_tilt_speed/>"), Q{"81 01 06 01 05 05 03 03 FF"});
	struct Dir {
		const char* pan;
		const char* tilt;
		const char* bytes;
	};
	const Dir dirs[] = {{"0", "1", "03 01"},    {"0", "-1", "03 02"},  {"1", "0", "01 03"},
	                    {"-1", "0", "02 03"},   {"1", "1", "01 01"},   {"-1", "1", "02 01"},
	                    {"1", "-1", "01 02"},   {"-1", "-1", "02 02"}};
	for (const Dir& d : dirs) {
		Q q = frame(std::string("<ntk_ptz_pan_tilt_speed pan_speed=\"") + d.pan + "\" tilt_speed=\"" + d.tilt + "\"/>");
		ASSERT_EQ(q.size(), 1u);
		EXPECT_EQ(q[0].substr(18, 5), d.bytes) << d.pan << " " << d.tilt;
	}
	// Speeds clamp at 18; a tiny speed still moves, at speed byte 0.
	EXPECT_EQ(frame("<ntk_ptz_pan_tilt_speed pan_speed=\"5\" tilt_speed=\"0.01\"/>"), Q{"81 01 06 01 12 00 01 01 FF"});
	// Not a number reads as 0.
	EXPECT_EQ(frame("<ntk_ptz_pan_tilt_speed pan_speed=\"left\" tilt_speed=\"x\"/>"), Q{"81 01 06 01 05 05 03 03 FF"});
}

TEST_F(PtzMetadata, PresetsStoreAndRecallWithinRange)
{
	EXPECT_EQ(frame("<ntk_ptz_store_preset index=\"7\"/>"), Q{"81 01 04 3F 01 07 FF"});
	EXPECT_EQ(frame("<ntk_ptz_recall_preset index=\"12\" speed=\"0.3\"/>"), Q{"81 01 04 3F 02 0C FF"});
	EXPECT_EQ(frame("<ntk_ptz_store_preset/>"), Q{"81 01 04 3F 01 00 FF"});
	EXPECT_EQ(frame("<ntk_ptz_recall_preset index=\"99\"/>"), Q{"81 01 04 3F 02 63 FF"});
	EXPECT_EQ(frame("<ntk_ptz_store_preset index=\"100\"/>"), Q{});
	EXPECT_EQ(frame("<ntk_ptz_store_preset index=\"-1\"/>"), Q{});
	EXPECT_EQ(frame("<ntk_ptz_store_preset index=\"99999999999999999999\"/>"), Q{});
}

TEST_F(PtzMetadata, FocusFollowsTheAutoManualStateAndDrivesByTheDistanceMoved)
{
	auto manual = [&](const char* distance) {
		return frame(std::string("<ntk_ptz_focus mode=\"manual\" distance=\"") + distance + "\"/>");
	};
	// A drive at `speed` and its stop.
	auto drive = [](const char* speed) { return Q{std::string("81 01 04 08 ") + speed + " FF", "81 01 04 08 00 FF"}; };
	// Auto state (as at every start of the PTZ thread).
	EXPECT_EQ(manual("0.5"), Q{"81 01 04 38 03 FF"});
	EXPECT_FALSE(cc.camcontrol_focus_auto);
	EXPECT_EQ(manual("0.75"), drive("23"));  // 0 -> 3
	EXPECT_EQ(frame("<ntk_ptz_focus mode=\"Manual\" distance=\"0.95\"/>"), drive("23"));  // 3 -> 6
	EXPECT_EQ(manual("0.8"), drive("32"));  // 6 -> 4
	EXPECT_EQ(manual("0.8"), Q{});  // stays
	EXPECT_EQ(manual("0"), drive("37"));  // 4 -> -7: 11 steps, speed 7
	EXPECT_EQ(manual("0.2"), drive("22"));  // -7 -> -5
	EXPECT_EQ(manual("0.55"), Q{});  // to 0: no drive
	EXPECT_EQ(cc.distance_cal_last, 0);
	EXPECT_EQ(manual("5"), drive("27"));  // clamped to 1.0: 0 -> 7

	EXPECT_EQ(frame("<ntk_ptz_focus mode=\"auto\"/>"), Q{"81 01 04 38 02 FF"});
	EXPECT_EQ(cc.distance_cal_last, 0);
	EXPECT_EQ(frame("<ntk_ptz_focus mode=\"auto\"/>"), Q{});
	EXPECT_EQ(frame("<ntk_ptz_focus/>"), Q{});  // absent mode is auto
	EXPECT_TRUE(cc.camcontrol_focus_auto);
}

TEST_F(PtzMetadata, WhiteBalanceModeAndManualGains)
{
	EXPECT_EQ(frame("<ntk_ptz_white_balance mode=\"manual\" red=\"1\" blue=\"0\"/>"),
	          (Q{"81 01 04 35 05 FF", "81 01 04 43 00 00 0F 0F FF", "81 01 04 44 00 00 00 00 FF"}));
	EXPECT_EQ(frame("<ntk_ptz_white_balance mode=\"indoor\"/>"), Q{"81 01 04 35 01 FF"});
	EXPECT_EQ(frame("<ntk_ptz_white_balance mode=\"ONE_PUSH\"/>"), Q{"81 01 04 35 03 FF"});
	EXPECT_EQ(frame("<ntk_ptz_white_balance mode=\"manual2\"/>"), Q{"81 01 04 35 06 FF"});
	EXPECT_EQ(frame("<ntk_ptz_white_balance mode=\"sunset\"/>"), Q{"81 01 04 35 00 FF"});
	// Defaults of 0.5 each; gains are not clamped but keep 16 bits.
	EXPECT_EQ(frame("<ntk_ptz_white_balance mode=\"manual\"/>"),
	          (Q{"81 01 04 35 05 FF", "81 01 04 43 00 00 07 0F FF", "81 01 04 44 00 00 07 0F FF"}));
	EXPECT_EQ(frame("<ntk_ptz_white_balance mode=\"manual\" red=\"-1\" blue=\"1e20\"/>"),
	          (Q{"81 01 04 35 05 FF", "81 01 04 43 0F 0F 00 01 FF", "81 01 04 44 0F 0F 0F 0F FF"}));
}

TEST_F(PtzMetadata, ExposureSendsIrisAndShutterButNeverTheModeItself)
{
	EXPECT_EQ(frame("<ntk_ptz_exposure mode=\"manual\" value=\"1\"/>"), Q{"81 01 04 4B 00 00 01 01 FF"});
	EXPECT_EQ(frame("<ntk_ptz_exposure mode=\"auto\" value=\"1\"/>"), Q{});
	// Values no int holds: NaN reads as 0, a huge negative value saturates (its low 16 bits 0).
	EXPECT_EQ(frame("<ntk_ptz_exposure mode=\"manual\" value=\"nan\"/>"), Q{"81 01 04 4B 00 00 00 00 FF"});
	EXPECT_EQ(frame("<ntk_ptz_exposure mode=\"manual\" value=\"-1e30\"/>"), Q{"81 01 04 4B 00 00 00 00 FF"});
	EXPECT_EQ(frame("<ntk_ptz_mervane_exposure mode=\"manual\" iris=\"10\" shutterspeed=\"300\"/>"),
	          (Q{"81 01 04 4B 00 00 00 0A FF", "81 01 04 4A 00 01 02 0C FF"}));
	EXPECT_EQ(frame("<ntk_ptz_mervane_exposure mode=\"shutter-pri\" iris=\"10\" shutterspeed=\"300\"/>"),
	          Q{"81 01 04 4A 00 01 02 0C FF"});
	EXPECT_EQ(frame("<ntk_ptz_mervane_exposure mode=\"iris-pri\" iris=\"10\" shutterspeed=\"300\"/>"),
	          Q{"81 01 04 4B 00 00 00 0A FF"});
	EXPECT_EQ(frame("<ntk_ptz_mervane_exposure mode=\"full-auto\" iris=\"10\"/>"), Q{});
	EXPECT_EQ(cc.m_visca.cam_exposure_mode[0].cmd[4], 0x00);
	EXPECT_EQ(frame("<ntk_ptz_mervane_exposure mode=\"manual\" iris=\"70000\" shutterspeed=\"-1\"/>"),
	          (Q{"81 01 04 4B 01 01 07 00 FF", "81 01 04 4A 0F 0F 0F 0F FF"}));
	// No mode, or one we do not know: the element is ignored.
	EXPECT_EQ(frame("<ntk_ptz_mervane_exposure iris=\"10\" shutterspeed=\"300\"/>"), Q{});
	EXPECT_EQ(frame("<ntk_ptz_exposure mode=\"bright\" value=\"1\"/>"), Q{});
	EXPECT_EQ(cc.m_visca.cam_exposure_mode[0].cmd[4], 0x03);
}

TEST_F(PtzMetadata, OnlyTheFirstKnownElementOfAWellFormedFrameActs)
{
	EXPECT_EQ(frame("<ntk_ptz_pan_tilt pan=\"0.1\"/>"), Q{});
	EXPECT_EQ(frame("<ntk_ptz_flip/>"), Q{});
	EXPECT_EQ(frame("<ntk_ptz_focus_speed speed=\"1\"/>"), Q{});
	EXPECT_EQ(frame("<ntk_ptz_zoomx zoom=\"1\"/>"), Q{});
	EXPECT_EQ(frame("<other/><ntk_ptz_zoom zoom=\"1\"/>"), Q{});
	EXPECT_EQ(frame("<ntk_ptz_zoom zoom=\"1\"/><ntk_ptz_store_preset index=\"1\"/>"), Q{"81 01 04 47 04 00 00 00 FF"});

	// Not well-formed, empty or without an element: skipped, and the next frame still acts.
	for (const char* bad : {"", "   ", "<ntk_ptz_zoom zoom=\"1\"", "<ntk_ptz_zoom zoom=1/>", "ntk_ptz_zoom",
	                        "<ntk_ptz_zoom zoom=\"1\"/>trailing", "<<<", "<!-- c -->", "<?xml version=\"1.0\"?>"}) {
		EXPECT_EQ(frame(bad), Q{}) << bad;
	}
	NDIlib_metadata_frame_t empty;
	cc.camcontrol_capture_ndi(&empty);
	cc.camcontrol_capture_ndi(nullptr);
	EXPECT_EQ(frame("<?xml version=\"1.0\"?><ntk_ptz_zoom zoom=\"0.5\"/>"), Q{"81 01 04 47 03 0A 00 0A FF"});
}

TEST_F(PtzMetadata, DeeplyNestedFrameIsSkippedInsteadOfExhaustingTheStack)
{
	std::string deep;
	for (int i = 0; i < 200000; ++i)
		deep += "<ntk_ptz_zoom zoom=\"1\">";
	EXPECT_EQ(frame(deep), Q{});
	// Ordinary nesting and siblings stay well within the bound.
	std::string nested = "<ntk_ptz_zoom zoom=\"1\">";
	for (int i = 0; i < 100; ++i)
		nested += "<x a=\"1\"/><y><z/></y>";
	nested += "</ntk_ptz_zoom>";
	EXPECT_EQ(frame(nested), Q{"81 01 04 47 04 00 00 00 FF"});
}

TEST_F(PtzMetadata, FrameTextEndsAtItsGivenLength)
{
	char text[] = "<ntk_ptz_zoom zoom=\"1\"/>XXXX";
	NDIlib_metadata_frame_t f;
	f.p_data = text;
	f.length = 24;  // without the trailing bytes and without a terminator
	cc.camcontrol_capture_ndi(&f);
	EXPECT_EQ(take_queued(), Q{"81 01 04 47 04 00 00 00 FF"});
}

TEST_F(PtzMetadata, MetadataIsTakenButNotActedOnWhileViscaOverIpIsInUse)
{
	std::string text = "<ntk_ptz_zoom zoom=\"1\"/>";
	cc.ptz_cmd.p_data = &text[0];
	cc.camcontrol_voip_det_cmd = true;
	cc.camcontrol_ndi_result(NDIlib_frame_type_metadata);
	EXPECT_EQ(take_queued(), Q{});
	EXPECT_TRUE(cc.m_visca.m_visca_ndi_event_cond);

	cc.camcontrol_voip_det_cmd = false;
	cc.camcontrol_ndi_result(NDIlib_frame_type_metadata);
	EXPECT_EQ(take_queued(), Q{"81 01 04 47 04 00 00 00 FF"});

	cc.camcontrol_ndi_result(NDIlib_frame_type_none);
	EXPECT_FALSE(cc.m_visca.m_visca_ndi_event_cond);
	cc.ptz_cmd.p_data = nullptr;
}

TEST(CamcontrolSign, SignHelpersTreatZeroAndNanAsNoDirection)
{
	Camcontrol cc;
	EXPECT_EQ(cc.get_float_signt(0.3f), 1.0f);
	EXPECT_EQ(cc.get_float_signt(-2.0f), -1.0f);
	EXPECT_EQ(cc.get_float_signt(-0.0f), 0.0f);
	EXPECT_EQ(cc.get_float_signt(NAN), 0.0f);
	EXPECT_EQ(cc.get_float_signp(0.3f), -1.0f);
	EXPECT_EQ(cc.get_float_signp(-2.0f), 1.0f);
	EXPECT_EQ(cc.get_float_signp(0.0f), 0.0f);
	EXPECT_EQ(cc.get_float_signp(NAN), 0.0f);
}

TEST(CamcontrolSettings, AddressAndSpeedAreReadByPosition)
{
	visca_test::ScriptedCamera root;  // for its sysroot
	Camcontrol cc;
	struct Case {
		const char* text;  // nullptr: no file
		int address;
		speed_t speed;
	};
	// Values longer than 49 characters are cut to 49.
	const std::string addr49 = "\"" + std::string(48, '0') + "3\"";
	const std::string addr50 = "\"" + std::string(49, '0') + "3\"";
	const std::string file49 = "{\"a\":" + addr49 + ",\"b\":\"9600\"}";
	const std::string file50 = "{\"a\":" + addr50 + ",\"b\":\"38400\"}";
	const Case cases[] = {
		{"{\"visca_address\":\"3\",\"visca_baudrate\":\"38400\"}", 3, B38400},
		{"{\"x\":2,\"y\":9600}", 2, B9600},
		{"{\"x\":1,\"y\":19200}", 1, B9600},  // unknown speed: the previous one stays
		{"{\"a\":\"7\",\"b\":\"38400\"", 7, B38400},
		{nullptr, 0, B38400},
		{file49.c_str(), 3, B9600},
		{file50.c_str(), 0, B38400},
		{"{\"a\":\"99999999999999999999\",\"b\":\"38400x\"}", 255, B38400},
		{"{\"a\",\"b\":\"9600\"}", 0, B38400},  // ',' before the first ':', no second ':'
		{"{\"a\":\"5\"}", 0, B38400},             // no ','
	};
	for (const Case& c : cases) {
		SCOPED_TRACE(c.text ? c.text : "(no file)");
		if (c.text)
			root.write_file("etc/mervane-ptz-settings.json", c.text);
		else
			unlink((root.root() + "/etc/mervane-ptz-settings.json").c_str());
		cc.get_ptz_settings();
		EXPECT_EQ(cc.m_visca.camAddress, c.address);
		EXPECT_EQ(cc.m_visca.camBr, c.speed);
	}
}
