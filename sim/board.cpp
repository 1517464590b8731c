// Placeholder board until the virtual appliance lands.
#include "board.h"

namespace sim {

ssize_t Device::read(void*, size_t) { errno = EINVAL; return -1; }
ssize_t Device::write(const void*, size_t) { errno = EINVAL; return -1; }
int Device::ioctl(unsigned long, void*) { errno = ENOTTY; return -1; }

struct Board::Impl {};
Board::Board() : impl_(new Impl) {}
Board& Board::instance() { static Board* board = new Board; return *board; }
void Board::start(const std::string&) {}
void Board::stop() {}
bool Board::running() const { return false; }
std::string Board::path(const std::string& rel) const { return rel; }
double Board::now() const { return 0; }
void Board::event(const std::string&, const std::string&) {}
void Board::add_device(const std::string&, std::function<std::shared_ptr<Device>()>) {}
void Board::remove_device(const std::string&) {}
void Board::attach_i2c(const std::string&, uint8_t, std::shared_ptr<I2cTarget>) {}
void Board::detach_i2c(const std::string&, uint8_t) {}
void Board::add_control(const std::string&, const std::string&, std::function<void(const std::string&)>) {}
void Board::add_model(const Model&) {}
std::string hex_bytes(const uint8_t*, size_t) { return ""; }
std::string json_escape(const std::string& text) { return text; }

}  // namespace sim
