// A clip as the HDMI picture, end to end: every program and preview frame the receiver records
// decodes to its source frame, in order; frame sizes follow the rate targets; a recording made
// by run-sim.sh plays back as the clip; and a clip that cannot be read leaves the picture as it was.
#include <gtest/gtest.h>

#include <math.h>
#include <signal.h>
#include <stdio.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "av_support.h"
#include "harness.h"
#include "pattern.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace {

using namespace std::chrono_literals;
using e2e::json;

const auto kBankTimeout = 240s;  // the clip's banks are encoded when the picture is set
// A recording's deadline, short enough (scaled) that a stalled one fails with its output
// before the test's own time runs out.
const auto kRecordTimeout = 60s;

// Sanitized and emulated builds encode and check a shorter clip.
#if defined(VEXO_SANITIZED) || defined(__arm__)
constexpr int kClipFrames = 40;
constexpr int kRecordFrames = 60;
#else
constexpr int kClipFrames = vexo_av::kPatternFrames;
constexpr int kRecordFrames = 120;
#endif

// A picture of a raster and pixel format (planar 4:2:2 unless told), owned.
vexo_av::FramePtr picture(int width, int height, int format = AV_PIX_FMT_YUV422P)
{
	vexo_av::FramePtr f(av_frame_alloc());
	f->format = format;
	f->width = width;
	f->height = height;
	EXPECT_EQ(av_frame_get_buffer(f.get(), 0), 0);
	return f;
}

// Writes the pattern's first kClipFrames frames, lossless (FFV1), as the clip at `path`.
void make_clip(const std::string& path)
{
	const std::string cmd = "ffmpeg -loglevel error -y -f rawvideo -pix_fmt yuv422p -s 1920x1080 -r 60000/1001 "
	                        "-i - -c:v ffv1 " + path;
	FILE* pipe = popen(cmd.c_str(), "w");
	ASSERT_NE(pipe, nullptr);
	vexo_av::FramePtr f = picture(vexo_av::kPatternWidth, vexo_av::kPatternHeight);
	for (int n = 0; n < kClipFrames; ++n) {
		vexo_av::draw_pattern(f.get(), n);
		for (int p = 0; p < 3; ++p) {
			const int w = p == 0 ? f->width : f->width / 2;
			for (int y = 0; y < f->height; ++y)
				fwrite(f->data[p] + y * f->linesize[p], 1, w, pipe);
		}
	}
	ASSERT_EQ(pclose(pipe), 0) << cmd;
}

// Source frame `n` on a raster and pixel format, scaled as the encoder model scales a clip.
vexo_av::FramePtr source_frame(int n, int width, int height, int format)
{
	vexo_av::FramePtr src = picture(vexo_av::kPatternWidth, vexo_av::kPatternHeight);
	vexo_av::draw_pattern(src.get(), n);
	if (width == src->width && height == src->height && format == src->format)
		return src;
	vexo_av::FramePtr out = picture(width, height, format);
	vexo_av::SwsPtr sws(sws_getContext(src->width, src->height, AV_PIX_FMT_YUV422P, width, height,
	                                   static_cast<AVPixelFormat>(format), SWS_BICUBIC, nullptr, nullptr, nullptr));
	sws_scale(sws.get(), src->data, src->linesize, 0, src->height, out->data, out->linesize);
	return out;
}

