// Utils: capture requests, still choice words and text file reading.
#include "Utils.h"

#include <stdio.h>

#include "SplashScreenConsts.h"
#include "vexo_path.h"

Utils& Utils::GetInstance()
{
	static Utils instance;
	return instance;
}

bool Utils::CheckCaptureEnable(bool bDecode)
{
	(void)bDecode;  // Not built yet: capture requests.
	return false;
}

void Utils::GetCaptureMode(const char* captureSet, int& nCaptureMode)
{
	(void)captureSet;  // Not built yet: the still choice words.
	(void)nCaptureMode;
}

bool Utils::GetFileData(std::string sFileName, std::string& sData)
{
	(void)sFileName;  // Not built yet: reading a text file.
	(void)sData;
	return false;
}
