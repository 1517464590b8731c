// Tests of the still store, the capture-request checker and the still choice.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "NdiTransmitter.h"
#include "SplashScreenHandler.h"
#include "Utils.h"
#include "test_support.h"

namespace fs = std::filesystem;
using testcommon::stdout_of;

namespace {

constexpr NDIlib_FourCC_video_type_e kSHQ2 = NDIlib_FourCC_video_type_ex_SHQ2_highest_bandwidth;
constexpr NDIlib_FourCC_video_type_e kSHQ0 = NDIlib_FourCC_video_type_ex_SHQ0_highest_bandwidth;
constexpr NDIlib_FourCC_video_type_e kshq0 = NDIlib_FourCC_video_type_ex_SHQ0_lowest_bandwidth;

// A fresh sysroot per test, and the singleton put back to its state at construction.
class StillStoreTest : public ::testing::Test {
protected:
	void SetUp() override
	{
		s.InitializeSplashScreen();  // buffers back if a case took them away
		s.m_eSplashScreenMode = cap_mode_unknown;
		s.m_nFullSplashScreenBufferSize = 0;
		s.m_nPrvwSplashScreenBufferSize = 0;
		s.m_stFullCaptureFormat = capture_frame_format();
		s.m_stPrvwCaptureFormat = capture_frame_format();
	}

	std::string path(const std::string& rel) const { return root_ + "/" + rel; }

	void write(const std::string& rel, const std::string& bytes) const { testcommon::write_file(path(rel), bytes); }
	std::string read(const std::string& rel) const { return testcommon::read_file(path(rel)); }

	// A file of `size` bytes whose content depends on `seed`, so two stills differ.
	std::string pattern(size_t size, int seed) const
	{
		std::string bytes(size, '\0');
		for (size_t i = 0; i < size; i++)
			bytes[i] = static_cast<char>((i * 7 + seed) & 0xFF);
		return bytes;
	}

	std::string buffer(bool preview) const
	{
		const uint8_t* p = preview ? s.m_pPrvwSplashScreen : s.m_pFullSplashScreen;
		unsigned long n = preview ? s.m_nPrvwSplashScreenBufferSize : s.m_nFullSplashScreenBufferSize;
		return std::string(reinterpret_cast<const char*>(p), n);
	}

	// A format record as the store writes it.
	static std::string record(const std::string& x, const std::string& y, const std::string& fourcc,
	                          const std::string& strides)
	{
		return "{\"rez_x\":\"" + x + "\",\"rez_y\":\"" + y + "\",\"FourCC\":\"" + fourcc + "\",\"line_strides\":\"" +
		       strides + "\"}";
	}

	static void expect_format(const capture_frame_format& fmt, int width, int height, NDIlib_FourCC_video_type_e fourcc,
	                          int strides)
	{
		EXPECT_EQ(fmt.width, width);
		EXPECT_EQ(fmt.height, height);
		EXPECT_EQ(fmt.FourCC, fourcc);
		EXPECT_EQ(fmt.lineStrides, strides);
	}

	// The frame's raster, FourCC and stride, checked as a format record's.
	static void expect_frame(const NDIlib_video_frame_v2_t& f, int xres, int yres, NDIlib_FourCC_video_type_e fourcc,
	                         int stride)
	{
		expect_format({f.xres, f.yres, f.FourCC, f.line_stride_in_bytes}, xres, yres, fourcc, stride);
	}

	static NDIlib_video_frame_v2_t live_frame(int xres, int yres, std::string& bytes)
	{
		NDIlib_video_frame_v2_t f(xres, yres, kSHQ2);
		f.p_data = reinterpret_cast<uint8_t*>(&bytes[0]);
		f.line_stride_in_bytes = static_cast<int>(bytes.size());
		return f;
	}

