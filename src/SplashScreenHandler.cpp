// SplashScreenHandler: still frames for the no-input state, and captured frames.
#include "SplashScreenHandler.h"

#include <stdio.h>

#include "Utils.h"
#include "vexo_path.h"

SplashScreenHandler& SplashScreenHandler::GetInstance()
{
	static SplashScreenHandler instance;
	return instance;
}

SplashScreenHandler::SplashScreenHandler()
{
	InitializeSplashScreen();
}

SplashScreenHandler::~SplashScreenHandler()
{
	DeinitializeSplashScreen();
}

void SplashScreenHandler::InitializeSplashScreen()
{
	// Not built yet: buffer allocation.
}

void SplashScreenHandler::DeinitializeSplashScreen()
{
	// Not built yet: buffer release.
}

void SplashScreenHandler::UpdateSplashScreenBuffer(const int& nMode)
{
	(void)nMode;  // Not built yet: loading the chosen still.
}

size_t SplashScreenHandler::LoadSplashScreenFile(const char* filename, bool bPreview)
{
	(void)filename;  // Not built yet: loading one still file.
	(void)bPreview;
	return 0;
}

bool SplashScreenHandler::FilleSplashScreenData(NDIlib_video_frame_v2_t& Video_frame, bool bPreview)
{
	(void)Video_frame;  // Not built yet: describing a still.
	(void)bPreview;
	return false;
}

bool SplashScreenHandler::SaveSplashScreen(const NDIlib_video_frame_v2_t& video_frame, bool bPreview,
                                           short encoder_pix_format_420)
{
	(void)video_frame;  // Not built yet: storing a captured frame.
	(void)bPreview;
	(void)encoder_pix_format_420;
	return false;
}

bool SplashScreenHandler::SaveCaptureFormat(const NDIlib_video_frame_v2_t& video_frame, bool bPreview,
                                            short encoder_pix_format_420)
{
	(void)video_frame;  // Not built yet: the format file.
	(void)bPreview;
	(void)encoder_pix_format_420;
	return false;
}

bool SplashScreenHandler::ReadCaptureFormat(const char* fileName, capture_frame_format& stCaptureFormat)
{
	(void)fileName;  // Not built yet: reading a format file.
	(void)stCaptureFormat;
	return false;
}
