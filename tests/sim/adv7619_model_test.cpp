// Unit tests of the receiver model, driven through the program's own adv7619 and i2c classes:
// its register maps, table load log, control file, and the other devices on its buses.
#include <fcntl.h>
#include <unistd.h>

#include "adv7619_fixture.h"

namespace {

using sim::Adv7619Model;
using simtest::Adv7619ModelTest;

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
