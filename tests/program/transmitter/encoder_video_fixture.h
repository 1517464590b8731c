// A virtual appliance with the encoder model, a stand-in NDI source and a transmitter, for the
// video pipeline's unit tests.
#pragma once

#include <fcntl.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <Processing.NDI.Lib.h>
#include <gtest/gtest.h>
#include <ndi_standin_rx.h>
#include <nlohmann/json.hpp>

#include "NdiTransmitter.h"
#include "encoder_model.h"
#include "sim_board_fixture.h"
#include "speedhq_bank.h"

namespace videotest {

// Sends standard output to a file while it lives, so a test can read what the threads print
// while they run. Line-buffered, so each puts reaches the file at once.
class StdoutCapture {
public:
	explicit StdoutCapture(const std::string& file) : file_(file)
	{
		fflush(stdout);
		saved_ = dup(STDOUT_FILENO);
		int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
		dup2(fd, STDOUT_FILENO);
		close(fd);
		setvbuf(stdout, nullptr, _IOLBF, 0);
	}
	~StdoutCapture()
	{
		fflush(stdout);
		dup2(saved_, STDOUT_FILENO);
		close(saved_);
		// gtest reports failures on standard output too: give them back.
		if (::testing::Test::HasFailure())
			for (const std::string& line : lines())
				printf("%s\n", line.c_str());
	}
	std::vector<std::string> lines() const
	{
		fflush(stdout);
		return testcommon::lines_of(testcommon::read_file(file_));
	}
	size_t count(const std::string& line) const
	{
		auto all = lines();
		return static_cast<size_t>(std::count(all.begin(), all.end(), line));
	}
	// Index of the first line equal to `line`.
	std::optional<size_t> find(const std::string& line) const
	{
		auto all = lines();
		auto at = std::find(all.begin(), all.end(), line);
		return at == all.end() ? std::nullopt : std::optional<size_t>(at - all.begin());
	}

private:
	std::string file_;
	int saved_ = -1;
};

// One logged encoder request: its number and, except for hold and release, its argument.
struct Req {
	int req;
	int arg;  // -1 for hold and release
	bool operator==(const Req& o) const { return req == o.req && arg == o.arg; }
};
inline std::ostream& operator<<(std::ostream& os, const Req& r)
{
	return r.arg < 0 ? os << "{" << r.req << "}" : os << "{" << r.req << "," << r.arg << "}";
}

// Frames taken off the two send queues by a consumer of the test's own, standing in for the
// send threads; it ends at both end markers. `mutex` protects both lists and the flags.
struct QueueTap {
	std::mutex mutex;
	std::condition_variable changed;
	std::vector<std::shared_ptr<NdiTransmitter::frame_t>> full, prvw;
	bool full_ended = false, prvw_ended = false;
	std::thread full_thread, prvw_thread;

	void start(NdiTransmitter& tx)
	{
		full_thread = std::thread([this, &tx] { drain(tx, false); });
		prvw_thread = std::thread([this, &tx] { drain(tx, true); });
	}
	void join()
	{
		for (std::thread* t : {&full_thread, &prvw_thread})
			if (t->joinable())
				t->join();
	}
	bool wait(const std::function<bool()>& pred, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000))
	{
		std::unique_lock<std::mutex> lock(mutex);
		return changed.wait_for(lock, timeout, pred);
	}

private:
	void drain(NdiTransmitter& tx, bool preview)
	{
		std::mutex& lock = preview ? tx.m_ndi_prvw_send_queue_lock : tx.m_ndi_full_send_queue_lock;
		auto& cv = preview ? tx.m_ndi_prvw_send_queue_condvar : tx.m_ndi_full_send_queue_condvar;
		auto& queue = preview ? tx.m_ndi_prvw_send_queue : tx.m_ndi_full_send_queue;
		for (;;) {
			std::shared_ptr<NdiTransmitter::frame_t> frame;
			{
				std::unique_lock<std::mutex> guard(lock);
				cv.wait(guard, [&] { return !queue.empty(); });
				frame = queue.front();
				queue.pop();
			}
			std::lock_guard<std::mutex> guard(mutex);
			if (!frame) {
				(preview ? prvw_ended : full_ended) = true;
				changed.notify_all();
				return;
			}
			(preview ? prvw : full).push_back(frame);
			changed.notify_all();
		}
	}
};

// A started board (HDMI input `hdmi`), the stand-in NDI directory below it, a transmitter.
class VideoTest : public simtest::BoardTest {
protected:
	void before_setup() override
	{
		write_text("sim/hdmi", hdmi_ + "\n");
		setenv("NDI_STANDIN_DIR", path("ndi").c_str(), 1);
		NDIlib_initialize();
	}

