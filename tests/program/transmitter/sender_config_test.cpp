// The NDI sender's configuration: transport word splitting and the runtime's configuration
// text, byte for byte (the one place that checks the text exactly).
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "web_settings.h"

namespace {

const char* const kVendor = R"("vendor":{"name":"Mer-Vane","id":"ID"})";

transport_fields fields_of(const std::string& word)
{
	return split_transport_fields(strip_transport_word(word));
}

std::string config_for(const std::string& word, const char* server = nullptr)
{
	return build_ndi_config(fields_of(word), server, kVendor);
}

// Every field must stay a terminated text within its 50 bytes, whatever the input.
void expect_terminated(const transport_fields& f)
{
	EXPECT_LE(strnlen(f.ttl, sizeof(f.ttl)), 49u);
	EXPECT_LE(strnlen(f.netmask, sizeof(f.netmask)), 49u);
	EXPECT_LE(strnlen(f.netprefix, sizeof(f.netprefix)), 49u);
	EXPECT_LE(strnlen(f.mode, sizeof(f.mode)), 49u);
}

// The four fields split from a transport word, each a terminated text within its 50 bytes.
void expect_fields(const transport_fields& f, const std::string& ttl, const std::string& netmask,
                   const std::string& netprefix, const std::string& mode)
{
	EXPECT_STREQ(f.ttl, ttl.c_str());
	EXPECT_STREQ(f.netmask, netmask.c_str());
	EXPECT_STREQ(f.netprefix, netprefix.c_str());
	EXPECT_STREQ(f.mode, mode.c_str());
	expect_terminated(f);
}

}  // namespace

TEST(SenderTransportWord, StripsQuotesAndBracesAndSplitsByPosition)
{
	const std::string word =
		R"({"NDITTL":"16","NDINetmask":"255.255.0.0","NDIPrefix":"239.255.0.0","NDITxMode":"Multicast"})";
	EXPECT_EQ(strip_transport_word(word),
	          "NDITTL:16,NDINetmask:255.255.0.0,NDIPrefix:239.255.0.0,NDITxMode:Multicast");

	expect_fields(fields_of(word), "16", "255.255.0.0", "239.255.0.0", "Multicast");

	// Keys are ignored: only the positions of the separators count.
	expect_fields(fields_of(R"({"a":"1","b":"2","c":"3","d":"UDP"})"), "1", "2", "3", "UDP");
}

TEST(SenderTransportWord, MissingOrMisorderedSeparatorsGiveEmptyFields)
{
	// No separators at all (also the empty text of a missing file).
	for (const char* word : {"", "{}", "garbage", R"({"Multicast"})"}) {
		SCOPED_TRACE(word);
		expect_fields(fields_of(word), "", "", "", "");
	}

	// Three members: the fields that have both delimiters are kept, the mode has no ':'.
	expect_fields(fields_of(R"({"a":"1","b":"2","c":"3"})"), "1", "2", "", "");

	// Each ',' before its ':' (values without keys): nothing is taken from before a key.
	expect_fields(fields_of("a,b:1,c:2,d:3"), "", "", "", "");

	// Four colons but no commas: only the mode is found.
	expect_fields(fields_of("a:1b:2c:3d:Multi-TCP"), "", "", "", "Multi-TCP");
}

TEST(SenderTransportWord, LongValuesAreCutTo49Characters)
{
	const std::string v49(49, 'x');
	const std::string v50(50, 'y');
	const std::string v300(300, 'z');
	expect_fields(fields_of("t:" + v49 + ",m:" + v50 + ",p:" + v300 + ",mode:" + v300), v49, v50.substr(0, 49),
	              v300.substr(0, 49), v300.substr(0, 49));

	// A mode cut to 49 characters is no known mode, so no transport block is added.
	EXPECT_EQ(config_for("t:1,m:2,p:3,mode:Multicast" + v50), std::string(R"({"ndi":{)") + kVendor + "}}");
}

TEST(SenderConfigText, EachTransportModeAddsItsExactBlock)
{
	EXPECT_EQ(config_for(R"({"ttl":"1","mask":"255.255.255.0","prefix":"239.255.0.0","mode":"Multicast"})"),
	          std::string(R"({"ndi":{"multicast":{"send":{"ttl":1,"enable":true,"netmask":"255.255.255.0",)"
	                      R"("netprefix":"239.255.0.0"},"recv":{"enable":true}},)") +
	              kVendor + "}}");
	EXPECT_EQ(config_for(R"({"ttl":"1","mask":"255.255.255.0","prefix":"239.255.0.0","mode":"Multi-TCP"})"),
	          std::string(R"({"ndi":{"tcp":{"send":{"enable":true},"recv":{"enable":true}},)") + kVendor + "}}");
	EXPECT_EQ(config_for(R"({"ttl":"1","mask":"255.255.255.0","prefix":"239.255.0.0","mode":"UDP"})"),
	          std::string(R"({"ndi":{"unicast":{"send":{"enable":true},"recv":{"enable":true}},)") + kVendor +
	              "}}");
}

TEST(SenderConfigText, UnknownEmptyOrLowerCaseModeAddsNothing)
{
	const std::string vendor_only = std::string(R"({"ndi":{)") + kVendor + "}}";
	for (const char* mode : {"multicast", "multi-tcp", "udp", "Udp", "", "TCP", "Multicast "}) {
		std::string word = std::string(R"({"a":"1","b":"2","c":"3","d":")") + mode + R"("})";
		EXPECT_EQ(config_for(word), vendor_only) << mode;
	}
	EXPECT_EQ(config_for(""), vendor_only);
}

TEST(SenderConfigText, DiscoveryEntryHasOneSpaceAndPrecedesTheVendor)
{
	EXPECT_EQ(config_for("", "192.0.2.5"),
	          std::string(R"({"ndi":{"networks":{"discovery": "192.0.2.5"},)") + kVendor + "}}");
	EXPECT_EQ(config_for(R"({"a":"4","b":"255.255.0.0","c":"239.1.0.0","d":"Multicast"})", "10.1.2.3:5959"),
	          std::string(R"({"ndi":{"multicast":{"send":{"ttl":4,"enable":true,"netmask":"255.255.0.0",)"
	                      R"("netprefix":"239.1.0.0"},"recv":{"enable":true}},)"
	                      R"("networks":{"discovery": "10.1.2.3:5959"},)") +
	              kVendor + "}}");
	// An empty address is still an entry: the key was present.
	EXPECT_EQ(config_for("", ""), std::string(R"({"ndi":{"networks":{"discovery": ""},)") + kVendor + "}}");
}
