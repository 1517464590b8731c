// vexo-console's settings writes, read back the way the program reads its files.
#include <gtest/gtest.h>

#include <filesystem>

#include "ConsoleSettings.h"
#include "test_support.h"

namespace {

using console::ConsoleSettings;
using console::SysrootFiles;
using json = nlohmann::json;
namespace reader = console::program_reader;
namespace fs = std::filesystem;

class ConsoleSettingsTest : public ::testing::Test {
protected:
	void SetUp() override
	{
		fs::create_directory(root_ + "/etc");
		std::string error;
		ASSERT_TRUE(files_.open(root_, error)) << error;
	}
	void put(const std::string& rel, const std::string& text) { testcommon::write_file(dir_.path(rel), text); }
	std::string get(const std::string& rel) { return testcommon::read_file(dir_.path(rel)); }
	// Applies `changes`; the error text, empty on success.
	std::string apply(const json& changes)
	{
		std::vector<std::string> written;
		std::string error;
		return settings_.apply(changes, written, error) ? "" : error;
	}

	testcommon::TempDir dir_{"vexo-console-test"};
	const std::string root_ = dir_.path();
	SysrootFiles files_;
	ConsoleSettings settings_{files_};
};

const char kEnc[] = "etc/mervane-enc1-settings.json";

TEST_F(ConsoleSettingsTest, FlatFileKeepsItsOtherMembersAndReadsBackAsWritten)
{
	put(kEnc, "{\"StreamName\":\"HDMI\",\"Extra\":7,\"TallyMode\":\"TallyOn\"}");
	ASSERT_EQ(apply({{"NDIGroupName", "studio,news"}, {"NDIGroup", "NDIGroupEn"}, {"BandwidthSelect", 80}}), "");
	const std::string text = get(kEnc);
	EXPECT_EQ(reader::flat_value(text, "NDIGroup"), "NDIGroupEn");  // the short key comes first
	EXPECT_EQ(reader::flat_value(text, "NDIGroupName"), "studio,news");
	EXPECT_EQ(reader::flat_value(text, "BandwidthSelect"), "80");
	EXPECT_EQ(reader::flat_value(text, "TallyMode"), "TallyOn");
	EXPECT_NE(text.find("\"Extra\":7"), std::string::npos) << text;
}

TEST_F(ConsoleSettingsTest, ValuesTheProgramWouldMisreadAreRefusedAndNothingIsWritten)
{
	const std::string before = "{\"StreamName\":\"HDMI\",\"NDIGroup\":\"NDIGroupDis\"}";
	put(kEnc, before);
	put("etc/mervane-ptz-settings.json", "{\"address\":\"1\",\"baudrate\":\"9600\"}");
	for (const json& bad : {json{{"StreamName", "cam NDIGroup 2"}}, json{{"StreamName", "a\"b"}},
	                        json{{"StreamName", std::string(64, 'x')}}, json{{"StreamName", ""}},
	                        json{{"BandwidthSelect", "0"}}, json{{"VideoFormat", "1080p23.98"}},
	                        json{{"NDIDisServIP", "10.0.0.1/8"}}, json{{"NoSuchKey", "x"}},
	                        json{{"PtzAddress", 1}, {"StreamName", "ok"}, {"AnalogAudioInGain", 101}}}) {
		EXPECT_NE(apply(bad), "") << bad.dump();
		EXPECT_EQ(get(kEnc), before) << bad.dump();
	}
	EXPECT_EQ(get("etc/mervane-ptz-settings.json"), "{\"address\":\"1\",\"baudrate\":\"9600\"}");
}

TEST_F(ConsoleSettingsTest, PositionalAndPlainFilesReadBackByPosition)
{
	put("etc/mervane-ndinet-tx-settings.json", "{\"ttl\":\"4\",\"netmask\":\"255.255.255.0\",\"netprefix\":\"239.1.0.0\",\"mode\":\"UDP\"}");
	ASSERT_EQ(apply({{"TransportMode", "Multicast"}, {"PtzBaudrate", "38400"}, {"FailoverSource", ""}}), "");
	EXPECT_EQ(reader::positional_values(get("etc/mervane-ndinet-tx-settings.json"), 4),
	          (std::vector<std::string>{"4", "255.255.255.0", "239.1.0.0", "Multicast"}));
	EXPECT_EQ(reader::positional_values(get("etc/mervane-ptz-settings.json"), 2),
	          (std::vector<std::string>{"1", "38400"}));
	EXPECT_EQ(get("etc/mervane-source1-name-encfailover"), "None");
	EXPECT_NE(apply({{"FailoverSource", "CAM (2)\n"}}), "");
	EXPECT_EQ(settings_.describe()["values"]["FailoverSource"], "None");
}

TEST_F(ConsoleSettingsTest, AWriteThroughALinkOutOfTheSysrootIsRefused)
{
	testcommon::TempDir outside("vexo-console-outside");
	fs::remove(root_ + "/etc");
	fs::create_directory_symlink(outside.path(), root_ + "/etc");
	EXPECT_NE(apply({{"StreamName", "x"}}), "");
	EXPECT_TRUE(fs::is_empty(outside.path()));
}

}  // namespace
