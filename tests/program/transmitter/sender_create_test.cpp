// NDI sender creation from the settings files, and the failover file.
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif
#include <ndi_standin_rx.h>

#include "NdiTransmitter.h"
#include "test_support.h"
#include "web_settings.h"

namespace {

const char* const kFailoverFile = "/etc/mervane-source1-name-encfailover";

// A fresh sysroot with an empty etc/ for each case, and a private directory for the
// runtime's senders; both removed afterwards.
class SenderCreate : public ::testing::Test {
protected:
	void SetUp() override
	{
		setenv("NDI_STANDIN_DIR", (root_ / "ndi").c_str(), 1);
	}

	void TearDown() override
	{
		if (tx_.NDITxCreated)
			tx_.distroy_ndi_tx_instance();
		unsetenv("NDI_STANDIN_DIR");
	}

	void write(const std::string& rel, const std::string& text) { testcommon::write_file(root_ / rel, text); }

	// Creates the sender and returns what it printed.
	std::string create()
	{
		if (tx_.NDITxCreated)
			tx_.distroy_ndi_tx_instance();
		return testcommon::stdout_of([&] { tx_.creat_ndi_tx_instance(); });
	}

	// The configuration text the runtime was given, checked to be the one printed after
	// "NDIConfigStream" in `out`.
	std::string config_of(const std::string& out)
	{
		ndi_standin::Receiver rx;
		const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(testcommon::scaled(std::chrono::seconds(3)));
		std::string given = "<no sender>";
		if (rx.open((root_ / "ndi").string(), std::nullopt, static_cast<int>(wait.count())))
			given = rx.source().config.value_or("<none>");
		EXPECT_NE(out.find("NDIConfigStream\n" + given + "\n"), std::string::npos) << out;
		return given;
	}

	// The text the creation must build from a transport word and a discovery server.
	std::string config_for(const std::string& word, const char* server = nullptr) const
	{
		return build_ndi_config(split_transport_fields(strip_transport_word(word)), server, tx_.p_config_json);
	}

	testcommon::TempSysroot sysroot_{{"etc", "ndi"}, "vexo-sender"};
	const std::filesystem::path root_ = sysroot_.path();
	NdiTransmitter tx_;
};

}  // namespace

