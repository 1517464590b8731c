// Fuzz target: the settings files the web interface writes, read by every reader the program
// has for them. The first byte picks the file (its low 7 bits modulo 6; the quotient picks
// the reader of the encoder settings) and whether it is absent (bit 7); the rest is the
// file's content.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <fstream>
#include <string>

#include "NdiTransmitter.h"
#include "SplashScreenConsts.h"
#include "Utils.h"
#include "camcontrol.h"
#include "fuzz_sysroot.h"
#include "jsonstring.h"
#include "web_settings.h"

namespace {

const char* const kEncSettings = "/etc/mervane-enc1-settings.json";
const char* const kFindSettings = "/etc/mervane-ndinet-find-settings.json";
const char* const kTransportSettings = "/etc/mervane-ndinet-tx-settings.json";
const char* const kPtzSettings = "/etc/mervane-ptz-settings.json";
const char* const kDeviceSettings = "/etc/mervane-device-settings.json";
const char* const kFailover = "/etc/mervane-source1-name-encfailover";
const char* const kFiles[] = {kEncSettings, kFindSettings, kTransportSettings, kPtzSettings, kDeviceSettings, kFailover};

void check(bool ok)
{
	if (!ok)
		__builtin_trap();
}

// A found value never runs past the closing quote.
bool key(const char* file, const char* name, std::string& value)
{
	value.clear();
	bool found = GetJsonString(vexo_path(file), name, value);
	check(value.find('"') == std::string::npos);
	return found;
}

// One reader of the encoder settings per input, picked by `which`.
void read_enc_settings(NdiTransmitter& tx, unsigned which)
{
	static const char* const kPlainKeys[] = {"StreamName", "NDIGroup", "NDIGroupName", "NDIAudio", "TallyMode",
	                                         "BandwidthMode"};
	std::string value;
	switch (which % 10) {
	case 0:
		if (key(kEncSettings, "BandwidthSelect", value)) {
			int mbps = atoi(value.c_str());
			int target = target_to_int(manual_program_target(mbps, 60, true));
			check(target >= 0 || mbps < 0);
		}
		break;
	case 1:
		if (key(kEncSettings, "ScreenSaverMode", value)) {
			int mode = black_screen;
			Utils::GetInstance().GetCaptureMode(value.c_str(), mode);
			check(mode >= black_screen && mode <= captured_frame);
		}
		break;
	case 2: tx.GetWebUIVideoFormat(); break;
	case 3: check(tx.GetWebUIVideoCSC() >> 1 == 0 && tx.GetWebUIVideoSampleRate() >> 1 == 0); break;
	default: key(kEncSettings, kPlainKeys[which % 10 - 4], value); break;
	}
}

// As the sender creation reads the transport file: its first word, stripped and split.
void read_transport()
{
	std::string word;
	std::ifstream file(vexo_path(kTransportSettings));
	if (file.is_open())
		file >> word;
	transport_fields fields = split_transport_fields(strip_transport_word(word));
	for (const char* field : {fields.ttl, fields.netmask, fields.netprefix, fields.mode})
		check(strnlen(field, 50) < 50);
	std::string config = build_ndi_config(fields, nullptr, "\"vendor\":{}");
	check(config.compare(0, 8, "{\"ndi\":{") == 0);
}

void read_device_settings()
{
	std::string value;
	if (key(kDeviceSettings, "AnalogAudioInGain", value))
		analog_in_gain_from_setting(atoi(value.c_str()));
	if (key(kDeviceSettings, "AnalogAudioOutGain", value))
		analog_out_gain_from_setting(atoi(value.c_str()));
}

void read_failover(NdiTransmitter& tx)
{
	std::string name;
	if (tx.get_source_data(kFailover, name))
		check(!name.empty() && name.find('\n') == std::string::npos);
	tx.check_source_name_None();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
	static NdiTransmitter* tx = (fuzz_sysroot(), new NdiTransmitter);  // lives for the whole run
	static Camcontrol* cc = new Camcontrol;
	if (size == 0)
		return 0;
	const size_t which = (data[0] & 0x7F) % (sizeof kFiles / sizeof kFiles[0]);
	fuzz_put_file(kFiles[which], data + 1, size - 1, (data[0] & 0x80) == 0);

	std::string value;
	switch (which) {
	case 0: read_enc_settings(*tx, (data[0] & 0x7F) / 6u); break;
	case 1:
		key(kFindSettings, "NDIDisServ", value);
		key(kFindSettings, "NDIDisServIP", value);
		break;
	case 2: read_transport(); break;
	case 3: cc->get_ptz_settings(); break;
	case 4: read_device_settings(); break;
	default: read_failover(*tx); break;
	}
	return 0;
}
