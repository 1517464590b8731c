// Model of the ADV7619 HDMI receiver: IO map, programmable sub-maps and the measured source.
#pragma once

#include <memory>
#include <mutex>
#include <stdint.h>
#include <string>

namespace sim {

// The HDMI signal at the receiver's input, as the control file sim/hdmi sets it.
struct HdmiSource {
	enum class State { none, signal, unreadable };
	State state = State::none;
	uint16_t width = 0;        // active pixels per line
	uint16_t height = 0;       // active lines per field
	uint16_t total = 0;        // total pixels per line, blanking included
	bool interlaced = false;
	uint32_t clock_128 = 0;    // TMDS clock in 1/128 MHz, as the receiver measures it
	uint32_t rate_n = 0;       // frames per second as a fraction (an interlaced frame is two fields)
	uint32_t rate_d = 1;

	// Reads one sim/hdmi setting: "none", "unreadable", a format name of the web interface
	// ("1080p59.94") or "timing W H T MHZ [i]". False with `error` set for anything else.
	static bool parse(const std::string& line, HdmiSource* source, std::string* error);
};

// The receiver on i2c-1. The IO map answers at 0x4C from reset; each sub-map answers only
// once its 8-bit address has been written to the IO map (0xF4 CEC, 0xF5 InfoFrame, 0xF8 DPLL,
// 0xF9 repeater, 0xFA EDID, 0xFB HDMI, 0xFD CP), as on the chip. Transfers arrive on the
// program's threads, settings from the control-file watcher: `mutex_` protects all state.
class Adv7619Model : public std::enable_shared_from_this<Adv7619Model> {
public:
	enum Map { io, cec, infoframe, dpll, repeater, edid, hdmi, cp, map_count };

	// The model on the board while it runs (null otherwise), for tests.
	static std::shared_ptr<Adv7619Model> installed();

	// Attaches the IO map to the bus; detach() removes every address the model answers on.
	void attach();
	void detach();

	void set_source(const HdmiSource& source);
	// The signal at the input now: what the encoder behind the receiver is fed.
	HdmiSource source();
	// Applies a sim/hdmi line; an unknown one keeps the source and logs an error event.
	void apply_setting(const std::string& line);

	// A register as the program would read it, bypassing the bus (tests); -1 if the map is
	// not programmed.
	int peek(Map map, uint8_t reg);

	bool i2c_write(Map map, const uint8_t* data, size_t len);
	bool i2c_read(Map map, uint8_t* data, size_t len);

private:
	uint8_t read_register(Map map, uint8_t reg) const;
	void write_register(Map map, uint8_t reg, uint8_t value);
	void move_submap(Map map, uint8_t addr8);

	std::mutex mutex_;
	uint8_t regs_[map_count][256] = {};
	uint8_t pointer_[map_count] = {};
	uint8_t address_[map_count] = {};  // 7-bit address each map answers on, 0 for none
	HdmiSource source_;
};

}  // namespace sim