TEST_F(SenderCreate, WithoutSettingsFilesTheDefaultsApply)
{
	tx_.encodeRunning = true;
	std::string out = create();

	EXPECT_EQ(out.rfind("creat_ndi_tx_instance\n", 0), 0u) << out;
	EXPECT_FALSE(tx_.encodeRunning);
	EXPECT_TRUE(tx_.NDITxCreated);
	EXPECT_STREQ(tx_.ndi_tx.p_ndi_name, "HDMI");
	EXPECT_EQ(tx_.ndi_tx.p_groups, nullptr);
	EXPECT_FALSE(tx_.ndi_tx.clock_video);
	EXPECT_FALSE(tx_.ndi_tx.clock_audio);
	EXPECT_EQ(out.find("NDI STREAM NAME"), std::string::npos);
	EXPECT_EQ(out.find("NDI GROUP NAME"), std::string::npos);
	// The missing transport file prints an empty line before the configuration.
	EXPECT_NE(out.find("creat_ndi_tx_instance\n\nNDIConfigStream\n"), std::string::npos) << out;
	EXPECT_EQ(config_of(out), config_for(""));
	EXPECT_NE(std::string(tx_.p_config_json).find(R"("vendor":{"name":"Mer-Vane","id":")"), std::string::npos);
	EXPECT_EQ(tx_.p_failover_source.p_ndi_name, nullptr);

	tx_.distroy_ndi_tx_instance();
	EXPECT_FALSE(tx_.NDITxCreated);
	EXPECT_EQ(tx_.ndi_tx_inst, nullptr);
}

TEST_F(SenderCreate, SourceNameAndGroupsComeFromTheStreamSettings)
{
	write("etc/mervane-enc1-settings.json",
	      R"({"StreamName":"Studio A","NDIGroup":"NDIGroupEn","NDIGroupName":"public,studio"})");
	std::string out = create();
	EXPECT_STREQ(tx_.ndi_tx.p_ndi_name, "Studio A");
	EXPECT_STREQ(tx_.ndi_tx.p_groups, "public,studio");
	EXPECT_NE(out.find("NDI STREAM NAME: Studio A\nNDI GROUP NAME: public,studio\n"), std::string::npos) << out;

	// Groups switched off, or switched on without a name: no groups.
	write("etc/mervane-enc1-settings.json", R"({"StreamName":"B","NDIGroup":"NDIGroupDis","NDIGroupName":"x"})");
	out = create();
	EXPECT_EQ(tx_.ndi_tx.p_groups, nullptr);
	EXPECT_EQ(out.find("NDI GROUP NAME"), std::string::npos);
	write("etc/mervane-enc1-settings.json", R"({"StreamName":"B","NDIGroup":"NDIGroupEn"})");
	out = create();
	EXPECT_EQ(tx_.ndi_tx.p_groups, nullptr);
	EXPECT_EQ(out.find("NDI GROUP NAME"), std::string::npos);

	// An empty name is passed as it is; the default is only for a missing key.
	write("etc/mervane-enc1-settings.json", R"({"StreamName":"","NDIGroup":"NDIGroupEn","NDIGroupName":""})");
	out = create();
	EXPECT_STREQ(tx_.ndi_tx.p_ndi_name, "");
	EXPECT_STREQ(tx_.ndi_tx.p_groups, "");
	EXPECT_NE(out.find("NDI STREAM NAME: \n"), std::string::npos) << out;
}

TEST_F(SenderCreate, TransportFileIsReadAsItsFirstWord)
{
	write("etc/mervane-ndinet-tx-settings.json",
	      R"({"NDITTL":"2","NDINetmask":"255.255.255.0","NDIPrefix":"239.255.0.0","NDIMode":"Multicast"} trailing)");
	std::string out = create();
	const std::string stripped = "NDITTL:2,NDINetmask:255.255.255.0,NDIPrefix:239.255.0.0,NDIMode:Multicast";
	EXPECT_NE(out.find("\n" + stripped + "\nNDIConfigStream\n"), std::string::npos) << out;
	EXPECT_EQ(config_of(out), config_for(stripped));

	// Leading white space is skipped; a space inside the object ends the word.
	write("etc/mervane-ndinet-tx-settings.json", "\n  {\"a\":\"1\",\"b\":\"2\",\"c\":\"3\",\"d\":\"UDP\"}\n");
	EXPECT_EQ(config_of(create()), config_for("a:1,b:2,c:3,d:UDP"));
	write("etc/mervane-ndinet-tx-settings.json", "{\"a\":\"1\", \"b\":\"2\",\"c\":\"3\",\"d\":\"UDP\"}");
	EXPECT_EQ(config_of(create()), config_for(""));
}

TEST_F(SenderCreate, DiscoveryServerNeedsBothKeys)
{
	write("etc/mervane-ndinet-find-settings.json", R"({"NDIDisServ":"NDIDisServEn","NDIDisServIP":"192.0.2.7"})");
	EXPECT_EQ(config_of(create()), config_for("", "192.0.2.7"));

	write("etc/mervane-ndinet-find-settings.json", R"({"NDIDisServ":"NDIDisServEn"})");
	EXPECT_EQ(config_of(create()), config_for(""));

	write("etc/mervane-ndinet-find-settings.json", R"({"NDIDisServ":"NDIDisServDis","NDIDisServIP":"192.0.2.7"})");
	EXPECT_EQ(config_of(create()), config_for(""));
}

TEST_F(SenderCreate, FailoverIsArmedOnlyWithASourceName)
{
	write("etc/mervane-source1-name-encfailover", "BACKUP (Camera 2)");
	std::string out = create();
	ASSERT_NE(tx_.p_failover_source.p_ndi_name, nullptr);
	EXPECT_STREQ(tx_.p_failover_source.p_ndi_name, "BACKUP (Camera 2)");
	EXPECT_EQ(tx_.p_failover_source.p_url_address, nullptr);
	EXPECT_NE(out.find("failover source name: = 'BACKUP (Camera 2)'\n"), std::string::npos) << out;

	// "none" is not the keyword: it names a source.
	write("etc/mervane-source1-name-encfailover", "none");
	out = create();
	EXPECT_STREQ(tx_.p_failover_source.p_ndi_name, "none");

	// "None" arms nothing, and the earlier name does not stay armed.
	write("etc/mervane-source1-name-encfailover", "None");
	out = create();
	EXPECT_EQ(tx_.p_failover_source.p_ndi_name, nullptr);
	EXPECT_EQ(out.find("failover source name"), std::string::npos);
	EXPECT_EQ(out.find("file read failed"), std::string::npos);

	// A trailing line end leaves an empty value; a missing file reads nothing.
	write("etc/mervane-source1-name-encfailover", "BACKUP\n");
	out = create();
	EXPECT_EQ(tx_.p_failover_source.p_ndi_name, nullptr);
	EXPECT_NE(out.find("/etc/mervane-source1-name-encfailover file read failed.\n"), std::string::npos) << out;
	std::filesystem::remove(root_ / "etc/mervane-source1-name-encfailover");
	out = create();
	EXPECT_EQ(tx_.p_failover_source.p_ndi_name, nullptr);
	EXPECT_NE(out.find("/etc/mervane-source1-name-encfailover file read failed.\n"), std::string::npos) << out;
}

TEST_F(SenderCreate, FailoverFileValueIsTheTextAfterTheLastLineEnd)
{
	struct Case {
		const char* content;  // nullptr: no file
		bool none;
		const char* value;
	};
	const Case cases[] = {
		{nullptr, true, ""},         {"None", true, "None"},       {"", true, ""},
		{"CAM 2\n", true, ""},       {"None\n", true, ""},         {"none", false, "none"},
		{"old\nCAM 3", false, "CAM 3"}, {" None", false, " None"}, {"CAM\r", false, "CAM\r"},
	};
	for (const Case& c : cases) {
		SCOPED_TRACE(c.content ? c.content : "<no file>");
		std::filesystem::remove(root_ / "etc/mervane-source1-name-encfailover");
		if (c.content != nullptr)
			write("etc/mervane-source1-name-encfailover", c.content);
		EXPECT_EQ(testcommon::stdout_of([&] { EXPECT_EQ(tx_.check_source_name_None(), c.none); }),
		          c.content ? "" : "/etc/mervane-fo-source-name file read failed.\n");

		std::string data = "stale";
		bool found = false;
		std::string out = testcommon::stdout_of([&] { found = tx_.get_source_data(kFailoverFile, data); });
		EXPECT_EQ(data, c.value);
		EXPECT_EQ(found, c.value[0] != '\0');
		EXPECT_EQ(out, found ? "" : "/etc/mervane-source1-name-encfailover file read failed.\n");
	}
}

// The runtime cannot make the sender: reported without a line end, counted as created, and
// the remaining steps go on without handing the runtime a null instance.
TEST_F(SenderCreate, FailedCreationStillCountsAsCreated)
{
	write("ndi-file", "not a directory");
	setenv("NDI_STANDIN_DIR", (root_ / "ndi-file" / "sub").c_str(), 1);
	write("etc/mervane-source1-name-encfailover", "BACKUP");
	std::string out = create();
	EXPECT_EQ(tx_.ndi_tx_inst, nullptr);
	EXPECT_TRUE(tx_.NDITxCreated);
	size_t at = out.find("Cannot creat send instance");
	ASSERT_NE(at, std::string::npos) << out;
	EXPECT_NE(out[at + 26], '\n') << out;
	EXPECT_NE(out.find("failover source name: = 'BACKUP'\n"), std::string::npos) << out;

	tx_.distroy_ndi_tx_instance();
	EXPECT_FALSE(tx_.NDITxCreated);
}

// A shell that cannot be started (no process may be made) ends the program.
TEST_F(SenderCreate, AddressCommandThatCannotStartEndsTheProgram)
{
	GTEST_FLAG_SET(death_test_style, "threadsafe");
	auto create_without_processes = [this] {
		dup2(2, 1);  // the message goes to standard output; let the check see it
		// The process limit does not bind root: run as nobody first.
		if (geteuid() == 0 && setuid(65534) != 0)
			_exit(3);
#if defined(__SANITIZE_ADDRESS__)
		// The leak check at exit needs a thread of its own, which the limit forbids: it runs
		// now, and not again at exit, where it would die before the message is flushed.
		__lsan_do_leak_check();
#endif
		struct rlimit limit;
		limit.rlim_cur = limit.rlim_max = 0;
		setrlimit(RLIMIT_NPROC, &limit);
		tx_.creat_ndi_tx_instance();
	};
	EXPECT_EXIT(create_without_processes(), ::testing::ExitedWithCode(1), "Failed to run command\n");
}
