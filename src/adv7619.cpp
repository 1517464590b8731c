// adv7619: HDMI receiver set-up and format detection, light expander, audio selector and gains.
#include "adv7619.h"

#include <fcntl.h>
#include <stdio.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "jsonstring.h"
#include "mervane_av_format.h"
#include "vexo_path.h"

static const char* const kEncSettingsFile = "/etc/mervane-enc1-settings.json";
static const char* const kCodecBusFile = "/dev/i2c-0";

// Opens a bus device for one operation. A failure is reported and the operation goes on: its
// transfers then fail on the bad descriptor.
static int open_bus(const char* fixed_path)
{
	int fd = open(vexo_path(fixed_path).c_str(), O_RDWR);
	if (fd < 0)
		puts("failed to open i2c device");
	return fd;
}

static void close_bus(int& fd)
{
	if (fd >= 0)
		close(fd);
	fd = -1;
}

adv7619::adv7619() : aud_sel_addr(AUD_SEL_BASE), i2c_file("/dev/i2c-1") {}

void adv7619::adv7619_config(bool mode_4k)
{
	file_fd = open_bus(i2c_file);

	const int(*table)[3] = mode_4k ? adv7619_4klut : adv7619_2klut;
	int written = 0;
	for (int i = 0; i < 313; i++) {
		unsigned char addr = static_cast<unsigned char>(table[i][0]);
		unsigned char reg = static_cast<unsigned char>(table[i][1]);
		unsigned char value = static_cast<unsigned char>(table[i][2]);
		if (adv7619_i2c.set_i2c_register(file_fd, addr, reg, value) == 0)
			written++;
		else
			printf("failed to write 0x%x value to 0x%x : 0x%x register at %d\n", value, addr, reg, i);
	}
	config_loaded = written > 0;

	close_bus(file_fd);
}

int adv7619::adv7619_get_connected()
{
	file_fd = open_bus(i2c_file);

	int value = adv7619_i2c.read_i2c_register(file_fd, ADV7619_IO_ADDR, ADV7619_IO_CONNECTED_REG);

	close_bus(file_fd);
	if (value < 0)
		return -1;
	return value & 0x01;
}

// Picks the format code from the measured raster, line length and TMDS clock. The bounds
// 74.2, 148.4 and 296.7 are compared in double precision, the others in single precision,
// as the detection table was tuned against the receiver's 1/128 MHz clock readout.
static int classify_format(int width, int height, bool interlaced, int total, float clock)
{
	const double f = clock;
	if (!interlaced) {
		if (width == 3840 && height == 2160) {
			if (total == 4400)
				return (clock > 296.0f && f < 296.7) ? video_format_2160_29p : video_format_2160_30p;
			if (total == 5280)
				return video_format_2160_25p;
			if (total == 5500)
				return (clock > 296.0f && f < 296.7) ? video_format_2160_23_95p : video_format_2160_24p;
		}
		if (width == 1920 && height == 1080) {
			if (total == 2200) {
				if (clock > 70.0f && f < 74.2)
					return video_format_1080_29p;
				if (f > 74.2 && clock < 140.0f)
					return video_format_1080_30p;
				if (clock > 140.0f && f < 148.4)
					return video_format_1080_59p;
				if (f > 148.4 && clock < 150.0f)
					return video_format_1080_60p;
				return video_format_not_valid;
			}
			if (total == 2640)
				return clock < 140.0f ? video_format_1080_25p : video_format_1080_50p;
			if (total == 2750)
				return (clock > 70.0f && f < 74.2) ? video_format_1080_23_95p : video_format_1080_24p;
		}
		if (width == 1280 && height == 720) {
			if (total == 1650)
				return f < 74.2 ? video_format_720_59p : video_format_720_60p;
			if (total == 1980)
				return video_format_720_50p;
		}
		return video_format_not_valid;
	}

	if (width == 1920 && (height == 539 || height == 540 || height == 541)) {
		if (total == 2200)
			return f < 74.2 ? video_format_1080_29i : video_format_1080_30i;
		if (total == 2640)
			return video_format_1080_25i;
	}
	return video_format_not_valid;
}

int adv7619::adv7619_get_format()
{
	static const unsigned char kHdmiRegs[9] = {
		ADV7619_HDMI_WIDTH_HI,         ADV7619_HDMI_WIDTH_LO,       ADV7619_HDMI_FIELD0_HEIGHT_HI,
		ADV7619_HDMI_FIELD0_HEIGHT_LO, ADV7619_HDMI_FIELD1_HEIGHT_HI, ADV7619_HDMI_TOTAL_WIDTH_HI,
		ADV7619_HDMI_TOTAL_WIDTH_LO,   ADV7619_HDMI_TMDS_FREQ_HI,   ADV7619_HDMI_TMDS_FREQ_LO};
	int regs[9];

	file_fd = open_bus(i2c_file);

	bool ok = adv7619_i2c.read_i2c_register(file_fd, ADV7619_IO_ADDR, 0x02) >= 0;
	for (int i = 0; ok && i < 9; i++) {
		regs[i] = adv7619_i2c.read_i2c_register(file_fd, ADV7619_HDMI_ADDR, kHdmiRegs[i]);
		ok = regs[i] >= 0;
	}

	close_bus(file_fd);
	if (!ok)
		return video_format_detect_failed;

	int width = (regs[0] & 0x1F) * 256 + regs[1];
	int height = (regs[2] & 0x1F) * 256 + regs[3];
	bool interlaced = (regs[4] & ADV7619_HDMI_INTERLACED_BIT) != 0;
	int total = (regs[5] & 0x1F) * 256 + regs[6];
	float clock = static_cast<float>(regs[7] * 2 + (regs[8] >> 7)) + static_cast<float>(regs[8] & 0x7F) / 128.0f;
	return classify_format(width, height, interlaced, total, clock);
}

