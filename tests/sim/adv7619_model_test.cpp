// Unit tests of the receiver model, driven through the program's own adv7619 and i2c classes.
#include <algorithm>
#include <fcntl.h>
#include <tuple>
#include <unistd.h>

#include "adv7619.h"
#include "adv7619_model.h"
#include "mervane_av_format.h"
#include "sim_board_fixture.h"

namespace {

using sim::Adv7619Model;

class Adv7619ModelTest : public simtest::BoardTest {
protected:
	void SetUp() override
	{
		BoardTest::SetUp();
		model_ = Adv7619Model::installed();
		ASSERT_NE(model_, nullptr);
	}
	void TearDown() override
	{
		model_.reset();
		BoardTest::TearDown();
	}

	// Loads the HD table quietly (the program prints nothing when every row is acknowledged).
	void load_table(bool mode_4k = false)
	{
		EXPECT_EQ(testcommon::stdout_of([&] { rx_.adv7619_config(mode_4k); }), "");
	}

	int format_for(const std::string& setting)
	{
		model_->apply_setting(setting);
		return rx_.adv7619_get_format();
	}

	adv7619 rx_;
	i2c bus;  // the program's register access, for the cases' own reads and writes
	std::shared_ptr<Adv7619Model> model_;
};

TEST_F(Adv7619ModelTest, EveryWebInterfaceFormatIsDetectedAsItsCode)
{
	load_table();
	// Each format's code and the frame rate the encoder behind the receiver is fed.
	const std::tuple<int, uint32_t, uint32_t> formats[] = {
		{video_format_2160_30p, 30000, 1000},    {video_format_2160_29p, 30000, 1001},
		{video_format_2160_25p, 25000, 1000},    {video_format_2160_24p, 24000, 1000},
		{video_format_2160_23_95p, 24000, 1001}, {video_format_1080_60p, 60000, 1000},
		{video_format_1080_59p, 60000, 1001},    {video_format_1080_50p, 50000, 1000},
		{video_format_1080_30p, 30000, 1000},    {video_format_1080_29p, 30000, 1001},
		{video_format_1080_25p, 25000, 1000},    {video_format_1080_24p, 24000, 1000},
		{video_format_1080_23_95p, 24000, 1001}, {video_format_1080_30i, 30000, 1000},
		{video_format_1080_29i, 30000, 1001},    {video_format_1080_25i, 25000, 1000},
		{video_format_720_60p, 60000, 1000},     {video_format_720_59p, 60000, 1001},
		{video_format_720_50p, 50000, 1000},
	};
	ASSERT_EQ(std::size(formats), std::size(kVideoFormatNames));
	for (const auto& [code, rate_n, rate_d] : formats) {
		const char* name = video_format_name(code);
		EXPECT_EQ(format_for(name), code) << name;
		EXPECT_EQ(rx_.adv7619_get_connected(), 1) << name;
		const sim::HdmiSource source = model_->source();
		EXPECT_EQ(source.rate_n, rate_n) << name;
		EXPECT_EQ(source.rate_d, rate_d) << name;
	}
}

TEST_F(Adv7619ModelTest, ClockWindowEdgesAndOddRasters)
{
	load_table();
	EXPECT_EQ(format_for("timing 1920 1080 2200 65"), 0);
	EXPECT_EQ(format_for("timing 1920 1080 2200 74.1953125"), 4);
	EXPECT_EQ(format_for("timing 1920 1080 2200 74.203125"), 5);
	EXPECT_EQ(format_for("timing 3840 2160 4400 296.6953125"), 52);
	EXPECT_EQ(format_for("timing 3840 2160 4400 296.703125"), 53);
	EXPECT_EQ(format_for("timing 3840 2160 4400 297.0"), 53);
	// The clock reads in whole 1/128 MHz steps, rounded down: 297/1.001 MHz reads 296.703125,
	// just above the window, which is why the 2160p29.97 setting reads one step lower.
	EXPECT_EQ(format_for("timing 3840 2160 4400 296.7033"), 53);
	EXPECT_EQ(format_for("timing 3840 2160 4400 296.703"), 52);
	EXPECT_EQ(format_for("timing 1920 1080 2200 74.2"), 4) << "74.2 reads as 74.1953125";
	EXPECT_EQ(format_for("timing 1920 539 2200 74.25 i"), 21);
	EXPECT_EQ(format_for("timing 1920 541 2640 74.25 i"), 19);
	EXPECT_EQ(format_for("timing 1920 542 2200 74.25 i"), 0);
	EXPECT_EQ(format_for("timing 1280 540 2200 74.25 i"), 0);
	EXPECT_EQ(format_for("timing 1920 1080 2000 148.5"), 0);
	EXPECT_EQ(format_for("timing 1920 1080 2200 148.5 i"), 0) << "a 1080-line field is no 1080i";
	EXPECT_EQ(rx_.adv7619_get_connected(), 1);
}

TEST_F(Adv7619ModelTest, NoSourceAndAnUnreadableReceiver)
{
	load_table();
	EXPECT_EQ(format_for("none"), 0);
	EXPECT_EQ(rx_.adv7619_get_connected(), 0);

	EXPECT_EQ(format_for("unreadable"), -1);
	EXPECT_EQ(rx_.adv7619_get_connected(), -1);
	// A table load to a silent receiver reports every row and is not logged as written.
	size_t events_before = event_lines().size();
	std::string out = testcommon::stdout_of([&] { rx_.adv7619_config(false); });
	EXPECT_NE(out.find("failed to write 0x44 value to 0x4c : 0xfd register at 6\n"), std::string::npos);
	EXPECT_NE(out.find("register at 312\n"), std::string::npos);
	EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 313);
	EXPECT_EQ(event_lines().size(), events_before);

