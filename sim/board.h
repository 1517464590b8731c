// The virtual appliance's board: sysroot, event log, control files and the device registry.
#pragma once

#include <errno.h>
#include <functional>
#include <memory>
#include <stddef.h>
#include <stdint.h>
#include <string>
#include <sys/types.h>

#include <nlohmann/json.hpp>

namespace sim {

// What the program sees behind one open descriptor of a device node. Each open of a node
// gets its own Device object from the node's factory. Requests a model does not handle fail
// as the kernel would: ioctl with ENOTTY, read/write with EINVAL.
class Device {
public:
	virtual ~Device() = default;
	virtual ssize_t read(void* buf, size_t count);
	virtual ssize_t write(const void* buf, size_t count);
	virtual int ioctl(unsigned long request, void* arg);
};

// A slave on a simulated I2C bus. Each i2c_msg of an I2C_RDWR transfer is handed over one
// by one; returning false makes the whole transfer fail with the errno i2c-dev gives for a
// NACK: ENXIO for the address phase and the data alike, as the Zynq's I2C controller reports it.
class I2cTarget {
public:
	virtual ~I2cTarget() = default;
	virtual bool i2c_write(const uint8_t* data, size_t len) = 0;
	virtual bool i2c_read(uint8_t* data, size_t len) = 0;
};

// The board: one per process. start() lays out the sysroot (etc/ tmp/ dev/ sim/, a sparse
// dev/mem covering the register windows), opens sim/events.jsonl and starts the thread that
// watches the control files; every model registered with Board::add_model is installed then.
class Board {
public:
	static Board& instance();

	// Lays out `sysroot` and installs the models; idempotent. stop() ends the watcher thread
	// and uninstalls the models (open descriptors keep working until closed).
	void start(const std::string& sysroot);
	void stop();
	bool running() const;

	// Absolute path of `rel` below the sysroot ("dev/i2c-1", "sim/hdmi").
	std::string path(const std::string& rel) const;
	// Seconds since start().
	double now() const;

	// Appends {"t":<now>,"dev":"<dev>",<fields...>} to sim/events.jsonl, the members of the
	// object `fields` in their order ({{"addr", 76}, {"reg", 111}, {"val", 1}}).
	void event(const std::string& dev, const nlohmann::ordered_json& fields = nlohmann::ordered_json::object());

	// Serves the node dev/<node>: opening it (by its sysroot path) creates a Device.
	void add_device(const std::string& node, std::function<std::shared_ptr<Device>()> factory);
	void remove_device(const std::string& node);
	// Makes every open of dev/<node> fail with `error` (0 lifts it) whether or not a model
	// serves it; with ENOENT the node's file is gone too, as an unloaded driver leaves it.
	void set_open_fault(const std::string& node, int error);
	// Serves a path outside dev/ ("tmp/x"): its opens create Devices while it is served.
	void serve_file(const std::string& rel, std::function<std::shared_ptr<Device>()> factory);
	void unserve_file(const std::string& rel);

	// Attaches an I2C slave at a 7-bit address on bus "i2c-0" or "i2c-1" (the nodes exist
	// once start() has run). Addresses nobody answers NACK.
	void attach_i2c(const std::string& bus, uint8_t addr, std::shared_ptr<I2cTarget> target);
	void detach_i2c(const std::string& bus, uint8_t addr);

	// A control file sim/<name>, created holding `initial`. Each time a line is written to
	// it, `on_line` is called on the watcher thread within 100 ms with the line (no line
	// end); the file keeps what was written, so reading it gives the current setting.
	void add_control(const std::string& name, const std::string& initial,
	                 std::function<void(const std::string&)> on_line);

	// Models register themselves once with a static ModelRegistrar; install runs in start(),
	// uninstall in stop().
	struct Model {
		const char* name;
		std::function<void(Board&)> install;
		std::function<void(Board&)> uninstall;
	};
	static void add_model(const Model& model);

	// For the dispatcher: when `path` names a served node below the sysroot, sets `device`
	// to a new Device for it and returns true; the device is null when the open fails, with
	// `*error` the errno to fail it with.
	bool open_node(const char* path, std::shared_ptr<Device>* device, int* error);

private:
	Board();
	struct Impl;
	std::unique_ptr<Impl> impl_;
};

struct ModelRegistrar {
	explicit ModelRegistrar(const Board::Model& model) { Board::add_model(model); }
};

}  // namespace sim
