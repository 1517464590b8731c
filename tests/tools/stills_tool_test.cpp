// Tests of vexo-still: its frames pass the frame path's header check and decode to the picture.
#include <gtest/gtest.h>

#include <limits.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/macros.h>
}

#include "av_support.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

// The tool beside this test binary in the build tree (tools/ next to tests/).
std::string still_tool()
{
#ifdef VEXO_STILL_BIN
	return VEXO_STILL_BIN;
#else
	char self[PATH_MAX];
	ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
	if (n <= 0)
		return "";
	self[n] = '\0';
	return (fs::path(self).parent_path().parent_path() / "tools" / "vexo-still").string();
#endif
}

int run(const std::string& command)
{
	int status = system((command + " >/dev/null 2>&1").c_str());
	return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<uint8_t> read_bytes(const std::string& path)
{
	std::ifstream in(path, std::ios::binary);
	return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct Rgb {
	int r, g, b;
};

// Limited-range Y'CbCr of an RGB colour in the matrix with luma weights kr, kb.
struct Yuv {
	double y, u, v;
};
Yuv to_yuv(Rgb c, double kr, double kb)
{
	const double kg = 1.0 - kr - kb;
	const double y = kr * c.r + kg * c.g + kb * c.b;
	return {16.0 + 219.0 * y / 255.0, 128.0 + 224.0 * (c.b - y) / (2.0 * (1.0 - kb)) / 255.0,
	        128.0 + 224.0 * (c.r - y) / (2.0 * (1.0 - kr)) / 255.0};
}
Yuv bt709(Rgb c)
{
	return to_yuv(c, 0.2126, 0.0722);
}
Yuv bt601(Rgb c)
{
	return to_yuv(c, 0.299, 0.114);
}

using Frame = vexo_av::FramePtr;

// Decodes one still with libavcodec's SpeedHQ decoder, as a receiver does.
Frame decode_speedhq(const std::vector<uint8_t>& data, int width, int height, uint32_t tag)
{
	return vexo_av::decode_one(AV_CODEC_ID_SPEEDHQ, data.data(), data.size(), width, height, tag);
}

// Writes an RGB picture as PNG with libavcodec's PNG encoder.
bool write_png(const std::string& path, int width, int height, const std::function<Rgb(int, int)>& pixel)
{
	const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
	if (codec == nullptr)
		return false;
	AVCodecContext* ctx = avcodec_alloc_context3(codec);
	ctx->width = width;
	ctx->height = height;
	ctx->pix_fmt = AV_PIX_FMT_RGB24;
	ctx->time_base = AVRational{1, 1};
	Frame frame(av_frame_alloc());
	frame->width = width;
	frame->height = height;
	frame->format = AV_PIX_FMT_RGB24;
	AVPacket* pkt = av_packet_alloc();
	bool ok = avcodec_open2(ctx, codec, nullptr) == 0 && av_frame_get_buffer(frame.get(), 0) == 0;
	if (ok) {
		for (int y = 0; y < height; y++) {
			for (int x = 0; x < width; x++) {
				Rgb c = pixel(x, y);
				uint8_t* p = frame->data[0] + y * frame->linesize[0] + x * 3;
				p[0] = static_cast<uint8_t>(c.r);
				p[1] = static_cast<uint8_t>(c.g);
				p[2] = static_cast<uint8_t>(c.b);
			}
		}
		ok = avcodec_send_frame(ctx, frame.get()) == 0 && avcodec_receive_packet(ctx, pkt) == 0;
	}
	if (ok)
		std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(pkt->data), pkt->size);
	av_packet_free(&pkt);
	avcodec_free_context(&ctx);
	return ok;
}

// Mean of a plane over a square of 2r+1 samples around (x, y), given in luma coordinates.
double sample(const AVFrame* f, int plane, int x, int y, int r = 3)
{
	int sx = x;
	int sy = y;
	if (plane > 0) {
		sx = x / 2;
		if (f->format == AV_PIX_FMT_YUV420P)
			sy = y / 2;
	}
	double sum = 0;
	int n = 0;
	for (int dy = -r; dy <= r; dy++) {
		for (int dx = -r; dx <= r; dx++) {
			sum += f->data[plane][(sy + dy) * f->linesize[plane] + sx + dx];
			n++;
		}
	}
	return sum / n;
}

// Within 2.5 of the luma and 3 of each chroma value by default.
void expect_colour(const AVFrame* f, int x, int y, Yuv want, double tol_y = 2.5, double tol_c = 3.0)
{
	EXPECT_NEAR(sample(f, 0, x, y), want.y, tol_y) << "luma at " << x << "," << y;
	EXPECT_NEAR(sample(f, 1, x, y), want.u, tol_c) << "Cb at " << x << "," << y;
	EXPECT_NEAR(sample(f, 2, x, y), want.v, tol_c) << "Cr at " << x << "," << y;
}

class StillToolTest : public ::testing::Test {
protected:
	void SetUp() override
	{
		tool_ = still_tool();
		if (tool_.empty() || access(tool_.c_str(), X_OK) != 0)
			GTEST_SKIP() << "vexo-still not built at " << tool_;
	}

	// Reads one output file, checks the frame path's header rule and the buffer capacity,
	// and decodes it.
	Frame load(const std::string& name, int width, int height, uint32_t tag, size_t capacity)
	{
		std::vector<uint8_t> data = read_bytes(dir_ + "/" + name);
		EXPECT_GE(data.size(), 4u) << name;
		EXPECT_LT(data.size(), capacity) << name;
		if (data.size() < 4)
			return nullptr;
		EXPECT_LE(data[0], 99) << name;
		EXPECT_EQ(data[1], 4) << name;
		EXPECT_EQ(data[2], 0) << name;
		EXPECT_EQ(data[3], 0) << name;
		Frame f = decode_speedhq(data, width, height, tag);
		EXPECT_TRUE(f) << name << " does not decode";
		if (f) {
			EXPECT_EQ(f->width, width);
			EXPECT_EQ(f->height, height);
			EXPECT_EQ(f->format, tag == MKTAG('S', 'H', 'Q', '2') ? AV_PIX_FMT_YUV422P : AV_PIX_FMT_YUV420P);
		}
		return f;
	}

	std::string tool_;
	testcommon::TempDir tmp_{"vexo-still-test"};
	const std::string dir_ = tmp_.path();
};

const uint32_t kTag422 = MKTAG('S', 'H', 'Q', '2');
const uint32_t kTag420 = MKTAG('S', 'H', 'Q', '0');

TEST_F(StillToolTest, PictureBecomesASplashPairThatDecodesBackToIt)
{
	// Twelve flat patches on a 960x540 picture, which the tool scales to both rasters.
	const Rgb patches[12] = {
		{0, 0, 0},     {255, 255, 255}, {128, 128, 128}, {200, 30, 40},   {20, 180, 60},  {40, 60, 220},
		{240, 220, 0}, {0, 200, 210},   {210, 0, 200},   {90, 60, 30},    {60, 60, 60},   {230, 160, 120},
	};
	auto pixel = [&](int x, int y) { return patches[(y / 180) * 4 + x / 240]; };
	ASSERT_TRUE(write_png(dir_ + "/in.png", 960, 540, pixel));
	ASSERT_EQ(run(tool_ + " " + dir_ + "/in.png --out " + dir_), 0);

	Frame full = load("enc_full_still.encoded", 1920, 1080, kTag422, 17694720);
	Frame prvw = load("enc_prvw_still.encoded", 640, 360, kTag420, 460800);
	ASSERT_TRUE(full && prvw);
	for (int i = 0; i < 12; i++) {
		SCOPED_TRACE(i);
		const int cx = (i % 4) * 240 + 120;
		const int cy = (i / 4) * 180 + 90;
		expect_colour(full.get(), cx * 2, cy * 2, bt709(patches[i]));
		expect_colour(prvw.get(), cx * 2 / 3, cy * 2 / 3, bt601(patches[i]));
	}
}

TEST_F(StillToolTest, BlackPairIsBlackEverywhere)
{
	ASSERT_EQ(run(tool_ + " --black --out " + dir_), 0);
	EXPECT_FALSE(fs::exists(dir_ + "/enc_full_still.encoded"));
	Frame full = load("enc_full_black.encoded", 1920, 1080, kTag422, 17694720);
	Frame prvw = load("enc_prvw_black.encoded", 640, 360, kTag420, 460800);
	ASSERT_TRUE(full && prvw);
	for (const AVFrame* f : {full.get(), prvw.get()}) {
		int worst = 0;
		for (int plane = 0; plane < 3; plane++) {
			const int w = plane ? f->width / 2 : f->width;
			const int h = plane && f->format == AV_PIX_FMT_YUV420P ? f->height / 2 : f->height;
			const int want = plane ? 128 : 16;
			for (int y = 0; y < h; y++)
				for (int x = 0; x < w; x++)
					worst = std::max(worst, std::abs(f->data[plane][y * f->linesize[plane] + x] - want));
		}
		EXPECT_LE(worst, 1) << f->width << "x" << f->height;
	}
}

TEST_F(StillToolTest, TestCardShowsBarsRampAndLettering)
{
	ASSERT_EQ(run(tool_ + " --test-card --out " + dir_), 0);
	Frame full = load("enc_full_still.encoded", 1920, 1080, kTag422, 17694720);
	Frame prvw = load("enc_prvw_still.encoded", 640, 360, kTag420, 460800);
	ASSERT_TRUE(full && prvw);

	struct Probe {
		double fx, fy;  // position as fractions of width and height
		Rgb colour;
	};
	const Probe probes[] = {
		{1.0 / 14, 0.3, {191, 191, 191}},  {3.0 / 14, 0.3, {191, 191, 0}}, {5.0 / 14, 0.3, {0, 191, 191}},
		{7.0 / 14, 0.3, {0, 191, 0}},      {9.0 / 14, 0.3, {191, 0, 191}}, {11.0 / 14, 0.3, {191, 0, 0}},
		{13.0 / 14, 0.3, {0, 0, 191}},     {1.0 / 16, 0.64, {0, 0, 0}},    {7.0 / 16, 0.64, {109, 109, 109}},
		{15.0 / 16, 0.64, {255, 255, 255}},
		// Middle of the plate behind the lettering, between the E and the X: black.
		{0.5, 0.85, {0, 0, 0}},
	};
	for (const Probe& p : probes) {
		SCOPED_TRACE(testing::Message() << p.fx << "," << p.fy);
		expect_colour(full.get(), static_cast<int>(p.fx * 1920), static_cast<int>(p.fy * 1080), bt709(p.colour));
		expect_colour(prvw.get(), static_cast<int>(p.fx * 640), static_cast<int>(p.fy * 360), bt601(p.colour));
	}
	// The stem of the V: white, one block cell (24 lines) wide, in the plate's first column.
	const int cell = 1080 / 45;
	const int text_x = (1920 - 23 * cell) / 2;
	const int text_y = 756 + (1080 - 756 - 7 * cell) / 2;
	EXPECT_NEAR(sample(full.get(), 0, text_x + cell / 2, text_y + cell * 3 / 2, 2), 235, 3);
	EXPECT_NEAR(sample(full.get(), 0, text_x + cell * 3 / 2, text_y + cell * 3 / 2, 2), 16, 3);
}

TEST_F(StillToolTest, UnreadableInputWritesNothing)
{
	std::ofstream(dir_ + "/bad.png") << "not a picture";
	EXPECT_NE(run(tool_ + " " + dir_ + "/bad.png --out " + dir_), 0);
	EXPECT_NE(run(tool_ + " " + dir_ + "/missing.png --out " + dir_), 0);
	EXPECT_NE(run(tool_ + " --black"), 0);  // no output directory
	EXPECT_FALSE(fs::exists(dir_ + "/enc_full_still.encoded"));
	EXPECT_FALSE(fs::exists(dir_ + "/enc_prvw_still.encoded"));
}

}  // namespace
