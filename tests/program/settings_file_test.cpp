// Tests of the one-key settings reader and the whole-file helpers.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "jsonstring.h"
#include "vexo_path.h"
#include "test_support.h"

namespace {

class SettingsFileTest : public ::testing::Test {
protected:
	std::string file(const std::string& text)
	{
		std::string path = dir_ + "/f" + std::to_string(count_++) + ".json";
		std::ofstream(path, std::ios::binary) << text;
		return path;
	}

	// `key` is found in the file `f` and reads `want`, whatever the value held before.
	static void expect_value(const std::string& f, const char* key, const std::string& want)
	{
		std::string val = "unchanged";
		EXPECT_TRUE(GetJsonString(f, key, val)) << key;
		EXPECT_EQ(val, want) << key;
	}

	testcommon::TempDir tmp_{"vexo-settings"};
	const std::string dir_ = tmp_.path();
	int count_ = 0;
};

TEST_F(SettingsFileTest, ValueIsCutBetweenTheQuotesAfterTheFirstOccurrence)
{
	std::string f = file("{\"VideoFormat\":\"1080p50\",\"TallyMode\":\"TallyOn\"}");
	expect_value(f, "VideoFormat", "1080p50");
	expect_value(f, "TallyMode", "TallyOn");
	// Plain substring match: a key found inside a longer key reads that key's value.
	expect_value(f, "Format", "1080p50");
}

TEST_F(SettingsFileTest, PrefixKeysReadTheFirstOccurrence)
{
	std::string f = file("{\"NDIGroup\":\"NDIGroupEn\",\"NDIGroupName\":\"studio\"}");
	expect_value(f, "NDIGroup", "NDIGroupEn");
	expect_value(f, "NDIGroupName", "studio");
}

TEST_F(SettingsFileTest, UnterminatedEmptyAndUnquotedValues)
{
	expect_value(file("{\"A\":\"x"), "A", "x");
	expect_value(file("{\"A\":\"\"}"), "A", "");
	// An unquoted number loses its first digit and runs to the next quote.
	expect_value(file("{\"N\":123,\"B\":\"y\"}"), "N", "23,");
}

TEST_F(SettingsFileTest, MissingKeyOrFileLeavesTheValueAlone)
{
	std::string val = "unchanged";
	EXPECT_FALSE(GetJsonString(file("{\"A\":\"x\"}"), "B", val));
	EXPECT_EQ(val, "unchanged");
	EXPECT_FALSE(GetJsonString(dir_ + "/missing.json", "A", val));
	EXPECT_EQ(val, "unchanged");
}

TEST_F(SettingsFileTest, KeyAtTheVeryEndIsNotFound)
{
	// Fewer than three characters after the key: never read past the text.
	std::string val = "unchanged";
	EXPECT_FALSE(GetJsonString(file("{\"A"), "A", val));
	EXPECT_FALSE(GetJsonString(file("{\"A\""), "A", val));
	EXPECT_FALSE(GetJsonString(file("{\"A\":"), "A", val));
	EXPECT_EQ(val, "unchanged");
	// Exactly three characters: an empty value.
	expect_value(file("{\"A\":\""), "A", "");
}

TEST_F(SettingsFileTest, LoadFileReadsUpToTheBufferSize)
{
	char buf[20] = {};
	EXPECT_EQ(loadFile(file("").c_str(), buf, sizeof(buf)), 0u);
	EXPECT_EQ(loadFile((dir_ + "/missing").c_str(), buf, sizeof(buf)), 0u);
	EXPECT_EQ(loadFile(file("hello").c_str(), buf, sizeof(buf)), 5u);
	EXPECT_EQ(std::string(buf, 5), "hello");
	EXPECT_EQ(loadFile(file(std::string(64, 'z')).c_str(), buf, sizeof(buf)), sizeof(buf));
}

TEST_F(SettingsFileTest, SaveFileCreatesAndTruncates)
{
	std::string path = dir_ + "/marker";
	saveFile(path.c_str(), "0123456789abcdefghij-long", 25);
	saveFile(path.c_str(), "ab", 2);
	char buf[32] = {};
	EXPECT_EQ(loadFile(path.c_str(), buf, sizeof(buf)), 2u);
	EXPECT_EQ(std::string(buf, 2), "ab");

	// An unwritable location reports nothing and does not crash.
	saveFile((dir_ + "/no/such/dir/file").c_str(), "x", 1);
	EXPECT_FALSE(std::filesystem::exists(dir_ + "/no/such/dir/file"));
	// A device that takes nothing ends the write instead of retrying it for ever.
	std::string big(100000, 'x');
	saveFile("/dev/full", big.data(), big.size());
}

// Fixed paths go below VEXO_SYSROOT when it names a directory and stay as they are when it is
// unset or empty; a result that does not fit the caller's buffer is refused.
TEST(FixedPaths, GoBelowTheRootOnlyWhenOneIsSet)
{
	testcommon::TempSysroot root;
	const std::string mem = root.path() + "/dev/mem";
	EXPECT_EQ(vexo_path("/dev/mem"), mem);
	// Exactly the path and its NUL fits, a byte less does not.
	std::vector<char> exact(mem.size() + 1);
	ASSERT_NE(vexo_path_into(exact.data(), exact.size(), "/dev/mem"), nullptr);
	EXPECT_EQ(std::string(exact.data()), mem);
	EXPECT_EQ(vexo_path_into(exact.data(), exact.size() - 1, "/dev/mem"), nullptr);

	for (bool empty : {true, false}) {
		SCOPED_TRACE(empty ? "empty" : "unset");
		if (empty)
			setenv("VEXO_SYSROOT", "", 1);
		else
			unsetenv("VEXO_SYSROOT");
		EXPECT_EQ(vexo_path("/dev/mem"), "/dev/mem");
		char buf[64];
		ASSERT_NE(vexo_path_into(buf, sizeof(buf), "/dev/mem"), nullptr);
		EXPECT_EQ(std::string(buf), "/dev/mem");
	}
}

}  // namespace
