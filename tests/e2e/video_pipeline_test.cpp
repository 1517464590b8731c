// The encoded video pipeline end to end: the virtual appliance's encoder, the program's frame
// path and a receiver watching the NDI source.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "adv7619.h"
#include "harness.h"
#include "mervane_av_format.h"
#include "mervane_speedhq.h"

namespace {

using namespace std::chrono_literals;
using e2e::json;
using e2e::start_line;
using e2e::is_program_frame;
using e2e::is_preview_frame;
using e2e::last_request;
using e2e::near_target;

const auto kStartTimeout = 30s;  // start-up, a one-second pause, a first bank encode, 60 frames
const auto kSwitchTimeout = 15s;

// The frame header a SpeedHQ frame of the device carries: quality <= 99, then 24-bit LE 4.
bool header_ok(const json& e)
{
	std::string head = e.value("head", "");
	if (head.size() != 8)
		return false;
	return strtol(head.substr(0, 2).c_str(), nullptr, 16) <= 99 && head.substr(2) == "040000";
}

// One encoder request as logged: number and argument (-1 for hold and release).
struct Req {
	int req;
	int arg;
	bool operator==(const Req& o) const { return req == o.req && arg == o.arg; }
};
std::ostream& operator<<(std::ostream& os, const Req& r)
{
	return r.arg < 0 ? os << "{" << r.req << "}" : os << "{" << r.req << "," << r.arg << "}";
}
namespace enc = mervane_speedhq;
const Req kHold{enc::kHold, -1};
const Req kRelease{enc::kRelease, -1};

// The requests of starting and stopping (the settings thread's rate requests left out).
std::vector<Req> start_stop_requests(const std::vector<json>& events)
{
	std::vector<Req> out;
	for (const auto& e : events) {
		if (e.value("dev", "") != "encoder" || !e.contains("req"))
			continue;
		int req = e["req"].get<int>();
		if (req == 0 || req == 1 || req == 3 || req == 4 || req == 7 || req == 8 || req == 11)
			out.push_back({req, e.contains("arg") ? e["arg"].get<int>() : -1});
	}
	return out;
}

// One run of the encoder, from release to hold: the frames it handed out and, of them, those
// the program's send queue bound dropped (program and preview stream).
struct Run {
	long frames;
	long bound_drops[2];
};
std::vector<Run> encoder_runs(const std::vector<json>& events)
{
	std::vector<Run> out;
	for (const auto& e : events)
		if (e.value("dev", "") == "encoder" && e.contains("run_frames"))
			out.push_back({e["run_frames"].get<long>(), {e["bound_drops"][0].get<long>(), e["bound_drops"][1].get<long>()}});
	return out;
}

// Accounts for every program frame read in each run: the 60 of the start-up drop, those the
// receiver got (`received`, per run), those the program's queue bound dropped and those the
// runtime dropped for a slow receiver (`rx_dropped`, over all runs), and nothing else. The
// runtime's drops are not told per run, so with any of them the runs are checked together.
void expect_program_frames_accounted(const std::vector<Run>& runs, const std::vector<long>& received,
                                                  long rx_dropped)
{
	EXPECT_EQ(runs.size(), received.size());
	long unaccounted = 0;
	for (size_t k = 0; k < runs.size() && k < received.size(); ++k) {
		SCOPED_TRACE("run " + std::to_string(k) + ", " + std::to_string(runs[k].bound_drops[0]) +
		             " dropped by the queue bound, " + std::to_string(rx_dropped) + " for the slow receiver");
		const long sent = runs[k].frames - 60 - runs[k].bound_drops[0];
		printf("run %zu: %ld program frames read, 60 at start-up, %ld received, %ld dropped by the queue bound\n", k,
		       runs[k].frames, received[k], runs[k].bound_drops[0]);
		unaccounted += sent - received[k];
		if (rx_dropped == 0)
			EXPECT_EQ(received[k], sent);
		else
			EXPECT_GE(sent, received[k]);
	}
	printf("%ld program frames dropped for the slow receiver\n", rx_dropped);
	EXPECT_EQ(rx_dropped, unaccounted) << "program frames the receiver did not get";
}

// The preview frames sent in a run: those received, and those dropped on the way.
long preview_sent(const Run& run, long received, long rx_dropped)
{
	return received + run.bound_drops[1] + rx_dropped;
}

// What a receiver's line of a program frame holds, with the raster when one is given (its
// audio and other events hold neither).
std::string program_tag(int x = 0, int y = 0)
{
	const std::string tag = "\"stream\":\"program\"";
	return x == 0 ? tag : tag + ",\"xres\":" + std::to_string(x) + ",\"yres\":" + std::to_string(y) + ",";
}

// Waits until the receiver has reported `n` program frames (of one raster) from line `from` on.
bool wait_program_frames(e2e::Rx& rx, size_t n, e2e::Clock::duration timeout, const std::string& tag = program_tag(),
                         size_t from = 0)
{
	return rx.wait_for([&](const std::vector<std::string>& lines) { return e2e::count_lines(lines, tag, from) >= n; },
	                   timeout);
}

// The appliance watched by a receiver that waits up to 20 s for its source.
class VideoPipeline : public e2e::ApplianceTest {
protected:
	// Starts both on `hdmi` and waits for the first program frame. A build whose sender is not
	// there yet makes no NDI source: the frame path cannot be watched then, and the case is
	// skipped. False when skipped or failed.
	bool watch(const std::string& hdmi)
	{
		sim_ = std::make_unique<e2e::Sim>(root_, hdmi);
		rx_ = std::make_unique<e2e::Rx>(root_, std::vector<std::string>{"--wait", "20"});
		if (!rx_->wait_for_event(e2e::event_is("source"), 25s)) {
			[this] { GTEST_SKIP() << "the program made no NDI source to watch\n" << sim_->output(); }();
			return false;
		}
		const bool framed = rx_->wait_for_event(is_program_frame, kStartTimeout).has_value();
		EXPECT_TRUE(framed) << sim_->output();
		return framed;
	}

