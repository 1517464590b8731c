// A started virtual appliance on a fresh temporary sysroot, for the sim unit tests.
#pragma once

#include <chrono>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <sstream>
#include <stdlib.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "board.h"

namespace simtest {

// Each case gets its own sysroot (VEXO_SYSROOT points at it while the case runs); the board
// is stopped and the directory removed afterwards.
class BoardTest : public ::testing::Test {
protected:
	void SetUp() override
	{
		char templ[] = "/tmp/vexo-simtest-XXXXXX";
		ASSERT_NE(mkdtemp(templ), nullptr);
		root_ = templ;
		setenv("VEXO_SYSROOT", root_.c_str(), 1);
		ASSERT_EQ(mkdir(path("sim").c_str(), 0755), 0);
		before_setup();
		sim::Board::instance().start(root_);
	}

	void TearDown() override
	{
		sim::Board::instance().stop();
		unsetenv("VEXO_SYSROOT");
		std::string cmd = "rm -rf '" + root_ + "'";
		if (system(cmd.c_str()) != 0)
			ADD_FAILURE() << "could not remove " << root_;
	}

	// Runs after the sysroot exists and before the board starts.
	virtual void before_setup() {}

	std::string path(const std::string& rel) const { return root_ + "/" + rel; }

	std::string read_text(const std::string& rel) const
	{
		std::ifstream in(path(rel));
		std::stringstream ss;
		ss << in.rdbuf();
		return ss.str();
	}

	void write_text(const std::string& rel, const std::string& text) const
	{
		std::ofstream out(path(rel), std::ios::trunc);
		out << text;
	}

	std::vector<std::string> event_lines() const
	{
		std::vector<std::string> lines;
		std::istringstream in(read_text("sim/events.jsonl"));
		std::string line;
		while (std::getline(in, line))
			lines.push_back(line);
		return lines;
	}

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

	// Polls `done` until it holds or `timeout` passes.
	static bool wait_until(const std::function<bool()>& done,
	                       std::chrono::milliseconds timeout = std::chrono::milliseconds(3000))
	{
		auto deadline = std::chrono::steady_clock::now() + timeout;
		while (!done()) {
			if (std::chrono::steady_clock::now() > deadline)
				return false;
			std::this_thread::sleep_for(std::chrono::milliseconds(5));
		}
		return true;
	}

	std::string root_;
};

}  // namespace simtest
