// Model of the ADV7619 HDMI receiver: IO map, programmable sub-maps and the measured source.
#include "adv7619_model.h"

#include <math.h>
#include <sstream>
#include <stdlib.h>
#include <vector>

#include "board.h"
#include "board_map.h"
#include "mervane_av_format.h"

namespace sim {

namespace {

const char* const kBus = "i2c-1";

// The IO map register that holds each sub-map's 8-bit address (0 for the IO map itself).
constexpr uint8_t kSubmapReg[Adv7619Model::map_count] = {
	0, ADV7619_IO_CEC_SLAVE_REG, ADV7619_IO_INFOFRAME_SLAVE_REG, ADV7619_IO_DPLL_SLAVE_REG,
	ADV7619_IO_REPEATER_SLAVE_REG, ADV7619_IO_EDID_SLAVE_REG, ADV7619_IO_HDMI_SLAVE_REG, ADV7619_IO_CP_SLAVE_REG};

// The standard CEA-861 raster of each format code. The TMDS clock is given as the receiver
// reports it, in 1/128 MHz steps rounded down: 148.5/1.001 MHz reads as 18989/128. The 2160p
// 1000/1001 rates (296.703 MHz) read one step lower, 296.6953125 MHz, inside the detection
// window that ends at 296.7.
struct Format {
	int code;
	uint16_t width, height, total;
	bool interlaced;
	uint32_t clock_128;
};

constexpr Format kFormats[] = {
	{video_format_2160_30p, 3840, 2160, 4400, false, 38016},
	{video_format_2160_29p, 3840, 2160, 4400, false, 37977},
	{video_format_2160_25p, 3840, 2160, 5280, false, 38016},
	{video_format_2160_24p, 3840, 2160, 5500, false, 38016},
	{video_format_2160_23_95p, 3840, 2160, 5500, false, 37977},
	{video_format_1080_60p, 1920, 1080, 2200, false, 19008},
	{video_format_1080_59p, 1920, 1080, 2200, false, 18989},
	{video_format_1080_50p, 1920, 1080, 2640, false, 19008},
	{video_format_1080_30p, 1920, 1080, 2200, false, 9504},
	{video_format_1080_29p, 1920, 1080, 2200, false, 9494},
	{video_format_1080_25p, 1920, 1080, 2640, false, 9504},
	{video_format_1080_24p, 1920, 1080, 2750, false, 9504},
	{video_format_1080_23_95p, 1920, 1080, 2750, false, 9494},
	{video_format_1080_30i, 1920, 540, 2200, true, 9504},
	{video_format_1080_29i, 1920, 540, 2200, true, 9494},
	{video_format_1080_25i, 1920, 540, 2640, true, 9504},
	{video_format_720_60p, 1280, 720, 1650, false, 9504},
	{video_format_720_59p, 1280, 720, 1650, false, 9494},
	{video_format_720_50p, 1280, 720, 1980, false, 9504},
};
static_assert(std::size(kFormats) == std::size(kVideoFormatNames), "a raster for every format name");

// The measurement registers are 13 bits wide for sizes and 9.7 bits for the clock.
constexpr long kMaxSize = 0x1FFF;
constexpr double kMaxClock = 511.0 + 127.0 / 128.0;

// The installed model, kept past static destruction: the board uninstalls after it.
struct Installed {
	std::mutex mutex;
	std::shared_ptr<Adv7619Model> model;  // protected by mutex
};

Installed& installed_model()
{
	static auto* installed = new Installed;
	return *installed;
}

// One map as a slave on the bus.
class MapTarget : public I2cTarget {
public:
	MapTarget(std::shared_ptr<Adv7619Model> model, Adv7619Model::Map map) : model_(std::move(model)), map_(map) {}
	bool i2c_write(const uint8_t* data, size_t len) override { return model_->i2c_write(map_, data, len); }
	bool i2c_read(uint8_t* data, size_t len) override { return model_->i2c_read(map_, data, len); }

private:
	std::shared_ptr<Adv7619Model> model_;
	Adv7619Model::Map map_;
};

// The frame rate of a format name ("1080p59.94", "1080i50"): the rates with a fraction are the
// 1000/1001 ones (59.94 is 60000/1001), and an interlaced name counts fields, two a frame.
void name_rate(const std::string& name, bool interlaced, uint32_t* n, uint32_t* d)
{
	const double named = strtod(name.c_str() + name.find_first_of("pi") + 1, nullptr);
	const bool fractional = name.find('.') != std::string::npos;
	*n = static_cast<uint32_t>(lround(fractional ? named * 1.001 : named)) * 1000 / (interlaced ? 2 : 1);
	*d = fractional ? 1001 : 1000;
}

bool parse_size(const std::string& text, uint16_t* out)
{
	char* end = nullptr;
	long value = strtol(text.c_str(), &end, 10);
	if (text.empty() || *end != '\0' || value <= 0 || value > kMaxSize)
		return false;
	*out = static_cast<uint16_t>(value);
	return true;
}

}  // namespace

bool HdmiSource::parse(const std::string& line, HdmiSource* source, std::string* error)
{
	HdmiSource parsed;
	if (line == "none") {
		*source = parsed;
		return true;
	}
	if (line == "unreadable") {
		parsed.state = State::unreadable;
		*source = parsed;
		return true;
	}
	for (const Format& f : kFormats) {
		const char* name = video_format_name(f.code);
		if (line == name) {
			parsed.state = State::signal;
			parsed.width = f.width;
			parsed.height = f.height;
			parsed.total = f.total;
			parsed.interlaced = f.interlaced;
			parsed.clock_128 = f.clock_128;
			name_rate(name, f.interlaced, &parsed.rate_n, &parsed.rate_d);
			*source = parsed;
			return true;
		}
	}

	std::istringstream in(line);
	std::vector<std::string> words;
	std::string word;
	while (in >> word)
		words.push_back(word);
	if (words.empty() || words[0] != "timing") {
		*error = "unknown HDMI source setting: " + line;
		return false;
	}
	bool sizes_ok = (words.size() == 5 || (words.size() == 6 && words[5] == "i")) &&
	                parse_size(words[1], &parsed.width) && parse_size(words[2], &parsed.height) &&
	                parse_size(words[3], &parsed.total);
	char* end = nullptr;
	double mhz = sizes_ok ? strtod(words[4].c_str(), &end) : 0.0;
	if (!sizes_ok || *end != '\0' || !(mhz > 0.0) || mhz > kMaxClock) {
		*error = "bad timing, want \"timing W H T MHZ [i]\": " + line;
		return false;
	}
	parsed.state = State::signal;
	parsed.interlaced = words.size() == 6;
	// The receiver counts whole 1/128 MHz steps; the tiny margin keeps 74.2 from reading 74.1953.
	parsed.clock_128 = static_cast<uint32_t>(floor(mhz * 128.0 + 1e-6));
	// A raw timing names no rate: the usual one of its raster.
	parsed.rate_n = parsed.height >= 2160 || parsed.interlaced ? 30000 : 60000;
	parsed.rate_d = 1001;
	*source = parsed;
	return true;
}

std::shared_ptr<Adv7619Model> Adv7619Model::installed()
{
	Installed& slot = installed_model();
	std::lock_guard<std::mutex> lock(slot.mutex);
	return slot.model;
}

void Adv7619Model::attach()
{
	std::lock_guard<std::mutex> lock(mutex_);
	address_[io] = ADV7619_IO_ADDR;
	Board::instance().attach_i2c(kBus, ADV7619_IO_ADDR, std::make_shared<MapTarget>(shared_from_this(), io));
}

void Adv7619Model::detach()
{
	std::lock_guard<std::mutex> lock(mutex_);
	for (uint8_t& addr : address_) {
		if (addr != 0)
			Board::instance().detach_i2c(kBus, addr);
		addr = 0;
	}
}

void Adv7619Model::set_source(const HdmiSource& source)
{
	std::lock_guard<std::mutex> lock(mutex_);
	source_ = source;
}

HdmiSource Adv7619Model::source()
{
	std::lock_guard<std::mutex> lock(mutex_);
	return source_;
}

void Adv7619Model::apply_setting(const std::string& line)
{
	HdmiSource source;
	std::string error;
	if (!HdmiSource::parse(line, &source, &error)) {
		Board::instance().event("board", {{"error", error}});
		return;
	}
	set_source(source);
}

int Adv7619Model::peek(Map map, uint8_t reg)
{
	std::lock_guard<std::mutex> lock(mutex_);
	if (address_[map] == 0)
		return -1;
	return read_register(map, reg);
}

// Moves a sub-map to the 7-bit form of `addr8`. Another map left on the old address (two
// maps given one address) takes it back, so no answering map is lost from the bus.
void Adv7619Model::move_submap(Map map, uint8_t addr8)
{
	const uint8_t old_addr = address_[map];
	const uint8_t new_addr = static_cast<uint8_t>(addr8 >> 1);
	if (old_addr == new_addr)
		return;
	address_[map] = new_addr;
	Board& board = Board::instance();
	if (old_addr != 0) {
		board.detach_i2c(kBus, old_addr);
		for (int m = 0; m < map_count; m++)
			if (address_[m] == old_addr)
				board.attach_i2c(kBus, old_addr, std::make_shared<MapTarget>(shared_from_this(), Map(m)));
	}
	if (new_addr != 0)
		board.attach_i2c(kBus, new_addr, std::make_shared<MapTarget>(shared_from_this(), map));
}

void Adv7619Model::write_register(Map map, uint8_t reg, uint8_t value)
{
	regs_[map][reg] = value;
	if (map != io)
		return;
	for (int m = cec; m < map_count; m++)
		if (kSubmapReg[m] == reg)
			move_submap(Map(m), value);
}

// Status and measurement registers come from the source; everything else reads back what was
// written (the chip resets it to 0 as far as the program is concerned).
uint8_t Adv7619Model::read_register(Map map, uint8_t reg) const
{
	const bool signal = source_.state == HdmiSource::State::signal;
	if (map == io && reg == ADV7619_IO_CONNECTED_REG)
		return signal ? 0x01 : 0x00;
	if (map != hdmi)
		return regs_[map][reg];

	// With no signal the measurement logic is unlocked and reads 0.
	const uint32_t w = signal ? source_.width : 0;
	const uint32_t h = signal ? source_.height : 0;
	const uint32_t t = signal ? source_.total : 0;
	const uint32_t clk = signal ? source_.clock_128 : 0;
	const bool il = signal && source_.interlaced;
	switch (reg) {
	case ADV7619_HDMI_WIDTH_HI: return static_cast<uint8_t>((signal ? 0xA0 : 0x00) | ((w >> 8) & 0x1F));  // DE and vertical filters locked
	case ADV7619_HDMI_WIDTH_LO: return static_cast<uint8_t>(w & 0xFF);
	case ADV7619_HDMI_FIELD0_HEIGHT_HI: return static_cast<uint8_t>((h >> 8) & 0x1F);  // field 0 height
	case ADV7619_HDMI_FIELD0_HEIGHT_LO: return static_cast<uint8_t>(h & 0xFF);
	case ADV7619_HDMI_FIELD1_HEIGHT_HI: return static_cast<uint8_t>((il ? ADV7619_HDMI_INTERLACED_BIT : 0x00) | (il ? (h >> 8) & 0x1F : 0));  // field 1 height
	case ADV7619_HDMI_FIELD1_HEIGHT_LO: return static_cast<uint8_t>(il ? h & 0xFF : 0);
	case ADV7619_HDMI_TOTAL_WIDTH_HI: return static_cast<uint8_t>((t >> 8) & 0x3F);
	case ADV7619_HDMI_TOTAL_WIDTH_LO: return static_cast<uint8_t>(t & 0xFF);
	case ADV7619_HDMI_TMDS_FREQ_HI: return static_cast<uint8_t>((clk >> 8) & 0xFF);  // whole MHz, bits 8..1
	case ADV7619_HDMI_TMDS_FREQ_LO: return static_cast<uint8_t>(clk & 0xFF);         // MHz bit 0, then 7 fraction bits
	default: return regs_[map][reg];
	}
}

// A write sets the register pointer with its first byte; further bytes fill registers from
// there on, the pointer advancing after each.
bool Adv7619Model::i2c_write(Map map, const uint8_t* data, size_t len)
{
	std::lock_guard<std::mutex> lock(mutex_);
	if (source_.state == HdmiSource::State::unreadable)
		return false;
	if (len == 0)
		return true;
	pointer_[map] = data[0];
	for (size_t i = 1; i < len; i++)
		write_register(map, pointer_[map]++, data[i]);
	return true;
}

bool Adv7619Model::i2c_read(Map map, uint8_t* data, size_t len)
{
	std::lock_guard<std::mutex> lock(mutex_);
	if (source_.state == HdmiSource::State::unreadable)
		return false;
	for (size_t i = 0; i < len; i++)
		data[i] = read_register(map, pointer_[map]++);
	return true;
}

namespace {

void install(Board& board)
{
	auto model = std::make_shared<Adv7619Model>();
	HdmiSource initial;
	std::string error;
	HdmiSource::parse("1080p59.94", &initial, &error);
	model->set_source(initial);
	model->attach();
	{
		Installed& slot = installed_model();
		std::lock_guard<std::mutex> lock(slot.mutex);
		slot.model = model;
	}
	board.add_control("hdmi", "1080p59.94", [model](const std::string& line) { model->apply_setting(line); });
}

void uninstall(Board&)
{
	std::shared_ptr<Adv7619Model> model;
	{
		Installed& slot = installed_model();
		std::lock_guard<std::mutex> lock(slot.mutex);
		model.swap(slot.model);
	}
	if (model)
		model->detach();
}

// After the board (constructor priority 101), before the program's own globals.
ModelRegistrar registrar __attribute__((init_priority(200)))({"adv7619", install, uninstall});

}  // namespace

}  // namespace sim
