// SplashScreenHandler: the store of still frames shown while there is no input.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <Processing.NDI.Lib.h>

#include "SplashScreenConsts.h"

// SplashScreenHandler keeps one full and one preview SpeedHQ frame in two buffers allocated
// once at their full capacities, loads them from the still files, and stores captured live
// frames with their format files. A process-wide singleton. The main thread loads and sends
// stills only while there is no input; the two send threads store captures only while there
// is input, each touching only its own half (buffer, size, format, files). No lock.
class SplashScreenHandler {
public:
	static SplashScreenHandler& GetInstance();

	void InitializeSplashScreen();
	void DeinitializeSplashScreen();
	void UpdateSplashScreenBuffer(const int& nMode);
	size_t LoadSplashScreenFile(const char* filename, bool bPreview);
	bool FilleSplashScreenData(NDIlib_video_frame_v2_t& Video_frame, bool bPreview);
	bool SaveSplashScreen(const NDIlib_video_frame_v2_t& video_frame, bool bPreview, short encoder_pix_format_420);
	bool SaveCaptureFormat(const NDIlib_video_frame_v2_t& video_frame, bool bPreview, short encoder_pix_format_420);
	bool ReadCaptureFormat(const char* fileName, capture_frame_format& stCaptureFormat);

	uint8_t* m_pFullSplashScreen = nullptr;
	unsigned long m_nFullSplashScreenBufferSize = 0;
	uint8_t* m_pPrvwSplashScreen = nullptr;
	unsigned long m_nPrvwSplashScreenBufferSize = 0;
	capture_frame_format m_stFullCaptureFormat;
	capture_frame_format m_stPrvwCaptureFormat;
	splash_screen_mode m_eSplashScreenMode = cap_mode_unknown;

	SplashScreenHandler(const SplashScreenHandler&) = delete;
	SplashScreenHandler& operator=(const SplashScreenHandler&) = delete;

private:
	SplashScreenHandler();
	~SplashScreenHandler();
};
