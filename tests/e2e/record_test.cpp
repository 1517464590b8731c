// vexo-rx --record end to end: recordings of the virtual appliance's stream as standard players
// read them (ffprobe, ffmpeg), the live view on a pipe, and recordings cut off.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using namespace std::chrono_literals;
using e2e::json;

const auto kStartTimeout = 30s;  // start-up, a one-second pause, a first bank encode

const char kFfprobe[] = "/usr/bin/ffprobe";  // Debian package ffmpeg
const char kFfmpeg[] = "/usr/bin/ffmpeg";

// Waits until the running encode sends (the start-up still comes alone, well before).
bool encoding(e2e::Rx& warm)
{
	return warm.wait_for([&](const std::vector<std::string>&) { return warm.count(e2e::is_program_frame) >= 5; }, kStartTimeout);
}

// ffprobe's streams of a file, with their packets counted.
json probe_streams(const std::string& path)
{
	e2e::RunResult r = e2e::run({kFfprobe, "-v", "error", "-count_packets", "-show_entries",
	                             "stream=codec_name,codec_type,width,height,field_order,sample_rate,channels,"
	                             "nb_read_packets",
	                             "-of", "json", path});
	EXPECT_EQ(r.status, 0) << r.out;
	json j = json::parse(r.out, nullptr, false);
	return j.is_object() && j.contains("streams") ? j["streams"] : json::array();
}

json stream_of(const json& streams, const std::string& type)
{
	for (const json& s : streams)
		if (s.value("codec_type", "") == type)
			return s;
	return json::object();
}

// The presentation times of the video packets, in seconds.
std::vector<double> video_times(const std::string& path)
{
	e2e::RunResult r = e2e::run({kFfprobe, "-v", "error", "-select_streams", "v", "-show_entries",
	                             "packet=pts_time", "-of", "csv=p=0", path});
	std::vector<double> out;
	size_t pos = 0;
	while (pos < r.out.size()) {
		size_t end = r.out.find('\n', pos);
		out.push_back(atof(r.out.substr(pos, end - pos).c_str()));
		pos = end == std::string::npos ? r.out.size() : end + 1;
	}
	return out;
}

// Every packet decodes without an error.
bool decodes(const std::string& path)
{
	return e2e::run({kFfmpeg, "-v", "error", "-xerror", "-i", path, "-f", "null", "-"}).status == 0;
}

