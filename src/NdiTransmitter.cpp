// NdiTransmitter: encoder device, frame acquisition, send queues, NDI sender and live settings.
#include "NdiTransmitter.h"

#include <algorithm>
#include <fcntl.h>
#include <fstream>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "SplashScreenHandler.h"
#include "Utils.h"
#include "jsonstring.h"
#include "mervane_av_format.h"
#include "vexo_path.h"

// NDI configuration vendor block; the identifier is the maker's NDI vendor GUID.
static const char* const kVendorBlock = "\"vendor\":{\"name\":\"Mer-Vane\",\"id\":\"5E0C7A2B-41D9-4F36-9A8E-3B17C06D2F54\"}";

NdiTransmitter::NdiTransmitter()
	: p_config_json(kVendorBlock), ndi_tx(nullptr, nullptr, true, true), p_failover_source(nullptr, nullptr)
{
}

NdiTransmitter::~NdiTransmitter() = default;

// ---------------------------------------------------------------------------------------
// Encoder device and encode start/stop

void NdiTransmitter::map_NdiTransmitter_mem(int map_fd)
{
	(void)map_fd;  // Not built yet: the encoder device is opened by the video pipeline.
}

void NdiTransmitter::unmap_NdiTransmitter_mem()
{
	// Not built yet: the encoder device is closed by the video pipeline.
}

void NdiTransmitter::start_encode(int vid_format, int video_uv_vu_en)
{
	(void)vid_format;  // Not built yet: programming the encoder and starting the threads.
	(void)video_uv_vu_en;
}

void NdiTransmitter::stop_encode()
{
	// Not built yet: stopping and joining the encoding threads.
}

void NdiTransmitter::setup_video_frame(int vid_format)
{
	(void)vid_format;  // Not built yet: filling the frame descriptions.
}

void NdiTransmitter::startencodeThreads()
{
	encodeRunning = true;
}

void NdiTransmitter::stopencodeThreads()
{
	encodeRunning = false;
}

// ---------------------------------------------------------------------------------------
// Frame acquisition

void NdiTransmitter::wait_ndi_frame()
{
	// Not built yet: the acquisition thread.
}

bool NdiTransmitter::copy_full()
{
	return false;  // Not built yet: reading one full-stream frame.
}

void NdiTransmitter::copy_prvw()
{
	// Not built yet: reading one preview frame.
}

// ---------------------------------------------------------------------------------------
// Send queues and send threads

void NdiTransmitter::queue_frame(const std::shared_ptr<frame_t>& frame, bool prvw)
{
	(void)frame;  // Not built yet: the bounded send queues.
	(void)prvw;
}

void NdiTransmitter::send_full()
{
	// Not built yet: the full-stream send thread.
}

void NdiTransmitter::send_prvw()
{
	// Not built yet: the preview send thread.
}

void NdiTransmitter::add_frame(std::shared_ptr<frame_t> frame, bool prvw)
{
	(void)frame;  // Not built yet: handing one frame to the runtime.
	(void)prvw;
}

void NdiTransmitter::creat_encode_threads()
{
	// Not built yet: starting the encoding threads.
}

void NdiTransmitter::distroy_encode_threads()
{
	// Not built yet: joining the encoding threads.
}

// ---------------------------------------------------------------------------------------
// NDI sender

