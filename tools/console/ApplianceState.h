// What vexo-console shows of the virtual appliance itself: lights, dashboard, source, the
// camera as the packets it received leave it, and the event log's tail.
#pragma once

#include <stdint.h>

#include <deque>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "SysrootFiles.h"

namespace console {

// Reads the event log incrementally (only what was appended since the last call) and folds
// the camera's packets into its state. Thread-safe.
class ApplianceState
{
public:
	explicit ApplianceState(const SysrootFiles& files) : files_(files) {}

	// {"lights":..,"dashboard":..,"hdmi":..,"picture":..,"camera":..,"capture_pending":..}
	nlohmann::json status();
	// The last `n` events (at most 200), oldest first, as a JSON array of the lines as logged.
	std::string events(size_t n);

private:
	void update();  // with mutex_ held
	void camera_packet(const std::string& hex);

	const SysrootFiles& files_;
	std::mutex mutex_;
	uint64_t offset_ = 0;
	std::string partial_;
	std::deque<std::string> tail_;
	nlohmann::json camera_ = nlohmann::json::object();
	std::string picture_shown_ = "testcard";  // as the encoder last logged taking it
	nlohmann::json picture_error_;            // the encoder's last picture event, when it failed
};

}  // namespace console
