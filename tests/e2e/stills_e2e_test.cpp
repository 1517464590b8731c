// End to end: stills sent while there is no input, capture requests, and what a receiver sees.
#include <stdio.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

using namespace std::chrono_literals;
using e2e::json;

namespace {

// Settings of a new appliance with "ScreenSaverMode" replaced (or removed when empty).
std::string settings_with_choice(const std::string& word)
{
	std::string text = e2e::kDefaultEncSettings;
	const std::string key = ",\"ScreenSaverMode\":\"MervaneSS\"";
	size_t at = text.find(key);
	if (at == std::string::npos)
		return text;
	text.replace(at, key.size(), word.empty() ? "" : ",\"ScreenSaverMode\":\"" + word + "\"");
	return text;
}

std::string head_hex(const std::string& bytes)
{
	std::string out;
	char hex[3];
	for (size_t i = 0; i < 4 && i < bytes.size(); i++) {
		snprintf(hex, sizeof(hex), "%02x", static_cast<unsigned char>(bytes[i]));
		out += hex;
	}
	return out;
}

using e2e::is_video;

// Video events of one stream among a receiver's output lines. For use inside wait_for, whose
// predicate runs with the output locked (Rx::count would lock it again).
size_t video_count(const std::vector<std::string>& lines, const char* stream)
{
	size_t n = 0;
	for (const std::string& l : lines) {
		json e = json::parse(l, nullptr, false);
		if (!e.is_discarded() && e.is_object() && is_video(e, stream))
			n++;
	}
	return n;
}

// An RGB picture read from a binary PPM.
struct Picture {
	int width = 0;
	int height = 0;
	std::string rgb;

	// Mean of one channel over a square of 2r+1 pixels.
	double at(int x, int y, int channel, int r = 2) const
	{
		double sum = 0;
		int n = 0;
		for (int dy = -r; dy <= r; dy++)
			for (int dx = -r; dx <= r; dx++, n++)
				sum += static_cast<unsigned char>(rgb[((y + dy) * width + (x + dx)) * 3 + channel]);
		return sum / n;
	}
	double grey(int x, int y) const { return (at(x, y, 0) + at(x, y, 1) + at(x, y, 2)) / 3; }
};

// Decodes a PNG or a still file into RGB with vexo-still.
bool decode(const std::string& input, Picture& pic, const std::vector<std::string>& extra = {})
{
	const std::string ppm = input + ".ppm";
	std::vector<std::string> argv = {VEXO_STILL_BIN, "--to-ppm", input, ppm};
	argv.insert(argv.end(), extra.begin(), extra.end());
	if (e2e::run(argv).status != 0)
		return false;
	std::ifstream in(ppm, std::ios::binary);
	std::string magic;
	int maxval = 0;
	in >> magic >> pic.width >> pic.height >> maxval;
	in.get();
	if (magic != "P6" || maxval != 255 || pic.width <= 0 || pic.height <= 0)
		return false;
	pic.rgb.resize(static_cast<size_t>(pic.width) * pic.height * 3);
	in.read(&pic.rgb[0], static_cast<std::streamsize>(pic.rgb.size()));
	return static_cast<size_t>(in.gcount()) == pic.rgb.size();
}

// Mean absolute difference of two pictures of the same size, over every channel.
double mean_difference(const Picture& a, const Picture& b)
{
	if (a.width != b.width || a.height != b.height)
		return 255;
	double sum = 0;
	for (size_t i = 0; i < a.rgb.size(); i++)
		sum += std::abs(static_cast<unsigned char>(a.rgb[i]) - static_cast<unsigned char>(b.rgb[i]));
	return sum / a.rgb.size();
}

// The test card's grey ramp and black plate, which read the same in any YUV matrix, and its
// white lettering; positions as fractions of the picture.
void expect_test_card(const Picture& pic)
{
	ASSERT_GT(pic.width, 0);
	for (int step = 0; step < 8; step++) {
		const double want = step * 255 / 7;
		EXPECT_NEAR(pic.grey(pic.width * (2 * step + 1) / 16, pic.height * 64 / 100), want, 8)
			<< "ramp step " << step << " of " << pic.width << "x" << pic.height;
	}
	EXPECT_NEAR(pic.grey(pic.width / 2, pic.height * 85 / 100), 0, 8) << "lettering plate";
	// The first bar is 75 % grey, the last one blue.
	EXPECT_NEAR(pic.grey(pic.width / 14, pic.height * 3 / 10), 191, 10);
	const int bx = pic.width * 13 / 14;
	const int by = pic.height * 3 / 10;
	EXPECT_GT(pic.at(bx, by, 2), 150);
	EXPECT_LT(pic.at(bx, by, 0), 40);
	EXPECT_LT(pic.at(bx, by, 1), 40);
}

// One appliance with a receiver; the settings are written before start().
class StillsE2E : public e2e::ApplianceTest {
protected:
	void start(const std::string& hdmi, std::vector<std::string> rx_args = {})
	{
		sim_ = std::make_unique<e2e::Sim>(root_, hdmi);
		ASSERT_TRUE(sim_->wait_for_line("start main_exit_loop", 20s)) << sim_->output();
		rx_ = std::make_unique<e2e::Rx>(root_, std::move(rx_args));
	}

