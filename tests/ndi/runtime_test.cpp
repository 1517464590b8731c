// Contracts of the stand-in NDI runtime, watched through its receiver library.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <Processing.NDI.Lib.h>
#include <gtest/gtest.h>
#include <ndi_standin_rx.h>

#include "test_support.h"

namespace {

using ndi_standin::Receiver;
using ndi_standin::RxEvent;
using Kind = ndi_standin::RxEvent::Kind;
using Clock = std::chrono::steady_clock;

// The address of the socket file `path`.
sockaddr_un unix_address(const std::string& path)
{
	sockaddr_un addr{};
	addr.sun_family = AF_UNIX;
	strcpy(addr.sun_path, path.c_str());
	return addr;
}

long elapsed_ms(Clock::time_point since)
{
	return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// Every case gets its own source directory, removed afterwards.
class NdiRuntime : public ::testing::Test
{
protected:
	void SetUp() override
	{
		setenv("NDI_STANDIN_DIR", dir_.c_str(), 1);
		NDIlib_initialize();
	}

	void TearDown() override
	{
		for (NDIlib_send_instance_t sender : senders_)
			NDIlib_send_destroy(sender);
		unsetenv("NDI_STANDIN_DIR");
	}

	NDIlib_send_instance_t create(const char* name, const char* groups = nullptr, const char* config = nullptr)
	{
		NDIlib_send_create_t settings(name, groups, false, false);
		NDIlib_send_instance_t sender = NDIlib_send_create_v2(&settings, config);
		if (sender != nullptr)
			senders_.push_back(sender);
		return sender;
	}

	void destroy(NDIlib_send_instance_t sender)
	{
		senders_.erase(std::remove(senders_.begin(), senders_.end(), sender), senders_.end());
		NDIlib_send_destroy(sender);
	}

	// Connects and consumes the Source event.
	void connect(Receiver& rx, const std::string& name)
	{
		ASSERT_TRUE(rx.open(dir_, name, 3000)) << "source " << name;
		ASSERT_EQ(rx.next(0).kind, Kind::Source);
	}

	// The next event of one kind, skipping others; None after the deadline.
	static RxEvent next_of(Receiver& rx, Kind kind, int timeout_ms = 3000)
	{
		Clock::time_point start = Clock::now();
		for (;;) {
			int left = timeout_ms - static_cast<int>(elapsed_ms(start));
			if (left <= 0)
				return RxEvent();
			RxEvent ev = rx.next(left);
			if (ev.kind == kind || ev.kind == Kind::None || ev.kind == Kind::Disconnected)
				return ev;
		}
	}

	// Waits until the sender counts n receivers, so later sends reach them all.
	static void wait_connections(NDIlib_send_instance_t sender, int n)
	{
		testcommon::wait_until([&] { return NDIlib_send_get_no_connections(sender, 100) >= n; });
		ASSERT_EQ(NDIlib_send_get_no_connections(sender, 0), n);
	}

	// Creates the sender `name` as `s` and connects each of `rxs` to it, until it counts them.
	void start_sender(const char* name, std::initializer_list<Receiver*> rxs = {})
	{
		s = create(name);
		ASSERT_NE(s, nullptr);
		for (Receiver* rx : rxs)
			ASSERT_NO_FATAL_FAILURE(connect(*rx, name));
		if (rxs.size() > 0)
			wait_connections(s, static_cast<int>(rxs.size()));
	}

	// A wait that began at `start` lasted at least `min_ms` and less than two seconds.
	static void expect_waited(Clock::time_point start, long min_ms)
	{
		long ms = elapsed_ms(start);
		EXPECT_GE(ms, min_ms);
		EXPECT_LT(ms, 2000);
	}

	static NDIlib_video_frame_v2_t shq(std::vector<uint8_t>& buf, bool preview)
	{
		NDIlib_video_frame_v2_t f;
		f.xres = preview ? 640 : 1920;
		f.yres = preview ? 360 : 1080;
		f.FourCC = preview ? NDIlib_FourCC_video_type_ex_SHQ0_lowest_bandwidth
		                   : NDIlib_FourCC_video_type_ex_SHQ2_highest_bandwidth;
		f.frame_rate_N = 60000;
		f.frame_rate_D = 1001;
		f.picture_aspect_ratio = 16.0f / 9.0f;
		f.p_data = buf.data();
		f.data_size_in_bytes = static_cast<int>(buf.size());
		return f;
	}

	testcommon::TempDir tmp_{"ndi-rt"};
	const std::string dir_ = tmp_.path();
	std::vector<NDIlib_send_instance_t> senders_;
	NDIlib_send_instance_t s = nullptr;  // the sender of start_sender()
};

// --- introduction: name, groups, configuration, connection metadata ---------------------

TEST_F(NdiRuntime, EveryReceiverGetsNameGroupsConfigAndConnectionMetadataInOrder)
{
	const char* config = R"({"ndi":{"vendor":{"name":"Mer-Vane","id":"X"}}})";
	s = create("Studio A", "cams,public", config);
	ASSERT_NE(s, nullptr);
	NDIlib_metadata_frame_t product(0, NDIlib_send_timecode_synthesize, const_cast<char*>("<ndi_product a=\"1\"/>"));
	NDIlib_metadata_frame_t caps(0, NDIlib_send_timecode_synthesize, const_cast<char*>("<ndi_capabilities b=\"2\"/>"));
	NDIlib_send_add_connection_metadata(s, &product);
	NDIlib_send_add_connection_metadata(s, &caps);

	for (int i = 0; i < 3; ++i) {
		Receiver rx;
		ASSERT_TRUE(rx.open(dir_, std::string("Studio A"), 3000));
		RxEvent ev = rx.next(1000);
		ASSERT_EQ(ev.kind, Kind::Source);
		EXPECT_EQ(ev.source.name, "Studio A");
		ASSERT_TRUE(ev.source.groups.has_value());
		EXPECT_EQ(*ev.source.groups, "cams,public");
		ASSERT_TRUE(ev.source.config.has_value());
		EXPECT_EQ(*ev.source.config, config);
		ev = rx.next(1000);
		ASSERT_EQ(ev.kind, Kind::ConnectionMetadata);
		EXPECT_EQ(ev.text, "<ndi_product a=\"1\"/>");
		ev = rx.next(1000);
		ASSERT_EQ(ev.kind, Kind::ConnectionMetadata);
		EXPECT_EQ(ev.text, "<ndi_capabilities b=\"2\"/>");
	}
}

TEST_F(NdiRuntime, MetadataAddedLaterReachesConnectedReceiversAndClearStopsIt)
{
	Receiver rx;
	ASSERT_NO_FATAL_FAILURE(start_sender("late", {&rx}));
	// A length that counts the terminator, as NDI allows.
	NDIlib_metadata_frame_t meta(9, 0, const_cast<char*>("<a b=1/>"));
	NDIlib_send_add_connection_metadata(s, &meta);
	RxEvent ev = next_of(rx, Kind::ConnectionMetadata);
	ASSERT_EQ(ev.kind, Kind::ConnectionMetadata);
	EXPECT_EQ(ev.text, "<a b=1/>");

	NDIlib_send_clear_connection_metadata(s);
	Receiver later;
	connect(later, "late");
	NDIlib_send_send_metadata(s, &meta);  // a marker that follows the introduction
	ev = later.next(2000);
	EXPECT_EQ(ev.kind, Kind::Metadata) << "cleared connection metadata was sent again";
}

TEST_F(NdiRuntime, NoGroupsNoConfigAndAwkwardNamesStillFound)
{
	const std::string names[] = {"", "a/b\\c %41 \"quoted\" ..", std::string(150, 'x') + "/end"};
	for (const std::string& n : names)
		ASSERT_NE(create(n.c_str()), nullptr) << n;
	std::vector<ndi_standin::SourceInfo> found = ndi_standin::find_sources(dir_);
	ASSERT_EQ(found.size(), 3u);
	for (const std::string& n : names) {
		Receiver rx;
		ASSERT_TRUE(rx.open(dir_, n, 2000)) << n;
		EXPECT_EQ(rx.source().name, n);
		EXPECT_FALSE(rx.source().groups.has_value());
		EXPECT_FALSE(rx.source().config.has_value());
	}
}

TEST_F(NdiRuntime, InvalidConfigurationWarnsOnceAndTheSenderStillWorks)
{
	testing::internal::CaptureStderr();
	NDIlib_send_instance_t bad = create("bad", nullptr, R"({"ndi":{"multicast":{"send":{"ttl":,"enable":true}}}})");
	std::string err = testing::internal::GetCapturedStderr();
	ASSERT_NE(bad, nullptr);
	EXPECT_NE(err.find("not valid JSON"), std::string::npos) << err;
	EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;

	testing::internal::CaptureStderr();
	NDIlib_send_instance_t good = create("good", nullptr, R"({"ndi":{"networks":{"discovery": "10.0.0.1"}}})");
	err = testing::internal::GetCapturedStderr();
	ASSERT_NE(good, nullptr);
	EXPECT_EQ(err, "");

	Receiver rx;
	connect(rx, "bad");
	EXPECT_EQ(*rx.source().config, R"({"ndi":{"multicast":{"send":{"ttl":,"enable":true}}}})");
}

TEST_F(NdiRuntime, StaleSocketIsSkippedAndReplaced)
{
	// A socket file whose listener is gone, as a crashed sender leaves it.
	int fd = socket(AF_UNIX, SOCK_STREAM, 0);
	sockaddr_un addr = unix_address(dir_ + "/stale.ndi");
	ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
	::close(fd);
	EXPECT_TRUE(ndi_standin::find_sources(dir_).empty());

	ASSERT_NE(create("stale"), nullptr);
	std::vector<ndi_standin::SourceInfo> found = ndi_standin::find_sources(dir_);
	ASSERT_EQ(found.size(), 1u);
	EXPECT_EQ(found[0].name, "stale");
}

TEST_F(NdiRuntime, TwoLiveSendersOfOneNameAreBothVisible)
{
	ASSERT_NE(create("twin"), nullptr);
	ASSERT_NE(create("twin"), nullptr);
	std::vector<ndi_standin::SourceInfo> found = ndi_standin::find_sources(dir_);
	ASSERT_EQ(found.size(), 2u);
	EXPECT_EQ(found[0].name, "twin");
	EXPECT_EQ(found[1].name, "twin");
	EXPECT_NE(found[0].path, found[1].path);
}

// --- tally -------------------------------------------------------------------------------

TEST_F(NdiRuntime, TallyWaitEndsAtTheTimeoutWithoutAChange)
{
	ASSERT_NO_FATAL_FAILURE(start_sender("tally"));
	NDIlib_tally_t t(true, true);
	Clock::time_point start = Clock::now();
	EXPECT_FALSE(NDIlib_send_get_tally(s, &t, 300));
	expect_waited(start, 290);
	EXPECT_FALSE(t.on_program);
	EXPECT_FALSE(t.on_preview);

	start = Clock::now();
	EXPECT_FALSE(NDIlib_send_get_tally(s, &t, 0));
	EXPECT_LT(elapsed_ms(start), 500);
}

TEST_F(NdiRuntime, TallyIsTheOrOverReceiversAndAWaitEndsOnTheChange)
{
	ASSERT_NO_FATAL_FAILURE(start_sender("tally"));
	std::vector<std::unique_ptr<Receiver>> rx;
	for (int i = 0; i < 5; ++i) {
		rx.push_back(std::make_unique<Receiver>());
		connect(*rx.back(), "tally");
	}
	wait_connections(s, 5);

	// A waiter blocked with a long time-out returns soon after the change.
	NDIlib_tally_t t;
	std::atomic<bool> changed{false};
	Clock::time_point start = Clock::now();
	std::thread waiter([&] { changed = NDIlib_send_get_tally(s, &t, 10000); });
	ASSERT_TRUE(rx[2]->set_tally(true, false));
	waiter.join();
	EXPECT_TRUE(changed);
	EXPECT_LT(elapsed_ms(start), 3000);
	EXPECT_TRUE(t.on_program);
	EXPECT_FALSE(t.on_preview);

	auto settle = [&](bool program, bool preview) {
		return testcommon::wait_until([&] {
			if (t.on_program == program && t.on_preview == preview)
				return true;
			NDIlib_send_get_tally(s, &t, 200);
			return false;
		});
	};
	ASSERT_TRUE(rx[4]->set_tally(false, true));
	EXPECT_TRUE(settle(true, true));
	ASSERT_TRUE(rx[2]->set_tally(false, false));
	EXPECT_TRUE(settle(false, true));
	// Another receiver on program, then gone: its vote leaves with it.
	ASSERT_TRUE(rx[0]->set_tally(true, true));
	EXPECT_TRUE(settle(true, true));
	rx[0]->close();
	EXPECT_TRUE(settle(false, true));
	rx[4]->close();
	EXPECT_TRUE(settle(false, false));
}

// --- metadata from receivers ---------------------------------------------------------------

TEST_F(NdiRuntime, CaptureTimesOutWithoutMetadata)
{
	ASSERT_NO_FATAL_FAILURE(start_sender("cap"));
	NDIlib_metadata_frame_t frame;
	Clock::time_point start = Clock::now();
	EXPECT_EQ(NDIlib_send_capture(s, &frame, 250), NDIlib_frame_type_none);
	expect_waited(start, 240);
	EXPECT_EQ(frame.p_data, nullptr);
}

TEST_F(NdiRuntime, EachMetadataFrameIsCapturedExactlyOnceAsAZeroTerminatedCopy)
{
	ASSERT_NO_FATAL_FAILURE(start_sender("cap"));
	Receiver a, b;
	connect(a, "cap");
	connect(b, "cap");

	// A capture already waiting is woken by the frame.
	NDIlib_metadata_frame_t frame;
	std::atomic<int> type{-1};
	Clock::time_point start = Clock::now();
	std::thread waiter([&] { type = NDIlib_send_capture(s, &frame, 10000); });
	const std::string zoom = "<ntk_ptz_zoom zoom=\"0.5\"/>";
	ASSERT_TRUE(a.send_metadata(zoom));
	waiter.join();
	EXPECT_LT(elapsed_ms(start), 3000);
	ASSERT_EQ(type, NDIlib_frame_type_metadata);
	ASSERT_NE(frame.p_data, nullptr);
	EXPECT_EQ(std::string(frame.p_data), zoom);
	EXPECT_EQ(frame.length, static_cast<int>(zoom.size() + 1));
	NDIlib_send_free_metadata(s, &frame);

	ASSERT_TRUE(b.send_metadata("<one/>"));
	ASSERT_TRUE(a.send_metadata("<two/>"));
	std::vector<std::string> got;
	for (int i = 0; i < 2; ++i) {
		NDIlib_metadata_frame_t f;
		ASSERT_EQ(NDIlib_send_capture(s, &f, 3000), NDIlib_frame_type_metadata);
		got.emplace_back(f.p_data, static_cast<size_t>(f.length - 1));
		EXPECT_EQ(f.p_data[f.length - 1], '\0');
		NDIlib_send_free_metadata(s, &f);
	}
	std::sort(got.begin(), got.end());
	EXPECT_EQ(got, (std::vector<std::string>{"<one/>", "<two/>"}));
	NDIlib_metadata_frame_t none;
	EXPECT_EQ(NDIlib_send_capture(s, &none, 200), NDIlib_frame_type_none) << "a frame came out twice";
}

// --- video and audio ---------------------------------------------------------------------

TEST_F(NdiRuntime, AsyncFrameIsReadAfterTheCallAndUntilTheNextSendOfItsStream)
{
	Receiver rx;
	ASSERT_NO_FATAL_FAILURE(start_sender("async", {&rx}));

	std::vector<uint8_t> a(1000, 0xAA), b(1000, 0xBB), p(200, 0x11);
	NDIlib_video_frame_v2_t fa = shq(a, false), fb = shq(b, false), fp = shq(p, true);
	NDIlib_send_send_video_async_v2(s, &fa);
	NDIlib_send_send_video_async_v2(s, &fp);  // the preview stream does not release a
	// Changed before the next send of its stream: the runtime must see the new bytes, which
	// proves it reads them after returning (an early free would be a use after free).
	a[0] = 0xA1;
	NDIlib_send_send_video_async_v2(s, &fb);
	// After the next send of the stream the buffer is the caller's again.
	std::fill(a.begin(), a.end(), 0x00);
	p[0] = 0x12;  // preview not sent again yet: still the runtime's
	NDIlib_send_send_video_async_v2(s, nullptr);
	std::fill(b.begin(), b.end(), 0x00);
	std::fill(p.begin(), p.end(), 0x00);

	std::vector<ndi_standin::VideoFrame> program, preview;
	while (program.size() < 2 || preview.size() < 1) {
		RxEvent ev = next_of(rx, Kind::Video);
		ASSERT_EQ(ev.kind, Kind::Video);
		(ev.video.stream == 0 ? program : preview).push_back(ev.video);
	}
	ASSERT_EQ(program[0].data.size(), 1000u);
	EXPECT_EQ(program[0].data[0], 0xA1);
	EXPECT_EQ(program[0].data[999], 0xAA);
	EXPECT_EQ(program[1].data, std::vector<uint8_t>(1000, 0xBB));
	EXPECT_EQ(preview[0].data[0], 0x12);
	EXPECT_EQ(preview[0].data[1], 0x11);
	EXPECT_EQ(preview[0].xres, 640);
	EXPECT_EQ(ndi_standin::fourcc_text(preview[0].fourcc), "shq0");
	EXPECT_EQ(ndi_standin::fourcc_text(program[1].fourcc), "SHQ2");
	EXPECT_EQ(program[1].frame_rate_n, 60000);
	EXPECT_EQ(program[1].frame_rate_d, 1001);
	EXPECT_FLOAT_EQ(program[1].aspect, 16.0f / 9.0f);
	// Both changes above broke the hold and were reported as such.
	EXPECT_EQ(NDIlib_standin_send_modified_while_held(s), 2u);
}

TEST_F(NdiRuntime, ABufferChangedWhileHeldIsReportedWhenReleased)
{
	Receiver rx;
	ASSERT_NO_FATAL_FAILURE(start_sender("held", {&rx}));
	// Odd sizes: a change in the last bytes falls outside the whole 8-byte words.
	std::vector<uint8_t> a(1001, 0xAA), b(1001, 0xBB), p(203, 0x11);
	NDIlib_video_frame_v2_t fa = shq(a, false), fb = shq(b, false), fp = shq(p, true);
	testing::internal::CaptureStderr();

	NDIlib_send_send_video_async_v2(s, &fa);
	NDIlib_send_send_video_async_v2(s, &fp);
	// Read by the worker once the receiver has both, yet still held. The sender's state lock,
	// which the worker took to pass them on, orders those reads before the change.
	EXPECT_EQ(next_of(rx, Kind::Video).kind, Kind::Video);
	EXPECT_EQ(next_of(rx, Kind::Video).kind, Kind::Video);
	NDIlib_standin_send_queued_media_bytes(s);
	a.back() = 0xA1;
	NDIlib_send_send_video_async_v2(s, &fb);  // releases a (changed), not p
	EXPECT_EQ(NDIlib_standin_send_modified_while_held(s), 1u);
	NDIlib_send_send_video_async_v2(s, nullptr);  // releases b and p, both unchanged
	EXPECT_EQ(NDIlib_standin_send_modified_while_held(s), 1u);
	std::fill(b.begin(), b.end(), 0x00);  // the caller's again
	p[0] = 0x12;

	NDIlib_send_send_video_async_v2(s, &fp);
	p[100] = 0x13;
	NDIlib_send_send_video_async_v2(s, nullptr);
	EXPECT_EQ(NDIlib_standin_send_modified_while_held(s), 2u);

	NDIlib_send_send_video_async_v2(s, &fa);
	a[0] = 0xA2;
	NDIlib_send_send_video_v2(s, &fb);  // a synchronous send of the stream releases it too
	EXPECT_EQ(NDIlib_standin_send_modified_while_held(s), 3u);

	NDIlib_send_send_video_async_v2(s, &fb);
	b[500] = 0xB1;
	destroy(s);

	const std::vector<std::string> lines = testcommon::lines_of(testing::internal::GetCapturedStderr());
	const char* const want[][2] = {
		{"program frame 1 (1920x1080 SHQ2)", "before the next send on its stream returned"},
		{"preview frame 2 (640x360 shq0)", "before a null send returned"},
		{"program frame 3 (1920x1080 SHQ2)", "before the next send on its stream returned"},
		{"program frame 4 (1920x1080 SHQ2)", "before the sender's destruction returned"},
	};
	ASSERT_EQ(lines.size(), 4u) << testing::PrintToString(lines);
	for (size_t i = 0; i < lines.size(); ++i) {
		EXPECT_EQ(lines[i].rfind("ndi-standin: ", 0), 0u) << lines[i];
		EXPECT_NE(lines[i].find("modified while held"), std::string::npos) << lines[i];
		EXPECT_NE(lines[i].find(want[i][0]), std::string::npos) << lines[i];
		EXPECT_NE(lines[i].find(want[i][1]), std::string::npos) << lines[i];
	}
}

TEST_F(NdiRuntime, FieldFramesKeepTheirFormatAndSizeOnTheWire)
{
	Receiver rx;
	ASSERT_NO_FATAL_FAILURE(start_sender("fields", {&rx}));
	std::vector<uint8_t> f0 = {0x63, 0x04, 0x00, 0x00, 1, 2, 3}, f1 = {0x63, 0x04, 0x00, 0x00, 9};
	NDIlib_video_frame_v2_t v0 = shq(f0, false), v1 = shq(f1, false);
	v0.yres = v1.yres = 540;
	v0.frame_format_type = NDIlib_frame_format_type_field_0;
	v1.frame_format_type = NDIlib_frame_format_type_field_1;
	NDIlib_send_send_video_async_v2(s, &v0);
	NDIlib_send_send_video_async_v2(s, &v1);
	NDIlib_send_send_video_async_v2(s, nullptr);
	RxEvent e0 = next_of(rx, Kind::Video), e1 = next_of(rx, Kind::Video);
	ASSERT_EQ(e1.kind, Kind::Video);
	EXPECT_EQ(e0.video.format, NDIlib_frame_format_type_field_0);
	EXPECT_EQ(e1.video.format, NDIlib_frame_format_type_field_1);
	EXPECT_EQ(e0.video.yres, 540);
	EXPECT_EQ(e0.video.data, f0);
	EXPECT_EQ(e1.video.line_stride_or_size, 5);
}

TEST_F(NdiRuntime, AudioSamplesArriveExactly)
{
	Receiver rx;
	ASSERT_NO_FATAL_FAILURE(start_sender("audio", {&rx}));
	std::vector<float> samples(960);
	for (size_t i = 0; i < samples.size(); ++i)
		samples[i] = static_cast<float>(i) / 8388608.0f * 5.0f - 1.0f / 3.0f;
	samples[1] = -5.0f;
	NDIlib_audio_frame_interleaved_32f_t frame(48000, 2, 480, NDIlib_send_timecode_synthesize, samples.data());
	NDIlib_util_send_send_audio_interleaved_32f(s, &frame);
	RxEvent ev = next_of(rx, Kind::Audio);
	ASSERT_EQ(ev.kind, Kind::Audio);
	EXPECT_EQ(ev.audio.sample_rate, 48000);
	EXPECT_EQ(ev.audio.channels, 2);
	EXPECT_EQ(ev.audio.samples, 480);
	EXPECT_NE(ev.audio.timecode, NDIlib_send_timecode_synthesize) << "the runtime stamps synthesized timecodes";
	EXPECT_EQ(ev.audio.data, samples);
}

TEST_F(NdiRuntime, AReceiverThatStopsReadingNeitherBlocksTheSenderNorGrowsItsQueue)
{
	Receiver stalled, reading;
	ASSERT_NO_FATAL_FAILURE(start_sender("slow", {&stalled, &reading}));

	// The reading receiver drains on its own thread and counts what it gets, and what the
	// sender told it was dropped when it fell behind.
	std::atomic<int> seen{0};
	std::atomic<int> dropped{0};
	std::atomic<bool> done{false};
	std::thread reader([&] {
		while (!done) {
			RxEvent ev = reading.next(100);
			if (ev.kind == Kind::Video)
				++seen;
			else if (ev.kind == Kind::Dropped)
				dropped = static_cast<int>(ev.dropped[0]);
		}
	});

	const int frames = 100;
	const size_t size = 512 * 1024;
	std::vector<std::vector<uint8_t>> bufs(2, std::vector<uint8_t>(size));
	size_t worst = 0;
	Clock::time_point start = Clock::now();
	for (int i = 0; i < frames; ++i) {
		std::vector<uint8_t>& buf = bufs[i % 2];  // the other one may still be in use
		memcpy(buf.data(), &i, sizeof(i));
		NDIlib_video_frame_v2_t f = shq(buf, false);
		NDIlib_send_send_video_async_v2(s, &f);
		worst = std::max(worst, NDIlib_standin_send_queued_media_bytes(s));
	}
	NDIlib_send_send_video_async_v2(s, nullptr);
	EXPECT_LT(elapsed_ms(start), 20000) << "sending was held back by the stalled receiver";
	// The stalled receiver's queue stays within its bound (plus the one being written).
	EXPECT_LE(worst, 2 * (16u << 20) + 2 * (size + 1024));

	// The reading receiver got every frame or was told it was dropped (when a slow machine
	// held its thread back).
	Clock::time_point wait = Clock::now();
	while (seen + dropped < frames && elapsed_ms(wait) < 10000)
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
	done = true;
	reader.join();
	EXPECT_EQ(seen + dropped, frames) << dropped << " dropped";
	EXPECT_TIMING(seen >= frames / 2, std::to_string(seen) + " of " + std::to_string(frames) + " frames kept up with");

	// The stalled one, once it reads, has lost old frames but gets the newest, and is told
	// how many it lost.
	int last = -1, count = 0;
	uint32_t lost = 0;
	for (;;) {
		RxEvent ev = stalled.next(500);
		if (ev.kind == Kind::None)
			break;
		if (ev.kind == Kind::Dropped)
			lost = ev.dropped[0];
		if (ev.kind == Kind::Video) {
			++count;
			memcpy(&last, ev.video.data.data(), sizeof(last));
		}
	}
	EXPECT_LT(count, frames);
	EXPECT_EQ(count + static_cast<int>(lost), frames);
	EXPECT_EQ(last, frames - 1);
}

// --- destruction -------------------------------------------------------------------------

TEST_F(NdiRuntime, DestroyTellsConnectedReceiversTheFailoverAndCloses)
{
	ASSERT_NO_FATAL_FAILURE(start_sender("main"));
	NDIlib_source_t failover("Backup Cam");
	NDIlib_send_set_failover(s, &failover);
	Receiver a, b;
	connect(a, "main");
	connect(b, "main");
	wait_connections(s, 2);

	Clock::time_point start = Clock::now();
	destroy(s);
	EXPECT_LT(elapsed_ms(start), 3000);
	for (Receiver* rx : {&a, &b}) {
		RxEvent ev = next_of(*rx, Kind::Failover);
		ASSERT_EQ(ev.kind, Kind::Failover);
		EXPECT_EQ(ev.text, "Backup Cam");
		EXPECT_EQ(rx->next(2000).kind, Kind::Disconnected);
	}
	EXPECT_TRUE(ndi_standin::find_sources(dir_).empty());
}

TEST_F(NdiRuntime, DestroyWithoutFailoverOnlyDisconnectsEvenWithAStalledReceiver)
{
	Receiver a, stalled;
	ASSERT_NO_FATAL_FAILURE(start_sender("main", {&a, &stalled}));
	std::vector<uint8_t> buf(4u << 20, 7);
	for (int i = 0; i < 10; ++i) {
		NDIlib_video_frame_v2_t f = shq(buf, false);
		NDIlib_send_send_video_v2(s, &f);
	}
	Clock::time_point start = Clock::now();
	destroy(s);
	EXPECT_LT(elapsed_ms(start), 3000);
	RxEvent ev;
	do
		ev = a.next(3000);
	while (ev.kind == Kind::Video);
	EXPECT_EQ(ev.kind, Kind::Disconnected);
}

// --- odd calls -----------------------------------------------------------------------------

TEST_F(NdiRuntime, CallsWithANullInstanceAreIgnored)
{
	std::vector<uint8_t> buf(16);
	NDIlib_video_frame_v2_t f = shq(buf, false);
	NDIlib_send_send_video_async_v2(nullptr, &f);
	NDIlib_send_send_video_v2(nullptr, &f);
	float pcm[4] = {};
	NDIlib_audio_frame_interleaved_32f_t audio(48000, 2, 2, NDIlib_send_timecode_synthesize, pcm);
	NDIlib_util_send_send_audio_interleaved_32f(nullptr, &audio);
	NDIlib_metadata_frame_t meta(0, 0, const_cast<char*>("<x/>"));
	NDIlib_send_add_connection_metadata(nullptr, &meta);
	NDIlib_send_clear_connection_metadata(nullptr);
	NDIlib_send_send_metadata(nullptr, &meta);
	NDIlib_source_t src("x");
	NDIlib_send_set_failover(nullptr, &src);
	NDIlib_tally_t t;
	EXPECT_FALSE(NDIlib_send_get_tally(nullptr, &t, 10));
	NDIlib_metadata_frame_t out;
	EXPECT_EQ(NDIlib_send_capture(nullptr, &out, 10), NDIlib_frame_type_none);
	EXPECT_EQ(NDIlib_send_get_source_name(nullptr), nullptr);
	NDIlib_send_destroy(nullptr);
}

TEST_F(NdiRuntime, TargetFrameSizeFollowsRasterAndChroma)
{
	NDIlib_video_frame_v2_t hd, uhd, prvw, hd420;
	hd.xres = 1920, hd.yres = 1080, hd.FourCC = NDIlib_FourCC_video_type_ex_SHQ2_highest_bandwidth;
	uhd = hd, uhd.xres = 3840, uhd.yres = 2160;
	prvw = hd, prvw.xres = 640, prvw.yres = 360;
	hd420 = hd, hd420.FourCC = NDIlib_FourCC_video_type_ex_SHQ0_highest_bandwidth;
	int s_hd = NDIlib_send_get_target_frame_size(nullptr, &hd);
	EXPECT_EQ(s_hd, 1920 * 1080 * 5 / 32);  // 1.25 bits per pixel
	EXPECT_GT(NDIlib_send_get_target_frame_size(nullptr, &uhd), 3 * s_hd);
	EXPECT_LT(NDIlib_send_get_target_frame_size(nullptr, &prvw), s_hd / 8);
	EXPECT_LT(NDIlib_send_get_target_frame_size(nullptr, &hd420), s_hd);
	NDIlib_video_frame_v2_t empty;
	EXPECT_EQ(NDIlib_send_get_target_frame_size(nullptr, &empty), 0);
	EXPECT_EQ(NDIlib_send_get_target_frame_size(nullptr, nullptr), 0);
}

// --- robustness --------------------------------------------------------------------------

TEST_F(NdiRuntime, AReceiverSendingGarbageIsDroppedAndOthersCarryOn)
{
	ASSERT_NO_FATAL_FAILURE(start_sender("robust"));
	Receiver good;
	connect(good, "robust");
	int bad = -1;
	{
		std::vector<ndi_standin::SourceInfo> found = ndi_standin::find_sources(dir_);
		ASSERT_EQ(found.size(), 1u);
		sockaddr_un addr = unix_address(found[0].path);
		bad = socket(AF_UNIX, SOCK_STREAM, 0);
		ASSERT_EQ(::connect(bad, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
	}
	wait_connections(s, 2);
	// A tally message announcing a 4 GiB body.
	const uint8_t junk[] = {16, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 1, 1};
	ASSERT_EQ(::send(bad, junk, sizeof(junk), MSG_NOSIGNAL), static_cast<ssize_t>(sizeof(junk)));
	testcommon::wait_until([&] { return NDIlib_send_get_no_connections(s, 0) == 1; });
	EXPECT_EQ(NDIlib_send_get_no_connections(s, 0), 1) << "the broken receiver was kept";
	::close(bad);

	NDIlib_tally_t t;
	EXPECT_FALSE(NDIlib_send_get_tally(s, &t, 0)) << "the broken message changed the tally";
	ASSERT_TRUE(good.set_tally(true, false));
	EXPECT_TRUE(NDIlib_send_get_tally(s, &t, 3000));
	EXPECT_TRUE(t.on_program);
}

TEST_F(NdiRuntime, UncollectedMetadataIsBoundedAndKeepsTheNewest)
{
	Receiver rx;
	ASSERT_NO_FATAL_FAILURE(start_sender("flood", {&rx}));
	const int sent = 600;
	for (int i = 0; i < sent; ++i)
		ASSERT_TRUE(rx.send_metadata("<m i=\"" + std::to_string(i) + "\"/>"));
	ASSERT_TRUE(rx.send_metadata("<end/>"));

	// Collect until the marker; fewer than were sent, the last ones all present.
	std::vector<std::string> got;
	for (;;) {
		NDIlib_metadata_frame_t f;
		ASSERT_EQ(NDIlib_send_capture(s, &f, 3000), NDIlib_frame_type_metadata);
		std::string text(f.p_data);
		NDIlib_send_free_metadata(s, &f);
		if (text == "<end/>")
			break;
		got.push_back(text);
	}
	EXPECT_LT(got.size(), static_cast<size_t>(sent));
	ASSERT_FALSE(got.empty());
	EXPECT_EQ(got.back(), "<m i=\"" + std::to_string(sent - 1) + "\"/>");
}

TEST_F(NdiRuntime, DestroySendsTheFramesStillPendingBeforeDisconnecting)
{
	Receiver rx;
	ASSERT_NO_FATAL_FAILURE(start_sender("pending", {&rx}));
	std::vector<uint8_t> prog(300, 0x5A), prvw(30, 0xA5);
	NDIlib_video_frame_v2_t fp = shq(prog, false), fv = shq(prvw, true);
	NDIlib_send_send_video_async_v2(s, &fp);
	NDIlib_send_send_video_async_v2(s, &fv);
	destroy(s);  // the buffers are still valid here, as the contract allows
	int program = 0, preview = 0;
	RxEvent ev;
	while ((ev = rx.next(3000)).kind == Kind::Video) {
		EXPECT_EQ(ev.video.data, ev.video.stream == 0 ? prog : prvw);
		++(ev.video.stream == 0 ? program : preview);
	}
	EXPECT_EQ(ev.kind, Kind::Disconnected);
	EXPECT_EQ(program, 1);
	EXPECT_EQ(preview, 1);
}

TEST_F(NdiRuntime, ConnectionCountWaitHonoursItsTimeout)
{
	ASSERT_NO_FATAL_FAILURE(start_sender("count"));
	Clock::time_point start = Clock::now();
	EXPECT_EQ(NDIlib_send_get_no_connections(s, 200), 0);
	expect_waited(start, 190);
	Receiver rx;
	connect(rx, "count");
	EXPECT_EQ(NDIlib_send_get_no_connections(s, 3000), 1);
}

TEST_F(NdiRuntime, ConcurrentSendersTallyAndCaptureWhileReceiversComeAndGo)
{
	ASSERT_NO_FATAL_FAILURE(start_sender("busy"));
	std::atomic<bool> run{true};
	std::vector<std::thread> threads;
	// Program and preview senders, each keeping its last buffer alive until its next send.
	for (int stream = 0; stream < 2; ++stream)
		threads.emplace_back([&, stream] {
			std::vector<std::vector<uint8_t>> bufs(2, std::vector<uint8_t>(stream ? 2000 : 20000));
			for (int i = 0; run; ++i) {
				std::vector<uint8_t>& b = bufs[i % 2];
				b.assign(b.size(), static_cast<uint8_t>(i));
				NDIlib_video_frame_v2_t f = shq(b, stream == 1);
				NDIlib_send_send_video_async_v2(s, &f);
				std::this_thread::sleep_for(std::chrono::milliseconds(2));
			}
			NDIlib_send_send_video_async_v2(s, nullptr);
		});
	threads.emplace_back([&] {
		std::vector<float> pcm(960, 0.25f);
		NDIlib_audio_frame_interleaved_32f_t a(48000, 2, 480, NDIlib_send_timecode_synthesize, pcm.data());
		while (run) {
			NDIlib_util_send_send_audio_interleaved_32f(s, &a);
			std::this_thread::sleep_for(std::chrono::milliseconds(1));
		}
	});
	std::atomic<int> tally_changes{0}, captured{0};
	threads.emplace_back([&] {
		NDIlib_tally_t t;
		while (run)
			if (NDIlib_send_get_tally(s, &t, 50))
				++tally_changes;
	});
	threads.emplace_back([&] {
		while (run) {
			NDIlib_metadata_frame_t f;
			if (NDIlib_send_capture(s, &f, 50) == NDIlib_frame_type_metadata) {
				++captured;
				NDIlib_send_free_metadata(s, &f);
			}
		}
	});

	int videos = 0;
	for (int round = 0; round < 10; ++round) {
		Receiver rx;
		connect(rx, "busy");
		ASSERT_TRUE(rx.set_tally(round % 2 == 0, false));
		ASSERT_TRUE(rx.send_metadata("<r/>"));
		RxEvent ev = next_of(rx, Kind::Video);
		ASSERT_EQ(ev.kind, Kind::Video);
		// Every frame carries one byte value throughout: no torn buffers.
		EXPECT_EQ(std::count(ev.video.data.begin(), ev.video.data.end(), ev.video.data[0]),
		          static_cast<long>(ev.video.data.size()));
		++videos;
	}
	testcommon::wait_until([&] { return captured >= 10; });
	run = false;
	for (std::thread& t : threads)
		t.join();
	EXPECT_EQ(videos, 10);
	EXPECT_EQ(captured.load(), 10);
	EXPECT_GE(tally_changes.load(), 1);
}

// --- start-up ------------------------------------------------------------------------------

TEST_F(NdiRuntime, AvahiReportIsOneLinePerInitialiseAndOnlyWhenAsked)
{
	unsetenv("NDI_STANDIN_REPORT_AVAHI");
	testing::internal::CaptureStderr();
	EXPECT_TRUE(NDIlib_initialize());
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

	setenv("NDI_STANDIN_REPORT_AVAHI", "1", 1);
	testing::internal::CaptureStderr();
	EXPECT_TRUE(NDIlib_initialize());
	std::string err = testing::internal::GetCapturedStderr();
	unsetenv("NDI_STANDIN_REPORT_AVAHI");
	unsigned found = 99, total = 0;
	ASSERT_EQ(sscanf(err.c_str(), "ndi-standin: avahi-client functions resolved: %u of %u", &found, &total), 2) << err;
	EXPECT_EQ(total, 12u);
	EXPECT_LE(found, total);
	EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
	EXPECT_EQ(err.back(), '\n');
}

// --- the receiver against a hand-made sender: the documented wire format -----------------

void put32(std::vector<uint8_t>& b, uint32_t v)
{
	for (int i = 0; i < 4; ++i)
		b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void put_str(std::vector<uint8_t>& b, const std::string& s)
{
	put32(b, static_cast<uint32_t>(s.size()));
	b.insert(b.end(), s.begin(), s.end());
}

std::vector<uint8_t> message(uint32_t type, const std::vector<uint8_t>& body)
{
	std::vector<uint8_t> m;
	put32(m, type);
	put32(m, static_cast<uint32_t>(body.size()));
	m.insert(m.end(), body.begin(), body.end());
	return m;
}

// Listens on a socket file of the test directory and plays one scripted connection.
class FakeSender
{
public:
	explicit FakeSender(const std::string& path)
	{
		fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
		sockaddr_un addr = unix_address(path);
		ok_ = bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 && listen(fd_, 4) == 0;
	}
	~FakeSender()
	{
		if (thread_.joinable())
			thread_.join();
		::close(fd_);
	}
	bool ok() const { return ok_; }
	void play(std::vector<uint8_t> bytes)
	{
		thread_ = std::thread([this, bytes] {
			int c = accept(fd_, nullptr, nullptr);
			if (c < 0)
				return;
			ssize_t r = ::send(c, bytes.data(), bytes.size(), MSG_NOSIGNAL);
			(void)r;
			::shutdown(c, SHUT_WR);
			char drain[64];
			while (::recv(c, drain, sizeof(drain), 0) > 0) {
			}
			::close(c);
		});
	}

private:
	int fd_ = -1;
	bool ok_ = false;
	std::thread thread_;
};

TEST_F(NdiRuntime, ReceiverReadsTheDocumentedFormatSkipsUnknownTypesAndStopsAtATruncatedFrame)
{
	FakeSender fake(dir_ + "/fake.ndi");
	ASSERT_TRUE(fake.ok());
	std::vector<uint8_t> script, body;
	put32(body, 1);
	put_str(body, "Fake");
	body.push_back(0);  // no groups
	body.push_back(1);
	put_str(body, "{}");
	script = message(1, body);
	std::vector<uint8_t> unknown = message(99, {1, 2, 3});
	script.insert(script.end(), unknown.begin(), unknown.end());
	body.clear();
	put_str(body, "<meta/>");
	std::vector<uint8_t> meta = message(2, body);
	script.insert(script.end(), meta.begin(), meta.end());
	// A video message whose data size claims more bytes than the message holds.
	body.assign(1, 0);
	for (uint32_t v : {640u, 360u, 0x30716873u, 30000u, 1001u, 0x3FE38E39u, 1u, 0u, 0u, 0u, 0u, 0u})
		put32(body, v);
	body.push_back(0);  // no metadata
	put32(body, 1000);
	body.insert(body.end(), 10, 0x63);
	std::vector<uint8_t> video = message(3, body);
	script.insert(script.end(), video.begin(), video.end());
	fake.play(script);

	Receiver rx;
	ASSERT_TRUE(rx.open(dir_, std::string("Fake"), 3000));
	RxEvent ev = rx.next(1000);
	ASSERT_EQ(ev.kind, Kind::Source);
	EXPECT_FALSE(ev.source.groups.has_value());
	EXPECT_EQ(*ev.source.config, "{}");
	ev = rx.next(1000);
	ASSERT_EQ(ev.kind, Kind::ConnectionMetadata) << "the unknown message was not skipped";
	EXPECT_EQ(ev.text, "<meta/>");
	EXPECT_EQ(rx.next(1000).kind, Kind::Disconnected);
	EXPECT_FALSE(rx.connected());
	EXPECT_EQ(rx.next(0).kind, Kind::None);
}

TEST_F(NdiRuntime, AListenerThatNeverIntroducesItselfIsNotASource)
{
	FakeSender mute(dir_ + "/mute.ndi");
	ASSERT_TRUE(mute.ok());
	mute.play({});  // accepts, says nothing, hangs up
	Clock::time_point start = Clock::now();
	EXPECT_TRUE(ndi_standin::find_sources(dir_).empty());
	EXPECT_LT(elapsed_ms(start), 3000);
}

}  // namespace
