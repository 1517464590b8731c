// End to end: the NDI sender as a receiver sees it, through the virtual appliance and vexo-rx.
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

using namespace std::chrono_literals;
using e2e::json;

namespace {

const char* const kProductXml =
	R"(<ndi_product long_name="Mer-Vane NDI sender" short_name="Mer-Vane send" manufacturer="Mer-Vane" )"
	R"(version="4.1" session="default" model_name="Orvel 4k" serial="ABCDEFG"/>)";

std::string capabilities_xml(const std::string& address)
{
	return R"(<ndi_capabilities ntk_ptz="true" ntk_pan_tilt="true" ntk_zoom="true" ntk_iris="true" )"
	       R"(ntk_white_balance="true" ntk_exposure="true" ntk_focus="true" ntk_autofocus="true" )"
	       R"(ntk_preset_speed="true" web_control="http://)" +
	       address + R"(/"/>)";
}

// The blocks a configuration text sets, in name order, as the runtime reads its JSON; none
// when the text is not an object holding "ndi" (the runtime would go on with its defaults).
std::vector<std::string> ndi_members(const std::string& config)
{
	const json cfg = json::parse(config, nullptr, false);
	std::vector<std::string> names;
	if (cfg.is_object() && cfg.contains("ndi"))
		for (const auto& member : cfg["ndi"].items())
			names.push_back(member.key());
	return names;
}

// The maker's vendor block, in every configuration text; its identifier is an upper-case GUID.
const std::regex kVendor(R"re("vendor":\{"name":"Mer-Vane","id":"[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}"\})re");

using e2e::event_is;

// One appliance with a receiver watching it. The settings are written before start().
class SenderE2E : public e2e::ApplianceTest {
protected:
	// Starts the appliance and, once its sender exists, a receiver.
	void start(const std::string& hdmi = "1080p59.94")
	{
		sim_ = std::make_unique<e2e::Sim>(root_, hdmi);
		ASSERT_TRUE(sim_->wait_for_line("NDIConfigStream", 20s)) << sim_->output();
		rx_ = std::make_unique<e2e::Rx>(root_);
	}

	// Waits until the loop has started encoding the source, so that cutting it is a loss.
	void wait_encoding()
	{
		ASSERT_TRUE(sim_->wait_for_line("START NDI Encode with format", 20s)) << sim_->output();
	}

	// Writes `text` to etc/`file`, starts, and returns the receiver's source event.
	json source_with(const std::string& file, const std::string& text)
	{
		root_.write("etc/" + file, text);
		start();
		return source();
	}

	json source()
	{
		std::optional<json> e = rx_->wait_for_event(event_is("source"), 10s);
		EXPECT_TRUE(e) << diagnostics();
		return e.value_or(json::object());
	}

	// The connection metadata texts, once both have arrived.
	std::vector<std::string> metadata() { return metadata_of(*rx_); }

	static std::vector<std::string> metadata_texts(const std::vector<std::string>& lines)
	{
		std::vector<std::string> texts;
		for (const std::string& line : lines) {
			json e = json::parse(line, nullptr, false);
			if (!e.is_discarded() && e.value("event", "") == "metadata")
				texts.push_back(e.value("xml", ""));
		}
		return texts;
	}

	static std::vector<std::string> metadata_of(e2e::Rx& rx)
	{
		rx.wait_for([](const std::vector<std::string>& lines) { return metadata_texts(lines).size() >= 2; }, 10s);
		return metadata_texts(rx.lines());
	}

	// Input lost without a failover source: encoding stops, and the sender outlives the next
	// passes.
	void expect_sender_stays_after_input_loss()
	{
		wait_encoding();
		sim_->control("hdmi", "none");
		ASSERT_TRUE(sim_->wait_for_line("STOP NDI Encode", 5s)) << sim_->output();
		EXPECT_FALSE(rx_->wait_for_event(event_is("disconnected"), 2500ms)) << rx_->output();
		EXPECT_FALSE(sim_->wait_for_line("distroy_ndi_tx_instance", 0s)) << sim_->output();
		EXPECT_EQ(rx_->count(event_is("failover")), 0u);
	}
};

}  // namespace

