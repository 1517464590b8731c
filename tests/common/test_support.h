// Helpers shared by the tests: a temporary directory, the same as the programs' sysroot, and
// a wait on a condition with a deadline.
#pragma once

#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sysroot.h"

namespace testcommon {

// A fresh directory below `base` (/tmp unless given), removed with all it holds when the
// object goes (even when a test took away its permissions).
class TempDir {
public:
	explicit TempDir(const std::string& prefix = "vexo-test", const std::string& base = "/tmp")
		: path_(sim::make_fresh_dir(prefix + "-", base))
	{
	}
	~TempDir()
	{
		std::error_code ec;
		std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
		std::filesystem::remove_all(path_, ec);
	}
	TempDir(const TempDir&) = delete;
	TempDir& operator=(const TempDir&) = delete;

	const std::string& path() const { return path_; }
	std::string path(const std::string& rel) const { return path_ + "/" + rel; }

private:
	std::string path_;
};

// A TempDir below the sysroot base with the given subdirectories that VEXO_SYSROOT names while
// it lives; the value before comes back afterwards.
class TempSysroot : public TempDir {
public:
	explicit TempSysroot(std::initializer_list<const char*> dirs = {}, const std::string& prefix = "vexo-sysroot")
		: TempDir(prefix, sim::sysroot_base())
	{
		for (const char* dir : dirs)
			std::filesystem::create_directories(path(dir));
		if (const char* old = getenv("VEXO_SYSROOT"))
			old_ = old;
		setenv("VEXO_SYSROOT", path().c_str(), 1);
	}
	~TempSysroot()
	{
		if (old_)
			setenv("VEXO_SYSROOT", old_->c_str(), 1);
		else
			unsetenv("VEXO_SYSROOT");
	}

private:
	std::optional<std::string> old_;
};

// While it lives, no thread can be created with the default attributes (std::thread's): their
// stack is made larger than the address space, so pthread_create fails with EAGAIN, as on a
// system out of memory or threads. Root is not exempt, unlike with RLIMIT_NPROC. Threads that
// run already go on.
class NoNewThreads {
public:
	NoNewThreads()
	{
		if (pthread_getattr_default_np(&old_) != 0)
			return;
		saved_ = true;
		pthread_attr_t attr;
		pthread_attr_init(&attr);
		const size_t huge = std::numeric_limits<size_t>::max() / 4 * 3 & ~static_cast<size_t>(0xFFFFF);
		ok_ = pthread_attr_setstacksize(&attr, huge) == 0 && pthread_setattr_default_np(&attr) == 0;
		pthread_attr_destroy(&attr);
	}
	~NoNewThreads()
	{
		if (!saved_)
			return;
		pthread_setattr_default_np(&old_);
		pthread_attr_destroy(&old_);
	}
	NoNewThreads(const NoNewThreads&) = delete;
	NoNewThreads& operator=(const NoNewThreads&) = delete;

	bool ok() const { return ok_; }

private:
	pthread_attr_t old_ {};
	bool saved_ = false;
	bool ok_ = false;
};

// How much slower than the default host build this build runs the program: 3 under the
// sanitizers and in the cross build (run under qemu-arm), else 1. Set by the build.
#ifndef VEXO_TEST_SLOW_BUILD
#define VEXO_TEST_SLOW_BUILD 0
#endif
inline constexpr bool kSlowBuild = VEXO_TEST_SLOW_BUILD != 0;

// A deadline a test waits for, stretched by $VEXO_TEST_TIME_SCALE (a number >= 1), by default
// 3 in a slow build and 1 otherwise, so that a busy or slower machine still passes. What the
// program itself times is never stretched.
inline std::chrono::steady_clock::duration scaled(std::chrono::steady_clock::duration deadline)
{
	static const double factor = [] {
		const double fallback = kSlowBuild ? 3.0 : 1.0;
		const char* text = getenv("VEXO_TEST_TIME_SCALE");
		char* end = nullptr;
		double f = text != nullptr ? strtod(text, &end) : fallback;
		return text != nullptr && end != text && *end == '\0' && f >= 1.0 ? f : fallback;
	}();
	return std::chrono::duration_cast<std::chrono::steady_clock::duration>(deadline * factor);
}

// A check of the program's own speed (a rate, a reaction time) means something only in the
// default host build: there it is judged; in a slow build its figure is printed and the case
// goes on. Both print the figure, so a run's log shows it.
inline void expect_timing(bool ok, const std::string& figure, const char* file, int line)
{
	printf("timing%s: %s\n", kSlowBuild ? " (slow build, not judged)" : "", figure.c_str());
	if (!ok && !kSlowBuild)
		ADD_FAILURE_AT(file, line) << figure;
}
#define EXPECT_TIMING(ok, figure) testcommon::expect_timing((ok), (figure), __FILE__, __LINE__)

// Polls `done` every `every` until it holds or `timeout` (scaled) passes; false when it never
// held.
inline bool wait_until(const std::function<bool()>& done,
                       std::chrono::steady_clock::duration timeout = std::chrono::milliseconds(3000),
                       std::chrono::milliseconds every = std::chrono::milliseconds(5))
{
	const auto deadline = std::chrono::steady_clock::now() + scaled(timeout);
	while (!done()) {
		if (std::chrono::steady_clock::now() > deadline)
			return false;
		std::this_thread::sleep_for(every);
	}
	return true;
}

// ---------------------------------------------------------------------------------------
// Files and captured output, shared by the unit tests' fixtures.

// The whole content of a file, empty when it cannot be read.
inline std::string read_file(const std::string& path)
{
	std::ifstream in(path, std::ios::binary);
	return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Replaces the file's content with `text`.
inline void write_file(const std::string& path, const std::string& text)
{
	std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// The lines of `text`, without their line ends.
inline std::vector<std::string> lines_of(const std::string& text)
{
	std::vector<std::string> lines;
	std::istringstream in(text);
	for (std::string line; std::getline(in, line);)
		lines.push_back(line);
	return lines;
}

// What `fn` prints on standard output.
template <typename Fn>
std::string stdout_of(Fn fn)
{
	fflush(stdout);
	testing::internal::CaptureStdout();
	fn();
	fflush(stdout);
	return testing::internal::GetCapturedStdout();
}

}  // namespace testcommon
