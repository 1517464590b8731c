// Microbenchmarks of the frame path: one acquisition pass against the encoder model, the
// hand-off through a send queue, and add_frame into the stand-in NDI runtime.
//
//   build/default/bench/frame_path_bench [--benchmark_filter=...]
//
// Each case reports CPU time per frame beside wall time; the acquisition pass waits for the
// model's frame clock, so its wall time is the frame period and its CPU time the cost.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include <Processing.NDI.Lib.h>

#include "NdiTransmitter.h"
#include "mervane_speedhq.h"
#include "board.h"
#include "encoder_model.h"
#include "frame_heap.h"
#include "mervane_av_format.h"
#include "vexo_path.h"

namespace {

// A started board on a temporary sysroot, for the whole run.
class Appliance {
public:
	Appliance()
	{
		char templ[] = "/tmp/vexo-bench-XXXXXX";
		if (mkdtemp(templ) == nullptr) {
			perror("mkdtemp");
			exit(1);
		}
		root_ = templ;
		setenv("VEXO_SYSROOT", root_.c_str(), 1);
		mkdir((root_ + "/sim").c_str(), 0755);
		mkdir((root_ + "/ndi").c_str(), 0755);
		setenv("NDI_STANDIN_DIR", (root_ + "/ndi").c_str(), 1);
		sim::Board::instance().start(root_);
	}
	~Appliance()
	{
		sim::Board::instance().stop();
		std::string cmd = "rm -rf '" + root_ + "'";
		if (system(cmd.c_str()) != 0)
			fprintf(stderr, "could not remove %s\n", root_.c_str());
	}
	void set_source(const char* format) const { std::ofstream(root_ + "/sim/hdmi", std::ios::trunc) << format << "\n"; }

private:
	std::string root_;
};

Appliance& appliance()
{
	static Appliance instance;
	return instance;
}

void request(int fd, unsigned long req, int32_t value)
{
	ioctl(fd, req, &value);
}

// The encoder programmed for a format as start_encode does it, then released.
void program_encoder(NdiTransmitter& tx, int code, int mode, int enable_4k)
{
	const int fd = tx.m_mervanespeedhqDevice;
	request(fd, mervane_speedhq::kMode, mode);
	request(fd, mervane_speedhq::kEnable4k, enable_4k);
	tx.setup_video_frame(code);
	ioctl(fd, mervane_speedhq::kRelease);
}

// One pass of the acquisition loop: status, the program frame, the preview when due, each
// into a fresh buffer of its size and onto its queue.
void BM_AcquisitionPass(benchmark::State& state)
{
	const int code = static_cast<int>(state.range(0));
	appliance().set_source(code == video_format_2160_30p ? "2160p30" : "1080p59.94");
	NdiTransmitter tx;
	tx.map_NdiTransmitter_mem(-1);
	program_encoder(tx, code, code == video_format_2160_30p ? 0 : 2, code == video_format_2160_30p ? 1 : 0);
	tx.init_frame_drop = tx.init_frame_drop_count;
	const int fd = tx.m_mervanespeedhqDevice;
	uint32_t status[6];
	bool prev_skip = true;
	auto pass = [&] {
		request(fd, mervane_speedhq::kReadSelect, mervane_speedhq::kSelectStatus);
		if (read(fd, status, 6) < 1)
			return false;
		if (!tx.copy_full())
			return false;
		if (prev_skip && tx.skip_prev_frame_en) {
			prev_skip = false;
		} else {
			tx.copy_prvw();
			prev_skip = true;
		}
		return true;
	};
	for (int i = 0; i < 4; ++i)  // the first pass makes the model's banks
		pass();
	for (auto _ : state) {
		if (!pass())
			state.SkipWithError("no frame from the encoder model");
	}
	state.SetItemsProcessed(state.iterations());
	tx.unmap_NdiTransmitter_mem();
}
BENCHMARK(BM_AcquisitionPass)->Arg(video_format_1080_59p)->Arg(video_format_2160_30p)->Iterations(120)
	->Unit(benchmark::kMicrosecond);

// A frame pushed by one thread and taken by another that waits on the queue, as the send
// threads do: the time from the push until the consumer holds it.
void BM_QueueHandoff(benchmark::State& state)
{
	NdiTransmitter tx;
	std::atomic<unsigned> taken{0};
	std::thread consumer([&] {
		for (;;) {
			std::shared_ptr<NdiTransmitter::frame_t> frame;
			{
				std::unique_lock<std::mutex> guard(tx.m_ndi_full_send_queue_lock);
				tx.m_ndi_full_send_queue_condvar.wait(guard, [&] { return !tx.m_ndi_full_send_queue.empty(); });
				frame = tx.m_ndi_full_send_queue.front();
				tx.m_ndi_full_send_queue.pop();
			}
			if (!frame)
				return;
			taken.fetch_add(1, std::memory_order_release);
		}
	});
	auto frame = std::make_shared<NdiTransmitter::frame_t>();
	unsigned sent = 0;
	for (auto _ : state) {
		tx.queue_frame(frame, false);
		++sent;
		while (taken.load(std::memory_order_acquire) != sent)
			std::this_thread::yield();
	}
	tx.queue_frame(nullptr, false);
	consumer.join();
	state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_QueueHandoff)->Unit(benchmark::kMicrosecond)->UseRealTime();

// add_frame of a program frame of the given size into a stand-in sender without receivers.
void BM_AddFrame(benchmark::State& state)
{
	appliance();
	NDIlib_initialize();
	NDIlib_send_create_t create("bench", nullptr, true, false);
	NdiTransmitter tx;
	tx.ndi_tx_inst = NDIlib_send_create(&create);
	if (tx.ndi_tx_inst == nullptr) {
		state.SkipWithError("no stand-in sender");
		return;
	}
	const int size = static_cast<int>(state.range(0));
	auto make_frame = [size] {
		auto frame = std::make_shared<NdiTransmitter::frame_t>();
		frame->xres = 3840;
		frame->yres = 2160;
		frame->FourCC = NDIlib_FourCC_video_type_ex_SHQ2_highest_bandwidth;
		frame->frame_rate_N = 30000;
		frame->frame_rate_D = 1000;
		frame->frame_format_type = NDIlib_frame_format_type_progressive;
		frame->frame_data.reset(new uint8_t[size]);
		memset(frame->frame_data.get(), 0x55, size);
		const uint8_t header[4] = {92, 4, 0, 0};
		memcpy(frame->frame_data.get(), header, sizeof(header));
		frame->frame_data_size = size;
		return frame;
	};
	std::shared_ptr<NdiTransmitter::frame_t> frames[2] = {make_frame(), make_frame()};
	unsigned i = 0;
	for (auto _ : state)
		tx.add_frame(frames[i++ & 1], false);
	NDIlib_send_send_video_async_v2(tx.ndi_tx_inst, nullptr);
	NDIlib_send_destroy(tx.ndi_tx_inst);
	tx.ndi_tx_inst = nullptr;
	state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AddFrame)->Arg(77 << 10)->Arg(260 << 10)->Arg(416 << 10)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv)
{
	prepare_frame_heap();
	benchmark::Initialize(&argc, argv);
	if (benchmark::ReportUnrecognizedArguments(argc, argv))
		return 1;
	benchmark::RunSpecifiedBenchmarks();
	benchmark::Shutdown();
	return 0;
}