namespace ndi_sender {
const char* const MV_NDI_ENC_SETTINGS_FILE = "/etc/mervane-enc1-settings.json";
const char* const MV_NDI_FIND_SETTINGS_FILE = "/etc/mervane-ndinet-find-settings.json";
const char* const MV_NDI_TX_SETTINGS_FILE = "/etc/mervane-ndinet-tx-settings.json";
const char* const MV_NDI_FAILOVER_FILE = "/etc/mervane-source1-name-encfailover";
const char* const MV_NDI_ADDRESS_COMMAND = "ip addr show eth0 | grep 'inet ' | awk '{print $2}' | cut -f1 -d'/'";
const char* const MV_NDI_PRODUCT_XML =
	"<ndi_product long_name=\"Mer-Vane NDI sender\" short_name=\"Mer-Vane send\" manufacturer=\"Mer-Vane\" "
	"version=\"4.1\" session=\"default\" model_name=\"Orvel 4k\" serial=\"ABCDEFG\"/>";
const char* const MV_NDI_CAPABILITIES_FORMAT =
	"<ndi_capabilities ntk_ptz=\"true\" ntk_pan_tilt=\"true\" ntk_zoom=\"true\" ntk_iris=\"true\" "
	"ntk_white_balance=\"true\" ntk_exposure=\"true\" ntk_focus=\"true\" ntk_autofocus=\"true\" "
	"ntk_preset_speed=\"true\" web_control=\"http://%s/\"/>";

// A field takes at most 49 characters so that its 50-byte buffer always stays terminated.
void copy_field(char (&field)[50], const std::string& text, size_t pos, size_t len)
{
	len = std::min(len, sizeof(field) - 1);
	memcpy(field, text.data() + pos, len);
	field[len] = '\0';
}

// The appliance's IPv4 address on eth0: the last line the address pipeline prints.
std::string eth0_address()
{
	FILE* pipe = popen(MV_NDI_ADDRESS_COMMAND, "r");
	if (pipe == nullptr) {
		puts("Failed to run command");
		exit(1);
	}
	char line[1035];
	std::string address;
	while (fgets(line, sizeof(line), pipe) != nullptr) {
		printf("%s", line);
		address = line;
	}
	pclose(pipe);
	return address.substr(0, address.find('\n'));
}

// Sends one text to every receiver that connects; the runtime copies it.
void add_connection_metadata(NDIlib_send_instance_t instance, std::string text)
{
	NDIlib_metadata_frame_t frame(0, NDIlib_send_timecode_synthesize, &text[0]);
	NDIlib_send_add_connection_metadata(instance, &frame);
}
}  // namespace ndi_sender

std::string NdiTransmitter::strip_transport_word(const std::string& word)
{
	std::string stripped = word;
	for (char c : {'"', '}', '{'})
		stripped.erase(std::remove(stripped.begin(), stripped.end(), c), stripped.end());
	return stripped;
}

// The values sit between the n-th ':' and the n-th ','; the mode runs from the fourth ':'
// to the end. A value whose delimiters are missing, or come in the wrong order, is empty.
NdiTransmitter::transport_fields NdiTransmitter::split_transport_fields(const std::string& stripped)
{
	size_t colon[4];
	size_t comma[3];
	for (size_t i = 0, from = 0; i < 4; i++) {
		colon[i] = from == std::string::npos ? std::string::npos : stripped.find(':', from);
		from = colon[i] == std::string::npos ? std::string::npos : colon[i] + 1;
	}
	for (size_t i = 0, from = 0; i < 3; i++) {
		comma[i] = from == std::string::npos ? std::string::npos : stripped.find(',', from);
		from = comma[i] == std::string::npos ? std::string::npos : comma[i] + 1;
	}

	transport_fields fields;
	char (*values[3])[50] = {&fields.ttl, &fields.netmask, &fields.netprefix};
	for (size_t i = 0; i < 3; i++) {
		if (colon[i] != std::string::npos && comma[i] != std::string::npos && colon[i] < comma[i])
			ndi_sender::copy_field(*values[i], stripped, colon[i] + 1, comma[i] - colon[i] - 1);
	}
	if (colon[3] != std::string::npos)
		ndi_sender::copy_field(fields.mode, stripped, colon[3] + 1, stripped.size() - colon[3] - 1);
	return fields;
}

