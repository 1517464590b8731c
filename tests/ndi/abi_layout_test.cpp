// Compile-time check that the NDI structures we pass keep the NDI runtime's binary layout.
//
// The runtime library is built from the NDI SDK's own headers; our declarations (or the SDK's,
// when built against it) must give every structure that crosses the library boundary the same
// size and member offsets, or the library reads the wrong fields. The expected numbers are the
// natural C layouts for the three data models we meet: LP64 (x86-64, arm64), ILP32 with 8-byte
// aligned 64-bit integers (the appliance's armhf, AAPCS) and ILP32 with 4-byte aligned ones
// (i386). This file also compiles on its own (c++ -fsyntax-only -I<sdk>/include).
#include <cstddef>
#include <cstdint>

#include "Processing.NDI.Lib.h"

namespace {

struct Int64AlignmentProbe {
	char c;
	int64_t v;
};
constexpr size_t kPointer = sizeof(void*);
constexpr size_t kInt64Align = offsetof(Int64AlignmentProbe, v);

enum class DataModel { lp64, ilp32_aligned64, ilp32_packed64, unknown };
constexpr DataModel kModel = kPointer == 8 && kInt64Align == 8   ? DataModel::lp64
                             : kPointer == 4 && kInt64Align == 8 ? DataModel::ilp32_aligned64
                             : kPointer == 4 && kInt64Align == 4 ? DataModel::ilp32_packed64
                                                                 : DataModel::unknown;
static_assert(kModel != DataModel::unknown, "no expected NDI layout for this data model");

// Picks the expected value for the data model being compiled.
constexpr size_t pick(size_t lp64, size_t ilp32_aligned64, size_t ilp32_packed64)
{
	return kModel == DataModel::lp64              ? lp64
	       : kModel == DataModel::ilp32_aligned64 ? ilp32_aligned64
	                                              : ilp32_packed64;
}

// Enumerations and flags travel as 32-bit ints and one-byte bools.
static_assert(sizeof(NDIlib_FourCC_video_type_e) == 4, "FourCC enum is a 32-bit int");
static_assert(sizeof(NDIlib_frame_format_type_e) == 4, "frame format enum is a 32-bit int");
static_assert(sizeof(NDIlib_frame_type_e) == 4, "frame type enum is a 32-bit int");
static_assert(sizeof(bool) == 1, "bool members are one byte");

// Video frame: seven 32-bit fields, then the 64-bit timecode on its own alignment.
static_assert(offsetof(NDIlib_video_frame_v2_t, xres) == 0, "");
static_assert(offsetof(NDIlib_video_frame_v2_t, yres) == 4, "");
static_assert(offsetof(NDIlib_video_frame_v2_t, FourCC) == 8, "");
static_assert(offsetof(NDIlib_video_frame_v2_t, frame_rate_N) == 12, "");
static_assert(offsetof(NDIlib_video_frame_v2_t, frame_rate_D) == 16, "");
static_assert(offsetof(NDIlib_video_frame_v2_t, picture_aspect_ratio) == 20, "");
static_assert(offsetof(NDIlib_video_frame_v2_t, frame_format_type) == 24, "");
static_assert(offsetof(NDIlib_video_frame_v2_t, timecode) == pick(32, 32, 28), "");
static_assert(offsetof(NDIlib_video_frame_v2_t, p_data) == pick(40, 40, 36), "");
static_assert(offsetof(NDIlib_video_frame_v2_t, line_stride_in_bytes) == pick(48, 44, 40), "");
static_assert(offsetof(NDIlib_video_frame_v2_t, data_size_in_bytes) == pick(48, 44, 40), "");
static_assert(offsetof(NDIlib_video_frame_v2_t, p_metadata) == pick(56, 48, 44), "");
static_assert(offsetof(NDIlib_video_frame_v2_t, timestamp) == pick(64, 56, 48), "");
static_assert(sizeof(NDIlib_video_frame_v2_t) == pick(72, 64, 56), "");

static_assert(offsetof(NDIlib_audio_frame_interleaved_32f_t, sample_rate) == 0, "");
static_assert(offsetof(NDIlib_audio_frame_interleaved_32f_t, no_channels) == 4, "");
static_assert(offsetof(NDIlib_audio_frame_interleaved_32f_t, no_samples) == 8, "");
static_assert(offsetof(NDIlib_audio_frame_interleaved_32f_t, timecode) == pick(16, 16, 12), "");
static_assert(offsetof(NDIlib_audio_frame_interleaved_32f_t, p_data) == pick(24, 24, 20), "");
static_assert(sizeof(NDIlib_audio_frame_interleaved_32f_t) == pick(32, 32, 24), "");

static_assert(offsetof(NDIlib_metadata_frame_t, length) == 0, "");
static_assert(offsetof(NDIlib_metadata_frame_t, timecode) == pick(8, 8, 4), "");
static_assert(offsetof(NDIlib_metadata_frame_t, p_data) == pick(16, 16, 12), "");
static_assert(sizeof(NDIlib_metadata_frame_t) == pick(24, 24, 16), "");

static_assert(offsetof(NDIlib_tally_t, on_program) == 0, "");
static_assert(offsetof(NDIlib_tally_t, on_preview) == 1, "");
static_assert(sizeof(NDIlib_tally_t) == 2, "");

static_assert(offsetof(NDIlib_send_create_t, p_ndi_name) == 0, "");
static_assert(offsetof(NDIlib_send_create_t, p_groups) == pick(8, 4, 4), "");
static_assert(offsetof(NDIlib_send_create_t, clock_video) == pick(16, 8, 8), "");
static_assert(offsetof(NDIlib_send_create_t, clock_audio) == pick(17, 9, 9), "");
static_assert(sizeof(NDIlib_send_create_t) == pick(24, 12, 12), "");

static_assert(offsetof(NDIlib_source_t, p_ndi_name) == 0, "");
static_assert(offsetof(NDIlib_source_t, p_url_address) == pick(8, 4, 4), "");
static_assert(offsetof(NDIlib_source_t, p_ip_address) == pick(8, 4, 4), "");
static_assert(sizeof(NDIlib_source_t) == pick(16, 8, 8), "");

// The values we hand over or compare against are the runtime's published ones.
static_assert(NDIlib_frame_type_metadata == 3, "");
static_assert(NDIlib_frame_format_type_progressive == 1 && NDIlib_frame_format_type_interleaved == 0, "");
static_assert(NDIlib_send_timecode_synthesize == INT64_MAX, "");
static_assert(NDIlib_FourCC_video_type_ex_SHQ2_highest_bandwidth == 0x32514853u, "'SHQ2' little-endian");
static_assert(NDIlib_FourCC_video_type_ex_SHQ2_lowest_bandwidth == 0x32716873u, "'shq2' little-endian");
static_assert(NDIlib_FourCC_video_type_ex_SHQ0_highest_bandwidth == 0x30514853u, "'SHQ0' little-endian");

}  // namespace
