// Model of the 8-bit I/O expander at 0x20 on i2c-1 that drives the two tally lights.
#include <mutex>
#include <stdio.h>
#include <string>

#include "board.h"
#include "board_map.h"

namespace sim {

namespace {


// Four registers behind a register pointer, as on the PCA9534 family: input port, output
// port, polarity inversion, configuration (1 = input). Every write of the output register
// is mirrored to sim/lights as two upper-case hex digits ("80" program, "40" preview).
// Transfers come from the program's threads; `mutex_` protects the registers and the file.
class LightExpander : public I2cTarget {
public:
	explicit LightExpander(std::string lights_path) : lights_path_(std::move(lights_path))
	{
		// Nothing written yet: an empty file, not a guess at the lights' state.
		write_lights("");
	}

	bool i2c_write(const uint8_t* data, size_t len) override
	{
		std::lock_guard<std::mutex> lock(mutex_);
		if (len == 0)
			return true;
		if (data[0] > LIGHT_EXPANDER_CONFIG_REG)
			return false;  // no such command byte: the chip does not acknowledge it
		pointer_ = data[0];
		for (size_t i = 1; i < len; i++) {
			const uint8_t reg = pointer_;
			pointer_ = static_cast<uint8_t>((pointer_ + 1) & 0x03);
			if (reg == LIGHT_EXPANDER_INPUT_REG)
				continue;  // the input port is read-only; the write is acknowledged and dropped
			regs_[reg] = data[i];
			if (reg == LIGHT_EXPANDER_OUTPUT_REG) {
				char text[3];
				snprintf(text, sizeof(text), "%02X", unsigned(data[i]));
				write_lights(text);
			}
		}
		return true;
	}

	bool i2c_read(uint8_t* data, size_t len) override
	{
		std::lock_guard<std::mutex> lock(mutex_);
		for (size_t i = 0; i < len; i++) {
			const uint8_t reg = pointer_;
			pointer_ = static_cast<uint8_t>((pointer_ + 1) & 0x03);
			if (reg == LIGHT_EXPANDER_INPUT_REG) {
				// Output pins read back their driven level; the unconnected inputs float high.
				const uint8_t pins = static_cast<uint8_t>((regs_[LIGHT_EXPANDER_OUTPUT_REG] & ~regs_[LIGHT_EXPANDER_CONFIG_REG]) | regs_[LIGHT_EXPANDER_CONFIG_REG]);
				data[i] = static_cast<uint8_t>(pins ^ regs_[LIGHT_EXPANDER_POLARITY_REG]);
			} else {
				data[i] = regs_[reg];
			}
		}
		return true;
	}

private:
	// Written to a side file and renamed, so a reader never sees a half-written value.
	void write_lights(const char* text)
	{
		const std::string tmp = lights_path_ + ".new";
		FILE* f = fopen(tmp.c_str(), "we");
		if (f == nullptr)
			return;
		fputs(text, f);
		if (fclose(f) == 0)
			rename(tmp.c_str(), lights_path_.c_str());
	}

	const std::string lights_path_;
	std::mutex mutex_;
	uint8_t regs_[4] = {0xFF, 0xFF, 0x00, 0xFF};  // reset: outputs high, all pins inputs
	uint8_t pointer_ = 0;
};

void install(Board& board)
{
	board.attach_i2c("i2c-1", LIGHT_EXPANDER_ADDR, std::make_shared<LightExpander>(board.path("sim/lights")));
}

void uninstall(Board& board)
{
	board.detach_i2c("i2c-1", LIGHT_EXPANDER_ADDR);
}

// After the board (constructor priority 101), before the program's own globals.
ModelRegistrar registrar __attribute__((init_priority(200)))({"light-expander", install, uninstall});

}  // namespace

}  // namespace sim
