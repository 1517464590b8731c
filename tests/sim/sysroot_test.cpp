// Tests of the sysroot maker: the layout, the defaults copied into etc/, and its errors.
#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "sysroot.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using testcommon::read_file;
using testcommon::write_file;

// The message of the std::runtime_error `fn` throws; empty when it throws none.
template <typename Fn>
std::string error_of(Fn fn)
{
	try {
		fn();
	} catch (const std::runtime_error& e) {
		return e.what();
	}
	return "";
}

TEST(SysrootMaker, LaysOutTheDirectoriesAndCopiesSettingsAndStillsOverOlderFiles)
{
	testcommon::TempDir tmp("vexo-sysroot-test");
	fs::create_directories(tmp.path("settings"));
	fs::create_directories(tmp.path("stills"));
	write_file(tmp.path("settings/a.json"), "new");
	write_file(tmp.path("stills/enc_full_still.encoded"), "still");
	write_file(tmp.path("stills/notes.txt"), "not a still");
	const std::string root = tmp.path("a/root");

	sim::lay_out_sysroot(root);
	for (const char* dir : {"etc", "tmp", "dev", "sim", "ndi"})
		EXPECT_TRUE(fs::is_directory(root + "/" + dir)) << dir;
	write_file(root + "/etc/a.json", "old");
	const sim::SysrootDefaults defaults{tmp.path("settings"), tmp.path("stills")};
	sim::lay_out_sysroot(root, &defaults);
	EXPECT_EQ(read_file(root + "/etc/a.json"), "new");
	EXPECT_EQ(read_file(root + "/etc/enc_full_still.encoded"), "still");
	EXPECT_FALSE(fs::exists(root + "/etc/notes.txt"));
}

// A missing settings folder or base is named in the error; a build without stills has none.
TEST(SysrootMaker, MissingFoldersAreNamedAndMissingStillsAreNone)
{
	testcommon::TempDir tmp("vexo-sysroot-test");
	const std::string gone = tmp.path("gone");
	fs::create_directories(tmp.path("settings"));
	write_file(tmp.path("settings/a.json"), "new");

	const sim::SysrootDefaults no_settings{gone, tmp.path("settings")};
	std::string error = error_of([&] { sim::lay_out_sysroot(tmp.path("r1"), &no_settings); });
	EXPECT_NE(error.find(gone), std::string::npos) << error;
	error = error_of([&] { sim::make_fresh_dir("vexo-x-", gone); });
	EXPECT_NE(error.find(gone), std::string::npos) << error;

	const sim::SysrootDefaults no_stills{tmp.path("settings"), gone};
	sim::lay_out_sysroot(tmp.path("r2"), &no_stills);
	EXPECT_EQ(read_file(tmp.path("r2/etc/a.json")), "new");
}

}  // namespace