	// Stops the appliance, then lets the receiver take what was still on its way.
	void stop_both()
	{
		EXPECT_EQ(0, sim_->stop(15s));
		rx_->wait_for_event(e2e::event_is("disconnected"), 5s);
		rx_->interrupt();
		rx_->wait_exit(5s);
		rx_->finish_output();
	}
};

TEST_F(VideoPipeline, Progressive1080p5994ReachesTheReceiverAfterTheStartUpDrop)
{
	if (!watch("1080p59.94"))
		return;
	// The frames decode: a second receiver decodes one of each stream into pictures.
	e2e::Rx snap(root_, {"--snapshot", root_.path("snap")});
	EXPECT_EQ(0, snap.wait_exit(15s).value_or(-1)) << snap.output();
	EXPECT_TRUE(root_.exists("snap-program.png"));
	EXPECT_TRUE(root_.exists("snap-preview.png"));

	ASSERT_TRUE(wait_program_frames(*rx_, 150, 20s));
	stop_both();

	// Every frame checked. The still sent at start-up is counted apart: the receiver sees it
	// when it connected before the still went out, and then it comes before every live frame.
	size_t program = 0, preview = 0, stills = 0;
	for (const auto& e : rx_->events()) {
		if (is_program_frame(e) && program == 0 && e.value("frame_rate_n", 0) == 30000) {
			++stills;
			e2e::expect_video(e, {1920, 1080, "SHQ2", 30000, 1001, "progressive"});
		} else if (is_program_frame(e)) {
			++program;
			e2e::expect_video(e, {1920, 1080, "SHQ2", 60000, 1001, "progressive"});
			EXPECT_NEAR(16.0 / 9.0, e.value("aspect", 0.0), 1e-5);
			EXPECT_TRUE(header_ok(e)) << e.dump();
		} else if (is_preview_frame(e)) {
			++preview;
			e2e::expect_video(e, {640, 360, "shq0", 30000, 1001, "progressive"});
			EXPECT_TRUE(header_ok(e)) << e.dump();
		}
	}
	EXPECT_LE(stills, 1u);
	// One encoder run whose first 60 frames never left; every frame after is accounted for.
	auto runs = encoder_runs(sim_->events());
	ASSERT_EQ(1u, runs.size()) << "one run, ended by the shutdown's hold";
	expect_program_frames_accounted(runs, {static_cast<long>(program)}, rx_->dropped("program"));
	// Preview on every second frame, counted from the 60th (plus the still's preview).
	EXPECT_NEAR(static_cast<double>(runs[0].frames / 2 - 29 + static_cast<long>(stills)),
	            static_cast<double>(preview_sent(runs[0], static_cast<long>(preview), rx_->dropped("preview"))), 1.0);
}

TEST_F(VideoPipeline, Interlaced1080i5994SendsAlternatingFieldsOf540Lines)
{
	if (!watch("1080i59.94"))
		return;
	ASSERT_TRUE(wait_program_frames(*rx_, 100, 20s));
	stop_both();

	std::vector<std::string> fields;
	size_t preview = 0, stills = 0;
	for (const auto& e : rx_->events()) {
		if (is_program_frame(e) && e.value("format", "") == "progressive") {
			// Only the still sent at start-up, when the receiver was already connected.
			++stills;
			EXPECT_EQ(1080, e.value("yres", 0)) << e.dump();
		} else if (is_program_frame(e)) {
			e2e::expect_video(e, {1920, 540, "SHQ2", 30000, 1001, ""});
			EXPECT_TRUE(header_ok(e)) << e.dump();
			fields.push_back(e.value("format", ""));
		} else if (is_preview_frame(e)) {
			++preview;
			EXPECT_EQ("progressive", e.value("format", ""));
			EXPECT_EQ(30000, e.value("frame_rate_n", 0));
		}
	}
	EXPECT_LE(stills, 1u);
	ASSERT_GE(fields.size(), 40u);
	for (size_t i = 0; i < fields.size(); ++i)
		EXPECT_EQ(i % 2 == 0 ? "field_0" : "field_1", fields[i]) << "field " << i;
	auto runs = encoder_runs(sim_->events());
	ASSERT_EQ(1u, runs.size());
	expect_program_frames_accounted(runs, {static_cast<long>(fields.size())}, rx_->dropped("program"));
	// A preview with every second field read after the start-up drop.
	EXPECT_NEAR(static_cast<double>(runs[0].frames - 60) / 2 + static_cast<double>(stills),
	            static_cast<double>(preview_sent(runs[0], static_cast<long>(preview), rx_->dropped("preview"))), 1.5);
}

class VideoPipeline2160p : public VideoPipeline, public ::testing::WithParamInterface<const char*> {};

TEST_P(VideoPipeline2160p, SampleRateSettingChoosesTheProgramChroma)
{
	const std::string rate = GetParam();
	root_.write("etc/mervane-enc1-settings.json",
	            e2e::enc_settings_with("\"VideoSampleRate\":\"422\"", "\"VideoSampleRate\":\"" + rate + "\""));
	if (!watch("2160p29.97"))
		return;
	auto sr = sim_->wait_for_line("PROG SR 4", kStartTimeout);
	ASSERT_TRUE(sr.has_value()) << sim_->output();
	if (rate == "420" && sim_->lines()[*sr] == "PROG SR 422")
		GTEST_SKIP() << "the web interface's sample-rate setting is not read yet (GetWebUIVideoSampleRate)";
	EXPECT_EQ("PROG SR " + rate, sim_->lines()[*sr]);
	ASSERT_TRUE(wait_program_frames(*rx_, 40, 20s));
	stop_both();

	size_t program = 0, preview = 0, stills = 0;
	for (const auto& e : rx_->events()) {
		if (is_program_frame(e) && e.value("xres", 0) != 3840) {
			// Only the still sent at start-up, when the receiver was already connected.
			++stills;
			EXPECT_EQ(1920, e.value("xres", 0)) << e.dump();
			EXPECT_EQ(1080, e.value("yres", 0)) << e.dump();
			EXPECT_EQ("SHQ2", e.value("fourcc", ""));
		} else if (is_program_frame(e)) {
			++program;
			e2e::expect_video(e, {3840, 2160, rate == "420" ? "SHQ0" : "SHQ2", 30000, 1001, "progressive"});
			EXPECT_TRUE(header_ok(e)) << e.dump();
		} else if (is_preview_frame(e)) {
			++preview;
			EXPECT_EQ(30000, e.value("frame_rate_n", 0));
		}
	}
	EXPECT_LE(stills, 1u);
	auto runs = encoder_runs(sim_->events());
	ASSERT_EQ(1u, runs.size());
	expect_program_frames_accounted(runs, {static_cast<long>(program)}, rx_->dropped("program"));
	// No preview skipping at 2160p: a preview with every program frame read from the 60th on
	// (plus the still's preview when the start-up still was seen).
	EXPECT_NEAR(static_cast<double>(runs[0].frames - 60 + static_cast<long>(stills)) + 1,
	            static_cast<double>(preview_sent(runs[0], static_cast<long>(preview), rx_->dropped("preview"))), 1.0);
}

INSTANTIATE_TEST_SUITE_P(SampleRates, VideoPipeline2160p, ::testing::Values("420", "422"));

TEST_F(VideoPipeline, StartRequestsFor1080p60AndFor2160p25AfterAn1080iRun)
{
	e2e::Sim sim(root_, "1080p60");
	ASSERT_TRUE(sim.wait_for_line(start_line(video_format_1080_60p), kStartTimeout).has_value()) << sim.output();
	auto released = [&] {
		auto r = start_stop_requests(sim.events());
		return r.size() >= 2 && r[r.size() - 2] == Req{enc::kPixFormat420, 0} && r.back() == kRelease;
	};
	auto wait_released = [&] { return e2e::poll_until(released, kSwitchTimeout); };
	ASSERT_TRUE(wait_released());
	sim.control("hdmi", "1080i59.94");
	ASSERT_TRUE(sim.wait_for_line(start_line(video_format_1080_29i), kSwitchTimeout).has_value()) << sim.output();
	sim.control("hdmi", "2160p25");
	ASSERT_TRUE(sim.wait_for_line(start_line(video_format_2160_25p), kSwitchTimeout).has_value()) << sim.output();
	ASSERT_TRUE(wait_released());
	EXPECT_EQ(0, sim.stop(15s));

	std::vector<Req> reqs = start_stop_requests(sim.events());
	std::vector<size_t> starts;
	for (size_t i = 1; i < reqs.size(); ++i)
		if (reqs[i].req == enc::kUvSwap)
			starts.push_back(i - 1);
	ASSERT_EQ(3u, starts.size());
	// Each run: hold, the start requests with the format's two arguments, then the stop.
	const std::pair<int, int> args[] = {{enc::kMode1080p, 0}, {enc::kMode1080i, 0}, {enc::kMode2160p, 1}};
	for (size_t k = 0; k < 3; ++k) {
		SCOPED_TRACE("run " + std::to_string(k));
		EXPECT_EQ((std::vector<Req>{kHold, {enc::kUvSwap, 0}, {enc::kDci, 0}, {enc::kMode, args[k].first},
		                            {enc::kEnable4k, args[k].second}, kHold, kRelease, kHold, {enc::kPixFormat420, 0},
		                            kRelease}),
		          std::vector<Req>(reqs.begin() + static_cast<long>(starts[k]),
		                           reqs.begin() + static_cast<long>(std::min(starts[k] + 10, reqs.size()))));
		// Each stop holds the encoder before the next start.
		if (k > 0) {
			EXPECT_EQ(kHold, reqs[starts[k] - 1]);
		}
	}
	EXPECT_EQ(kHold, reqs.back()) << "shutdown ends held";
}

TEST_F(VideoPipeline, SourceSwitchesRestartEncodingWithTheNewRaster)
{
	auto raster = [](int x, int y) {
		return [x, y](const json& e) { return is_program_frame(e) && e.value("xres", 0) == x && e.value("yres", 0) == y; };
	};
	// A live frame, not the 1920x1080 still sent at start-up (announced at 30000/1001): the
	// switch must come after the first run has passed its start-up drop.
	auto live_hd = [&](const json& e) { return raster(1920, 1080)(e) && e.value("frame_rate_n", 0) == 60000; };
	if (!watch("1080p59.94"))
		return;
	ASSERT_TRUE(rx_->wait_for_event(live_hd, kStartTimeout)) << sim_->output();

	size_t at = sim_->lines().size();
	sim_->control("hdmi", "2160p29.97");
	auto stop = sim_->wait_for_line("STOP NDI Encode 34", kSwitchTimeout, at);
	ASSERT_TRUE(stop.has_value()) << sim_->output();
	auto start = sim_->wait_for_line(start_line(video_format_2160_29p), kSwitchTimeout, *stop);
	ASSERT_TRUE(start.has_value()) << sim_->output();
	auto sampling = sim_->wait_for_line("PROG SR 4", kSwitchTimeout, *start);
	ASSERT_TRUE(sampling.has_value());
	EXPECT_EQ("PROG SR 422", sim_->lines()[*sampling]);
	ASSERT_TRUE(rx_->wait_for_event(raster(3840, 2160), kStartTimeout)) << sim_->output();

	sim_->control("hdmi", "none");
	auto none = sim_->wait_for_line("STOP NDI Encode", kSwitchTimeout, *start);
	ASSERT_TRUE(none.has_value()) << sim_->output();
	EXPECT_EQ("STOP NDI Encode", sim_->lines()[*none]);

	sim_->control("hdmi", "720p50");
	ASSERT_TRUE(sim_->wait_for_line(start_line(video_format_720_50p), kSwitchTimeout, *none).has_value()) << sim_->output();
	ASSERT_TRUE(rx_->wait_for_event(raster(1280, 720), kStartTimeout)) << sim_->output();
	stop_both();

	// Each live frame keeps the device's header; the 720p50 ones come at their rate.
	const std::vector<json> received = rx_->events();
	for (const auto& e : received) {
		if (!is_program_frame(e) || e.value("fourcc", "") != "SHQ2" || e.value("frame_rate_n", 0) == 30000)
			continue;
		EXPECT_TRUE(header_ok(e));
		if (e.value("xres", 0) == 1280) {
			EXPECT_EQ(60000, e.value("frame_rate_n", 0));
			EXPECT_EQ(1200, e.value("frame_rate_d", 0));
		}
	}
	// The live rasters come in blocks, never mixed: 1080p, then 2160p, then 720p.
	std::vector<int> blocks;
	for (const auto& e : received) {
		if (!is_program_frame(e) || (raster(1920, 1080)(e) && e.value("frame_rate_n", 0) == 30000))
			continue;
		if (blocks.empty() || blocks.back() != e.value("yres", 0))
			blocks.push_back(e.value("yres", 0));
	}
	EXPECT_EQ((std::vector<int>{1080, 2160, 720}), blocks);
	std::vector<json> uhd;
	std::copy_if(received.begin(), received.end(), std::back_inserter(uhd),
	             [](const json& e) { return is_program_frame(e) && e.value("xres", 0) == 3840; });
	ASSERT_FALSE(uhd.empty());
	EXPECT_EQ(30000, uhd[0].value("frame_rate_n", 0));
	EXPECT_EQ(1001, uhd[0].value("frame_rate_d", 0));

	// Every run lost exactly its first 60 frames; every frame after is accounted for.
	auto events = sim_->events();
	auto runs = encoder_runs(events);
	ASSERT_EQ(3u, runs.size());
	// The still sent at start-up is 1920x1080 too, announced at 30000/1001; the source is 59.94.
	auto hd = std::count_if(received.begin(), received.end(),
	                        [&](const json& e) { return raster(1920, 1080)(e) && e.value("frame_rate_n", 0) != 30000; });
	expect_program_frames_accounted(
		runs, {hd, static_cast<long>(uhd.size()), std::count_if(received.begin(), received.end(), raster(1280, 720))},
		rx_->dropped("program"));

	// The receiver's table follows the mode at each start: HD, 4K, HD again.
	EXPECT_EQ(2u, e2e::table_loads(events, adv7619_2klut).size());
	EXPECT_EQ(1u, e2e::table_loads(events, adv7619_4klut).size());
}

TEST_F(VideoPipeline, AHighBufferNumberRestartsTheEncoderAndFramesFlowOn)
{
	if (!watch("1080p59.94"))
		return;
	sim_->control("encoder", "novalid 6");
	auto line = sim_->wait_for_line("Buffer 6 ", kSwitchTimeout);
	ASSERT_TRUE(line.has_value()) << sim_->output();
	auto novalid = sim_->wait_for_line("NOVALID FRAME", kSwitchTimeout, *line);
	ASSERT_TRUE(novalid.has_value());
	EXPECT_EQ(*line + 1, *novalid);
	EXPECT_EQ("!!!!!!!!!!!!!!!!!!!!!!!!!!!!NOVALID FRAME", sim_->lines()[*novalid]);
	ASSERT_TRUE(wait_program_frames(*rx_, e2e::count_lines(rx_->lines(), program_tag()) + 30, kSwitchTimeout));
	stop_both();

	// After the fault fired: hold, release, and nothing else of the start sequence.
	auto events = sim_->events();
	auto fired = std::find_if(events.begin(), events.end(), [](const json& e) { return e.value("fault", "") == "novalid"; });
	ASSERT_NE(fired, events.end());
	std::vector<Req> after = start_stop_requests(std::vector<json>(fired, events.end()));
	ASSERT_GE(after.size(), 2u);
	EXPECT_EQ(kHold, after[0]);
	EXPECT_EQ(kRelease, after[1]);
}

// The receiver's last 20 program frames of a raster and sampling and its last 8 previews are
// within 10 % of the targets the program last requested, and keep the device's frame header.
void expect_frames_at_targets(e2e::Rx& rx, e2e::Sim& sim, int x, int y, const char* fourcc, size_t from)
{
	SCOPED_TRACE(std::to_string(x) + "x" + std::to_string(y) + " " + fourcc);
	ASSERT_TRUE(wait_program_frames(rx, 20, kStartTimeout, program_tag(x, y), from)) << sim.output();
	const std::vector<json> events = rx.events();
	const std::vector<json> sim_events = sim.events();
	const long program_target = last_request(sim_events, 5);
	const long preview_target = last_request(sim_events, 6);
	std::vector<json> program, preview;
	for (size_t i = from; i < events.size(); ++i) {
		const json& e = events[i];
		if (is_program_frame(e) && e.value("xres", 0) == x && e.value("yres", 0) == y && e.value("fourcc", "") == fourcc)
			program.push_back(e);
		else if (is_preview_frame(e))
			preview.push_back(e);
	}
	ASSERT_GE(program.size(), 20u);
	ASSERT_GE(preview.size(), 8u);
	for (size_t i = program.size() - 20; i < program.size(); ++i) {
		EXPECT_TRUE(near_target(program[i], program_target)) << program_target << " " << program[i].dump();
		EXPECT_TRUE(header_ok(program[i])) << program[i].dump();
	}
	for (size_t i = preview.size() - 8; i < preview.size(); ++i)
		EXPECT_TRUE(near_target(preview[i], preview_target)) << preview_target << " " << preview[i].dump();
}

// Frame sizes follow the per-frame rate targets the program requests, in every raster and
// sampling, and a bandwidth change in the settings reaches the receiver within two seconds.
TEST_F(VideoPipeline, FrameSizesFollowTheRequestedRateTargets)
{
	if (!watch("720p50"))
		return;
	e2e::Sim& sim = *sim_;
	e2e::Rx& rx = *rx_;
	expect_frames_at_targets(rx, sim, 1280, 720, "SHQ2", 0);

	auto switch_to = [&](const std::string& hdmi, int code) {
		size_t at = sim.lines().size();
		sim.control("hdmi", hdmi);
		EXPECT_TRUE(sim.wait_for_line(start_line(code), kSwitchTimeout, at).has_value()) << sim.output();
		return rx.lines().size();
	};
	expect_frames_at_targets(rx, sim, 1920, 540, "SHQ2", switch_to("1080i59.94", 20));
	expect_frames_at_targets(rx, sim, 3840, 2160, "SHQ2", switch_to("2160p30", 53));

	std::string settings = e2e::enc_settings_with("\"VideoSampleRate\":\"422\"", "\"VideoSampleRate\":\"420\"");
	root_.write("etc/mervane-enc1-settings.json", settings);
	size_t at = sim.lines().size();
	sim.control("hdmi", "none");
	ASSERT_TRUE(sim.wait_for_line("STOP NDI Encode", kSwitchTimeout, at).has_value()) << sim.output();
	expect_frames_at_targets(rx, sim, 3840, 2160, "SHQ0", switch_to("2160p30", 53));

	expect_frames_at_targets(rx, sim, 1920, 1080, "SHQ2", switch_to("1080p59.94", 42));
	// Manual 35 Mbit/s at 59 frames a second: below the finest bank's frames.
	settings = e2e::enc_settings_with("\"Auto\"", "\"Manual\"", settings);
	settings = e2e::enc_settings_with("\"BandwidthSelect\":\"100\"", "\"BandwidthSelect\":\"35\"", settings);
	at = rx.lines().size();
	root_.write("etc/mervane-enc1-settings.json", settings);
	const long manual = static_cast<long>(35 * 125000.0f / 59);
	const std::string hd = program_tag(1920, 1080);
	const auto changed = e2e::Clock::now();
	ASSERT_TRUE(rx.wait_for(
		[&](const std::vector<std::string>& lines) {
			for (; at < lines.size(); ++at)
				if (lines[at].find(hd) != std::string::npos && near_target(json::parse(lines[at]), manual))
					return true;
			return false;
		},
		kSwitchTimeout));
	const double took = std::chrono::duration<double>(e2e::Clock::now() - changed).count();
	EXPECT_TIMING(took <= 2.0, "first frame at the manual target " + std::to_string(took) + " s after the change (2 s)");
	expect_frames_at_targets(rx, sim, 1920, 1080, "SHQ2", at);
	EXPECT_EQ(manual, last_request(sim.events(), 5));
	stop_both();
}

}  // namespace
