// A simulated I2C adapter: the i2c-dev node the program opens and the slaves attached to it.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <stdint.h>
#include <string>

#include "board.h"

struct i2c_rdwr_ioctl_data;

namespace sim {

// One bus ("i2c-0", "i2c-1"), owned by the Board for the life of the process. Transfers come
// from any thread that has the node open; each runs whole under `transfer_mutex_`, as the
// kernel holds the adapter lock for one I2C_RDWR. `targets_mutex_` protects `targets_` only,
// so a slave may attach or detach addresses (the receiver's sub-maps) during a transfer.
class I2cBus {
public:
	explicit I2cBus(const std::string& name);

	const std::string& name() const { return name_; }
	void attach(uint8_t addr, std::shared_ptr<I2cTarget> target);
	void detach(uint8_t addr);
	void clear();

	// Runs one I2C_RDWR request: the number of messages on success, -1 with errno set.
	int transfer(const struct i2c_rdwr_ioctl_data* data);

	// The Device behind one open descriptor of the bus node.
	std::shared_ptr<Device> open_device();

private:
	std::shared_ptr<I2cTarget> find(uint8_t addr);
	void log_writes(uint8_t addr, const uint8_t* data, size_t len);

	const std::string name_;
	std::mutex transfer_mutex_;
	std::mutex targets_mutex_;
	std::map<uint8_t, std::shared_ptr<I2cTarget>> targets_;
};

}  // namespace sim
