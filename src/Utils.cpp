// Utils: capture requests, still choice words and text file reading.
#include "Utils.h"

#include <fcntl.h>
#include <fstream>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "SplashScreenConsts.h"
#include "vexo_path.h"

namespace {

// The "ScreenSaverMode" words of the web interface, compared exactly and in this order.
struct CaptureModeWord {
	const char* word;
	splash_screen_mode mode;
};

const CaptureModeWord kCaptureModeWords[] = {
	{"delfmv", mervane_screen}, {"ddelfmv", mervane_screen}, {"MervaneSS", mervane_screen},
	{"delfbf", black_screen},   {"ddelfbf", black_screen},   {"BlackSS", black_screen},
	{"delfca", captured_frame}, {"ddelfca", captured_frame}, {"CaptureSS", captured_frame},
};

}  // namespace

Utils& Utils::GetInstance()
{
	static Utils instance;
	return instance;
}

bool Utils::CheckCaptureEnable(bool bDecode)
{
	(void)bDecode;  // Every caller asks for the encoder side; there is no decoder here.
	const std::string request = vexo_path(MV_NDI_ENC_CAPTURE_REQ_CHECK_FILE);
	int fd = open(request.c_str(), O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return false;
	close(fd);
	puts("Capture enable request came ");
	// The request is taken even when the file cannot be removed; it is then seen again.
	unlink(request.c_str());
	return true;
}

void Utils::GetCaptureMode(const char* captureSet, int& nCaptureMode)
{
	if (captureSet == nullptr)
		return;
	for (const CaptureModeWord& entry : kCaptureModeWords) {
		if (strcmp(captureSet, entry.word) == 0) {
			nCaptureMode = entry.mode;
			return;
		}
	}
}

bool Utils::GetFileData(const std::string& sFileName, std::string& sData)
{
	std::ifstream file(sFileName);
	const bool opened = file.is_open();
	if (opened) {
		std::string line;
		while (std::getline(file, line))
			sData += line;
		file.close();
	}
	if (!opened || sData.empty()) {
		printf("%s file read failed.\n", sFileName.c_str());
		return false;
	}
	return true;
}
