// Audio feed model: the capture card through ALSA's own file plugin, fed from a FIFO in real time.
#include "audio_feed.h"

#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <limits.h>
#include <mutex>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "board.h"
#include "gpio_model.h"
#include "real_io.h"

namespace sim {

namespace {

constexpr auto kBlockPeriod = std::chrono::milliseconds(10);
// Falling further behind than this (a stalled machine) skips ahead instead of bursting.
constexpr auto kMaxLag = std::chrono::milliseconds(500);
// Blocks the FIFO may hold for a slow reader: 50 ms.
constexpr int kMaxQueuedBlocks = 5;

// AudioFeed: ALSA in the program is the real library, so the card is made of configuration:
// the board points ALSA_CONFIG_PATH at sim/alsa/asound.conf, whose "default" PCM takes the
// CARD argument and reads the FIFO sim/alsa/<CARD>.fifo through the file plugin (a null
// slave supplies the PCM state machine, the FIFO the pace). The feeder thread writes one
// 10 ms block at a time without blocking, dropping the oldest blocks nobody reads. `mutex` with `cv`
// carries the stop request.
class AudioFeed {
public:
	void install(Board& board)
	{
		dir_ = board.path("sim/alsa");
		conf_ = dir_ + "/asound.conf";
		fifo_ = dir_ + "/" + kAudioCardName + ".fifo";
		mkdir(dir_.c_str(), 0755);
		struct stat st;
		if (lstat(fifo_.c_str(), &st) == 0 && !S_ISFIFO(st.st_mode))
			unlink(fifo_.c_str());
		if (mkfifo(fifo_.c_str(), 0644) != 0 && errno != EEXIST)
			fprintf(stderr, "vexoenc-sim: audio: cannot make %s: %s\n", fifo_.c_str(), strerror(errno));
		// Read-write: the open never waits for a reader, and the program's read-only open
		// never waits for this writer.
		fd_ = __real_open(fifo_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
		if (fd_ < 0)
			fprintf(stderr, "vexoenc-sim: audio: cannot open %s: %s\n", fifo_.c_str(), strerror(errno));

		write_config(true);
		setenv("ALSA_CONFIG_PATH", conf_.c_str(), 1);

		for (int i = 0; i < kAudioBlockFrames; i++) {
			for (int ch = 0; ch < 2; ch++) {
				put_s24(&hdmi_block_[(i * 2 + ch) * 3], audio_test_sample(true, ch, i));
				put_s24(&analog_block_[(i * 2 + ch) * 3], audio_test_sample(false, ch, i));
			}
		}
		{
			std::lock_guard<std::mutex> lock(mutex_);
			stop_ = false;
		}
		feeder_ = std::thread([this] { feed(); });
		board.add_control("audio", "ok", [this, &board](const std::string& line) { control(board, line); });
	}

	void uninstall(Board&)
	{
		{
			std::lock_guard<std::mutex> lock(mutex_);
			stop_ = true;
		}
		cv_.notify_all();
		if (feeder_.joinable())
			feeder_.join();
		if (fd_ >= 0)
			__real_close(fd_);
		fd_ = -1;
	}

private:
	static void put_s24(uint8_t* p, int32_t value)
	{
		uint32_t v = static_cast<uint32_t>(value);
		p[0] = static_cast<uint8_t>(v);
		p[1] = static_cast<uint8_t>(v >> 8);
		p[2] = static_cast<uint8_t>(v >> 16);
	}

	void control(Board& board, const std::string& line)
	{
		bool present;
		if (line == "ok")
			present = true;
		else if (line == "missing")
			present = false;
		else {
			board.event("board", {{"error", "unknown audio card setting: " + line}});
			return;
		}
		write_config(present);
		board.event("audio", {{"card", present ? "ok" : "missing"}});
	}

	// ALSA re-reads its configuration when the file changes (it compares inode and time), so
	// the new text is written aside and renamed over the old one.
	void write_config(bool present)
	{
		std::string text =
			"# The virtual appliance's sound card (written by vexoenc-sim; sim/audio switches it).\n";
		if (present) {
			text += "pcm.!default {\n"
			        "\t@args [ CARD ]\n"
			        "\t@args.CARD { type string default \"";
			text += kAudioCardName;
			text += "\" }\n"
			        "\ttype file\n"
			        "\tslave.pcm { type null }\n"
			        "\tfile \"/dev/null\"\n"
			        "\tinfile { @func concat strings [ \"";
			text += dir_;
			text += "/\" $CARD \".fifo\" ] }\n"
			        "\tformat \"raw\"\n"
			        "}\n";
		} else {
			text += "# The card is missing: no PCM is defined.\n";
		}
		const std::string tmp = conf_ + ".new";
		FILE* f = fopen(tmp.c_str(), "w");
		if (f == nullptr) {
			fprintf(stderr, "vexoenc-sim: audio: cannot write %s: %s\n", tmp.c_str(), strerror(errno));
			return;
		}
		bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
		ok = fclose(f) == 0 && ok;
		if (!ok || rename(tmp.c_str(), conf_.c_str()) != 0)
			fprintf(stderr, "vexoenc-sim: audio: cannot replace %s: %s\n", conf_.c_str(), strerror(errno));
	}

	// Like a capture card that overruns, the oldest samples go when nobody reads: at most
	// kMaxQueuedBlocks stay queued, so a reader that opens the card gets recent samples
	// (the selector as it is now), while a reader that lags briefly loses nothing. Both
	// this thread and the program take whole blocks only, keeping the stream aligned.
	void drop_stale_blocks()
	{
		int queued = 0;
		if (__real_ioctl(fd_, FIONREAD, &queued) != 0)
			return;
		uint8_t scratch[kAudioBlockBytes];
		for (int n = queued / kAudioBlockBytes; n >= kMaxQueuedBlocks; n--) {
			if (__real_read(fd_, scratch, sizeof(scratch)) <= 0)
				break;
		}
	}

	void feed()
	{
		auto next = std::chrono::steady_clock::now();
		std::unique_lock<std::mutex> lock(mutex_);
		while (!cv_.wait_until(lock, next, [this] { return stop_; })) {
			next += kBlockPeriod;
			auto now = std::chrono::steady_clock::now();
			if (now - next > kMaxLag)
				next = now;
			// Fed even while the card is "missing": a capture opened before keeps getting
			// samples until it is closed, so its reader is never left blocked.
			if (fd_ < 0)
				continue;
			drop_stale_blocks();
			const uint8_t* block = (audio_select_word() & 1u) ? hdmi_block_ : analog_block_;
			// A block is at most PIPE_BUF bytes, so it goes in whole or not at all: the
			// stream stays frame-aligned.
			__real_write(fd_, block, kAudioBlockBytes);
		}
	}

	std::string dir_;
	std::string conf_;
	std::string fifo_;
	int fd_ = -1;
	uint8_t hdmi_block_[kAudioBlockBytes] = {};
	uint8_t analog_block_[kAudioBlockBytes] = {};
	std::mutex mutex_;
	std::condition_variable cv_;
	bool stop_ = false;
	std::thread feeder_;
};

static_assert(kAudioBlockBytes <= PIPE_BUF, "a block must be written atomically");

AudioFeed& feed_model()
{
	// Never destroyed: the board may uninstall after static destructors have begun.
	static AudioFeed* instance = new AudioFeed;
	return *instance;
}

void install(Board& board)
{
	feed_model().install(board);
}

void uninstall(Board& board)
{
	feed_model().uninstall(board);
}

// After the board (constructor priority 101), before the program's own globals.
ModelRegistrar registrar __attribute__((init_priority(200)))({"audio", install, uninstall});

}  // namespace

}  // namespace sim
