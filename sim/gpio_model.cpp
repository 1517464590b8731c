// GPIO model: watches the audio input selector word that the program writes through /dev/mem.
#include "gpio_model.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <stdio.h>
#include <string.h>
#include <string>
#include <sys/mman.h>
#include <thread>

#include "board.h"
#include "real_io.h"

namespace sim {

namespace {

constexpr auto kPollPeriod = std::chrono::milliseconds(2);

// GpioModel: maps the selector's page of the sysroot's dev/mem file (the same file the
// program maps, MAP_SHARED, so its stores are visible here) and polls the data word on its
// own thread, logging each change. `mutex` with `cv` carries the stop request; `word` is
// read by the audio feed without a lock.
class GpioModel {
public:
	void install(Board& board)
	{
		const std::string mem = board.path("dev/mem");
		int fd = __real_open(mem.c_str(), O_RDWR | O_CLOEXEC);
		if (fd < 0) {
			fprintf(stderr, "vexoenc-sim: gpio: cannot open %s: %s\n", mem.c_str(), strerror(errno));
			return;
		}
		void* map = __real_mmap64(nullptr, AUD_SEL_MAP_SIZE, PROT_READ, MAP_SHARED, fd, static_cast<off64_t>(AUD_SEL_BASE));
		__real_close(fd);
		if (map == MAP_FAILED) {
			fprintf(stderr, "vexoenc-sim: gpio: cannot map %s: %s\n", mem.c_str(), strerror(errno));
			return;
		}
		window_ = static_cast<const uint32_t*>(map);
		word_.store(load(), std::memory_order_relaxed);
		{
			std::lock_guard<std::mutex> lock(mutex_);
			stop_ = false;
		}
		poller_ = std::thread([this, &board] { poll(board); });
	}

	void uninstall(Board&)
	{
		{
			std::lock_guard<std::mutex> lock(mutex_);
			stop_ = true;
		}
		cv_.notify_all();
		if (poller_.joinable())
			poller_.join();
		if (window_ != nullptr)
			munmap(const_cast<uint32_t*>(window_), AUD_SEL_MAP_SIZE);
		window_ = nullptr;
		word_.store(0, std::memory_order_relaxed);
	}

	uint32_t word() const { return word_.load(std::memory_order_relaxed); }

private:
	// The program stores the word from another mapping of the same page; an atomic load
	// keeps the compiler from caching it.
	uint32_t load() const { return __atomic_load_n(&window_[0], __ATOMIC_RELAXED); }

	void poll(Board& board)
	{
		uint32_t last = word_.load(std::memory_order_relaxed);
		std::unique_lock<std::mutex> lock(mutex_);
		while (!cv_.wait_for(lock, kPollPeriod, [this] { return stop_; })) {
			uint32_t now = load();
			if (now == last)
				continue;
			last = now;
			word_.store(now, std::memory_order_relaxed);
			char addr[16];
			snprintf(addr, sizeof(addr), "0x%08x", AUD_SEL_BASE);
			board.event("gpio", {{"addr", addr}, {"data", now}});
		}
	}

	const uint32_t* window_ = nullptr;
	std::atomic<uint32_t> word_{0};
	std::mutex mutex_;
	std::condition_variable cv_;
	bool stop_ = false;
	std::thread poller_;
};

GpioModel& model()
{
	// Never destroyed: the board may uninstall after static destructors have begun.
	static GpioModel* instance = new GpioModel;
	return *instance;
}

void install(Board& board)
{
	model().install(board);
}

void uninstall(Board& board)
{
	model().uninstall(board);
}

// After the board (constructor priority 101), before the program's own globals.
ModelRegistrar registrar __attribute__((init_priority(200)))({"gpio", install, uninstall});

}  // namespace

uint32_t audio_select_word()
{
	return model().word();
}

}  // namespace sim
