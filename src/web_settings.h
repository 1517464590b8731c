// What the program makes of the web interface's settings values: the NDI sender's
// configuration text from the transport word, and the live settings' frame-size targets and
// codec gains. Pure functions, so that they can be checked without a device or a runtime.
#pragma once

#include <string>

#include <Processing.NDI.Lib.h>

// The four values of the transport file, by position: zero-filled, at most 49 characters.
struct transport_fields {
	char ttl[50] = {};
	char netmask[50] = {};
	char netprefix[50] = {};
	char mode[50] = {};
};

// The transport file's first word without its double quotes and braces.
std::string strip_transport_word(const std::string& word);
// The values of a stripped word, taken by the positions of its ':' and ',' separators.
transport_fields split_transport_fields(const std::string& stripped);
// The runtime's configuration text: the block of the transport mode (none for an unknown
// mode), the discovery server when one is given (nullptr: none), then the vendor block.
std::string build_ndi_config(const transport_fields& transport, const char* discovery_server,
                             const char* vendor_block);

// Bytes per second behind the starting targets: 10 Mbit/s preview, 100 Mbit/s program.
constexpr float kLivePreviewBytesPerSecond = 1250000.0f;
constexpr float kLiveProgramBytesPerSecond = 12500000.0f;

// Whole frames per second of a description; 0 when it has no rate.
int frames_per_second(const NDIlib_video_frame_v2_t& frame);
// A byte rate spread over fps frames, in single precision; 0 for no rate.
float frame_target(float bytes_per_second, int fps);
// The program stream's frame target for a manual rate of mbps Mbit/s (fields: half a frame).
float manual_program_target(int mbps, int fps_prog, bool interlaced);
// The truncation to int of a target, saturating at the int range; 0 for NaN.
int target_to_int(double target);
// The codec's analog input gain and output attenuation for the web interface's 0-100 values.
int analog_in_gain_from_setting(int setting);
int analog_out_gain_from_setting(int setting);