void adv7619::app_start()
{
	file_fd = open_bus(i2c_file);

	adv7619_i2c.set_i2c_register(file_fd, LIGHT_EXPANDER_ADDR, LIGHT_EXPANDER_CONFIG_REG, 0x01);
	for (int i = 0; i < 3; i++) {
		adv7619_i2c.set_i2c_register(file_fd, LIGHT_EXPANDER_ADDR, LIGHT_EXPANDER_OUTPUT_REG, LIGHT_PREVIEW);
		usleep(250000);
		adv7619_i2c.set_i2c_register(file_fd, LIGHT_EXPANDER_ADDR, LIGHT_EXPANDER_OUTPUT_REG, LIGHT_PROGRAM);
		usleep(250000);
	}
	adv7619_i2c.set_i2c_register(file_fd, LIGHT_EXPANDER_ADDR, LIGHT_EXPANDER_OUTPUT_REG, LIGHT_PREVIEW);
	usleep(1000000);
	adv7619_i2c.set_i2c_register(file_fd, LIGHT_EXPANDER_ADDR, LIGHT_EXPANDER_OUTPUT_REG, LIGHT_OFF);

	close_bus(file_fd);
}

void adv7619::vexotally(NDIlib_tally_t tally, bool encoding)
{
	file_fd = open_bus(i2c_file);

	adv7619_i2c.set_i2c_register(file_fd, LIGHT_EXPANDER_ADDR, LIGHT_EXPANDER_CONFIG_REG, 0x01);

	std::string mode;
	unsigned char pattern = LIGHT_OFF;
	if (GetJsonString(vexo_path(kEncSettingsFile), "TallyMode", mode)) {
		if (mode == "TallyOn") {
			if (tally.on_program)
				pattern = LIGHT_PROGRAM;
			else if (tally.on_preview)
				pattern = LIGHT_PREVIEW;
		} else if (mode == "VideoMode") {
			pattern = encoding ? LIGHT_PREVIEW : LIGHT_PROGRAM;
		}
	}
	adv7619_i2c.set_i2c_register(file_fd, LIGHT_EXPANDER_ADDR, LIGHT_EXPANDER_OUTPUT_REG, pattern);

	close_bus(file_fd);
}

void adv7619::init_audinsel(int mem_fd)
{
	void* map = mmap(nullptr, AUD_SEL_MAP_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, mem_fd,
	                 static_cast<off_t>(aud_sel_addr));
	if (map == MAP_FAILED) {
		// Without the mapping the selector stays as the hardware has it; nothing is written.
		aud_sel_settings = nullptr;
		puts("failed to map the audio input select registers");
		return;
	}
	aud_sel_settings = static_cast<aud_sel_str*>(map);
	aud_sel_settings->tri = 0;
	aud_sel_settings->data = 0xFFFFFFFF;
}

void adv7619::deinit_audinsel()
{
	if (aud_sel_settings != nullptr)
		munmap(static_cast<void*>(const_cast<aud_sel_str*>(aud_sel_settings)), AUD_SEL_MAP_SIZE);
	aud_sel_settings = nullptr;
}

void adv7619::SetAudioInSel(int sel)
{
	if (aud_sel_settings != nullptr)
		aud_sel_settings->data = static_cast<uint32_t>(sel);
}

void adv7619::write_codec_pair(unsigned char reg_left, unsigned char reg_right, int value)
{
	int fd = open_bus(kCodecBusFile);
	unsigned char byte = static_cast<unsigned char>(value & 0xFF);
	adv7619_i2c.set_i2c_register(fd, AUDIO_CODEC_ADDR, reg_left, byte);
	adv7619_i2c.set_i2c_register(fd, AUDIO_CODEC_ADDR, reg_right, byte);
	close_bus(fd);
}

void adv7619::SetAnalogAudioInGain(int gain)
{
	write_codec_pair(AIC3X_P0_LADC_VOL, AIC3X_P0_RADC_VOL, gain);
}

void adv7619::SetAnalogAudioOutGain(int gain)
{
	write_codec_pair(AIC3X_P0_LDAC_VOL, AIC3X_P0_RDAC_VOL, gain);
}
