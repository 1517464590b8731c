// A simulated I2C adapter: I2C_RDWR handed message by message to the attached slaves.
#include "i2c_bus.h"

#include <errno.h>
#include <stdio.h>

#include <linux/i2c-dev.h>
#include <linux/i2c.h>

namespace sim {

namespace {

// What the program holds open: i2c-dev accepts only the combined-transfer request here.
class BusDevice : public Device {
public:
	explicit BusDevice(I2cBus& bus) : bus_(bus) {}
	int ioctl(unsigned long request, void* arg) override
	{
		if (request != I2C_RDWR) {
			errno = ENOTTY;
			return -1;
		}
		return bus_.transfer(static_cast<const i2c_rdwr_ioctl_data*>(arg));
	}

private:
	I2cBus& bus_;
};

}  // namespace

I2cBus::I2cBus(const std::string& name) : name_(name) {}

void I2cBus::attach(uint8_t addr, std::shared_ptr<I2cTarget> target)
{
	std::lock_guard<std::mutex> lock(targets_mutex_);
	targets_[addr] = std::move(target);
}

void I2cBus::detach(uint8_t addr)
{
	std::lock_guard<std::mutex> lock(targets_mutex_);
	targets_.erase(addr);
}

void I2cBus::clear()
{
	std::lock_guard<std::mutex> lock(targets_mutex_);
	targets_.clear();
}

std::shared_ptr<I2cTarget> I2cBus::find(uint8_t addr)
{
	std::lock_guard<std::mutex> lock(targets_mutex_);
	auto it = targets_.find(addr);
	return it == targets_.end() ? nullptr : it->second;
}

std::shared_ptr<Device> I2cBus::open_device()
{
	return std::make_shared<BusDevice>(*this);
}

// The slaves on these boards all take the first written byte as the register pointer and
// advance it after each data byte, so every further byte is one register write.
void I2cBus::log_writes(uint8_t addr, const uint8_t* data, size_t len)
{
	for (size_t i = 1; i < len; i++) {
		Board::instance().event(name_, {{"addr", addr}, {"reg", uint8_t(data[0] + (i - 1))}, {"val", data[i]}});
	}
}

int I2cBus::transfer(const i2c_rdwr_ioctl_data* data)
{
	if (data == nullptr || (data->nmsgs > 0 && data->msgs == nullptr)) {
		errno = EFAULT;
		return -1;
	}
	if (data->nmsgs > I2C_RDWR_IOCTL_MAX_MSGS) {
		errno = EINVAL;
		return -1;
	}
	// Check every message before anything reaches the bus, as i2c-dev copies them in first.
	for (uint32_t i = 0; i < data->nmsgs; i++) {
		const i2c_msg& msg = data->msgs[i];
		if ((msg.flags & (I2C_M_TEN | I2C_M_RECV_LEN)) != 0 || msg.addr > 0x7F) {
			errno = EINVAL;
			return -1;
		}
		if (msg.len > 0 && msg.buf == nullptr) {
			errno = EFAULT;
			return -1;
		}
	}

	std::lock_guard<std::mutex> lock(transfer_mutex_);
	for (uint32_t i = 0; i < data->nmsgs; i++) {
		const i2c_msg& msg = data->msgs[i];
		const uint8_t addr = static_cast<uint8_t>(msg.addr);
		std::shared_ptr<I2cTarget> target = find(addr);
		bool acked;
		if (target == nullptr)
			acked = false;
		else if (msg.flags & I2C_M_RD)
			acked = target->i2c_read(msg.buf, msg.len);
		else
			acked = target->i2c_write(msg.buf, msg.len);
		if (!acked) {
			// The Zynq's I2C controller reports every NACK, address or data, as ENXIO.
			errno = ENXIO;
			return -1;
		}
		if (!(msg.flags & I2C_M_RD))
			log_writes(addr, msg.buf, msg.len);
	}
	return static_cast<int>(data->nmsgs);
}

}  // namespace sim
