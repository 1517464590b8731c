// The FPGA SpeedHQ encoder behind /dev/mervane-speedhq in the virtual appliance.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdint.h>
#include <string>
#include <vector>

#include "board.h"
#include "clip_bank.h"
#include "mervane_speedhq.h"
#include "speedhq_bank.h"

namespace sim {

// What the HDMI input delivers to the encoder: nothing, or a raster at a frame rate. The
// receiver model (adv7619_model.h) owns the source; the board's encoder asks it at every tick.
struct EncoderSource {
	bool present = false;
	int width = 0;
	int height = 0;     // whole frame height, 1080 for 1080i
	bool interlaced = false;
	int rate_n = 0;     // frames per second as a fraction (fields run at twice the rate)
	int rate_d = 1;
};

// Makes the next board start encode, beside the program's start-up, the SpeedHQ banks that a
// start in the start-up source's format reads first, so that the program's first status read
// does not hold its acquisition thread for the encode (seconds on a slow or emulated core).
// vexoenc-sim asks for it; unit tests, which start many boards, do not.
void warm_up_banks_at_next_start();

// Told of each frame the model reads out: the program's buffer it went into, the stream (true:
// preview), the frame clock's tick number and when that tick made the frame ready
// (CLOCK_MONOTONIC, ns). The benchmark's latency probe sets one before the board starts.
using FrameReadObserver = void (*)(const void* buf, bool preview, uint64_t tick, int64_t ready_ns);
void set_frame_read_observer(FrameReadObserver observer);

// EncoderModel: the encoder seen by the program through the device node, plus the knobs of
// the control file sim/encoder. One instance per board, shared by every open descriptor;
// the acquisition and settings threads use one descriptor at the same time, so all state is
// guarded by `lock_`, except the bank encode, which runs unlocked so that a first start on
// a new raster does not stall the settings thread's requests.
//
// The frame clock ticks at the source's rate (fields for interlaced sources) and keeps
// ticking on a black picture when the source goes away. Each tick makes the next bank frame
// current and hands out the next buffer number, 1 to 5 in turn. A status read waits for a
// tick; while the encoder is held it waits for the release, and a hold that arrives during
// the wait ends it at once with the next frame, so no reader is left blocked on a stopped
// encoder.
class EncoderModel {
public:
	// The device's requests and selections are those of mervane_speedhq.h.
	using Request = mervane_speedhq::Request;
	using Selection = mervane_speedhq::Selection;

	// `board` receives the event lines; null keeps them quiet (model-only tests).
	explicit EncoderModel(Board* board);
	~EncoderModel();

	// The device side, called by each descriptor with its own selection.
	int ioctl(unsigned long request, void* arg, std::atomic<int>& selection);
	ssize_t read(void* buf, size_t count, int selection);

	// The knob side. A control line: "novalid N", "same", "badheader", "shortread",
	// "selectfail", "sizefail", "hugesize", "ok". Returns false for a line it does not know.
	bool control(const std::string& line);
	// The picture of the HDMI input (control file sim/picture): "testcard", "pattern" (a
	// moving picture made on the spot), or "clip PATH", a clip libavformat reads, converted
	// to the format's raster and rate. A clip is made
	// into its banks first (a progress line on standard error); one that cannot be read is
	// an error event and leaves the picture as it was. Returns false for a line it does not know.
	bool set_picture(const std::string& line);
	// Where the model learns the input; asked at every tick.
	void set_source_provider(std::function<EncoderSource()> provider);
	// The input a mode usually has (1080p59.94 for mode 2 ...), for a board without HDMI
	// side; only for use inside the provider, which runs with the model's lock held.
	EncoderSource nominal_source() const;
	// Wakes every waiting read with an error (used when the board goes away).
	void shut_down();

	// The installed model of the running board, or null.
	static EncoderModel* installed();
	static void set_installed(EncoderModel* model);