// PSNR over the three planes of the lines of `a` and `b` from `first` in steps of `step`
// (a field of a 4:2:2 picture, whose chroma has every line).
double psnr(const AVFrame* a, const AVFrame* b, int first = 0, int step = 1)
{
	const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(a->format));
	double sum = 0;
	long count = 0;
	for (int p = 0; p < 3; ++p) {
		const int w = p == 0 ? a->width : AV_CEIL_RSHIFT(a->width, desc->log2_chroma_w);
		const int h = p == 0 ? a->height : AV_CEIL_RSHIFT(a->height, desc->log2_chroma_h);
		for (int y = first; y < h; y += step) {
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

// What a recording of the clip showed: its frames (fields of an interlaced one count once),
// how many moved on by the expected step, and the worst PSNR.
struct Checked {
	int frames = 0;
	int steps = 0;
	double worst = 99;
};

// Checks every frame of a recording of the clip: it carries a number, matches that source
// frame at `min_db` or better (each field on its own when `fields`), and comes after the one
// before it. Frames the receiver did not get are skipped; at these rates none repeats or goes back.
Checked check_recording(const std::string& path, int width, int height, bool fields, int step, double min_db)
{
	Checked c;
	int previous = -1;
	std::map<std::pair<int, int>, vexo_av::FramePtr> refs;  // (number, pixel format)
	for_each_frame(path, [&](const AVFrame* got) {
		ASSERT_EQ(got->width, width);
		ASSERT_EQ(got->height, height);
		const int parts = fields ? 2 : 1;
		for (int field = 0; field < parts; ++field) {
			const int n = vexo_av::pattern_number(got->data[0] + field * got->linesize[0], parts * got->linesize[0],
			                                      got->width, got->height / parts);
			ASSERT_GE(n, 0) << "frame " << c.frames << " field " << field << " carries no number";
			ASSERT_LT(n, kClipFrames);
			vexo_av::FramePtr& want = refs[{n, got->format}];
			if (!want)
				want = source_frame(n, width, height, got->format);
			const double db = psnr(got, want.get(), field, parts);
			EXPECT_GE(db, min_db) << "frame " << c.frames << " (source " << n << ")";
			c.worst = std::min(c.worst, db);
			if (previous >= 0) {
				const int moved = (n - previous + kClipFrames) % kClipFrames;
				EXPECT_TRUE(moved > 0 && moved < kClipFrames / 2) << previous << " then " << n;
				c.steps += moved == step;
			}
			previous = n;
		}
		++c.frames;
	});
	printf("%s: %d frames, worst PSNR %.1f dB\n", path.c_str(), c.frames, c.worst);
	return c;
}

// A sysroot holding the clip, with the appliance showing it from its bank cache there.
struct ClipRun {
	e2e::Sysroot root;
	std::string clip = root.path("clip.mkv");
	std::map<std::string, std::string> env = {{"VEXO_PICTURE_CACHE", root.path("cache")}};
	ClipRun() { make_clip(clip); }
	// Sets the picture to the clip and waits for its banks; false (test failed) when refused.
	bool show(e2e::Sim& sim) const
	{
		sim.control("picture", "clip " + clip);
		std::optional<json> set = sim.wait_for_event(
			[](const json& e) { return e.value("dev", "") == "encoder" && e.contains("picture"); }, kBankTimeout);
		EXPECT_TRUE(set) << sim.output();
		EXPECT_FALSE(set && set->contains("error")) << set->dump();
		return set && !set->contains("error");
	}
};

struct Format {
	const char* hdmi;
	int width, height;
	bool fields;
	int step;  // clip frames a program frame (a field) usually moves on
};

class PictureE2E : public ::testing::TestWithParam<Format> {};

TEST_P(PictureE2E, EveryProgramAndPreviewFrameDecodesToItsSourceFrameInOrder)
{
	const Format f = GetParam();
	ClipRun run;
	e2e::Sim sim(run.root, f.hdmi, run.env);
	ASSERT_TRUE(run.show(sim));
	// --frames counts both streams' frames.
	const std::string program = run.root.path("program.nut"), preview = run.root.path("preview.nut");
	e2e::Rx rec(run.root, {"--record", program, "--frames", std::to_string(kRecordFrames)});
	ASSERT_TRUE(rec.wait_for_event(e2e::event_is("recorded"), kRecordTimeout)) << rec.output() << sim.output();
	e2e::Rx prv(run.root, {"--record", preview, "--stream", "preview", "--frames", std::to_string(kRecordFrames)});
	ASSERT_TRUE(prv.wait_for_event(e2e::event_is("recorded"), kRecordTimeout)) << prv.output() << sim.output();

	const Checked c = check_recording(program, f.width, f.height, f.fields, f.step, 35.0);
	EXPECT_GE(c.frames, kRecordFrames / 4);
	// The preview is the same picture at 640x360, a frame of the clip per field of an interlaced format.
	const Checked p = check_recording(preview, 640, 360, false, f.fields ? 1 : f.step, 30.0);
	EXPECT_GE(p.frames, kRecordFrames / 4);
	EXPECT_TRUE(e2e::stops_cleanly(sim));
	// Frames move on by the rate conversion's step; each frame dropped on the way (for a slow
	// receiver, or by the program's queue bound, as under a sanitizer) lengthens one move.
	long dropped = rec.dropped("program");
	for (const json& e : sim.events())
		if (e.value("dev", "") == "encoder" && e.contains("bound_drops"))
			dropped += e["bound_drops"][0].get<long>();
	EXPECT_GE(c.steps + dropped, c.frames / 2)
		<< c.steps << " of " << c.frames << " frames moved on by " << f.step << ", " << dropped << " dropped";
}

// With a clip, frames follow the program's targets: at Auto the finest frames are stuffed up to
// the target, and at a manual rate below them a coarser quantiser serves.
TEST(PictureE2E, FrameSizesFollowTheTargetsAtAutoAndAtAManualRate)
{
	ClipRun run;
	e2e::Sim sim(run.root, "1080p59.94", run.env);
	ASSERT_TRUE(run.show(sim));
	e2e::Rx rx(run.root, {"--wait", "20"});
	// The quality bytes of 20 program frames in a row within 10 % of the target, from line `from`
	// on, while every preview frame beside them is within 10 % of its own target. Frames made
	// before a new target may still be on their way, more of them in a sanitized build, so the
	// run is awaited rather than counted from a fixed line.
	auto expect_at_target = [&](size_t from, long target) {
		std::vector<json> in_a_row;
		size_t start = from, end = from;
		const bool found = rx.wait_for(
			[&](const std::vector<std::string>& lines) {
				in_a_row.clear();
				for (end = from; end < lines.size() && in_a_row.size() < 20; ++end) {
					const json e = json::parse(lines[end], nullptr, false);
					if (!e2e::is_program_frame(e))
						continue;
					if (in_a_row.empty())
						start = end;
					if (e2e::near_target(e, target))
						in_a_row.push_back(e);
					else
						in_a_row.clear();
				}
				return in_a_row.size() >= 20;
			},
			30s);
		// start and end index the receiver's lines, not its parsed events.
		const std::vector<std::string> lines = rx.lines();
		auto event_at = [&](size_t i) { return json::parse(lines[i], nullptr, false); };
		if (!found) {
			std::string sizes;
			for (size_t i = from; i < lines.size(); ++i)
				if (const json e = event_at(i); e2e::is_program_frame(e))
					sizes += " " + std::to_string(e.value("size", 0L));
			ADD_FAILURE() << "no 20 program frames in a row within 10 % of " << target << ":" << sizes;
		}
		const long preview_target = e2e::last_request(sim.events(), 6);
		for (size_t i = start; i < end; ++i)
			if (const json e = event_at(i); e2e::is_preview_frame(e) && !e2e::near_target(e, preview_target))
				ADD_FAILURE() << "preview not within 10 % of " << preview_target << ": " << e.dump();
		std::set<long> quality;
		for (const json& e : in_a_row)
			quality.insert(strtol(e.value("head", "").substr(0, 2).c_str(), nullptr, 16));
		return quality;
	};
	// The settings thread requests the targets once a second.
	ASSERT_TRUE(sim.wait_for_event([](const json& e) { return e.value("req", -1) == 5; }, 15s));
	const std::set<long> automatic = expect_at_target(rx.lines().size(), e2e::last_request(sim.events(), 5));

	// Manual 60 Mbit/s at 59 frames a second: below the clip's finest frames, above its coarsest.
	std::string settings = e2e::enc_settings_with("\"Auto\"", "\"Manual\"");
	settings = e2e::enc_settings_with("\"BandwidthSelect\":\"100\"", "\"BandwidthSelect\":\"60\"", settings);
	const long manual = static_cast<long>(60 * 125000.0f / 59);
	run.root.write("etc/mervane-enc1-settings.json", settings);
	ASSERT_TRUE(sim.wait_for_event([&](const json& e) { return e.value("req", -1) == 5 && e.value("arg", -1L) == manual; },
	                               15s));
	const std::set<long> coarser = expect_at_target(rx.lines().size(), manual);
	ASSERT_FALSE(automatic.empty());
	ASSERT_FALSE(coarser.empty());
	EXPECT_LT(*coarser.rbegin(), *automatic.begin()) << "a lower quality byte is a coarser quantiser";
	EXPECT_TRUE(e2e::stops_cleanly(sim));
}

// scripts/run-sim.sh --picture CLIP --record FILE, stopped with Ctrl-C: the recording plays
// back as the clip.
TEST(PictureE2E, RunSimRecordingOfAClipDecodesToTheClip)
{
	if (!e2e::enter_netns())
		GTEST_SKIP() << "no private network namespace here";
	ClipRun run;
	const std::string recording = run.root.path("run-sim.mkv");
	std::map<std::string, std::string> env = run.env;
	env["VEXO_SIM_BUILD"] = VEXO_BUILD_DIR;
	// setsid: the script leads a process group of its own, as in a terminal.
	e2e::Process script({"/usr/bin/setsid", "bash", VEXO_SOURCE_DIR "/scripts/run-sim.sh", "--picture", run.clip,
	                     "--record", recording},
	                    env);
	// The receiver's summary each second counts the program frames so far.
	const bool recorded = script.wait_for(
		[](const std::vector<std::string>& lines) {
			for (const std::string& line : lines) {
				const size_t at = line.rfind(" frames");
				if (line.rfind("[vexo-rx] program ", 0) == 0 && at != std::string::npos && at + 7 == line.size() &&
				    atol(line.c_str() + line.rfind(' ', at - 1) + 1) >= kRecordFrames / 2)
					return true;
			}
			return false;
		},
		kBankTimeout);
	ASSERT_EQ(kill(-script.pid(), SIGINT), 0);
	ASSERT_EQ(script.wait_exit(30s), 0) << script.output();
	script.finish_output();
	ASSERT_TRUE(recorded) << script.output();
	const Checked c = check_recording(recording, 1920, 1080, false, 1, 35.0);
	EXPECT_GE(c.frames, kRecordFrames / 2) << script.output();
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
	ASSERT_TRUE(rec.wait_for_event(e2e::event_is("recorded"), kRecordTimeout)) << rec.output() << sim.output();
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