	// It answers again, with the table it held before.
	EXPECT_EQ(format_for("1080p50"), 41);
	EXPECT_EQ(rx_.adv7619_get_connected(), 1);
}

TEST_F(Adv7619ModelTest, SubMapsAnswerOnlyWhereTheIoMapPutsThem)
{
	// From reset only the IO map answers, so the HDMI map measurements cannot be read.
	EXPECT_EQ(rx_.adv7619_get_connected(), 1);
	EXPECT_EQ(rx_.adv7619_get_format(), -1);
	load_table();
	EXPECT_EQ(rx_.adv7619_get_format(), 42);

	// Moving the HDMI map to 0x38 leaves 0x34 silent.
	int fd = open(path("dev/i2c-1").c_str(), O_RDWR);
	ASSERT_GE(fd, 0);
	EXPECT_EQ(bus.set_i2c_register(fd, 0x4C, 0xFB, 0x70), 0);
	EXPECT_EQ(bus.read_i2c_register(fd, 0x34, 0x08), -1);
	EXPECT_EQ(bus.read_i2c_register(fd, 0x38, 0x08), 0x80);  // 1920 = 0x780
	// Two maps put on one address: moving one away leaves the other answering there.
	EXPECT_EQ(bus.set_i2c_register(fd, 0x4C, 0xF4, 0x70), 0);
	EXPECT_EQ(bus.set_i2c_register(fd, 0x4C, 0xF4, 0x80), 0);
	EXPECT_EQ(bus.read_i2c_register(fd, 0x38, 0x08), 0x80);
	EXPECT_EQ(bus.set_i2c_register(fd, 0x4C, 0xFB, 0x68), 0);
	close(fd);
	EXPECT_EQ(rx_.adv7619_get_format(), 42);
}

TEST_F(Adv7619ModelTest, TableLoadIsLoggedRowByRowAndTheEdidChecksums)
{
	for (bool mode_4k : {false, true}) {
		size_t first = event_lines().size();
		load_table(mode_4k);
		std::vector<nlohmann::json> lines = events();
		ASSERT_EQ(lines.size() - first, 313u);
		const int(*table)[3] = mode_4k ? adv7619_4klut : adv7619_2klut;
		for (int i = 0; i < 313; i++) {
			const nlohmann::json want = {{"t", lines[first + i].value("t", 0.0)}, {"dev", "i2c-1"},
			                             {"addr", table[i][0]}, {"reg", table[i][1]}, {"val", table[i][2]}};
			ASSERT_EQ(lines[first + i], want) << "row " << i;
		}
	}

	int fd = open(path("dev/i2c-1").c_str(), O_RDWR);
	ASSERT_GE(fd, 0);
	int sum[2] = {0, 0};
	for (int reg = 0; reg < 256; reg++) {
		int value = bus.read_i2c_register(fd, 0x36, static_cast<unsigned char>(reg));
		ASSERT_GE(value, 0);
		ASSERT_EQ(value, adv7619_2klut[8 + reg][2]) << "EDID byte " << reg;
		sum[reg / 128] += value;
	}
	close(fd);
	EXPECT_EQ(sum[0] % 256, 0);
	EXPECT_EQ(sum[1] % 256, 0);
}

