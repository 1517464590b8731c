// Still-frame file paths, the still choice and the recorded format of a captured frame.
#pragma once

#include <Processing.NDI.Lib.h>

#define MV_NDI_ENC_SPLASH_MERVANE_SCREEN "/etc/enc_full_still.encoded"
#define MV_NDI_ENC_SPLASH_PRVW_MERVANE_SCREEN "/etc/enc_prvw_still.encoded"
#define MV_NDI_ENC_SPLASH_BLACK_SCREEN "/etc/enc_full_black.encoded"
#define MV_NDI_ENC_SPLASH_PRVW_BLACK_SCREEN "/etc/enc_prvw_black.encoded"
#define MV_NDI_ENC_FULL_SPLASH_CAPTURED_SCREEN "/etc/enc_full_captured_frame.encoded"
#define MV_NDI_ENC_PRVW_SPLASH_CAPTURED_SCREEN "/etc/enc_prvw_captured_frame.encoded"
#define MV_NDI_ENC_FULL_CAPTURE_FOTMAT "/etc/enc_full-cap-frame-info-setup.json"
#define MV_NDI_ENC_PRVW_CAPTURE_FOTMAT "/etc/enc_prvw-cap-frame-info-setup.json"
#define MV_NDI_ENC_CAPTURE_REQ_CHECK_FILE "/tmp/mervane-enc-cap"

#define MAX_FULL_SPLASH_SCREEN_BUFFER_SIZE 17694720
#define MAX_PRVW_SPLASH_SCREEN_BUFFER_SIZE 460800

// Which still is shown while there is no input.
enum splash_screen_mode {
	cap_mode_unknown = -1,
	black_screen = 0,
	mervane_screen = 1,
	captured_frame = 2,
};

// The recorded format of one captured frame; lineStrides is the compressed size in bytes.
struct capture_frame_format {
	int width = 1920;
	int height = 1080;
	NDIlib_FourCC_video_type_e FourCC = NDIlib_FourCC_video_type_max;
	int lineStrides = 0;
};