	// What the device was last told, for tests.
	struct Settings {
		bool held = true;
		int pix_format_420 = 0;
		int mode = mervane_speedhq::kMode1080p;
		int enable_4k = 0;
		int uv_swap = 0;
		int dci = 0;
		int bit_rate = 0;
		int bit_rate_prev = 0;
		int q_sel = 0;
		int quality = 0;
		int low_ac = 0;
		int switch_buff = 0;
	};
	Settings settings() const;
	// The largest count a frame read has asked for: a reader that trusts a bad size shows here.
	size_t largest_read() const;

	// Size a full-stream frame can never reach; "hugesize" reports it.
	static constexpr int32_t kHugeSize = 0x40000000;

private:
	struct Faults {
		bool novalid = false;
		int novalid_value = 0;
		bool same = false;
		bool badheader = false;
		bool shortread = false;
		bool selectfail = false;
		bool sizefail = false;
		bool hugesize = false;
	};

	ssize_t read_status(uint32_t* words);
	ssize_t read_frame(uint8_t* buf, size_t count, bool full);
	void log_request(unsigned long request, const int32_t* arg);
	SpeedhqBankKey program_key(const EncoderSource& source) const;
	// The clip's entry for a tick into `out` for frames of `target` bytes: the finest
	// quantiser whose entry fits (or `quantiser` when above 0); false when no bank can be had.
	// Called without the lock; makes banks on first use.
	bool clip_entry(const std::string& clip, ClipBankKey key, uint64_t tick, long target, int& quantiser,
	                std::vector<uint8_t>& out);
	std::shared_ptr<ClipBank> clip_bank(const std::string& clip, const ClipBankKey& key, std::string& error);
	// The clip's bank keys (finest quantiser) for a source, with the lock held.
	void clip_keys(const EncoderSource& source, ClipBankKey& program, ClipBankKey& preview) const;
	std::chrono::steady_clock::duration period_of(const EncoderSource& source) const;

	Board* board_;
	std::function<EncoderSource()> source_provider_;

	// Guards everything below, and the provider above.
	mutable std::mutex lock_;
	std::condition_variable changed_;  // hold, release and shut-down
	Settings settings_;
	Faults faults_;
	bool shut_down_ = false;
	uint64_t holds_ = 0;  // holds seen, so a waiting read notices one
	std::chrono::steady_clock::time_point next_tick_{};
	std::chrono::steady_clock::duration period_ = std::chrono::microseconds(16683);
	uint64_t ticks_ = 0;
	int buffer_ = 0;  // buffer number handed out by the last status read
	int field_ = 0;
	size_t largest_read_ = 0;
	uint64_t run_frames_ = 0;  // frames handed out since the last release
	unsigned bound_drops_[2] = {};  // the program's queue bound drops at the last hold
	SpeedhqFrame full_;
	SpeedhqFrame preview_;
	size_t full_size_ = 0;     // their sizes stuffed to the rate targets of their tick
	size_t preview_size_ = 0;
	SpeedhqBankKey field0_key_;  // the program bank of the last field 0, which field 1 keeps
	std::string clip_;             // the clip shown, empty for the test card
	int clip_field0_quantiser_ = 0;  // the quantiser of the last field 0, which field 1 keeps
	// The clip's banks in use, by key: the program's and preview's quantisers of one format;
	// a new format or clip drops the others. Each holds its cache file open, not its frames.
	std::vector<std::pair<ClipBankKey, std::shared_ptr<ClipBank>>> clip_banks_;
	std::mutex clip_making_;  // one bank made at a time
	uint64_t frame_tick_ = 0;       // the tick that made the current frames ready
	std::chrono::steady_clock::time_point frame_ready_{};  // and when (for the latency probe)
};

// One open descriptor of the node: its own read selection, the shared encoder behind it.
class EncoderDevice : public Device {
public:
	explicit EncoderDevice(std::shared_ptr<EncoderModel> model);
	ssize_t read(void* buf, size_t count) override;
	int ioctl(unsigned long request, void* arg) override;

private:
	std::shared_ptr<EncoderModel> model_;
	std::atomic<int> selection_{0};  // per descriptor: another thread's requests leave it alone
};

}  // namespace sim