TEST_F(Adv7619ModelTest, ControlFileSetsTheSourceAndRejectsNonsense)
{
	EXPECT_EQ(read_text("sim/hdmi"), "1080p59.94\n");
	load_table();
	EXPECT_EQ(rx_.adv7619_get_format(), 42);
	write_text("sim/hdmi", "720p50\n");
	ASSERT_TRUE(wait_until([&] { return rx_.adv7619_get_format() == 6; }));
	write_text("sim/hdmi", "none");
	ASSERT_TRUE(wait_until([&] { return rx_.adv7619_get_connected() == 0; }));
	write_text("sim/hdmi", "timing 1920 1080 2200 148.5\n");
	ASSERT_TRUE(wait_until([&] { return rx_.adv7619_get_format() == 43; }));

	// Unknown settings keep the source and say why in the event log.
	const char* bad[] = {"1080p61", "1080p48", "timing 1920 1080 2200", "timing 1920 1080 2200 0", "timing -1 2 3 4",
	                     "timing 1920 1080 2200 148.5 x", "timing 9000 1080 2200 148.5"};
	for (const char* setting : bad) {
		size_t before = event_lines().size();
		write_text("sim/hdmi", setting);
		ASSERT_TRUE(wait_until([&] { return event_lines().size() > before; })) << setting;
		const nlohmann::json e = events().back();
		EXPECT_EQ(e.value("dev", ""), "board") << e;
		EXPECT_NE(e.value("error", "").find(setting), std::string::npos) << e;
	}
	EXPECT_EQ(rx_.adv7619_get_format(), 43);
}

class PresetHdmiTest : public Adv7619ModelTest {
	void before_setup() override { write_text("sim/hdmi", "2160p25\n"); }
};

TEST_F(PresetHdmiTest, ASourceWrittenBeforeStartIsThereFromTheStart)
{
	load_table(true);
	EXPECT_EQ(rx_.adv7619_get_format(), 51);
}

TEST_F(Adv7619ModelTest, LightExpanderMirrorsItsOutputRegister)
{
	EXPECT_EQ(read_text("sim/lights"), "");
	int fd = open(path("dev/i2c-1").c_str(), O_RDWR);
	ASSERT_GE(fd, 0);
	EXPECT_EQ(bus.set_i2c_register(fd, LIGHT_EXPANDER_ADDR, LIGHT_EXPANDER_CONFIG_REG, 0x01), 0);
	EXPECT_EQ(bus.set_i2c_register(fd, LIGHT_EXPANDER_ADDR, LIGHT_EXPANDER_OUTPUT_REG, LIGHT_PROGRAM), 0);
	EXPECT_EQ(read_text("sim/lights"), "80");
	// Pin 0 is the only input; the others read back their driven level.
	EXPECT_EQ(bus.read_i2c_register(fd, LIGHT_EXPANDER_ADDR, 0), 0x81);
	EXPECT_EQ(bus.set_i2c_register(fd, LIGHT_EXPANDER_ADDR, LIGHT_EXPANDER_OUTPUT_REG, LIGHT_PREVIEW), 0);
	EXPECT_EQ(read_text("sim/lights"), "40");
	EXPECT_EQ(bus.set_i2c_register(fd, LIGHT_EXPANDER_ADDR, LIGHT_EXPANDER_OUTPUT_REG, 0x0A), 0);
	EXPECT_EQ(read_text("sim/lights"), "0A");
	EXPECT_EQ(bus.set_i2c_register(fd, LIGHT_EXPANDER_ADDR, LIGHT_EXPANDER_OUTPUT_REG, LIGHT_OFF), 0);
	EXPECT_EQ(read_text("sim/lights"), "00");
	EXPECT_EQ(bus.set_i2c_register(fd, LIGHT_EXPANDER_ADDR, 7, 0x80), 1) << "no register 7";
	close(fd);
	std::vector<nlohmann::json> writes = events_of("i2c-1");
	ASSERT_EQ(writes.size(), 5u);
	EXPECT_EQ(writes[1], (nlohmann::json{{"addr", 32}, {"reg", 1}, {"val", 128}}));
	EXPECT_EQ(events().size(), 5u);
}

TEST_F(Adv7619ModelTest, CodecGainsAreWrittenOnTheOtherBus)
{
	rx_.SetAnalogAudioInGain(96);
	rx_.SetAnalogAudioOutGain(128 + 256);  // written modulo 256
	ASSERT_EQ(events().size(), 4u);
	EXPECT_EQ(events_of("i2c-0"), (std::vector<nlohmann::json>{{{"addr", 24}, {"reg", 15}, {"val", 96}},
	                                                            {{"addr", 24}, {"reg", 16}, {"val", 96}},
	                                                            {{"addr", 24}, {"reg", 43}, {"val", 128}},
	                                                            {{"addr", 24}, {"reg", 44}, {"val", 128}}}));
	int fd = open(path("dev/i2c-0").c_str(), O_RDWR);
	ASSERT_GE(fd, 0);
	EXPECT_EQ(bus.read_i2c_register(fd, AUDIO_CODEC_ADDR, 16), 96);
	EXPECT_EQ(bus.read_i2c_register(fd, AUDIO_CODEC_ADDR, 44), 128);
	// A software reset mutes the gains again.
	EXPECT_EQ(bus.set_i2c_register(fd, AUDIO_CODEC_ADDR, 1, 0x80), 0);
	EXPECT_EQ(bus.read_i2c_register(fd, AUDIO_CODEC_ADDR, 15), 0x80);
	close(fd);
}

}  // namespace
