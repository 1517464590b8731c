// Video format codes: the one small integer that names the input format everywhere, and the
// one table of their names.
#pragma once

#include <cstring>

// 0 is a signal that is not usable, -1 only a failed detection, 255 only the web UI's "AUTO".
enum {
	video_format_detect_failed = -1,
	video_format_not_valid = 0,

	video_format_1080_23_95p = 1,
	video_format_1080_24p = 2,
	video_format_1080_25p = 3,
	video_format_1080_29p = 4,
	video_format_1080_30p = 5,
	video_format_720_50p = 6,
	video_format_720_59p = 7,
	video_format_720_60p = 8,
	video_format_1080_25i = 19,
	video_format_1080_29i = 20,
	video_format_1080_30i = 21,
	video_format_1080_50p = 41,
	video_format_1080_59p = 42,
	video_format_1080_60p = 43,
	video_format_2160_23_95p = 49,
	video_format_2160_24p = 50,
	video_format_2160_25p = 51,
	video_format_2160_29p = 52,
	video_format_2160_30p = 53,

	video_format_auto = 255,
};

// True for the 2160p group, which selects the receiver's 4K table and may run 4:2:0.
inline bool video_format_is_4k(int code)
{
	return code >= video_format_2160_23_95p && code <= video_format_2160_30p;
}

// Each usable format's code and name (raster, scan and frame rate), in the web UI's order:
// 2160p first, fastest rate first within a raster. The dashboard, the web UI's forced format,
// the virtual appliance's HDMI source and the console all take their names from here.
struct VideoFormatName {
	int code;
	const char* name;
};

inline constexpr VideoFormatName kVideoFormatNames[] = {
	{video_format_2160_30p, "2160p30"},       {video_format_2160_29p, "2160p29.97"},
	{video_format_2160_25p, "2160p25"},       {video_format_2160_24p, "2160p24"},
	{video_format_2160_23_95p, "2160p23.97"}, {video_format_1080_60p, "1080p60"},
	{video_format_1080_59p, "1080p59.94"},    {video_format_1080_50p, "1080p50"},
	{video_format_1080_30p, "1080p30"},       {video_format_1080_29p, "1080p29.97"},
	{video_format_1080_25p, "1080p25"},       {video_format_1080_24p, "1080p24"},
	{video_format_1080_23_95p, "1080p23.97"}, {video_format_1080_30i, "1080i60"},
	{video_format_1080_29i, "1080i59.94"},    {video_format_1080_25i, "1080i50"},
	{video_format_720_60p, "720p60"},         {video_format_720_59p, "720p59.94"},
	{video_format_720_50p, "720p50"},
};

// The name of a usable format code; nullptr for any other code.
inline const char* video_format_name(int code)
{
	for (const auto& format : kVideoFormatNames)
		if (format.code == code)
			return format.name;
	return nullptr;
}

// The code of a format name, matched exactly; video_format_not_valid for any other text.
inline int video_format_code(const char* name)
{
	for (const auto& format : kVideoFormatNames)
		if (std::strcmp(format.name, name) == 0)
			return format.code;
	return video_format_not_valid;
}
