// SplashScreenHandler: still frames for the no-input state, and captured frames.
#include "SplashScreenHandler.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <sys/types.h>
#include <unistd.h>

#include "Utils.h"
#include "vexo_path.h"

namespace {

// Suffix of the file a capture is written to before it replaces the stored one.
const char kTempSuffix[] = ".tmp";

// Writes `len` bytes to `tmp` (created or truncated) and makes them durable. On any failure
// the temporary file is removed. Short writes and EINTR are retried; ENOSPC, EIO, EFBIG and
// the like fail the whole file rather than leave a truncated frame behind.
bool write_temp_file(const std::string& tmp, const void* data, size_t len)
{
	int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
	if (fd < 0)
		return false;
	const uint8_t* p = static_cast<const uint8_t*>(data);
	size_t done = 0;
	bool ok = true;
	while (done < len) {
		ssize_t n = write(fd, p + done, len - done);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0) {
			ok = false;
			break;
		}
		done += static_cast<size_t>(n);
	}
	// fsync before the rename: a power cut must leave the old file or the whole new one.
	if (ok && fsync(fd) != 0)
		ok = false;
	if (close(fd) != 0)
		ok = false;
	if (!ok)
		unlink(tmp.c_str());
	return ok;
}

// Moves a finished temporary file over `path`; the temporary goes on failure.
bool commit_temp_file(const std::string& tmp, const std::string& path)
{
	if (rename(tmp.c_str(), path.c_str()) == 0)
		return true;
	unlink(tmp.c_str());
	return false;
}

// FourCC recorded for a captured frame: the rule by which the program stream's FourCC is
// chosen, so the record matches what was sent.
NDIlib_FourCC_video_type_e capture_fourcc(bool bPreview, short encoder_pix_format_420)
{
	if (bPreview)
		return NDIlib_FourCC_video_type_ex_SHQ0_lowest_bandwidth;
	if (encoder_pix_format_420 == 1)
		return NDIlib_FourCC_video_type_ex_SHQ0_highest_bandwidth;
	return NDIlib_FourCC_video_type_ex_SHQ2_highest_bandwidth;
}

// The one-line format record: values by position, as decimal JSON strings, no line end.
std::string capture_format_text(int width, int height, NDIlib_FourCC_video_type_e fourcc, int size)
{
	char text[160];
	snprintf(text, sizeof(text), "{\"rez_x\":\"%d\",\"rez_y\":\"%d\",\"FourCC\":\"%u\",\"line_strides\":\"%d\"}",
	         width, height, static_cast<unsigned>(static_cast<uint32_t>(fourcc)), size);
	return text;
}

// Converts one value field like atoi (leading blanks, sign, digits up to the first other
// character), refusing values that do not fit `lo`..`hi` instead of overflowing.
bool field_to_long(const char* field, long lo, long hi, long& out)
{
	errno = 0;
	long v = strtol(field, nullptr, 10);
	if (errno == ERANGE || v < lo || v > hi)
		return false;
	out = v;
	return true;
}

}  // namespace

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
	// Allocated once at full capacity: a still handed to the asynchronous send must stay
	// valid, so the buffers are reloaded in place and never moved.
	if (m_pFullSplashScreen == nullptr)
		m_pFullSplashScreen = new uint8_t[MAX_FULL_SPLASH_SCREEN_BUFFER_SIZE];
	if (m_pPrvwSplashScreen == nullptr)
		m_pPrvwSplashScreen = new uint8_t[MAX_PRVW_SPLASH_SCREEN_BUFFER_SIZE];
	m_nFullSplashScreenBufferSize = 0;
	m_nPrvwSplashScreenBufferSize = 0;
}

void SplashScreenHandler::DeinitializeSplashScreen()
{
	delete[] m_pFullSplashScreen;
	delete[] m_pPrvwSplashScreen;
	m_pFullSplashScreen = nullptr;
	m_pPrvwSplashScreen = nullptr;
	m_nFullSplashScreenBufferSize = 0;
	m_nPrvwSplashScreenBufferSize = 0;
}

void SplashScreenHandler::UpdateSplashScreenBuffer(const int& nMode)
{
	if (nMode == mervane_screen) {
		LoadSplashScreenFile(vexo_path(MV_NDI_ENC_SPLASH_MERVANE_SCREEN).c_str(), false);
		LoadSplashScreenFile(vexo_path(MV_NDI_ENC_SPLASH_PRVW_MERVANE_SCREEN).c_str(), true);
		m_eSplashScreenMode = mervane_screen;
	} else if (nMode == captured_frame) {
		// Each half on its own: a half whose frame loads switches to captured frames even
		// when the other half or a format file is missing.
		if (LoadSplashScreenFile(vexo_path(MV_NDI_ENC_FULL_SPLASH_CAPTURED_SCREEN).c_str(), false) != 0) {
			ReadCaptureFormat(vexo_path(MV_NDI_ENC_FULL_CAPTURE_FOTMAT).c_str(), m_stFullCaptureFormat);
			m_eSplashScreenMode = captured_frame;
		} else {
			puts("Full Splash screen loading failed.");
		}
		if (LoadSplashScreenFile(vexo_path(MV_NDI_ENC_PRVW_SPLASH_CAPTURED_SCREEN).c_str(), true) != 0) {
			ReadCaptureFormat(vexo_path(MV_NDI_ENC_PRVW_CAPTURE_FOTMAT).c_str(), m_stPrvwCaptureFormat);
			m_eSplashScreenMode = captured_frame;
		} else {
			puts("Prvw Splash screen loading failed.");
		}
	} else {
		LoadSplashScreenFile(vexo_path(MV_NDI_ENC_SPLASH_BLACK_SCREEN).c_str(), false);
		LoadSplashScreenFile(vexo_path(MV_NDI_ENC_SPLASH_PRVW_BLACK_SCREEN).c_str(), true);
		m_eSplashScreenMode = black_screen;
	}
}