std::string NdiTransmitter::build_ndi_config(const transport_fields& transport, const char* discovery_server,
                                             const char* vendor_block)
{
	std::string text = R"({"ndi":{)";
	if (strcmp(transport.mode, "Multi-TCP") == 0) {
		text += R"("tcp":{"send":{"enable":true},"recv":{"enable":true}},)";
	} else if (strcmp(transport.mode, "Multicast") == 0) {
		text += R"("multicast":{"send":{"ttl":)";
		text += transport.ttl;
		text += R"(,"enable":true,"netmask":")";
		text += transport.netmask;
		text += R"(","netprefix":")";
		text += transport.netprefix;
		text += R"("},"recv":{"enable":true}},)";
	} else if (strcmp(transport.mode, "UDP") == 0) {
		text += R"("unicast":{"send":{"enable":true},"recv":{"enable":true}},)";
	}
	if (discovery_server != nullptr) {
		text += R"("networks":{"discovery": ")";
		text += discovery_server;
		text += R"("},)";
	}
	text += vendor_block;
	text += "}}";
	return text;
}

void NdiTransmitter::creat_ndi_tx_instance()
{
	puts("creat_ndi_tx_instance");
	encodeRunning = false;

	const std::string enc_settings = vexo_path(ndi_sender::MV_NDI_ENC_SETTINGS_FILE);
	const std::string find_settings = vexo_path(ndi_sender::MV_NDI_FIND_SETTINGS_FILE);
	std::string value;

	// The texts live in members: the runtime reads them during the creation call.
	m_source_name = "HDMI";
	if (GetJsonString(enc_settings, "StreamName", value)) {
		m_source_name = value;
		printf("NDI STREAM NAME: %s\n", m_source_name.c_str());
	}
	ndi_tx.p_ndi_name = m_source_name.c_str();

	ndi_tx.p_groups = nullptr;
	value.clear();
	if (GetJsonString(enc_settings, "NDIGroup", value) && value == "NDIGroupEn" &&
	    GetJsonString(enc_settings, "NDIGroupName", m_group_name)) {
		printf("NDI GROUP NAME: %s\n", m_group_name.c_str());
		ndi_tx.p_groups = m_group_name.c_str();
	}

	ndi_tx.clock_video = false;
	ndi_tx.clock_audio = false;

	std::string word;
	std::ifstream transport_file(vexo_path(ndi_sender::MV_NDI_TX_SETTINGS_FILE));
	if (transport_file.is_open())
		transport_file >> word;
	std::string stripped = strip_transport_word(word);
	printf("%s\n", stripped.c_str());
	transport_fields transport = split_transport_fields(stripped);

	std::string server;
	value.clear();
	bool discovery = GetJsonString(find_settings, "NDIDisServ", value) && value == "NDIDisServEn" &&
	                 GetJsonString(find_settings, "NDIDisServIP", server);
	m_config_text = build_ndi_config(transport, discovery ? server.c_str() : nullptr, p_config_json);
	printf("NDIConfigStream\n%s\n", m_config_text.c_str());

	ndi_tx_inst = NDIlib_send_create_v2(&ndi_tx, m_config_text.c_str());
	if (ndi_tx_inst == nullptr)
		printf("Cannot creat send instance");
	NDITxCreated = true;

	// Without an instance the runtime calls are skipped; the rest runs as usual.
	if (ndi_tx_inst != nullptr)
		ndi_sender::add_connection_metadata(ndi_tx_inst, ndi_sender::MV_NDI_PRODUCT_XML);

	std::string address = ndi_sender::eth0_address();
	char capabilities[256];
	snprintf(capabilities, sizeof(capabilities), ndi_sender::MV_NDI_CAPABILITIES_FORMAT, address.c_str());
	if (ndi_tx_inst != nullptr)
		ndi_sender::add_connection_metadata(ndi_tx_inst, capabilities);

	// A name from an earlier creation must not stay armed, nor point into a reused text.
	p_failover_source.p_ndi_name = nullptr;
	p_failover_source.p_url_address = nullptr;
	if (get_source_data(ndi_sender::MV_NDI_FAILOVER_FILE, m_failover_name) && m_failover_name != "None") {
		p_failover_source.p_ndi_name = m_failover_name.c_str();
		printf("failover source name: = '%s'\n", m_failover_name.c_str());
		if (ndi_tx_inst != nullptr)
			NDIlib_send_set_failover(ndi_tx_inst, &p_failover_source);
	}
}