// ---------------------------------------------------------------------------------------
// Source name and groups

TEST_F(SenderE2E, SourceIsNamedHdmiWithoutAStreamName)
{
	json src = source_with("mervane-enc1-settings.json", R"({"NDIGroup":"NDIGroupDis","NDIGroupName":"public"})");
	EXPECT_EQ(src.value("name", "?"), "HDMI");
	EXPECT_TRUE(src["groups"].is_null()) << src.dump();
	EXPECT_FALSE(sim_->wait_for_line("NDI STREAM NAME", 0s));
}

TEST_F(SenderE2E, StreamNameAndGroupsReachTheReceiver)
{
	json src = source_with("mervane-enc1-settings.json",
	                       R"({"StreamName":"Studio A","NDIGroup":"NDIGroupEn","NDIGroupName":"studio,public"})");
	EXPECT_EQ(src.value("name", "?"), "Studio A");
	EXPECT_EQ(src["groups"], "studio,public") << src.dump();
	EXPECT_TRUE(sim_->wait_for_line("NDI STREAM NAME: Studio A", e2e::kPrintedSoon));
	EXPECT_TRUE(sim_->wait_for_line("NDI GROUP NAME: studio,public", e2e::kPrintedSoon));
}

TEST_F(SenderE2E, GroupsEnabledWithoutANameGiveNoGroups)
{
	json src = source_with("mervane-enc1-settings.json", R"({"StreamName":"Cam","NDIGroup":"NDIGroupEn"})");
	EXPECT_EQ(src.value("name", "?"), "Cam");
	EXPECT_TRUE(src["groups"].is_null()) << src.dump();
}

TEST_F(SenderE2E, EmptyStreamNameStaysEmpty)
{
	json src = source_with("mervane-enc1-settings.json", R"({"StreamName":"","NDIGroup":"NDIGroupDis"})");
	EXPECT_EQ(src.value("name", "?"), "");
	EXPECT_TRUE(sim_->wait_for_line("NDI STREAM NAME: ", e2e::kPrintedSoon));
}

// ---------------------------------------------------------------------------------------
// Configuration text

struct TransportCase {
	const char* label;
	const char* file;                  // nullptr: no transport file
	std::vector<std::string> members;  // the blocks the configuration sets
};

void PrintTo(const TransportCase& c, std::ostream* os)
{
	*os << c.label;
}

class SenderTransport : public SenderE2E, public ::testing::WithParamInterface<TransportCase> {};

TEST_P(SenderTransport, ReceiverGetsTheTransportOfTheFile)
{
	const TransportCase& c = GetParam();
	if (c.file != nullptr)
		root_.write("etc/mervane-ndinet-tx-settings.json", c.file);
	else
		root_.remove("etc/mervane-ndinet-tx-settings.json");
	start();
	json src = source();
	const std::string config = src.value("config", "<none>");
	EXPECT_EQ(ndi_members(config), c.members) << src.dump();
	EXPECT_TRUE(std::regex_search(config, kVendor)) << config;
	// The receiver gets the text exactly as the appliance printed it.
	EXPECT_TRUE(sim_->wait_for_line(config, e2e::kPrintedSoon)) << sim_->output();
}

INSTANTIATE_TEST_SUITE_P(
	Modes, SenderTransport,
	::testing::Values(
		TransportCase{"Multicast",
	                  R"({"ttl":"3","netmask":"255.255.255.0","netprefix":"239.255.0.0","mode":"Multicast"})",
	                  {"multicast", "vendor"}},
		TransportCase{"MultiTcp", R"({"ttl":"1","netmask":"255.255.0.0","netprefix":"239.255.0.0","mode":"Multi-TCP"})",
	                  {"tcp", "vendor"}},
		TransportCase{"Udp", R"({"ttl":"1","netmask":"255.255.0.0","netprefix":"239.255.0.0","mode":"UDP"})",
	                  {"unicast", "vendor"}},
		TransportCase{"LowerCase", R"({"ttl":"1","netmask":"255.255.0.0","netprefix":"239.255.0.0","mode":"multicast"})",
	                  {"vendor"}},
		TransportCase{"NoFile", nullptr, {"vendor"}},
		TransportCase{"Malformed", R"({"ttl":"1""mode":"UDP"})", {"vendor"}}),
	[](const ::testing::TestParamInfo<TransportCase>& param) { return param.param.label; });

