// Fuzz target: the captured-frame format records and the still files, loaded and paired as the
// no-input path does. Byte 0: which still is chosen (low two bits: black, splash, captured,
// unknown; black and unknown read one format record only), which files are absent (bits 2-5). Bytes 1-2: the length of the format record text, then the record text, then
// the frame file. The full and the preview half are written from the same bytes.
#include <stddef.h>
#include <stdint.h>

#include "SplashScreenHandler.h"
#include "fuzz_sysroot.h"

namespace {

void check(bool ok)
{
	if (!ok)
		__builtin_trap();
}

// A still handed on is one the store holds in full; a captured one matches its record.
void check_still(SplashScreenHandler& store, bool preview)
{
	NDIlib_video_frame_v2_t frame;
	if (!store.FilleSplashScreenData(frame, preview))
		return;
	const unsigned long size = preview ? store.m_nPrvwSplashScreenBufferSize : store.m_nFullSplashScreenBufferSize;
	const unsigned long capacity = preview ? MAX_PRVW_SPLASH_SCREEN_BUFFER_SIZE : MAX_FULL_SPLASH_SCREEN_BUFFER_SIZE;
	check(frame.p_data != nullptr && size > 0 && size < capacity);
	check(static_cast<unsigned long>(frame.line_stride_in_bytes) == size);
	if (store.m_eSplashScreenMode == captured_frame) {
		const capture_frame_format& format = preview ? store.m_stPrvwCaptureFormat : store.m_stFullCaptureFormat;
		check(format.lineStrides == frame.line_stride_in_bytes && frame.xres == format.width);
	}
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
	static SplashScreenHandler& store = (fuzz_sysroot(), SplashScreenHandler::GetInstance());
	if (size < 3)
		return 0;
	static const int kModes[] = {black_screen, mervane_screen, captured_frame, cap_mode_unknown};
	const uint8_t flags = data[0];
	size_t record = (data[1] | static_cast<size_t>(data[2]) << 8) % (size - 2);
	const uint8_t* text = data + 3;
	const uint8_t* still = text + record;
	const size_t still_size = size - 3 - record;

	// Only the files the chosen still reads are written.
	const int mode = kModes[flags & 3];
	if (mode == captured_frame) {
		fuzz_put_file(MV_NDI_ENC_FULL_CAPTURE_FOTMAT, text, record, (flags & 0x04) == 0);
		fuzz_put_file(MV_NDI_ENC_PRVW_CAPTURE_FOTMAT, text, record, (flags & 0x08) == 0);
		fuzz_put_file(MV_NDI_ENC_FULL_SPLASH_CAPTURED_SCREEN, still, still_size, (flags & 0x10) == 0);
		fuzz_put_file(MV_NDI_ENC_PRVW_SPLASH_CAPTURED_SCREEN, still, still_size, (flags & 0x20) == 0);
	} else if (mode == mervane_screen) {
		fuzz_put_file(MV_NDI_ENC_SPLASH_MERVANE_SCREEN, still, still_size, (flags & 0x10) == 0);
		fuzz_put_file(MV_NDI_ENC_SPLASH_PRVW_MERVANE_SCREEN, still, still_size, (flags & 0x20) == 0);
	} else {
		fuzz_put_file(MV_NDI_ENC_FULL_CAPTURE_FOTMAT, text, record, (flags & 0x04) == 0);
	}

	capture_frame_format format;
	if (mode != mervane_screen && store.ReadCaptureFormat(vexo_path(MV_NDI_ENC_FULL_CAPTURE_FOTMAT).c_str(), format))
		check(format.FourCC >= 0 && format.FourCC <= NDIlib_FourCC_video_type_max);

	store.UpdateSplashScreenBuffer(mode);
	check_still(store, false);
	check_still(store, true);
	return 0;
}