	SplashScreenHandler& s = SplashScreenHandler::GetInstance();
	testcommon::TempSysroot sysroot_{{"etc", "tmp"}, "vexo-stills"};
	const std::string root_ = sysroot_.path();
};

// ---------------------------------------------------------------------------------------
// Buffers and loading

TEST_F(StillStoreTest, BuffersAreAllocatedOnceAtFullCapacity)
{
	ASSERT_NE(s.m_pFullSplashScreen, nullptr);
	ASSERT_NE(s.m_pPrvwSplashScreen, nullptr);
	uint8_t* full = s.m_pFullSplashScreen;
	uint8_t* prvw = s.m_pPrvwSplashScreen;
	// The last byte of each capacity is writable (AddressSanitizer checks the extent).
	full[MAX_FULL_SPLASH_SCREEN_BUFFER_SIZE - 1] = 1;
	prvw[MAX_PRVW_SPLASH_SCREEN_BUFFER_SIZE - 1] = 1;

	write("etc/enc_full_still.encoded", pattern(5000, 1));
	write("etc/enc_prvw_still.encoded", pattern(700, 2));
	s.UpdateSplashScreenBuffer(mervane_screen);
	s.InitializeSplashScreen();  // a second initialisation keeps the buffers, empties them
	EXPECT_EQ(s.m_pFullSplashScreen, full);
	EXPECT_EQ(s.m_pPrvwSplashScreen, prvw);
	EXPECT_EQ(s.m_nFullSplashScreenBufferSize, 0u);
	EXPECT_EQ(s.m_nPrvwSplashScreenBufferSize, 0u);
}

TEST_F(StillStoreTest, ExactlyTheCapacityIsRefusedOneByteLessLoads)
{
	struct Case {
		bool preview;
		size_t capacity;
	};
	for (const Case& c : {Case{true, MAX_PRVW_SPLASH_SCREEN_BUFFER_SIZE}, Case{false, MAX_FULL_SPLASH_SCREEN_BUFFER_SIZE}}) {
		SCOPED_TRACE(c.preview ? "preview" : "full");
		std::string below = pattern(c.capacity - 1, 3);
		write("etc/below.encoded", below);
		EXPECT_EQ(s.LoadSplashScreenFile(path("etc/below.encoded").c_str(), c.preview), c.capacity - 1);
		EXPECT_EQ(buffer(c.preview), below);

		// A refused file empties the half instead of leaving the previous still in it.
		write("etc/exact.encoded", pattern(c.capacity, 4));
		EXPECT_EQ(s.LoadSplashScreenFile(path("etc/exact.encoded").c_str(), c.preview), 0u);
		EXPECT_EQ(buffer(c.preview).size(), 0u);
		fs::remove(path("etc/below.encoded"));
		fs::remove(path("etc/exact.encoded"));
	}
}

TEST_F(StillStoreTest, MissingOrEmptyFileLoadsNothingAndLeavesTheOtherHalf)
{
	write("etc/prvw.encoded", pattern(300, 5));
	ASSERT_EQ(s.LoadSplashScreenFile(path("etc/prvw.encoded").c_str(), true), 300u);
	EXPECT_EQ(s.LoadSplashScreenFile(path("etc/none.encoded").c_str(), false), 0u);
	write("etc/empty.encoded", "");
	EXPECT_EQ(s.LoadSplashScreenFile(path("etc/empty.encoded").c_str(), false), 0u);
	EXPECT_EQ(s.m_nPrvwSplashScreenBufferSize, 300u);
}

// A file whose size cannot be learnt (a FIFO cannot seek) or that reads shorter than its size
// (a sysfs attribute reports 4096 bytes): the half is emptied rather than keep the tail of the
// still loaded before.
TEST_F(StillStoreTest, FileThatCannotBeSizedOrReadWholeLoadsNothing)
{
	ASSERT_EQ(mkfifo(path("etc/fifo.encoded").c_str(), 0600), 0);
	// Held open for reading and writing, so that the store's open does not wait for a writer.
	int fifo = open(path("etc/fifo.encoded").c_str(), O_RDWR);
	ASSERT_GE(fifo, 0);
	ASSERT_EQ(::write(fifo, "abc", 3), 3);
	std::vector<std::string> files = {path("etc/fifo.encoded")};
	const char* sysfs = "/sys/kernel/mm/transparent_hugepage/enabled";
	struct stat st {};
	if (stat(sysfs, &st) == 0 && st.st_size > 0)
		files.push_back(sysfs);
	else
		printf("no sysfs attribute here; the short read is not tried\n");
	for (const std::string& file : files) {
		SCOPED_TRACE(file);
		write("etc/good.encoded", pattern(6000, 6));
		ASSERT_EQ(s.LoadSplashScreenFile(path("etc/good.encoded").c_str(), false), 6000u);
		EXPECT_EQ(s.LoadSplashScreenFile(file.c_str(), false), 0u);
		EXPECT_EQ(s.m_nFullSplashScreenBufferSize, 0u);
	}
	close(fifo);
}

// Without its buffers (after de-initialisation) the store loads nothing and a capture is only
// stored; a capture too large for the still buffer is stored but never copied into it.
TEST_F(StillStoreTest, CaptureThatDoesNotFitTheStillBufferIsStoredButNotShown)
{
	write("etc/enc_prvw_captured_frame.encoded", pattern(500, 7));
	write("etc/enc_prvw-cap-frame-info-setup.json", record("640", "360", "812738675", "500"));
	s.UpdateSplashScreenBuffer(captured_frame);
	ASSERT_EQ(buffer(true), pattern(500, 7));

	std::string huge = pattern(MAX_PRVW_SPLASH_SCREEN_BUFFER_SIZE, 8);
	NDIlib_video_frame_v2_t f = live_frame(640, 360, huge);
	ASSERT_TRUE(s.SaveSplashScreen(f, true, 0));
	EXPECT_EQ(read("etc/enc_prvw_captured_frame.encoded"), huge);
	EXPECT_EQ(buffer(true), pattern(500, 7));

	s.DeinitializeSplashScreen();
	s.DeinitializeSplashScreen();  // a second one finds nothing to free
	EXPECT_EQ(s.LoadSplashScreenFile(path("etc/enc_prvw_captured_frame.encoded").c_str(), true), 0u);
	EXPECT_EQ(s.LoadSplashScreenFile(nullptr, true), 0u);
	std::string small = pattern(300, 9);
	f = live_frame(640, 360, small);
	ASSERT_TRUE(s.SaveSplashScreen(f, true, 0));
	EXPECT_EQ(read("etc/enc_prvw_captured_frame.encoded"), small);
	EXPECT_EQ(s.m_nPrvwSplashScreenBufferSize, 0u);
	NDIlib_video_frame_v2_t shown;
	EXPECT_FALSE(s.FilleSplashScreenData(shown, true));

	s.InitializeSplashScreen();
	EXPECT_EQ(s.LoadSplashScreenFile(path("etc/enc_prvw_captured_frame.encoded").c_str(), true), 300u);
}

// ---------------------------------------------------------------------------------------
// Choosing the still and describing it

TEST_F(StillStoreTest, SplashChosenWithBothFilesMissingStillSwitchesMode)
{
	s.UpdateSplashScreenBuffer(mervane_screen);
	EXPECT_EQ(s.m_eSplashScreenMode, mervane_screen);
	NDIlib_video_frame_v2_t f;
	std::string out = stdout_of([&] {
		EXPECT_FALSE(s.FilleSplashScreenData(f, false));
		EXPECT_FALSE(s.FilleSplashScreenData(f, true));
	});
	EXPECT_EQ(out, "The Splash screen data size is zero.\nThe Splash screen data size is zero.\n");
}

TEST_F(StillStoreTest, SplashHalvesAreDescribedAsFullHdSHQ2AndPreviewShq0)
{
	write("etc/enc_full_still.encoded", pattern(4000, 6));
	write("etc/enc_prvw_still.encoded", pattern(900, 7));
	s.UpdateSplashScreenBuffer(mervane_screen);

	NDIlib_video_frame_v2_t f(0, 0, NDIlib_FourCC_video_type_UYVY, 30000, 1001, 16.0f / 9.0f);
	ASSERT_TRUE(s.FilleSplashScreenData(f, false));
	expect_frame(f, 1920, 1080, kSHQ2, 4000);
	EXPECT_EQ(f.p_data, s.m_pFullSplashScreen);
	EXPECT_EQ(std::string(reinterpret_cast<char*>(f.p_data), 4000), pattern(4000, 6));
	// What the caller set stays.
	EXPECT_EQ(f.frame_rate_N, 30000);
	EXPECT_EQ(f.frame_rate_D, 1001);
	EXPECT_FLOAT_EQ(f.picture_aspect_ratio, 16.0f / 9.0f);

	ASSERT_TRUE(s.FilleSplashScreenData(f, true));
	expect_frame(f, 640, 360, kshq0, 900);
	EXPECT_EQ(f.p_data, s.m_pPrvwSplashScreen);
}

TEST_F(StillStoreTest, AnyOtherModeLoadsTheBlackFiles)
{
	write("etc/enc_full_still.encoded", pattern(1000, 8));
	write("etc/enc_prvw_still.encoded", pattern(100, 9));
	write("etc/enc_full_black.encoded", pattern(2000, 10));
	write("etc/enc_prvw_black.encoded", pattern(200, 11));
	for (int mode : {7, -1, 0}) {
		SCOPED_TRACE(mode);
		s.UpdateSplashScreenBuffer(mervane_screen);
		s.UpdateSplashScreenBuffer(mode);
		EXPECT_EQ(s.m_eSplashScreenMode, black_screen);
		EXPECT_EQ(buffer(false), pattern(2000, 10));
		EXPECT_EQ(buffer(true), pattern(200, 11));
	}
}

TEST_F(StillStoreTest, CapturedChoiceLoadsEachHalfOnItsOwn)
{
	s.UpdateSplashScreenBuffer(black_screen);

	// Nothing captured yet: both halves announce it, the mode stays what it was.
	EXPECT_EQ(stdout_of([&] { s.UpdateSplashScreenBuffer(captured_frame); }),
	          "Full Splash screen loading failed.\nPrvw Splash screen loading failed.\n");
	EXPECT_EQ(s.m_eSplashScreenMode, black_screen);

	// Only the preview was captured: the mode changes, the full half is empty.
	write("etc/enc_prvw_captured_frame.encoded", pattern(321, 12));
	write("etc/enc_prvw-cap-frame-info-setup.json", record("640", "360", "812738675", "321"));
	EXPECT_EQ(stdout_of([&] { s.UpdateSplashScreenBuffer(captured_frame); }), "Full Splash screen loading failed.\n");
	EXPECT_EQ(s.m_eSplashScreenMode, captured_frame);
	NDIlib_video_frame_v2_t f;
	ASSERT_TRUE(s.FilleSplashScreenData(f, true));
	expect_frame(f, 640, 360, kshq0, 321);
	EXPECT_FALSE(s.FilleSplashScreenData(f, false));

	// A capture whose record has gone keeps the record it had and is still shown.
	fs::remove(path("etc/enc_prvw-cap-frame-info-setup.json"));
	std::string out = stdout_of([&] { s.UpdateSplashScreenBuffer(captured_frame); });
	EXPECT_NE(out.find("enc_prvw-cap-frame-info-setup.json file read failed.\n"), std::string::npos) << out;
	EXPECT_EQ(s.m_stPrvwCaptureFormat.lineStrides, 321);
	EXPECT_TRUE(s.FilleSplashScreenData(f, true));
}

TEST_F(StillStoreTest, CapturedFrameWhoseSizeDiffersFromItsRecordIsNotSent)
{
	write("etc/enc_full_captured_frame.encoded", pattern(1234, 13));
	NDIlib_video_frame_v2_t f;
	// A negative record never matches either, whatever the size as an unsigned number.
	for (const char* strides : {"1235", "-1234"}) {
		SCOPED_TRACE(strides);
		write("etc/enc_full-cap-frame-info-setup.json", record("3840", "2160", "810633299", strides));
		s.UpdateSplashScreenBuffer(captured_frame);
		ASSERT_EQ(s.m_eSplashScreenMode, captured_frame);
		EXPECT_EQ(stdout_of([&] { EXPECT_FALSE(s.FilleSplashScreenData(f, false)); }),
		          "capture buffer size is not matching with line strides length.\n");
	}

	write("etc/enc_full-cap-frame-info-setup.json", record("3840", "2160", "810633299", "1234"));
	s.UpdateSplashScreenBuffer(captured_frame);
	ASSERT_TRUE(s.FilleSplashScreenData(f, false));
	expect_frame(f, 3840, 2160, kSHQ0, 1234);
}

// ---------------------------------------------------------------------------------------
// Format records

TEST_F(StillStoreTest, FormatRecordTextForEachFourCC)
{
	std::string bytes(10, 'x');
	NDIlib_video_frame_v2_t f = live_frame(3840, 2160, bytes);
	f.line_stride_in_bytes = 1234567;  // only the record is written here
	f.FourCC = NDIlib_FourCC_video_type_UYVY;  // the frame's own FourCC is not consulted

	ASSERT_TRUE(s.SaveCaptureFormat(f, false, 1));
	EXPECT_EQ(read("etc/enc_full-cap-frame-info-setup.json"), record("3840", "2160", "810633299", "1234567"));
	EXPECT_EQ(s.m_stFullCaptureFormat.FourCC, kSHQ0);
	EXPECT_EQ(s.m_stFullCaptureFormat.lineStrides, 1234567);

	ASSERT_TRUE(s.SaveCaptureFormat(f, false, 0));
	EXPECT_EQ(read("etc/enc_full-cap-frame-info-setup.json"), record("3840", "2160", "844187731", "1234567"));
	EXPECT_EQ(s.m_stFullCaptureFormat.FourCC, kSHQ2);

	f.xres = 640;
	f.yres = 360;
	f.line_stride_in_bytes = 45678;
	ASSERT_TRUE(s.SaveCaptureFormat(f, true, 1));  // the preview is shq0 whatever the sampling
	EXPECT_EQ(read("etc/enc_prvw-cap-frame-info-setup.json"), record("640", "360", "812738675", "45678"));
	EXPECT_EQ(s.m_stPrvwCaptureFormat.FourCC, kshq0);
	EXPECT_EQ(s.m_stPrvwCaptureFormat.width, 640);
	// Nothing else is left in the directory (no temporary files).
	EXPECT_EQ(std::distance(fs::directory_iterator(path("etc")), fs::directory_iterator()), 2);
}

TEST_F(StillStoreTest, FormatRecordReadsBackWithOrWithoutLineEnd)
{
	const std::string line = record("3840", "2160", "810633299", "1234567");
	for (const std::string& text : {line, line + "\n"}) {
		write("etc/f.json", text);
		capture_frame_format fmt;
		ASSERT_TRUE(s.ReadCaptureFormat(path("etc/f.json").c_str(), fmt));
		expect_format(fmt, 3840, 2160, kSHQ0, 1234567);
	}

	// Values by position, converted like atoi: blanks skipped, stopped at a non-digit.
	write("etc/g.json", "{\"a\":\" 1280\",\"b\":\"720x\",\"c\":\"844187731\",\"d\":\"99\"}");
	capture_frame_format fmt;
	ASSERT_TRUE(s.ReadCaptureFormat(path("etc/g.json").c_str(), fmt));
	expect_format(fmt, 1280, 720, kSHQ2, 99);

	// A value of 49 characters still fits its field.
	write("etc/h.json", "{\"rez_x\":\"" + std::string(45, '0') + "1920\",\"rez_y\":\"1080\",\"FourCC\":\"844187731\","
	                    "\"line_strides\":\"5\"}");
	ASSERT_TRUE(s.ReadCaptureFormat(path("etc/h.json").c_str(), fmt));
	EXPECT_EQ(fmt.width, 1920);
}

TEST_F(StillStoreTest, MalformedFormatRecordIsRefusedAndChangesNothing)
{
	const std::string fifty(46, '0');
	const std::vector<std::string> bad = {
		"",
		"{\"rez_x\":\"3840\",\"rez_y\":\"2160\",\"FourCC\":\"810633299\"}",  // three values
		"{\"rez_x\":\"3840\" \"rez_y\":\"2160\",\"FourCC\":\"810633299\",\"line_strides\":\"1\"}",  // a ',' missing
		"{\"rez_x\"\"3840\",\"rez_y\":\"2160\",\"FourCC\":\"810633299\",\"line_strides\":\"1\"}",  // a ':' missing
		"3840,2160,810633299,1",
		"x,{\"rez_x\":\"3840\",\"rez_y\":\"2160\",\"FourCC\":\"810633299\",\"line_strides\":\"1\"}",  // ',' first
		record(fifty + "3840", "2160", "810633299", "1"),
		record("3840", "2160", "810633299", fifty + "1234"),
		record("99999999999", "2160", "810633299", "1"),
		record("3840", "2160", "-5", "1"),
		record("3840", "-99999999999", "810633299", "1"),
		record("3840", "2160", "810633299", "3000000000"),
		record("38:40", "2160", "810633299", "1"),  // ':' inside
		"{\"rez_x\":\"3840\",,\"rez_y\":\"2160\",\"FourCC\":\"810633299\",\"line_strides\":\"1\"}",  // ',' twice
		record("3840", "2160", "810,633299", "1"),  // ',' inside
	};
	for (const std::string& text : bad) {
		SCOPED_TRACE(text);
		write("etc/bad.json", text);
		capture_frame_format fmt;
		fmt.width = 11;
		fmt.height = 22;
		fmt.FourCC = kshq0;
		fmt.lineStrides = 33;
		EXPECT_FALSE(s.ReadCaptureFormat(path("etc/bad.json").c_str(), fmt));
		expect_format(fmt, 11, 22, kshq0, 33);
	}
	capture_frame_format fmt;
	EXPECT_FALSE(s.ReadCaptureFormat(path("etc/missing.json").c_str(), fmt));
	EXPECT_FALSE(s.ReadCaptureFormat(nullptr, fmt));
}

// ---------------------------------------------------------------------------------------
// Storing captured frames

TEST_F(StillStoreTest, CaptureWritesFrameAndRecordAndShowsItWhenCapturedFramesAreShown)
{
	std::string full = pattern(5000, 14);
	NDIlib_video_frame_v2_t f = live_frame(1920, 1080, full);

	// Splash shown: files and record change, the buffer does not.
	s.UpdateSplashScreenBuffer(mervane_screen);
	EXPECT_EQ(stdout_of([&] { EXPECT_TRUE(s.SaveSplashScreen(f, false, 0)); }),
	          "captured frame saved in " + path("etc/enc_full_captured_frame.encoded") + ".\n");
	EXPECT_EQ(read("etc/enc_full_captured_frame.encoded"), full);
	EXPECT_EQ(read("etc/enc_full-cap-frame-info-setup.json"), record("1920", "1080", "844187731", "5000"));
	EXPECT_EQ(s.m_nFullSplashScreenBufferSize, 0u);

	// Captured frames shown: a new capture replaces the shown one at once.
	s.UpdateSplashScreenBuffer(captured_frame);
	ASSERT_EQ(buffer(false), full);
	std::string newer = pattern(4444, 15);
	f = live_frame(1920, 1080, newer);
	ASSERT_TRUE(s.SaveSplashScreen(f, false, 0));
	EXPECT_EQ(buffer(false), newer);
	EXPECT_EQ(read("etc/enc_full_captured_frame.encoded"), newer);
	NDIlib_video_frame_v2_t shown;
	EXPECT_TRUE(s.FilleSplashScreenData(shown, false));
	EXPECT_EQ(shown.line_stride_in_bytes, 4444);

	// The preview half has its own files and leaves the full half alone.
	std::string prvw = pattern(777, 16);
	f = live_frame(640, 360, prvw);
	ASSERT_TRUE(s.SaveSplashScreen(f, true, 0));
	EXPECT_EQ(read("etc/enc_prvw_captured_frame.encoded"), prvw);
	EXPECT_EQ(read("etc/enc_prvw-cap-frame-info-setup.json"), record("640", "360", "812738675", "777"));
	EXPECT_EQ(buffer(false), newer);
	EXPECT_EQ(buffer(true), prvw);
}

TEST_F(StillStoreTest, EmptyCaptureIsRefused)
{
	std::string none;
	NDIlib_video_frame_v2_t f = live_frame(1920, 1080, none);
	f.p_data = nullptr;
	EXPECT_FALSE(s.SaveSplashScreen(f, false, 0));
	f.line_stride_in_bytes = 100;  // a size without data
	EXPECT_FALSE(s.SaveSplashScreen(f, false, 0));
	std::string some = pattern(100, 10);
	f = live_frame(1920, 1080, some);
	f.line_stride_in_bytes = -1;
	EXPECT_FALSE(s.SaveSplashScreen(f, false, 0));
	EXPECT_FALSE(fs::exists(path("etc/enc_full_captured_frame.encoded")));
}

TEST_F(StillStoreTest, CaptureIntoAPathUnderARegularFileFailsAndChangesNothing)
{
	// etc is a regular file here, so no file below it can be created, even by root.
	fs::remove_all(path("etc"));
	write("etc", "not a directory");
	std::string bytes = pattern(100, 17);
	NDIlib_video_frame_v2_t f = live_frame(1920, 1080, bytes);
	s.UpdateSplashScreenBuffer(black_screen);
	EXPECT_EQ(stdout_of([&] { EXPECT_FALSE(s.SaveSplashScreen(f, false, 0)); }),
	          path("etc/enc_full_captured_frame.encoded") + " File write failed.\n");
	EXPECT_EQ(s.m_stFullCaptureFormat.lineStrides, 0);
	EXPECT_EQ(s.m_stFullCaptureFormat.FourCC, NDIlib_FourCC_video_type_max);
	EXPECT_FALSE(s.SaveCaptureFormat(f, true, 0));
	EXPECT_EQ(s.m_stPrvwCaptureFormat.lineStrides, 0);
}

// A file size limit makes every write past it fail with EFBIG, as a full disk fails with
// ENOSPC; unlike permissions it also holds for root.
class FileSizeLimit {
public:
	explicit FileSizeLimit(rlim_t bytes)
	{
		old_handler_ = signal(SIGXFSZ, SIG_IGN);
		getrlimit(RLIMIT_FSIZE, &old_);
		struct rlimit lim = old_;
		lim.rlim_cur = bytes;
		ok_ = setrlimit(RLIMIT_FSIZE, &lim) == 0;
	}
	~FileSizeLimit()
	{
		setrlimit(RLIMIT_FSIZE, &old_);
		signal(SIGXFSZ, old_handler_);
	}
	bool ok() const { return ok_; }

private:
	struct rlimit old_ {};
	void (*old_handler_)(int) = SIG_DFL;
	bool ok_ = false;
};

TEST_F(StillStoreTest, FailedWriteKeepsThePreviousCaptureAndTheNextTrySucceeds)
{
	const std::string old_frame = pattern(3000, 18);
	const std::string old_record = record("1920", "1080", "844187731", "3000");
	write("etc/enc_full_captured_frame.encoded", old_frame);
	write("etc/enc_full-cap-frame-info-setup.json", old_record);
	s.UpdateSplashScreenBuffer(captured_frame);
	ASSERT_EQ(buffer(false), old_frame);

	std::string big = pattern(64 * 1024, 19);
	NDIlib_video_frame_v2_t f = live_frame(1920, 1080, big);
	{
		FileSizeLimit limit(16 * 1024);
		ASSERT_TRUE(limit.ok());
		EXPECT_EQ(stdout_of([&] { EXPECT_FALSE(s.SaveSplashScreen(f, false, 0)); }),
		          path("etc/enc_full_captured_frame.encoded") + " File write failed.\n");
	}
	EXPECT_EQ(read("etc/enc_full_captured_frame.encoded"), old_frame);
	EXPECT_EQ(read("etc/enc_full-cap-frame-info-setup.json"), old_record);
	EXPECT_EQ(buffer(false), old_frame);
	EXPECT_EQ(s.m_stFullCaptureFormat.lineStrides, 3000);
	// No half-written file is left beside them.
	std::vector<std::string> names;
	for (const auto& e : fs::directory_iterator(path("etc")))
		names.push_back(e.path().filename().string());
	std::sort(names.begin(), names.end());
	EXPECT_EQ(names, (std::vector<std::string>{"enc_full-cap-frame-info-setup.json", "enc_full_captured_frame.encoded"}));

	// The request stays pending; the next frame is stored once there is room again.
	ASSERT_TRUE(s.SaveSplashScreen(f, false, 0));
	EXPECT_EQ(read("etc/enc_full_captured_frame.encoded"), big);
	EXPECT_EQ(s.m_stFullCaptureFormat.lineStrides, 64 * 1024);
	EXPECT_EQ(buffer(false), big);
}

// Each later step of a save failing in turn (a directory where a file must go, which stops
// even root; a temporary file that is /dev/null, which takes the bytes but cannot be made
// durable): the save fails naming the file, and no temporary file is left behind.
TEST_F(StillStoreTest, EachFailingStepOfASaveLeavesNoTemporaryFile)
{
	const std::string frame_file = "etc/enc_full_captured_frame.encoded";
	const std::string record_file = "etc/enc_full-cap-frame-info-setup.json";
	const struct {
		std::string blocked;  // made a directory, or a link to /dev/null
		std::string named;    // in the failure message
		bool frame_replaced;
		bool null_device;
	} steps[] = {
		{frame_file + ".tmp", frame_file, false, true},    // the frame's fsync fails
		{record_file + ".tmp", record_file, false, true},  // the record's fsync fails
		{record_file + ".tmp", record_file, false, false},  // the record cannot be written
		{frame_file, frame_file, false, false},             // the frame cannot replace its file
		{record_file, record_file, true, false},            // the record cannot replace its file
	};
	std::string bytes = pattern(2000, 20);
	NDIlib_video_frame_v2_t f = live_frame(1920, 1080, bytes);
	for (const auto& step : steps) {
		SCOPED_TRACE(step.blocked);
		fs::remove_all(path("etc"));
		fs::create_directories(path("etc"));
		write(frame_file, "old");
		write(record_file, "old");
		fs::remove(path(step.blocked));
		if (step.null_device)
			fs::create_symlink("/dev/null", path(step.blocked));
		else
			fs::create_directories(path(step.blocked) + "/inside");
		EXPECT_EQ(stdout_of([&] { EXPECT_FALSE(s.SaveSplashScreen(f, false, 0)); }),
		          path(step.named) + " File write failed.\n");
		if (step.blocked != frame_file) {
			EXPECT_EQ(read(frame_file), step.frame_replaced ? bytes : "old");
		}
		if (step.null_device) {
			EXPECT_FALSE(fs::is_symlink(path(step.blocked))) << "the temporary file stays";
			EXPECT_EQ(read(record_file), "old");
		}
		for (const auto& e : fs::directory_iterator(path("etc"))) {
			if (e.path() != fs::path(path(step.blocked))) {
				EXPECT_NE(e.path().extension(), ".tmp") << e.path();
			}
		}
	}
}

// ---------------------------------------------------------------------------------------
// Capture requests, the still choice, text files

TEST_F(StillStoreTest, CaptureRequestIsTakenOnceAndRemoved)
{
	Utils& u = Utils::GetInstance();
	EXPECT_EQ(stdout_of([&] { EXPECT_FALSE(u.CheckCaptureEnable(false)); }), "");

	write("tmp/mervane-enc-cap", "");
	EXPECT_EQ(stdout_of([&] { EXPECT_TRUE(u.CheckCaptureEnable(false)); }), "Capture enable request came \n");
	EXPECT_FALSE(fs::exists(path("tmp/mervane-enc-cap")));
	EXPECT_FALSE(u.CheckCaptureEnable(false));
}

TEST_F(StillStoreTest, ChoiceWordsMapExactly)
{
	Utils& u = Utils::GetInstance();
	const std::pair<const char*, int> words[] = {
		{"delfmv", 1}, {"ddelfmv", 1}, {"MervaneSS", 1}, {"delfbf", 0},    {"ddelfbf", 0},
		{"BlackSS", 0}, {"delfca", 2}, {"ddelfca", 2},   {"CaptureSS", 2},
	};
	for (const auto& w : words) {
		int mode = 99;
		u.GetCaptureMode(w.first, mode);
		EXPECT_EQ(mode, w.second) << w.first;
	}
	for (const char* other : {"blackss", "BlackSS ", "", "Capture", "MervaneSSx"}) {
		int mode = 99;
		u.GetCaptureMode(other, mode);
		EXPECT_EQ(mode, 99) << other;
	}
	int mode = 99;
	u.GetCaptureMode(nullptr, mode);
	EXPECT_EQ(mode, 99);
}

TEST_F(StillStoreTest, TextFileIsReadWithoutLineEnds)
{
	Utils& u = Utils::GetInstance();
	write("etc/t.txt", "ab\ncd\n\nef");
	std::string data;
	EXPECT_TRUE(u.GetFileData(path("etc/t.txt"), data));
	EXPECT_EQ(data, "abcdef");

	write("etc/empty.txt", "\n");
	data.clear();
	EXPECT_EQ(stdout_of([&] { EXPECT_FALSE(u.GetFileData(path("etc/empty.txt"), data)); }),
	          path("etc/empty.txt") + " file read failed.\n");
	data.clear();
	EXPECT_FALSE(u.GetFileData(path("etc/none.txt"), data));
}

// ---------------------------------------------------------------------------------------
// Still sending without a sender

TEST_F(StillStoreTest, StillChoiceIsReloadedEvenWithoutASender)
{
	NdiTransmitter tx;
	write("etc/enc_full_black.encoded", pattern(100, 20));
	write("etc/enc_prvw_black.encoded", pattern(50, 21));
	write("etc/enc_full_still.encoded", pattern(300, 22));
	write("etc/enc_prvw_still.encoded", pattern(30, 23));

	// No key: nothing is reloaded.
	write("etc/mervane-enc1-settings.json", "{\"StreamName\":\"HDMI\"}");
	EXPECT_EQ(stdout_of([&] { EXPECT_FALSE(tx.sentSplashScreen()); }), "NDI sender instance is not valid\n");
	EXPECT_EQ(s.m_eSplashScreenMode, cap_mode_unknown);

	write("etc/mervane-enc1-settings.json", "{\"StreamName\":\"HDMI\",\"ScreenSaverMode\":\"MervaneSS\"}");
	tx.sentSplashScreen();
	EXPECT_EQ(s.m_eSplashScreenMode, mervane_screen);
	EXPECT_EQ(buffer(false), pattern(300, 22));

	// A word the web interface does not use shows black.
	write("etc/mervane-enc1-settings.json", "{\"ScreenSaverMode\":\"blackss\"}");
	tx.sentSplashScreen();
	EXPECT_EQ(s.m_eSplashScreenMode, black_screen);
	EXPECT_EQ(buffer(false), pattern(100, 20));
	EXPECT_EQ(buffer(true), pattern(50, 21));
}

}  // namespace
