// A clip as the HDMI picture, end to end: every program frame the receiver records decodes to
// its source frame, in order; and a clip that cannot be read leaves the picture as it was.
#include <gtest/gtest.h>

#include <math.h>
#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "av_support.h"
#include "harness.h"
#include "pattern.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

namespace {

using namespace std::chrono_literals;
using e2e::json;

const auto kBankTimeout = 240s;  // the clip's banks are encoded when the picture is set

// A planar 4:2:2 picture of a raster, owned.
vexo_av::FramePtr picture(int width, int height)
{
	vexo_av::FramePtr f(av_frame_alloc());
	f->format = AV_PIX_FMT_YUV422P;
	f->width = width;
	f->height = height;
	EXPECT_EQ(av_frame_get_buffer(f.get(), 0), 0);
	return f;
}

// Writes the pattern's frames, lossless (FFV1), as the clip at `path`.
void make_clip(const std::string& path)
{
	const std::string cmd = "ffmpeg -loglevel error -y -f rawvideo -pix_fmt yuv422p -s 1920x1080 -r 60000/1001 "
	                        "-i - -c:v ffv1 " + path;
	FILE* pipe = popen(cmd.c_str(), "w");
	ASSERT_NE(pipe, nullptr);
	vexo_av::FramePtr f = picture(vexo_av::kPatternWidth, vexo_av::kPatternHeight);
	for (int n = 0; n < vexo_av::kPatternFrames; ++n) {
		vexo_av::draw_pattern(f.get(), n);
		for (int p = 0; p < 3; ++p) {
			const int w = p == 0 ? f->width : f->width / 2;
			for (int y = 0; y < f->height; ++y)
				fwrite(f->data[p] + y * f->linesize[p], 1, w, pipe);
		}
	}
	ASSERT_EQ(pclose(pipe), 0) << cmd;
}

// Source frame `n` on the format's raster, scaled as the encoder model scales a clip.
vexo_av::FramePtr source_frame(int n, int width, int height)
{
	vexo_av::FramePtr src = picture(vexo_av::kPatternWidth, vexo_av::kPatternHeight);
	vexo_av::draw_pattern(src.get(), n);
	if (width == src->width && height == src->height)
		return src;
	vexo_av::FramePtr out = picture(width, height);
	vexo_av::SwsPtr sws(sws_getContext(src->width, src->height, AV_PIX_FMT_YUV422P, width, height, AV_PIX_FMT_YUV422P,
	                                   SWS_BICUBIC, nullptr, nullptr, nullptr));
	sws_scale(sws.get(), src->data, src->linesize, 0, src->height, out->data, out->linesize);
	return out;
}

// PSNR over the three planes of the lines of `a` and `b` from `first` in steps of `step`.
double psnr(const AVFrame* a, const AVFrame* b, int first = 0, int step = 1)
{
	double sum = 0;
	long count = 0;
	for (int p = 0; p < 3; ++p) {
		const int w = p == 0 ? a->width : a->width / 2;
		for (int y = first; y < a->height; y += step) {
			const uint8_t* ra = a->data[p] + y * a->linesize[p];
			const uint8_t* rb = b->data[p] + y * b->linesize[p];
			for (int x = 0; x < w; ++x) {
				const int d = ra[x] - rb[x];
				sum += d * d;
			}
			count += w;
		}
	}
	return sum == 0 ? 99.0 : 10 * log10(255.0 * 255.0 * static_cast<double>(count) / sum);
}

// Calls `each` with every video frame of a recording, decoded.
void for_each_frame(const std::string& path, const std::function<void(const AVFrame*)>& each)
{
	AVFormatContext* raw = nullptr;
	ASSERT_EQ(avformat_open_input(&raw, path.c_str(), nullptr, nullptr), 0) << path;
	std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> in(raw, [](AVFormatContext* f) { avformat_close_input(&f); });
	ASSERT_GE(avformat_find_stream_info(raw, nullptr), 0);
	const AVCodec* codec = nullptr;
	const int stream = av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
	ASSERT_GE(stream, 0);
	vexo_av::CodecPtr ctx(avcodec_alloc_context3(codec));
	ASSERT_GE(avcodec_parameters_to_context(ctx.get(), raw->streams[stream]->codecpar), 0);
	ASSERT_EQ(avcodec_open2(ctx.get(), codec, nullptr), 0);
	vexo_av::PacketPtr pkt(av_packet_alloc());
	vexo_av::FramePtr frame(av_frame_alloc());
	while (av_read_frame(raw, pkt.get()) >= 0) {
		if (pkt->stream_index == stream && avcodec_send_packet(ctx.get(), pkt.get()) == 0)
			while (avcodec_receive_frame(ctx.get(), frame.get()) == 0)
				each(frame.get());
		av_packet_unref(pkt.get());
	}
}

struct Format {
	const char* hdmi;
	int width, height;
	bool fields;
	int step;  // clip frames a program frame (a field) usually moves on
};

class PictureE2E : public ::testing::TestWithParam<Format> {};

TEST_P(PictureE2E, EveryProgramFrameDecodesToItsSourceFrameInOrder)
{
	const Format f = GetParam();
	e2e::Sysroot root;
	const std::string clip = root.path("clip.mkv");
	make_clip(clip);
	e2e::Sim sim(root, f.hdmi, {{"VEXO_PICTURE_CACHE", root.path("cache")}});
	sim.control("picture", "clip " + clip);
	std::optional<json> set = sim.wait_for_event(
		[](const json& e) { return e.value("dev", "") == "encoder" && e.contains("picture"); }, kBankTimeout);
	ASSERT_TRUE(set) << sim.output();
	ASSERT_FALSE(set->contains("error")) << set->dump();
	const std::string recording = root.path("rec.nut");
	e2e::Rx rec(root, {"--record", recording, "--frames", "120"});  // program and preview frames
	ASSERT_TRUE(rec.wait_for_event(e2e::event_is("recorded"), 120s)) << rec.output();

	int frames = 0, previous = -1, steps = 0;
	std::vector<vexo_av::FramePtr> refs(vexo_av::kPatternFrames);
	auto ref = [&](int n) -> const AVFrame* {
		if (!refs[n])
			refs[n] = source_frame(n, f.width, f.height);
		return refs[n].get();
	};
	for_each_frame(recording, [&](const AVFrame* got) {
		ASSERT_EQ(got->width, f.width);
		ASSERT_EQ(got->height, f.height);
		// Each field of an interlaced frame is a frame of the clip of its own.
		for (int field = 0; field < (f.fields ? 2 : 1); ++field) {
			const int step = f.fields ? 2 : 1;
			const int n = vexo_av::pattern_number(got->data[0] + field * got->linesize[0], step * got->linesize[0],
			                                      got->width, got->height / step);
			ASSERT_GE(n, 0) << "frame " << frames << " field " << field << " carries no number";
			ASSERT_LT(n, vexo_av::kPatternFrames);
			const AVFrame* want = ref(n);
			EXPECT_GE(psnr(got, want, field, step), 35.0) << "frame " << frames << " (source " << n << ")";
			if (previous >= 0) {
				// Frames the receiver did not get are skipped; at these rates none repeats or goes back.
				const int moved = (n - previous + vexo_av::kPatternFrames) % vexo_av::kPatternFrames;
				EXPECT_TRUE(moved > 0 && moved < vexo_av::kPatternFrames / 2) << previous << " then " << n;
				steps += moved == f.step;
			}
			previous = n;
		}
		++frames;
	});
	EXPECT_GE(frames, 30);  // a second of frames at the slowest of the formats
	EXPECT_GE(steps, frames / 2) << "frames move on by " << f.step << " clip frames at this rate";
	EXPECT_TRUE(e2e::stops_cleanly(sim));
}

TEST(PictureE2E, UnreadableClipIsAnErrorEventAndThePictureStays)
{
	e2e::Sysroot root;
	root.write("not-a-clip.mkv", "text\n");
	e2e::Sim sim(root, "1080p59.94", {{"VEXO_PICTURE_CACHE", root.path("cache")}});
	auto picture_event = [&](bool error) {
		return sim.wait_for_event(
			[&](const json& e) {
				return e.value("dev", "") == "encoder" && e.contains("picture") && e.contains("error") == error;
			},
			kBankTimeout);
	};
	sim.control("picture", "pattern");
	std::optional<json> set = picture_event(false);
	ASSERT_TRUE(set) << sim.output();
	sim.control("picture", "clip " + root.path("not-a-clip.mkv"));
	std::optional<json> refused = picture_event(true);
	ASSERT_TRUE(refused) << sim.output();
	EXPECT_EQ(refused->value("picture", ""), "clip " + root.path("not-a-clip.mkv"));
	EXPECT_NE(refused->value("error", "").find("not-a-clip.mkv"), std::string::npos) << refused->dump();

	const std::string recording = root.path("rec.nut");
	e2e::Rx rec(root, {"--record", recording, "--frames", "20"});
	ASSERT_TRUE(rec.wait_for_event(e2e::event_is("recorded"), 120s)) << rec.output();
	int frames = 0;
	for_each_frame(recording, [&](const AVFrame* got) {
		EXPECT_GE(vexo_av::pattern_number(got->data[0], got->linesize[0], got->width, got->height), 0);
		++frames;
	});
	EXPECT_GT(frames, 0);
	EXPECT_TRUE(e2e::stops_cleanly(sim));
}

INSTANTIATE_TEST_SUITE_P(Formats, PictureE2E,
                         ::testing::Values(Format{"1080p59.94", 1920, 1080, false, 1},
                                           Format{"1080i59.94", 1920, 1080, true, 1},
                                           Format{"2160p30", 3840, 2160, false, 2}),
                         [](const ::testing::TestParamInfo<Format>& param) {
	                         std::string name = param.param.hdmi;
	                         std::replace(name.begin(), name.end(), '.', '_');
	                         return name;
                         });

}  // namespace
