// scripts/run-sim.sh stopped the way a terminal stops it: Ctrl-C to its whole process group.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using namespace std::chrono_literals;

// One HTTP/1.0 GET on the loopback; the whole answer, empty when nobody answers.
std::string http_get(int port, const std::string& path)
{
	int fd = socket(AF_INET, SOCK_STREAM, 0);
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_port = htons(static_cast<uint16_t>(port));
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	std::string answer;
	if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0) {
		std::string req = "GET " + path + " HTTP/1.0\r\n\r\n";
		if (write(fd, req.data(), req.size()) == static_cast<ssize_t>(req.size())) {
			char buf[4096];
			ssize_t n;
			while ((n = read(fd, buf, sizeof(buf))) > 0)
				answer.append(buf, static_cast<size_t>(n));
		}
	}
	close(fd);
	return answer;
}

class RunSimScript : public ::testing::TestWithParam<bool> {};

TEST_P(RunSimScript, CtrlCShowsTheOrderedStopAndLeavesNothing)
{
	const bool console = GetParam();
	if (!e2e::enter_netns())
		GTEST_SKIP() << "no private network namespace here";
	if (console && !std::filesystem::exists(VEXO_BUILD_DIR "/tools/vexo-console"))
		GTEST_SKIP() << "this build has no vexo-console";
	std::vector<std::string> argv = {"/usr/bin/setsid", "bash", VEXO_SOURCE_DIR "/scripts/run-sim.sh"};
	if (console)
		argv.insert(argv.end(), {"--console", "18080"});
	// setsid: the script leads a process group of its own, as in a terminal.
	e2e::Process script(argv, {{"VEXO_SIM_BUILD", VEXO_BUILD_DIR}});
	const std::string announce = "virtual appliance sysroot: ";
	auto at = script.wait_for_line(announce, 20s);
	ASSERT_TRUE(at) << script.output();
	const std::string sysroot = script.lines()[*at].substr(announce.size());
	ASSERT_TRUE(script.wait_for_line("[vexoenc] start main_exit_loop", 30s)) << script.output();
	if (console) {
		ASSERT_TRUE(script.wait_for_line("[vexo-console] vexo-console: http://127.0.0.1:18080/", 10s))
			<< script.output();
		std::string status = http_get(18080, "/api/status");
		EXPECT_EQ(status.rfind("HTTP/1.1 200", 0), 0u) << status;
		EXPECT_NE(status.find("\"dashboard\""), std::string::npos) << status;
	}

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
	if (console) {
		EXPECT_EQ(e2e::count_lines(script.lines(), "[vexo-console] vexo-console: stopped"), 1u) << script.output();
	}
	EXPECT_EQ(script.lines().back(), "virtual appliance stopped; " + sysroot + " removed");
	errno = 0;
	EXPECT_EQ(kill(-script.pid(), 0), -1) << "a process of the script's group is left";
	EXPECT_EQ(errno, ESRCH);
	EXPECT_FALSE(std::filesystem::exists(sysroot));
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutConsole, RunSimScript, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "Console" : "Plain"; });

}  // namespace