std::vector<uint8_t> rgb_of(const std::string& input, const std::string& out)
{
	e2e::run({kFfmpeg, "-v", "error", "-y", "-i", input, "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "rgb24", out});
	std::ifstream f(out, std::ios::binary);
	return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

struct Format {
	const char* hdmi;
	const char* field_order;
	double rate;  // frames (field pairs) per second
};

class RecordTest : public ::testing::TestWithParam<Format> {
protected:
	void SetUp() override
	{
		if (access(kFfprobe, X_OK) != 0 || access(kFfmpeg, X_OK) != 0)
			GTEST_SKIP() << "ffprobe and ffmpeg (Debian package ffmpeg) are not installed";
	}
	e2e::Sysroot root_;
};

TEST_P(RecordTest, PlayersReadWhatWasReceived)
{
	const Format& fmt = GetParam();
	e2e::Sim sim(root_, fmt.hdmi);
	// Record from the running encode on, not from the start-up still.
	e2e::Rx warm(root_);
	ASSERT_TRUE(encoding(warm)) << sim.output();
	std::string file = root_.path("rec.mkv");
	// A count of frames, not a time: a slow build's receiver gets fewer frames a second.
	e2e::Rx rec(root_, {"--record", file, "--frames", "72", "--snapshot", root_.path("snap")});
	ASSERT_EQ(rec.wait_exit(20s), 0) << rec.output();
	std::optional<json> done = rec.wait_for_event(e2e::event_is("recorded"), 1s);
	ASSERT_TRUE(done) << rec.output();
	int64_t frames = (*done)["frames"].get<int64_t>();
	double duration = (*done)["duration"].get<double>();
	ASSERT_GT(frames, 10);

	json streams = probe_streams(file);
	json v = stream_of(streams, "video");
	EXPECT_EQ(v.value("codec_name", ""), "speedhq");
	EXPECT_EQ(v.value("width", 0), 1920);
	EXPECT_EQ(v.value("height", 0), 1080);
	EXPECT_EQ(v.value("field_order", ""), fmt.field_order);
	int64_t packets = atoll(v.value("nb_read_packets", "0").c_str());
	EXPECT_LE(llabs(packets - frames), 1) << "recorded " << frames;
	std::vector<double> times = video_times(file);
	ASSERT_FALSE(times.empty());
	double span = times.back() - times.front() + 1.0 / fmt.rate;
	EXPECT_NEAR(span, duration, 1.0 / fmt.rate + 0.002) << "frames at 1 ms resolution in Matroska";
	json a = stream_of(streams, "audio");
	EXPECT_EQ(a.value("sample_rate", ""), "48000");
	EXPECT_EQ(a.value("channels", 0), 2);
	EXPECT_GT(atoll(a.value("nb_read_packets", "0").c_str()), 0);
	EXPECT_TRUE(decodes(file));

	if (std::string(fmt.field_order) == "progressive") {
		// The receiver's snapshot is the first frame received, as the recording's first is.
		std::vector<uint8_t> rec_rgb = rgb_of(file, root_.path("first.rgb"));
		std::vector<uint8_t> snap_rgb = rgb_of(root_.path("snap-program.png"), root_.path("snap.rgb"));
		ASSERT_EQ(rec_rgb.size(), size_t{1920} * 1080 * 3);
		ASSERT_EQ(snap_rgb.size(), rec_rgb.size());
		double diff = 0;
		for (size_t i = 0; i < rec_rgb.size(); ++i)
			diff += abs(int(rec_rgb[i]) - int(snap_rgb[i]));
		EXPECT_LT(diff / rec_rgb.size(), 2.0) << "mean difference per sample (two RGB conversions)";
	}
	sim.stop();
}

INSTANTIATE_TEST_SUITE_P(Formats, RecordTest,
                         ::testing::Values(Format{"1080p59.94", "progressive", 60000.0 / 1001},
                                           Format{"1080i59.94", "tt", 30000.0 / 1001}),
                         [](const ::testing::TestParamInfo<Format>& p) { return p.index == 0 ? "p5994" : "i5994"; });

TEST_F(RecordTest, LiveViewPipeAndCutOffRecordings)
{
	e2e::Sim sim(root_, "1080p59.94");
	e2e::Rx warm(root_);
	ASSERT_TRUE(encoding(warm)) << sim.output();

	// The live view's pipeline: NUT on standard output into a player reading a pipe.
	std::string view = std::string(VEXO_RX_BIN) + " --record - --frames 72 | ffprobe -v error -count_packets "
	                   "-show_entries stream=codec_name,width,nb_read_packets -of json -";
	e2e::RunResult live = e2e::run({"/bin/sh", "-c", view}, {{"NDI_STANDIN_DIR", root_.path("ndi")}});
	ASSERT_EQ(live.status, 0) << live.out;
	json piped = json::parse(live.out, nullptr, false);
	ASSERT_TRUE(piped.is_object()) << live.out;
	ASSERT_FALSE(piped["streams"].empty());
	EXPECT_EQ(piped["streams"][0].value("codec_name", ""), "speedhq");
	EXPECT_GT(atoll(piped["streams"][0].value("nb_read_packets", "0").c_str()), 10);

	// Killed outright: what was flushed is a readable file.
	std::string killed = root_.path("killed.mkv");
	e2e::Rx rec1(root_, {"--record", killed});
	ASSERT_TRUE(rec1.wait_for([](const std::vector<std::string>& l) { return l.size() > 40; }, 10s));
	kill(rec1.pid(), SIGKILL);
	ASSERT_TRUE(rec1.wait_exit(5s));
	EXPECT_GT(atoll(stream_of(probe_streams(killed), "video").value("nb_read_packets", "0").c_str()), 5);
	EXPECT_TRUE(decodes(killed));

	// The source withdrawn, then Ctrl-C: the recording is complete up to the source's end.
	std::string withdrawn = root_.path("withdrawn.nut");
	e2e::Rx rec2(root_, {"--record", withdrawn});
	ASSERT_TRUE(rec2.wait_for([](const std::vector<std::string>& l) { return l.size() > 40; }, 10s));
	ASSERT_EQ(sim.stop(), 0);
	ASSERT_TRUE(rec2.wait_for_event(e2e::event_is("disconnected"), 10s));
	rec2.interrupt();
	ASSERT_EQ(rec2.wait_exit(5s), 0) << rec2.output();
	std::optional<json> done = rec2.wait_for_event(e2e::event_is("recorded"), 1s);
	ASSERT_TRUE(done);
	json v = stream_of(probe_streams(withdrawn), "video");
	EXPECT_EQ(atoll(v.value("nb_read_packets", "0").c_str()), (*done)["frames"].get<int64_t>());
	EXPECT_TRUE(decodes(withdrawn));
}

}  // namespace
