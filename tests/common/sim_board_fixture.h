// A started virtual appliance on a fresh temporary sysroot, for the sim unit tests.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "board.h"
#include "test_support.h"

namespace simtest {

// Each case gets its own sysroot (VEXO_SYSROOT points at it while the case runs); the board
// is stopped and the directory removed afterwards.
class BoardTest : public ::testing::Test {
protected:
	void SetUp() override
	{
		before_setup();
		sim::Board::instance().start(root_);
	}

	void TearDown() override { sim::Board::instance().stop(); }

	// Runs after the sysroot exists and before the board starts.
	virtual void before_setup() {}

	std::string path(const std::string& rel) const { return root_ + "/" + rel; }

	std::string read_text(const std::string& rel) const { return testcommon::read_file(path(rel)); }
	void write_text(const std::string& rel, const std::string& text) const { testcommon::write_file(path(rel), text); }

	std::vector<std::string> event_lines() const { return testcommon::lines_of(read_text("sim/events.jsonl")); }

	// The event log as parsed objects; a line that is not one fails the case.
	std::vector<nlohmann::json> events() const
	{
		std::vector<nlohmann::json> out;
		for (const std::string& line : event_lines()) {
			nlohmann::json e = nlohmann::json::parse(line, nullptr, false);
			if (e.is_object())
				out.push_back(std::move(e));
			else
				ADD_FAILURE() << "not a JSON object: " << line;
		}
		return out;
	}

	// The events of one device, each without its time and device.
	std::vector<nlohmann::json> events_of(const std::string& dev) const
	{
		std::vector<nlohmann::json> out;
		for (nlohmann::json& e : events()) {
			if (e.value("dev", "") != dev)
				continue;
			e.erase("t");
			e.erase("dev");
			out.push_back(std::move(e));
		}
		return out;
	}

	// The values of `key` in the events of `dev` that have one.
	std::vector<nlohmann::json> values_of(const std::string& dev, const std::string& key) const
	{
		std::vector<nlohmann::json> out;
		for (nlohmann::json& e : events_of(dev))
			if (e.contains(key))
				out.push_back(e[key]);
		return out;
	}

	// Whether an event of `dev` has `key` equal to `value`.
	bool logged(const std::string& dev, const std::string& key, const nlohmann::json& value) const
	{
		const std::vector<nlohmann::json> values = values_of(dev, key);
		return std::find(values.begin(), values.end(), value) != values.end();
	}

	static bool wait_until(const std::function<bool()>& done,
	                       std::chrono::milliseconds timeout = std::chrono::milliseconds(3000))
	{
		return testcommon::wait_until(done, timeout);
	}

	testcommon::TempSysroot sysroot_{{"sim"}, "vexo-simtest"};
	const std::string root_ = sysroot_.path();
};

}  // namespace simtest
