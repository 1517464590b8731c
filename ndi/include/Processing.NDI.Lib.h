// NDI runtime interface: the published types, constants and sender functions used by vexoenc.
#pragma once

// These declarations follow the NDI SDK's names, layouts and values, so the program builds
// unchanged against the real SDK headers by pointing the include path at them instead.

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define PROCESSINGNDILIB_API __declspec(dllimport)
#else
#define PROCESSINGNDILIB_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#define NDILIB_CPP_DEFAULT_VALUE(a) = (a)
extern "C" {
#else
#define NDILIB_CPP_DEFAULT_VALUE(a)
#endif

#define NDI_LIB_FOURCC(ch0, ch1, ch2, ch3)                                          \
	((uint32_t)(uint8_t)(ch0) | ((uint32_t)(uint8_t)(ch1) << 8) |                   \
	 ((uint32_t)(uint8_t)(ch2) << 16) | ((uint32_t)(uint8_t)(ch3) << 24))

// Timecode value that asks the runtime to stamp the frame itself.
static const int64_t NDIlib_send_timecode_synthesize = INT64_MAX;
static const int64_t NDIlib_recv_timestamp_undefined = INT64_MAX;

typedef enum NDIlib_frame_type_e {
	NDIlib_frame_type_none = 0,
	NDIlib_frame_type_video = 1,
	NDIlib_frame_type_audio = 2,
	NDIlib_frame_type_metadata = 3,
	NDIlib_frame_type_error = 4,
	NDIlib_frame_type_status_change = 100,
	NDIlib_frame_type_max = 0x7fffffff
} NDIlib_frame_type_e;

typedef enum NDIlib_FourCC_video_type_e {
	NDIlib_FourCC_video_type_UYVY = NDI_LIB_FOURCC('U', 'Y', 'V', 'Y'),
	NDIlib_FourCC_type_UYVY = NDIlib_FourCC_video_type_UYVY,
	NDIlib_FourCC_video_type_UYVA = NDI_LIB_FOURCC('U', 'Y', 'V', 'A'),
	NDIlib_FourCC_video_type_P216 = NDI_LIB_FOURCC('P', '2', '1', '6'),
	NDIlib_FourCC_video_type_PA16 = NDI_LIB_FOURCC('P', 'A', '1', '6'),
	NDIlib_FourCC_video_type_YV12 = NDI_LIB_FOURCC('Y', 'V', '1', '2'),
	NDIlib_FourCC_video_type_I420 = NDI_LIB_FOURCC('I', '4', '2', '0'),
	NDIlib_FourCC_video_type_NV12 = NDI_LIB_FOURCC('N', 'V', '1', '2'),
	NDIlib_FourCC_video_type_BGRA = NDI_LIB_FOURCC('B', 'G', 'R', 'A'),
	NDIlib_FourCC_video_type_BGRX = NDI_LIB_FOURCC('B', 'G', 'R', 'X'),
	NDIlib_FourCC_video_type_RGBA = NDI_LIB_FOURCC('R', 'G', 'B', 'A'),
	NDIlib_FourCC_video_type_RGBX = NDI_LIB_FOURCC('R', 'G', 'B', 'X'),

	// Compressed SpeedHQ types of the Advanced SDK. Upper case is the highest-bandwidth
	// (program) stream, lower case the lowest-bandwidth (preview) stream.
	NDIlib_FourCC_video_type_ex_SHQ0_highest_bandwidth = NDI_LIB_FOURCC('S', 'H', 'Q', '0'),
	NDIlib_FourCC_video_type_ex_SHQ2_highest_bandwidth = NDI_LIB_FOURCC('S', 'H', 'Q', '2'),
	NDIlib_FourCC_video_type_ex_SHQ7_highest_bandwidth = NDI_LIB_FOURCC('S', 'H', 'Q', '7'),
	NDIlib_FourCC_video_type_ex_SHQ0_lowest_bandwidth = NDI_LIB_FOURCC('s', 'h', 'q', '0'),
	NDIlib_FourCC_video_type_ex_SHQ2_lowest_bandwidth = NDI_LIB_FOURCC('s', 'h', 'q', '2'),
	NDIlib_FourCC_video_type_ex_SHQ7_lowest_bandwidth = NDI_LIB_FOURCC('s', 'h', 'q', '7'),

	NDIlib_FourCC_video_type_max = 0x7fffffff
} NDIlib_FourCC_video_type_e;

typedef enum NDIlib_frame_format_type_e {
	NDIlib_frame_format_type_progressive = 1,
	NDIlib_frame_format_type_interleaved = 0,
	NDIlib_frame_format_type_field_0 = 2,
	NDIlib_frame_format_type_field_1 = 3,
	NDIlib_frame_format_type_max = 0x7fffffff
} NDIlib_frame_format_type_e;

typedef struct NDIlib_source_t {
	const char* p_ndi_name;
	union {
		const char* p_url_address;
		const char* p_ip_address;
	};
#ifdef __cplusplus
	NDIlib_source_t(const char* p_ndi_name_ NDILIB_CPP_DEFAULT_VALUE(NULL),
	                const char* p_url_address_ NDILIB_CPP_DEFAULT_VALUE(NULL))
		: p_ndi_name(p_ndi_name_), p_url_address(p_url_address_) {}
#endif
} NDIlib_source_t;

typedef struct NDIlib_video_frame_v2_t {
	int xres, yres;
	NDIlib_FourCC_video_type_e FourCC;
	int frame_rate_N, frame_rate_D;
	float picture_aspect_ratio;
	NDIlib_frame_format_type_e frame_format_type;
	int64_t timecode;
	uint8_t* p_data;
	union {
		int line_stride_in_bytes;
		int data_size_in_bytes;
	};
	const char* p_metadata;
	int64_t timestamp;
#ifdef __cplusplus
	NDIlib_video_frame_v2_t(int xres_ = 0, int yres_ = 0,
	                        NDIlib_FourCC_video_type_e FourCC_ = NDIlib_FourCC_video_type_UYVY,
	                        int frame_rate_N_ = 30000, int frame_rate_D_ = 1001,
	                        float picture_aspect_ratio_ = 0.0f,
	                        NDIlib_frame_format_type_e frame_format_type_ = NDIlib_frame_format_type_progressive,
	                        int64_t timecode_ = NDIlib_send_timecode_synthesize, uint8_t* p_data_ = NULL,
	                        int line_stride_in_bytes_ = 0, const char* p_metadata_ = NULL,
	                        int64_t timestamp_ = 0)
		: xres(xres_), yres(yres_), FourCC(FourCC_), frame_rate_N(frame_rate_N_),
		  frame_rate_D(frame_rate_D_), picture_aspect_ratio(picture_aspect_ratio_),
		  frame_format_type(frame_format_type_), timecode(timecode_), p_data(p_data_),
		  line_stride_in_bytes(line_stride_in_bytes_), p_metadata(p_metadata_), timestamp(timestamp_) {}
#endif
} NDIlib_video_frame_v2_t;

typedef struct NDIlib_audio_frame_interleaved_32f_t {
	int sample_rate;
	int no_channels;
	int no_samples;
	int64_t timecode;
	float* p_data;
#ifdef __cplusplus
	NDIlib_audio_frame_interleaved_32f_t(int sample_rate_ = 48000, int no_channels_ = 2,
	                                     int no_samples_ = 0,
	                                     int64_t timecode_ = NDIlib_send_timecode_synthesize,
	                                     float* p_data_ = NULL)
		: sample_rate(sample_rate_), no_channels(no_channels_), no_samples(no_samples_),
		  timecode(timecode_), p_data(p_data_) {}
#endif
} NDIlib_audio_frame_interleaved_32f_t;

typedef struct NDIlib_metadata_frame_t {
	int length;
	int64_t timecode;
	char* p_data;
#ifdef __cplusplus
	NDIlib_metadata_frame_t(int length_ = 0, int64_t timecode_ = NDIlib_send_timecode_synthesize,
	                        char* p_data_ = NULL)
		: length(length_), timecode(timecode_), p_data(p_data_) {}
#endif
} NDIlib_metadata_frame_t;

typedef struct NDIlib_tally_t {
	bool on_program;
	bool on_preview;
#ifdef __cplusplus
	NDIlib_tally_t(bool on_program_ = false, bool on_preview_ = false)
		: on_program(on_program_), on_preview(on_preview_) {}
#endif
} NDIlib_tally_t;

typedef struct NDIlib_send_create_t {
	const char* p_ndi_name;
	const char* p_groups;
	bool clock_video, clock_audio;
#ifdef __cplusplus
	NDIlib_send_create_t(const char* p_ndi_name_ = NULL, const char* p_groups_ = NULL,
	                     bool clock_video_ = true, bool clock_audio_ = true)
		: p_ndi_name(p_ndi_name_), p_groups(p_groups_), clock_video(clock_video_),
		  clock_audio(clock_audio_) {}
#endif
} NDIlib_send_create_t;

struct NDIlib_send_instance_type;
typedef struct NDIlib_send_instance_type* NDIlib_send_instance_t;

PROCESSINGNDILIB_API bool NDIlib_initialize(void);
PROCESSINGNDILIB_API void NDIlib_destroy(void);
PROCESSINGNDILIB_API const char* NDIlib_version(void);

PROCESSINGNDILIB_API NDIlib_send_instance_t NDIlib_send_create(const NDIlib_send_create_t* p_create_settings);
PROCESSINGNDILIB_API NDIlib_send_instance_t NDIlib_send_create_v2(const NDIlib_send_create_t* p_create_settings,
                                                                  const char* p_config_data);
PROCESSINGNDILIB_API void NDIlib_send_destroy(NDIlib_send_instance_t p_instance);

PROCESSINGNDILIB_API void NDIlib_send_send_video_v2(NDIlib_send_instance_t p_instance,
                                                    const NDIlib_video_frame_v2_t* p_video_data);
PROCESSINGNDILIB_API void NDIlib_send_send_video_async_v2(NDIlib_send_instance_t p_instance,
                                                          const NDIlib_video_frame_v2_t* p_video_data);
PROCESSINGNDILIB_API void NDIlib_send_send_metadata(NDIlib_send_instance_t p_instance,
                                                    const NDIlib_metadata_frame_t* p_metadata);

PROCESSINGNDILIB_API NDIlib_frame_type_e NDIlib_send_capture(NDIlib_send_instance_t p_instance,
                                                             NDIlib_metadata_frame_t* p_metadata,
                                                             uint32_t timeout_in_ms);
PROCESSINGNDILIB_API void NDIlib_send_free_metadata(NDIlib_send_instance_t p_instance,
                                                    const NDIlib_metadata_frame_t* p_metadata);

PROCESSINGNDILIB_API bool NDIlib_send_get_tally(NDIlib_send_instance_t p_instance, NDIlib_tally_t* p_tally,
                                                uint32_t timeout_in_ms);
PROCESSINGNDILIB_API int NDIlib_send_get_no_connections(NDIlib_send_instance_t p_instance,
                                                        uint32_t timeout_in_ms);

PROCESSINGNDILIB_API void NDIlib_send_clear_connection_metadata(NDIlib_send_instance_t p_instance);
PROCESSINGNDILIB_API void NDIlib_send_add_connection_metadata(NDIlib_send_instance_t p_instance,
                                                              const NDIlib_metadata_frame_t* p_metadata);
PROCESSINGNDILIB_API void NDIlib_send_set_failover(NDIlib_send_instance_t p_instance,
                                                   const NDIlib_source_t* p_failover_source);
PROCESSINGNDILIB_API const NDIlib_source_t* NDIlib_send_get_source_name(NDIlib_send_instance_t p_instance);

// Advanced SDK: recommended size in bytes of one compressed frame for the given description.
PROCESSINGNDILIB_API int NDIlib_send_get_target_frame_size(NDIlib_send_instance_t p_instance,
                                                           const NDIlib_video_frame_v2_t* p_video_data);

PROCESSINGNDILIB_API void NDIlib_util_send_send_audio_interleaved_32f(
	NDIlib_send_instance_t p_instance, const NDIlib_audio_frame_interleaved_32f_t* p_audio_data);

#ifdef __cplusplus
}  // extern "C"
#endif
