// The appliance's hardware map: I2C slave addresses, the HDMI receiver's status and sub-map
// registers, the light expander's registers and patterns, the codec's gain registers and the
// register windows reached through /dev/mem. The program, btnlatch and the virtual
// appliance's device models all build on this header. Plain C++ and libc types only.
#pragma once

#include <stddef.h>
#include <stdint.h>

// I2C slave addresses (7-bit): the receiver's maps and the light expander on /dev/i2c-1, the
// audio codec on /dev/i2c-0. The sub-map addresses are those the register table programs.
enum : uint8_t {
	ADV7619_IO_ADDR = 0x4C,
	ADV7619_CEC_ADDR = 0x40,
	ADV7619_INFOFRAME_ADDR = 0x3E,
	ADV7619_DPLL_ADDR = 0x26,
	ADV7619_REPEATER_ADDR = 0x32,
	ADV7619_EDID_ADDR = 0x36,
	ADV7619_HDMI_ADDR = 0x34,
	ADV7619_CP_ADDR = 0x22,
	LIGHT_EXPANDER_ADDR = 0x20,
	AUDIO_CODEC_ADDR = 0x18,
};

// ADV7619 IO map: bit 0 of the connection register is set while a source is connected; each
// sub-map answers on the 8-bit address written to its slave-address register.
enum : uint8_t {
	ADV7619_IO_CONNECTED_REG = 0x6F,
	ADV7619_IO_CEC_SLAVE_REG = 0xF4,
	ADV7619_IO_INFOFRAME_SLAVE_REG = 0xF5,
	ADV7619_IO_DPLL_SLAVE_REG = 0xF8,
	ADV7619_IO_REPEATER_SLAVE_REG = 0xF9,
	ADV7619_IO_EDID_SLAVE_REG = 0xFA,
	ADV7619_IO_HDMI_SLAVE_REG = 0xFB,
	ADV7619_IO_CP_SLAVE_REG = 0xFD,
};

// ADV7619 HDMI map measurements: high byte (low 5 bits) then low byte of the active width,
// the field 0 and field 1 heights (bit 5 of the field 1 high byte: interlaced) and the total
// width; the TMDS clock in MHz as 9.7 bits.
enum : uint8_t {
	ADV7619_HDMI_WIDTH_HI = 0x07,
	ADV7619_HDMI_WIDTH_LO = 0x08,
	ADV7619_HDMI_FIELD0_HEIGHT_HI = 0x09,
	ADV7619_HDMI_FIELD0_HEIGHT_LO = 0x0A,
	ADV7619_HDMI_FIELD1_HEIGHT_HI = 0x0B,
	ADV7619_HDMI_FIELD1_HEIGHT_LO = 0x0C,
	ADV7619_HDMI_TOTAL_WIDTH_HI = 0x1E,
	ADV7619_HDMI_TOTAL_WIDTH_LO = 0x1F,
	ADV7619_HDMI_TMDS_FREQ_HI = 0x51,
	ADV7619_HDMI_TMDS_FREQ_LO = 0x52,
	ADV7619_HDMI_INTERLACED_BIT = 0x20,
};

// Light expander (PCA9534 family) registers, and the output patterns of the two tally lights.
enum : uint8_t {
	LIGHT_EXPANDER_INPUT_REG = 0,
	LIGHT_EXPANDER_OUTPUT_REG = 1,
	LIGHT_EXPANDER_POLARITY_REG = 2,
	LIGHT_EXPANDER_CONFIG_REG = 3,
	LIGHT_PROGRAM = 0x80,
	LIGHT_PREVIEW = 0x40,
	LIGHT_OFF = 0x00,
};

// TLV320AIC3104 codec registers (page 0) written for the analog gains.
enum : uint8_t {
	AIC3X_P0_LADC_VOL = 15,
	AIC3X_P0_RADC_VOL = 16,
	AIC3X_P0_LDAC_VOL = 43,
	AIC3X_P0_RDAC_VOL = 44,
};

// Register windows in /dev/mem: the reset-button register, and the GPIO block that selects the
// captured audio source.
static const uint32_t BUTTON_REG_BASE = 0x41000000;
static const size_t BUTTON_REG_MAP_SIZE = 0x100000;
static const uint32_t AUD_SEL_BASE = 0x41210000;
static const size_t AUD_SEL_MAP_SIZE = 0x10000;

// The audio selector block at AUD_SEL_BASE.
struct aud_sel_str {
	volatile uint32_t data;  // bit 0: 1 = HDMI audio, 0 = analog audio
	volatile uint32_t tri;   // pin direction, 0 = all outputs
};
