// Video format codes: the one small integer that names the input format everywhere.
#pragma once

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
