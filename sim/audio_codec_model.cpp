// Model of the TLV320AIC3104 audio codec at 0x18 on i2c-0: its register pages.
#include <mutex>
#include <string.h>

#include "board.h"
#include "board_map.h"

namespace sim {

namespace {

constexpr uint8_t kPageSelectReg = 0;
constexpr uint8_t kResetReg = 1;
constexpr uint8_t kPageSize = 128;

// Two pages of 128 registers behind a register pointer; register 0 of either page selects
// the page. Only the analog gains are written by the program (ADC PGA 15/16, DAC volume
// 43/44, all muted at reset as 0x80); the bus logs those writes. A software reset (bit 7 of
// register 1) restores the reset state. `mutex_` protects the registers and the pointer.
class AudioCodec : public I2cTarget {
public:
	AudioCodec() { reset(); }

	bool i2c_write(const uint8_t* data, size_t len) override
	{
		std::lock_guard<std::mutex> lock(mutex_);
		if (len == 0)
			return true;
		if (data[0] >= kPageSize)
			return false;
		pointer_ = data[0];
		for (size_t i = 1; i < len; i++) {
			const uint8_t reg = pointer_;
			pointer_ = static_cast<uint8_t>((pointer_ + 1) % kPageSize);
			if (reg == kPageSelectReg) {
				page_ = data[i] & 0x01;
				regs_[0][0] = regs_[1][0] = page_;
			} else if (page_ == 0 && reg == kResetReg) {
				if (data[i] & 0x80)
					reset();  // self-clearing
			} else {
				regs_[page_][reg] = data[i];
			}
		}
		return true;
	}

	bool i2c_read(uint8_t* data, size_t len) override
	{
		std::lock_guard<std::mutex> lock(mutex_);
		for (size_t i = 0; i < len; i++) {
			data[i] = regs_[page_][pointer_];
			pointer_ = static_cast<uint8_t>((pointer_ + 1) % kPageSize);
		}
		return true;
	}

private:
	void reset()
	{
		memset(regs_, 0, sizeof(regs_));
		for (uint8_t reg : {15, 16, 43, 44})
			regs_[0][reg] = 0x80;
		page_ = 0;
	}

	std::mutex mutex_;
	uint8_t regs_[2][kPageSize];
	uint8_t page_ = 0;
	uint8_t pointer_ = 0;
};

void install(Board& board)
{
	board.attach_i2c("i2c-0", AUDIO_CODEC_ADDR, std::make_shared<AudioCodec>());
}

void uninstall(Board& board)
{
	board.detach_i2c("i2c-0", AUDIO_CODEC_ADDR);
}

// After the board (constructor priority 101), before the program's own globals.
ModelRegistrar registrar __attribute__((init_priority(200)))({"audio-codec", install, uninstall});

}  // namespace

}  // namespace sim
