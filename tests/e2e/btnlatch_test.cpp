// btnlatch against a sysroot whose dev/mem is an ordinary file holding the register.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "harness.h"

namespace {

const off_t kButtonReg = 0x41000000;

// A sparse dev/mem covering the button register's 1 MiB window, the register set to `value`.
void make_mem(const e2e::Sysroot& sysroot, uint32_t value)
{
	int fd = open(sysroot.path("dev/mem").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
	ASSERT_GE(fd, 0);
	ASSERT_EQ(ftruncate(fd, kButtonReg + 0x100000), 0);
	ASSERT_EQ(pwrite(fd, &value, sizeof(value), kButtonReg), static_cast<ssize_t>(sizeof(value)));
	close(fd);
}

e2e::RunResult run_btnlatch(const std::string& root, std::map<std::string, std::string> env = {})
{
	env["VEXO_SYSROOT"] = root;
	return e2e::run({BTNLATCH_BIN}, env);
}

// A failure: status 0 and exactly this output.
void expect_failure(const e2e::RunResult& r, const std::string& out)
{
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, out);
}

TEST(Btnlatch, RegisterOneIsStoredAsOne)
{
	e2e::Sysroot sysroot(false);
	make_mem(sysroot, 1);
	auto r = run_btnlatch(sysroot.root());
	EXPECT_EQ(r.status, 1) << "1 is success";
	EXPECT_EQ(r.out, "reset button register is 1  \n");
	EXPECT_EQ(sysroot.read("etc/button_reg_file"), "1");
}

TEST(Btnlatch, AnyOtherValueIsStoredAsZero)
{
	for (uint32_t value : {0u, 3u, 0xFFFFFFFFu}) {
		e2e::Sysroot sysroot(false);
		make_mem(sysroot, value);
		auto r = run_btnlatch(sysroot.root());
		EXPECT_EQ(r.status, 1);
		char line[64];
		snprintf(line, sizeof(line), "reset button register is %x  \n", value);
		EXPECT_EQ(r.out, line);
		EXPECT_EQ(sysroot.read("etc/button_reg_file"), "0") << "value " << value;
	}
}

TEST(Btnlatch, LongerExistingFileIsTruncated)
{
	e2e::Sysroot sysroot(false);
	make_mem(sysroot, 1);
	sysroot.write("etc/button_reg_file", "0000000000 stale content\n");
	EXPECT_EQ(run_btnlatch(sysroot.root()).status, 1);
	EXPECT_EQ(sysroot.read("etc/button_reg_file"), "1");
}

TEST(Btnlatch, WithoutMemoryDeviceOnlyTheFirstMessage)
{
	e2e::Sysroot sysroot(false);
	sysroot.write("etc/button_reg_file", "previous");
	expect_failure(run_btnlatch(sysroot.root()), "ERROR:  open memory is  faild ...\n");
	EXPECT_EQ(sysroot.read("etc/button_reg_file"), "previous");
}

// Each failure ends with status 0 and its message, before or after the register is read.
TEST(Btnlatch, FailuresAreReportedWithStatusZero)
{
	const std::string reg_line = "reset button register is 1  \n";
	{
		SCOPED_TRACE("a sysroot path too long for the path buffers");
		expect_failure(run_btnlatch("/" + std::string(5000, 'x')), "ERROR:  open memory is  faild ...\n");
	}
	{
		SCOPED_TRACE("a sysroot path that fits the memory device's path but not the output's");
		// 4095 bytes with "/dev/mem" fill the 4096-byte buffer; "/etc/button_reg_file" does not fit.
		expect_failure(run_btnlatch("/" + std::string(4095 - 1 - 8, 'x')), "ERROR:  open memory is  faild ...\n");
	}
	{
		SCOPED_TRACE("a memory device that cannot be mapped (a FIFO)");
		e2e::Sysroot sysroot(false);
		ASSERT_EQ(mkfifo(sysroot.path("dev/mem").c_str(), 0600), 0);
		expect_failure(run_btnlatch(sysroot.root()), "ERROR: mmap is failed  \n");
		EXPECT_FALSE(sysroot.exists("etc/button_reg_file"));
	}
	{
		SCOPED_TRACE("an output that cannot be opened (a directory)");
		e2e::Sysroot sysroot(false);
		make_mem(sysroot, 1);
		ASSERT_EQ(mkdir(sysroot.path("etc/button_reg_file").c_str(), 0700), 0);
		expect_failure(run_btnlatch(sysroot.root()), reg_line + "ERROR:  open file is  faild ...\n");
	}
	{
		SCOPED_TRACE("an output that takes no data (/dev/full)");
		e2e::Sysroot sysroot(false);
		make_mem(sysroot, 1);
		ASSERT_EQ(symlink("/dev/full", sysroot.path("etc/button_reg_file").c_str()), 0);
		expect_failure(run_btnlatch(sysroot.root()), reg_line + "ERROR:  writing file is  faild ...\n");
	}
	{
		SCOPED_TRACE("a window that cannot be unmapped (munmap failing, preloaded)");
		e2e::Sysroot sysroot(false);
		make_mem(sysroot, 1);
		// A sanitizer run-time must otherwise come first in the list of libraries.
		const char* asan = getenv("ASAN_OPTIONS");
		std::string asan_options = std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0";
		expect_failure(run_btnlatch(sysroot.root(), {{"LD_PRELOAD", MUNMAP_FAULT_LIB}, {"ASAN_OPTIONS", asan_options}}),
		               reg_line + "ERROR: munmap is  failed...\n");
		EXPECT_EQ(sysroot.read("etc/button_reg_file"), "1") << "the byte was written before";
	}
}

TEST(Btnlatch, NeedsOnlyTheSystemLibc)
{
	auto r = e2e::run({"/usr/bin/readelf", "-d", BTNLATCH_BIN});
	ASSERT_EQ(r.status, 0);
	std::vector<std::string> needed;
	for (size_t pos = r.out.find("(NEEDED)"); pos != std::string::npos; pos = r.out.find("(NEEDED)", pos + 1)) {
		size_t open = r.out.find('[', pos);
		size_t close = r.out.find(']', open);
		needed.push_back(r.out.substr(open + 1, close - open - 1));
	}
	bool libc = false;
	for (const auto& lib : needed) {
		if (lib.rfind("libc.so", 0) == 0) {
			libc = true;
			continue;
		}
#ifdef VEXO_SANITIZED
		// A sanitized build adds the sanitizer runtimes and what they pull in.
		if (lib.find("san") != std::string::npos || lib.rfind("libstdc++", 0) == 0 || lib.rfind("libgcc_s", 0) == 0 ||
		    lib.rfind("libm.so", 0) == 0)
			continue;
#endif
		ADD_FAILURE() << "unexpected needed library " << lib;
	}
	EXPECT_TRUE(libc) << r.out;
}

}  // namespace