TEST_F(SenderE2E, DiscoveryServerReachesTheReceiver)
{
	json src =
		source_with("mervane-ndinet-find-settings.json", R"({"NDIDisServ":"NDIDisServEn","NDIDisServIP":"192.0.2.50"})");
	const json cfg = json::parse(src.value("config", ""), nullptr, false);
	EXPECT_EQ(cfg.value(json::json_pointer("/ndi/networks/discovery"), ""), "192.0.2.50") << src.dump();
}

TEST_F(SenderE2E, DiscoveryServerWithoutAddressAddsNothing)
{
	root_.remove("etc/mervane-ndinet-tx-settings.json");
	json src = source_with("mervane-ndinet-find-settings.json", R"({"NDIDisServ":"NDIDisServEn"})");
	EXPECT_EQ(ndi_members(src.value("config", "")), std::vector<std::string>{"vendor"}) << src.dump();
}

// ---------------------------------------------------------------------------------------
// Connection metadata

TEST_F(SenderE2E, ProductAndCapabilitiesGoToEveryReceiver)
{
	start();
	std::vector<std::string> xml = metadata();
	ASSERT_EQ(xml.size(), 2u) << rx_->output();
	EXPECT_EQ(xml[0], kProductXml);
	// The address is whatever this machine's eth0 has; the rest is fixed.
	std::smatch m;
	ASSERT_TRUE(std::regex_match(xml[1], m, std::regex(R"re(.*web_control="http://([^/]*)/"/>)re"))) << xml[1];
	EXPECT_EQ(xml[1], capabilities_xml(m[1]));

	// A second receiver gets the same texts.
	e2e::Rx second(root_);
	std::vector<std::string> again = metadata_of(second);
	EXPECT_EQ(again, xml);
}

TEST_F(SenderE2E, WebControlCarriesTheLastAddressOfEth0)
{
	if (!e2e::enter_netns({"192.0.2.10/24", "192.0.2.20/24"}))
		GTEST_SKIP() << "no private network namespace here";
	start();
	std::vector<std::string> xml = metadata();
	ASSERT_EQ(xml.size(), 2u) << rx_->output();
	EXPECT_EQ(xml[1], capabilities_xml("192.0.2.20"));
	// The address pipeline's lines are printed as they come.
	std::optional<size_t> first = sim_->wait_for_line("192.0.2.10", e2e::kPrintedSoon);
	std::optional<size_t> second = sim_->wait_for_line("192.0.2.20", e2e::kPrintedSoon);
	ASSERT_TRUE(first && second) << sim_->output();
	EXPECT_EQ(*second, *first + 1);
}

TEST_F(SenderE2E, WebControlIsEmptyWithoutAnAddress)
{
	if (!e2e::enter_netns({}))
		GTEST_SKIP() << "no private network namespace here";
	start();
	std::vector<std::string> xml = metadata();
	ASSERT_EQ(xml.size(), 2u) << rx_->output();
	EXPECT_EQ(xml[1], capabilities_xml(""));
}

// ---------------------------------------------------------------------------------------
// Failover

TEST_F(SenderE2E, NamedFailoverWithdrawsTheSenderOnInputLoss)
{
	source_with("mervane-source1-name-encfailover", "BACKUP (Cam 2)");
	ASSERT_TRUE(sim_->wait_for_line("failover source name: = 'BACKUP (Cam 2)'", e2e::kPrintedSoon)) << sim_->output();

	sim_->control("hdmi", "none");
	auto lost = e2e::Clock::now();
	std::optional<json> failover = rx_->wait_for_event(event_is("failover"), 5s);
	ASSERT_TRUE(failover) << diagnostics();
	EXPECT_EQ(failover->value("name", ""), "BACKUP (Cam 2)");
	EXPECT_TRUE(rx_->wait_for_event(event_is("disconnected"), 2s));
	// One loop pass notices the loss, then encoding stops (up to one tally wait of the
	// runtime) and the camera controller stops (up to half a second) before the sender goes.
	const double took = std::chrono::duration<double>(e2e::Clock::now() - lost).count();
	EXPECT_TIMING(took < 4.0, "sender withdrawn " + std::to_string(took) + " s after the loss (under 4 s)");
	EXPECT_TRUE(sim_->wait_for_line("distroy_ndi_tx_instance", 1s));

	// The input comes back: the sender is created again and can be watched.
	size_t lines = sim_->lines().size();
	sim_->control("hdmi", "1080p59.94");
	ASSERT_TRUE(sim_->wait_for_line("creat_ndi_tx_instance", 5s, lines)) << sim_->output();
	ASSERT_TRUE(sim_->wait_for_line("NDIConfigStream", 2s, lines));
	e2e::Rx again(root_);
	EXPECT_TRUE(again.wait_for_event(event_is("source"), 10s)) << again.output();
}

TEST_F(SenderE2E, FailoverNamedNoneKeepsTheSenderUp)
{
	source_with("mervane-source1-name-encfailover", "None");
	EXPECT_FALSE(sim_->wait_for_line("failover source name", 0s));
	expect_sender_stays_after_input_loss();
}

TEST_F(SenderE2E, FailoverWithTrailingLineEndCountsAsNone)
{
	source_with("mervane-source1-name-encfailover", "BACKUP\n");
	EXPECT_TRUE(sim_->wait_for_line("/etc/mervane-source1-name-encfailover file read failed.", e2e::kPrintedSoon)) << sim_->output();
	EXPECT_FALSE(sim_->wait_for_line("failover source name", 0s));
	expect_sender_stays_after_input_loss();
}

TEST_F(SenderE2E, LowerCaseNoneIsASourceName)
{
	source_with("mervane-source1-name-encfailover", "none");
	sim_->control("hdmi", "none");
	std::optional<json> failover = rx_->wait_for_event(event_is("failover"), 5s);
	ASSERT_TRUE(failover) << rx_->output();
	EXPECT_EQ(failover->value("name", ""), "none");
}

TEST_F(SenderE2E, WithoutInputAFailoverSourceMeansNoSenderUntilItIsCleared)
{
	root_.write("etc/mervane-source1-name-encfailover", "BACKUP");
	sim_ = std::make_unique<e2e::Sim>(root_, "none");
	// Created at start-up, withdrawn on the first pass without input.
	auto created = sim_->wait_for_line("NDIConfigStream", 20s);
	ASSERT_TRUE(created) << sim_->output();
	auto withdrawn = sim_->wait_for_line("distroy_ndi_tx_instance", 3s, *created);
	EXPECT_TRUE(withdrawn) << sim_->output();
	// The camera controller stops first, so the source goes shortly after the message.
	auto listed = [&](bool present) {
		e2e::RunResult list;
		const bool seen = testcommon::wait_until(
			[&] {
				list = e2e::run({VEXO_RX_BIN, "--list"}, {{"NDI_STANDIN_DIR", root_.path("ndi")}});
				return (list.out.find("HDMI") != std::string::npos) == present;
			},
			3s, 100ms);
		if (!seen)
			ADD_FAILURE() << list.out;
		return seen;
	};
	EXPECT_TRUE(listed(false));

	// Without a failover source any more, the next pass without input creates the sender again.
	root_.write("etc/mervane-source1-name-encfailover", "None");
	EXPECT_TRUE(sim_->wait_for_line("NDIConfigStream", 3s, withdrawn.value_or(*created) + 1)) << sim_->output();
	EXPECT_TRUE(listed(true));
}