	void TearDown() override
	{
		// Whatever a failed case left running is stopped, so the threads can be destroyed.
		if (tx.encodeRunning)
			tx.stop_encode();
		if (acquisition.joinable()) {
			tx.encodeRunning = false;
			acquisition.join();
		}
		tap.join();
		if (tx.m_mervanespeedhqDevice > 0)
			tx.unmap_NdiTransmitter_mem();
		if (tx.ndi_tx_inst != nullptr)
			NDIlib_send_destroy(tx.ndi_tx_inst);
		tx.ndi_tx_inst = nullptr;
		BoardTest::TearDown();
		unsetenv("NDI_STANDIN_DIR");
	}

	sim::EncoderModel& model() { return *sim::EncoderModel::installed(); }

	// The encoder requests logged so far, from the `from`-th on.
	std::vector<Req> requests(size_t from = 0) const
	{
		std::vector<Req> out;
		for (const std::string& line : event_lines()) {
			auto j = nlohmann::json::parse(line, nullptr, false);
			if (j.is_discarded() || j.value("dev", "") != "encoder" || !j.contains("req"))
				continue;
			out.push_back({j["req"].get<int>(), j.contains("arg") ? j["arg"].get<int>() : -1});
		}
		if (from >= out.size())
			return {};
		return std::vector<Req>(out.begin() + static_cast<long>(from), out.end());
	}

	// Only the requests of starting and stopping: the settings thread's rate and quality
	// requests interleave with them as it pleases.
	std::vector<Req> start_stop_requests(size_t from = 0) const
	{
		std::vector<Req> out;
		for (const Req& r : requests(from))
			if (r.req == 0 || r.req == 1 || r.req == 3 || r.req == 4 || r.req == 7 || r.req == 8 || r.req == 11)
				out.push_back(r);
		return out;
	}

	// Programs the device as a start for `code` does and runs the acquisition thread alone,
	// with `tap` in place of the send threads.
	void run_acquisition(int code, int mode, int enable_4k)
	{
		tx.map_NdiTransmitter_mem(-1);
		int32_t v = mode;
		ioctl(tx.m_mervanespeedhqDevice, 11, &v);
		v = enable_4k;
		ioctl(tx.m_mervanespeedhqDevice, 7, &v);
		tx.setup_video_frame(code);
		tx.encodeRunning = true;
		tap.start(tx);
		acquisition = std::thread(&NdiTransmitter::wait_ndi_frame, &tx);
	}

	// Clears the run flag and waits for the acquisition thread and both end markers.
	void stop_acquisition()
	{
		tx.encodeRunning = false;
		acquisition.join();
		EXPECT_TRUE(tap.wait([&] { return tap.full_ended && tap.prvw_ended; }));
		tap.join();
	}

	// Position of `frame`'s bytes in the bank of `key`, or -1.
	static int bank_index(const NdiTransmitter::frame_t& frame, const sim::SpeedhqBankKey& key)
	{
		auto bank = sim::speedhq_bank(key);
		if (!bank)
			return -1;
		for (size_t i = 0; i < bank->frames.size(); ++i) {
			const std::vector<uint8_t>& f = *bank->frames[i];
			if (static_cast<int>(f.size()) == frame.frame_data_size &&
			    std::equal(f.begin(), f.end(), frame.frame_data.get()))
				return static_cast<int>(i);
		}
		return -1;
	}

	// A frame or a frame description with this raster, FourCC and rate.
	template <typename Frame>
	static void expect_frame(const Frame& f, int xres, int yres, NDIlib_FourCC_video_type_e fourcc, int rate_n, int rate_d)
	{
		EXPECT_EQ(xres, f.xres);
		EXPECT_EQ(yres, f.yres);
		EXPECT_EQ(fourcc, f.FourCC);
		EXPECT_EQ(rate_n, f.frame_rate_N);
		EXPECT_EQ(rate_d, f.frame_rate_D);
	}

	static sim::SpeedhqBankKey key(int w, int h, bool c420)
	{
		sim::SpeedhqBankKey k;
		k.width = w;
		k.height = h;
		k.chroma_420 = c420;
		return k;
	}

	// A stand-in NDI sender for the transmitter, and a receiver connected to it.
	void make_sender(ndi_standin::Receiver& rx)
	{
		NDIlib_send_create_t create("vexo video test", nullptr, true, true);
		tx.ndi_tx_inst = NDIlib_send_create(&create);
		ASSERT_NE(nullptr, tx.ndi_tx_inst);
		ASSERT_TRUE(rx.open(path("ndi"), std::string("vexo video test"), 3000));
		ASSERT_EQ(ndi_standin::RxEvent::Kind::Source, rx.next(1000).kind);
	}

	std::string hdmi_ = "1080p59.94";
	NdiTransmitter tx;
	QueueTap tap;
	std::thread acquisition;
};

}  // namespace videotest