	// Checks one still stream the receiver saw against the file it was loaded from.
	void expect_still_stream(const json& e, int xres, int yres, const char* fourcc, const std::string& file)
	{
		const std::string bytes = root_.read("etc/" + file);
		e2e::expect_video(e, {xres, yres, fourcc, 30000, 1001, "progressive"});
		EXPECT_NEAR(e.value("aspect", 0.0), 16.0 / 9.0, 1e-6);
		EXPECT_EQ(e.value("size", 0), static_cast<int>(bytes.size())) << file;
		EXPECT_EQ(e.value("head", ""), head_hex(bytes)) << file;
	}

	// Waits for a program and a preview still and checks both against their files.
	void expect_stills(const std::string& full_file, const std::string& prvw_file)
	{
		auto program = rx_->wait_for_event(e2e::is_program_frame, 15s);
		auto preview = rx_->wait_for_event(e2e::is_preview_frame, 5s);
		ASSERT_TRUE(program && preview) << diagnostics();
		expect_still_stream(*program, 1920, 1080, "SHQ2", full_file);
		expect_still_stream(*preview, 640, 360, "shq0", prvw_file);
	}

	// The same, then checks that they keep coming about once a second, one of each per pass.
	void expect_still_pair(const std::string& full_file, const std::string& prvw_file)
	{
		ASSERT_NO_FATAL_FAILURE(expect_stills(full_file, prvw_file));
		const size_t first = video_count(rx_->lines(), "program");
		const auto t0 = e2e::Clock::now();
		ASSERT_TRUE(rx_->wait_for(
			[&](const std::vector<std::string>& lines) { return video_count(lines, "program") >= first + 3; }, 10s))
			<< diagnostics();
		const double seconds = std::chrono::duration<double>(e2e::Clock::now() - t0).count();
		EXPECT_GT(seconds, 2.0) << "three more stills came too fast";
		const std::vector<std::string> lines = rx_->lines();
		EXPECT_LE(std::abs(static_cast<long>(video_count(lines, "preview")) -
		                   static_cast<long>(video_count(lines, "program"))),
		          1L);
	}
};

TEST_F(StillsE2E, SplashIsSentOncePerSecondWithoutInput)
{
	ASSERT_TRUE(root_.exists("etc/enc_full_still.encoded")) << "the build made no stills";
	start("none");
	expect_still_pair("enc_full_still.encoded", "enc_prvw_still.encoded");
}

TEST_F(StillsE2E, BlackIsSentWhenChosen)
{
	root_.write("etc/mervane-enc1-settings.json", settings_with_choice("BlackSS"));
	start("none");
	expect_still_pair("enc_full_black.encoded", "enc_prvw_black.encoded");
}

TEST_F(StillsE2E, UnknownChoiceShowsBlack)
{
	root_.write("etc/mervane-enc1-settings.json", settings_with_choice("blackss"));
	start("none");
	auto program = rx_->wait_for_event(e2e::is_program_frame, 15s);
	ASSERT_TRUE(program) << diagnostics();
	expect_still_stream(*program, 1920, 1080, "SHQ2", "enc_full_black.encoded");
}

TEST_F(StillsE2E, NoChoiceAtStartSendsNothing)
{
	root_.write("etc/mervane-enc1-settings.json", settings_with_choice(""));
	start("none");
	ASSERT_TRUE(rx_->wait_for_event(e2e::event_is("source"), 10s)) << diagnostics();
	// Three passes, each refusing both halves.
	ASSERT_TRUE(sim_->wait_for([](const std::vector<std::string>& lines) {
		return std::count(lines.begin(), lines.end(), "The Splash screen data size is zero.") >= 6;
	}, 10s)) << diagnostics();
	EXPECT_EQ(rx_->count(e2e::event_is("video")), 0u) << diagnostics();

	// Choosing the splash later shows it from the next pass on.
	root_.write("etc/mervane-enc1-settings.json", settings_with_choice("MervaneSS"));
	EXPECT_TRUE(rx_->wait_for_event(e2e::is_program_frame, 5s)) << diagnostics();
}

TEST_F(StillsE2E, SnapshotsShowTheTestCardAndBlack)
{
	start("none", {"--snapshot", root_.path("splash")});
	ASSERT_EQ(rx_->wait_exit(20s), 0) << diagnostics();
	for (const char* stream : {"program", "preview"}) {
		SCOPED_TRACE(stream);
		Picture pic;
		ASSERT_TRUE(decode(root_.path(std::string("splash-") + stream + ".png"), pic));
		EXPECT_EQ(pic.width, std::string(stream) == "program" ? 1920 : 640);
		expect_test_card(pic);
	}

	// A still chosen now shows from the next pass on; the snapshot is taken once it does.
	root_.write("etc/mervane-enc1-settings.json", settings_with_choice("BlackSS"));
	const int black_size = static_cast<int>(root_.read("etc/enc_full_black.encoded").size());
	e2e::Rx watcher(root_);
	ASSERT_TRUE(watcher.wait_for_event(
		[&](const json& e) { return is_video(e, "program") && e.value("size", 0) == black_size; }, 10s))
		<< watcher.output();
	e2e::Rx black(root_, {"--snapshot", root_.path("black")});
	ASSERT_EQ(black.wait_exit(20s), 0) << black.output();
	for (const char* stream : {"program", "preview"}) {
		SCOPED_TRACE(stream);
		Picture pic;
		ASSERT_TRUE(decode(root_.path(std::string("black-") + stream + ".png"), pic));
		double brightest = 0;
		for (int y = 4; y < pic.height - 4; y += 8)
			for (int x = 4; x < pic.width - 4; x += 8)
				brightest = std::max(brightest, pic.grey(x, y));
		EXPECT_LE(brightest, 4) << "not black";
	}
}

// ---------------------------------------------------------------------------------------
// Capture requests

using e2e::format_record;

class CaptureE2E : public StillsE2E {
protected:
	// Starts with a live source and waits until the receiver sees live program frames.
	void start_live(const std::string& hdmi)
	{
		start(hdmi);
		// Stills come once a second; ten program frames mean live video.
		ASSERT_TRUE(rx_->wait_for(
			[](const std::vector<std::string>& lines) { return video_count(lines, "program") >= 10; }, 20s))
			<< diagnostics();
	}

