// Utils: capture requests, the still choice words and whole-text-file reading.
#pragma once

#include <string>

// A stateless singleton used by the main loop and the still store.
class Utils {
public:
	static Utils& GetInstance();

	bool CheckCaptureEnable(bool bDecode);
	void GetCaptureMode(const char* captureSet, int& nCaptureMode);
	bool GetFileData(const std::string& sFileName, std::string& sData);

	Utils(const Utils&) = delete;
	Utils& operator=(const Utils&) = delete;

private:
	Utils() = default;
};
