// scripts/run-sim.sh stopped the way a terminal stops it: Ctrl-C to its whole process group.
#include <gtest/gtest.h>

#include <errno.h>
#include <signal.h>

#include <filesystem>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using namespace std::chrono_literals;

TEST(RunSimScript, CtrlCShowsTheOrderedStopAndLeavesNothing)
{
	if (!e2e::enter_netns())
		GTEST_SKIP() << "no private network namespace here";
	// setsid: the script leads a process group of its own, as in a terminal.
	e2e::Process script({"/usr/bin/setsid", "bash", VEXO_SOURCE_DIR "/scripts/run-sim.sh"},
	                    {{"VEXO_SIM_BUILD", VEXO_BUILD_DIR}});
	const std::string announce = "virtual appliance sysroot: ";
	auto at = script.wait_for_line(announce, 20s);
	ASSERT_TRUE(at) << script.output();
	const std::string sysroot = script.lines()[*at].substr(announce.size());
	ASSERT_TRUE(script.wait_for_line("[vexoenc] start main_exit_loop", 30s)) << script.output();

	ASSERT_EQ(kill(-script.pid(), SIGINT), 0);
	ASSERT_EQ(script.wait_exit(30s), 0) << script.output();
	script.finish_output();

	std::vector<std::string> program;
	for (const auto& line : script.lines())
		if (line.rfind("[vexoenc] ", 0) == 0)
			program.push_back(line);
	ASSERT_GE(program.size(), 2u) << script.output();
	EXPECT_EQ(program[program.size() - 2], "[vexoenc] NDIlib_destroy()") << script.output();
	EXPECT_EQ(program.back(), "[vexoenc] End Vexo 4k enc app") << script.output();
	EXPECT_EQ(script.lines().back(), "virtual appliance stopped; " + sysroot + " removed");
	errno = 0;
	EXPECT_EQ(kill(-script.pid(), 0), -1) << "a process of the script's group is left";
	EXPECT_EQ(errno, ESRCH);
	EXPECT_FALSE(std::filesystem::exists(sysroot));
}

}  // namespace