void NdiTransmitter::distroy_ndi_tx_instance()
{
	if (ndi_tx_inst != nullptr)
		NDIlib_send_destroy(ndi_tx_inst);
	ndi_tx_inst = nullptr;
	NDITxCreated = false;
}

bool NdiTransmitter::check_source_name_None()
{
	std::string value;
	if (!get_failover_value(ndi_sender::MV_NDI_FAILOVER_FILE, value)) {
		puts("/etc/mervane-fo-source-name file read failed.");
		return true;
	}
	return value.empty() || value == "None";
}

// The file is read with its fixed name, so that the message names it as the web UI knows it.
bool NdiTransmitter::get_source_data(const std::string& filename, std::string& data)
{
	data.clear();
	if (!get_failover_value(filename, data) || data.empty()) {
		printf("%s file read failed.\n", filename.c_str());
		return false;
	}
	return true;
}

// The value is the text after the file's last line end: the whole text without one, empty
// when the file ends with one. False when the file cannot be opened.
bool NdiTransmitter::get_failover_value(const std::string& filename, std::string& value)
{
	std::ifstream file(vexo_path(filename.c_str()), std::ios::in | std::ios::binary);
	if (!file.is_open())
		return false;
	std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
	size_t last_line_end = text.rfind('\n');
	value = last_line_end == std::string::npos ? text : text.substr(last_line_end + 1);
	return true;
}

// ---------------------------------------------------------------------------------------
// Live settings

void NdiTransmitter::encode_settings()
{
	// Not built yet: the settings thread.
}

int NdiTransmitter::GetWebUIVideoFormat()
{
	return video_format_auto;  // Not built yet: the web UI's forced format.
}

int NdiTransmitter::GetWebUIVideoCSC()
{
	return 0;  // Not built yet: the web UI's chroma order.
}

int NdiTransmitter::GetWebUIVideoSampleRate()
{
	return 0;  // Not built yet: the web UI's 4:2:0 choice.
}

// ---------------------------------------------------------------------------------------
// Tally

void NdiTransmitter::get_tally()
{
	// Not built yet: the tally thread.
}

// ---------------------------------------------------------------------------------------
// Audio

void NdiTransmitter::send_audio_frame()
{
	// Not built yet: the audio thread.
}

// ---------------------------------------------------------------------------------------
// Stills

bool NdiTransmitter::sentSplashScreen()
{
	static const char* const kStillChoiceFile = "/etc/mervane-enc1-settings.json";
	SplashScreenHandler& store = SplashScreenHandler::GetInstance();

	// Reloaded at every call, so a new choice or a new capture shows within one pass. With
	// the key absent the buffers keep what they hold.
	std::string choice;
	if (GetJsonString(vexo_path(kStillChoiceFile), "ScreenSaverMode", choice)) {
		int nMode = black_screen;  // a word the web interface does not use shows black
		Utils::GetInstance().GetCaptureMode(choice.c_str(), nMode);
		store.UpdateSplashScreenBuffer(nMode);
	}

	if (ndi_tx_inst == nullptr) {
		puts("NDI sender instance is not valid");
		return false;
	}

	NDIlib_video_frame_v2_t still(0, 0, NDIlib_FourCC_video_type_UYVY, static_cast<int>(m_nFrameRateN),
	                              static_cast<int>(m_nFrameRateD), 16.0f / 9.0f,
	                              NDIlib_frame_format_type_progressive, NDIlib_send_timecode_synthesize,
	                              nullptr, 0, nullptr, 0);
	bool sent = false;
	// The store's buffers outlive the asynchronous send: they are only reloaded in place at
	// the next call, one pass later.
	if (store.FilleSplashScreenData(still, false)) {
		NDIlib_send_send_video_async_v2(ndi_tx_inst, &still);
		sent = true;
	}
	if (store.FilleSplashScreenData(still, true)) {
		NDIlib_send_send_video_async_v2(ndi_tx_inst, &still);
		sent = true;
	}
	return sent;
}