size_t SplashScreenHandler::LoadSplashScreenFile(const char* filename, bool bPreview)
{
	uint8_t* buffer = bPreview ? m_pPrvwSplashScreen : m_pFullSplashScreen;
	unsigned long& size = bPreview ? m_nPrvwSplashScreenBufferSize : m_nFullSplashScreenBufferSize;
	const off_t capacity = bPreview ? MAX_PRVW_SPLASH_SCREEN_BUFFER_SIZE : MAX_FULL_SPLASH_SCREEN_BUFFER_SIZE;

	size = 0;
	if (filename == nullptr || buffer == nullptr)
		return 0;
	FILE* f = fopen(filename, "rb");
	if (f == nullptr)
		return 0;
	off_t length = -1;
	if (fseeko(f, 0, SEEK_END) == 0)
		length = ftello(f);
	if (fseeko(f, 0, SEEK_SET) != 0)
		length = -1;
	// Strictly below the capacity: a file of exactly the capacity is refused.
	if (length > 0 && length < capacity) {
		size_t want = static_cast<size_t>(length);
		// A short read would leave the tail of an older frame in the buffer: send nothing.
		if (fread(buffer, 1, want, f) == want)
			size = want;
	}
	fclose(f);
	return size;
}

bool SplashScreenHandler::FilleSplashScreenData(NDIlib_video_frame_v2_t& Video_frame, bool bPreview)
{
	const unsigned long size = bPreview ? m_nPrvwSplashScreenBufferSize : m_nFullSplashScreenBufferSize;
	const capture_frame_format& format = bPreview ? m_stPrvwCaptureFormat : m_stFullCaptureFormat;

	Video_frame.p_data = bPreview ? m_pPrvwSplashScreen : m_pFullSplashScreen;
	Video_frame.line_stride_in_bytes = static_cast<int>(size);
	if (size == 0) {
		puts("The Splash screen data size is zero.");
		return false;
	}
	if (m_eSplashScreenMode == captured_frame) {
		if (format.lineStrides < 0 || size != static_cast<unsigned long>(format.lineStrides)) {
			puts("capture buffer size is not matching with line strides length.");
			return false;
		}
		Video_frame.xres = format.width;
		Video_frame.yres = format.height;
		Video_frame.FourCC = format.FourCC;
	} else if (bPreview) {
		Video_frame.xres = 640;
		Video_frame.yres = 360;
		Video_frame.FourCC = NDIlib_FourCC_video_type_ex_SHQ0_lowest_bandwidth;
	} else {
		Video_frame.xres = 1920;
		Video_frame.yres = 1080;
		Video_frame.FourCC = NDIlib_FourCC_video_type_ex_SHQ2_highest_bandwidth;
	}
	return true;
}

bool SplashScreenHandler::SaveSplashScreen(const NDIlib_video_frame_v2_t& video_frame, bool bPreview,
                                           short encoder_pix_format_420)
{
	const int frame_size = video_frame.line_stride_in_bytes;
	if (frame_size <= 0 || video_frame.p_data == nullptr)
		return false;

	const std::string name =
		vexo_path(bPreview ? MV_NDI_ENC_PRVW_SPLASH_CAPTURED_SCREEN : MV_NDI_ENC_FULL_SPLASH_CAPTURED_SCREEN);
	const std::string format_name =
		vexo_path(bPreview ? MV_NDI_ENC_PRVW_CAPTURE_FOTMAT : MV_NDI_ENC_FULL_CAPTURE_FOTMAT);
	const std::string tmp = name + kTempSuffix;
	const std::string format_tmp = format_name + kTempSuffix;

	// Both new files are complete on disk before either replaces its predecessor, so a full
	// disk or a read-only file system leaves the stored still and its record as they were
	// and the caller keeps its request pending.
	capture_frame_format format;
	format.width = video_frame.xres;
	format.height = video_frame.yres;
	format.FourCC = capture_fourcc(bPreview, encoder_pix_format_420);
	format.lineStrides = frame_size;
	const std::string text = capture_format_text(format.width, format.height, format.FourCC, format.lineStrides);

	if (!write_temp_file(tmp, video_frame.p_data, static_cast<size_t>(frame_size))) {
		printf("%s File write failed.\n", name.c_str());
		return false;
	}
	if (!write_temp_file(format_tmp, text.data(), text.size())) {
		unlink(tmp.c_str());
		printf("%s File write failed.\n", format_name.c_str());
		return false;
	}
	if (!commit_temp_file(tmp, name)) {
		unlink(format_tmp.c_str());
		printf("%s File write failed.\n", name.c_str());
		return false;
	}
	// A failure here leaves a new frame beside the old record; their sizes then differ in
	// all but rare cases, so the pair is refused when shown, and the retry rewrites both.
	if (!commit_temp_file(format_tmp, format_name)) {
		printf("%s File write failed.\n", format_name.c_str());
		return false;
	}
	printf("captured frame saved in %s.\n", name.c_str());

	if (bPreview)
		m_stPrvwCaptureFormat = format;
	else
		m_stFullCaptureFormat = format;

	// While captured frames are what is shown, the new one is shown from the next still on.
	if (m_eSplashScreenMode == captured_frame) {
		const int capacity = bPreview ? MAX_PRVW_SPLASH_SCREEN_BUFFER_SIZE : MAX_FULL_SPLASH_SCREEN_BUFFER_SIZE;
		uint8_t* buffer = bPreview ? m_pPrvwSplashScreen : m_pFullSplashScreen;
		if (frame_size < capacity && buffer != nullptr) {
			memcpy(buffer, video_frame.p_data, static_cast<size_t>(frame_size));
			if (bPreview)
				m_nPrvwSplashScreenBufferSize = static_cast<unsigned long>(frame_size);
			else
				m_nFullSplashScreenBufferSize = static_cast<unsigned long>(frame_size);
		}
	}
	return true;
}

