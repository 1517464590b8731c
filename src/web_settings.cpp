// The NDI configuration text and the live settings' arithmetic (web_settings.h).
#include "web_settings.h"

#include <limits.h>
#include <string.h>

#include <algorithm>
#include <cmath>

// Bytes per second of one Mbit/s.
static const float kBytesPerMegabit = 125000.0f;

std::string strip_transport_word(const std::string& word)
{
	std::string stripped = word;
	for (char c : {'"', '}', '{'})
		stripped.erase(std::remove(stripped.begin(), stripped.end(), c), stripped.end());
	return stripped;
}

// A field takes at most 49 characters so that its 50-byte buffer always stays terminated.
static void copy_field(char (&field)[50], const std::string& text, size_t pos, size_t len)
{
	len = std::min(len, sizeof(field) - 1);
	memcpy(field, text.data() + pos, len);
	field[len] = '\0';
}

// The values sit between the n-th ':' and the n-th ','; the mode runs from the fourth ':'
// to the end. A value whose delimiters are missing, or come in the wrong order, is empty.
transport_fields split_transport_fields(const std::string& stripped)
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
			copy_field(*values[i], stripped, colon[i] + 1, comma[i] - colon[i] - 1);
	}
	if (colon[3] != std::string::npos)
		copy_field(fields.mode, stripped, colon[3] + 1, stripped.size() - colon[3] - 1);
	return fields;
}

std::string build_ndi_config(const transport_fields& transport, const char* discovery_server,
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

int frames_per_second(const NDIlib_video_frame_v2_t& frame)
{
	if (frame.frame_rate_D == 0)
		return 0;
	return frame.frame_rate_N / frame.frame_rate_D;
}

float frame_target(float bytes_per_second, int fps)
{
	// A description without a rate has no per-frame size; 0 rather than a division by zero.
	if (fps <= 0)
		return 0.0f;
	return bytes_per_second / static_cast<float>(fps);
}

float manual_program_target(int mbps, int fps_prog, bool interlaced)
{
	float target = frame_target(static_cast<float>(mbps) * kBytesPerMegabit, fps_prog);
	// Interlaced frames are single fields, two per frame period.
	if (interlaced)
		target = target / 2.0f;
	return target;
}

int target_to_int(double target)
{
	// A huge manual rate must not overflow the conversion: the target saturates instead.
	if (std::isnan(target))
		return 0;
	if (target <= static_cast<double>(INT_MIN))
		return INT_MIN;
	if (target >= static_cast<double>(INT_MAX))
		return INT_MAX;
	return static_cast<int>(target);
}

int analog_in_gain_from_setting(int setting)
{
	return target_to_int(setting * 1.2);
}

int analog_out_gain_from_setting(int setting)
{
	// The codec's DAC register attenuates: setting 100 is 0 (loudest), setting 0 is 128.
	return target_to_int((100.0 - setting) * 1.28);
}