	// Creates the request file and waits until the loop has taken it.
	void request_capture(size_t already_taken)
	{
		root_.write("tmp/mervane-enc-cap", "");
		// The loop reports the request once the checker has returned, after the removal.
		ASSERT_TRUE(sim_->wait_for(
			[&](const std::vector<std::string>& lines) {
				return e2e::count_lines(lines, "Capture enable request came ") > already_taken &&
				       e2e::count_lines(lines, "Capture Request came. ") > already_taken;
			},
			5s))
			<< diagnostics();
		EXPECT_FALSE(root_.exists("tmp/mervane-enc-cap"));
	}

	// How often the program reported etc/`file` saved, in `lines` (its output so far).
	size_t saved(const char* file, const std::vector<std::string>& lines) const
	{
		return e2e::count_lines(lines, "captured frame saved in " + root_.path(std::string("etc/") + file));
	}
	size_t saved(const char* file) const { return saved(file, sim_->lines()); }

	bool wait_saved(const char* file, size_t count, e2e::Clock::duration timeout)
	{
		return sim_->wait_for([&](const std::vector<std::string>& lines) { return saved(file, lines) >= count; }, timeout);
	}

	// The stored frame was one the receiver got live: same size, same first bytes.
	void expect_received(const char* stream, const std::string& bytes)
	{
		EXPECT_TRUE(rx_->wait_for_event(
			[&](const json& e) {
				return is_video(e, stream) && e.value("size", 0) == static_cast<int>(bytes.size()) &&
				       e.value("head", "") == head_hex(bytes);
			},
			1s))
			<< stream << " capture of " << bytes.size() << " bytes was never sent";
	}
};

TEST_F(CaptureE2E, RequestStoresOnePairWhichIsShownWithoutInput)
{
	start_live("1080p59.94");
	request_capture(0);
	ASSERT_TRUE(wait_saved("enc_full_captured_frame.encoded", 1, 5s)) << diagnostics();
	ASSERT_TRUE(wait_saved("enc_prvw_captured_frame.encoded", 1, 5s)) << diagnostics();
	ASSERT_TRUE(sim_->wait_for_line(" The capture status full 0, prvw 0 ", 2s)) << diagnostics();

	const std::string full = root_.read("etc/enc_full_captured_frame.encoded");
	const std::string prvw = root_.read("etc/enc_prvw_captured_frame.encoded");
	ASSERT_GE(full.size(), 4u);
	ASSERT_GE(prvw.size(), 4u);
	EXPECT_EQ(root_.read("etc/enc_full-cap-frame-info-setup.json"), format_record(1920, 1080, 844187731, full.size()));
	EXPECT_EQ(root_.read("etc/enc_prvw-cap-frame-info-setup.json"), format_record(640, 360, 812738675, prvw.size()));
	expect_received("program", full);
	expect_received("preview", prvw);

	// One frame per stream per request; a second request stores a new pair.
	ASSERT_TRUE(rx_->wait_for([](const std::vector<std::string>& l) { return video_count(l, "program") > 90; }, 10s));
	EXPECT_EQ(saved("enc_full_captured_frame.encoded"), 1u);
	EXPECT_EQ(saved("enc_prvw_captured_frame.encoded"), 1u);
	request_capture(1);
	EXPECT_TRUE(wait_saved("enc_full_captured_frame.encoded", 2, 5s)) << diagnostics();
	EXPECT_TRUE(wait_saved("enc_prvw_captured_frame.encoded", 2, 5s)) << diagnostics();
	const std::string full2 = root_.read("etc/enc_full_captured_frame.encoded");
	const std::string prvw2 = root_.read("etc/enc_prvw_captured_frame.encoded");
	EXPECT_EQ(root_.read("etc/enc_full-cap-frame-info-setup.json"), format_record(1920, 1080, 844187731, full2.size()));
	EXPECT_EQ(root_.read("etc/enc_prvw-cap-frame-info-setup.json"), format_record(640, 360, 812738675, prvw2.size()));

	// Input gone, captured frames chosen: exactly those frames are sent as stills.
	// A receiver that connects once the send threads have ended sees only stills.
	root_.write("etc/mervane-enc1-settings.json", settings_with_choice("CaptureSS"));
	sim_->control("hdmi", "none");
	ASSERT_TRUE(sim_->wait_for_line("STOP send_ndi_frame_prev_thread", 10s)) << diagnostics();
	rx_ = std::make_unique<e2e::Rx>(root_);
	ASSERT_NO_FATAL_FAILURE(expect_stills("enc_full_captured_frame.encoded", "enc_prvw_captured_frame.encoded"));

	// A receiver's snapshot shows the captured picture, not the splash.
	e2e::Rx snap(root_, {"--snapshot", root_.path("captured")});
	ASSERT_EQ(snap.wait_exit(20s), 0) << snap.output();
	const std::pair<const char*, const char*> streams[] = {{"program", "enc_full_captured_frame.encoded"},
	                                                       {"preview", "enc_prvw_captured_frame.encoded"}};
	for (const auto& st : streams) {
		SCOPED_TRACE(st.first);
		Picture shown, stored, splash;
		ASSERT_TRUE(decode(root_.path(std::string("captured-") + st.first + ".png"), shown));
		ASSERT_TRUE(decode(root_.path(std::string("etc/") + st.second), stored));
		ASSERT_TRUE(decode(root_.path(std::string("etc/") + (std::string(st.first) == "program"
		                                                         ? "enc_full_still.encoded"
		                                                         : "enc_prvw_still.encoded")),
		                   splash));
		// Both decoders read the same frame; they differ only in their colour matrix.
		EXPECT_LT(mean_difference(shown, stored), 6.0);
		EXPECT_GT(mean_difference(shown, splash), 15.0);
	}

	// A request made without input is served by the first live frames, which the save copies
	// into the still buffers in place while the runtime may still hold the stills sent last
	// (the harness fails the case on the runtime's report of a buffer changed while held).
	root_.write("tmp/mervane-enc-cap", "");
	sim_->control("hdmi", "720p50");
	ASSERT_TRUE(wait_saved("enc_full_captured_frame.encoded", 3, 15s)) << diagnostics();
	ASSERT_TRUE(wait_saved("enc_prvw_captured_frame.encoded", 3, 15s)) << diagnostics();
	EXPECT_EQ(root_.read("etc/enc_full-cap-frame-info-setup.json"),
	          format_record(1280, 720, 844187731, root_.read("etc/enc_full_captured_frame.encoded").size()));
}

TEST_F(CaptureE2E, InterlacedInputKeepsTheProgramCapturePending)
{
	start_live("1080i50");
	request_capture(0);
	ASSERT_TRUE(wait_saved("enc_prvw_captured_frame.encoded", 1, 5s)) << diagnostics();
	ASSERT_TRUE(sim_->wait_for_line(" The capture status full 1, prvw 0 ", 2s)) << diagnostics();
	// Two seconds of fields later the program capture is still pending and nothing was written.
	ASSERT_TRUE(rx_->wait_for(
		[](const std::vector<std::string>& l) { return video_count(l, "program") > 150; }, 10s));
	EXPECT_EQ(saved("enc_full_captured_frame.encoded"), 0u);
	EXPECT_FALSE(root_.exists("etc/enc_full_captured_frame.encoded"));
	EXPECT_FALSE(root_.exists("etc/enc_full-cap-frame-info-setup.json"));
	EXPECT_EQ(root_.read("etc/enc_prvw-cap-frame-info-setup.json"),
	          format_record(640, 360, 812738675, root_.read("etc/enc_prvw_captured_frame.encoded").size()));

	// Progressive frames serve the pending request without a new one.
	sim_->control("hdmi", "1080p50");
	EXPECT_TRUE(wait_saved("enc_full_captured_frame.encoded", 1, 15s)) << diagnostics();
	EXPECT_EQ(saved("enc_prvw_captured_frame.encoded"), 1u);
	EXPECT_EQ(root_.read("etc/enc_full-cap-frame-info-setup.json"),
	          format_record(1920, 1080, 844187731, root_.read("etc/enc_full_captured_frame.encoded").size()));
}

}  // namespace