bool SplashScreenHandler::SaveCaptureFormat(const NDIlib_video_frame_v2_t& video_frame, bool bPreview,
                                            short encoder_pix_format_420)
{
	capture_frame_format format;
	format.width = video_frame.xres;
	format.height = video_frame.yres;
	format.FourCC = capture_fourcc(bPreview, encoder_pix_format_420);
	format.lineStrides = video_frame.line_stride_in_bytes;
	const std::string text = capture_format_text(format.width, format.height, format.FourCC, format.lineStrides);

	const std::string name = vexo_path(bPreview ? MV_NDI_ENC_PRVW_CAPTURE_FOTMAT : MV_NDI_ENC_FULL_CAPTURE_FOTMAT);
	const std::string tmp = name + kTempSuffix;
	if (!write_temp_file(tmp, text.data(), text.size()) || !commit_temp_file(tmp, name)) {
		printf("%s File write failed.\n", name.c_str());
		return false;
	}
	if (bPreview)
		m_stPrvwCaptureFormat = format;
	else
		m_stFullCaptureFormat = format;
	return true;
}

bool SplashScreenHandler::ReadCaptureFormat(const char* fileName, capture_frame_format& stCaptureFormat)
{
	if (fileName == nullptr)
		return false;
	std::string raw;
	if (!Utils::GetInstance().GetFileData(fileName, raw) || raw.empty())
		return false;

	std::string text;
	text.reserve(raw.size());
	for (char c : raw) {
		if (c != '"' && c != '}' && c != '{')
			text += c;
	}

	// The values are taken by position: between the i-th ':' and the i-th ',', the last
	// from the 4th ':' to the end. Anything without that shape is refused as a whole.
	size_t colon[4];
	size_t comma[3];
	size_t from = 0;
	for (int i = 0; i < 4; i++) {
		colon[i] = text.find(':', from);
		if (colon[i] == std::string::npos)
			return false;
		if (i < 3) {
			comma[i] = text.find(',', colon[i] + 1);
			if (comma[i] == std::string::npos)
				return false;
			from = comma[i] + 1;
		}
	}
	// The first ':' and ',' of the text must be the ones found in order above.
	if (text.find(',') < colon[0])
		return false;
	for (int i = 0; i < 3; i++) {
		if (text.find(':', colon[i] + 1) != colon[i + 1] || text.find(',', comma[i] + 1) < colon[i + 1])
			return false;
	}

	char fields[4][50];
	for (int i = 0; i < 4; i++) {
		size_t begin = colon[i] + 1;
		size_t end = i < 3 ? comma[i] : text.size();
		size_t len = end - begin;
		if (len > sizeof(fields[i]) - 1)
			return false;
		memset(fields[i], 0, sizeof(fields[i]));
		memcpy(fields[i], text.data() + begin, len);
	}

	long width = 0;
	long height = 0;
	long fourcc = 0;
	long strides = 0;
	if (!field_to_long(fields[0], INT_MIN, INT_MAX, width) || !field_to_long(fields[1], INT_MIN, INT_MAX, height) ||
	    !field_to_long(fields[2], 0, NDIlib_FourCC_video_type_max, fourcc) ||
	    !field_to_long(fields[3], INT_MIN, INT_MAX, strides))
		return false;

	stCaptureFormat.width = static_cast<int>(width);
	stCaptureFormat.height = static_cast<int>(height);
	stCaptureFormat.FourCC = static_cast<NDIlib_FourCC_video_type_e>(fourcc);
	stCaptureFormat.lineStrides = static_cast<int>(strides);
	return true;
}
