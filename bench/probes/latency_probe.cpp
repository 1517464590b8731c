// The frame-path probe of the virtual appliance. NDIlib_send_send_video_async_v2 is wrapped
// (--wrap): each program or preview frame handed to the runtime is matched, by its buffer,
// with the device read that filled it, and one line is logged to $VEXO_LATENCY_LOG:
//
//   <full|prvw> <tick> <ready_ns> <send_ns> <startup> <unsent> <bound_drops>
//
// after a first line "board <ns>", the board's clock start on CLOCK_MONOTONIC.
// ready_ns is when the encoder model's frame clock made the frame ready, send_ns the call of
// the send, both CLOCK_MONOTONIC. The last three count, for the stream so far, frames read
// but never sent: before the first send (the start-up discard), after it, and the program's
// own count of frames its queue bound dropped; unsent minus bound drops were lost inside the
// program. Without the variable nothing is recorded and the send is passed straight on. The
// reads come from the encoder model's read observer, set at start-up when the variable is.
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <deque>
#include <mutex>

#include <Processing.NDI.Lib.h>

#include "NdiTransmitter.h"
#include "board.h"
#include "encoder_model.h"

extern "C" void __real_NDIlib_send_send_video_async_v2(NDIlib_send_instance_t, const NDIlib_video_frame_v2_t*);

namespace sim {

namespace {

struct Read {
	const void* buf;
	uint64_t tick;
	int64_t ready_ns;
};

struct Stream {
	std::deque<Read> reads;  // read, not yet sent, oldest first
	bool sent_any = false;
	uint64_t startup = 0;
	uint64_t unsent = 0;
};

struct Probe {
	std::mutex lock;
	FILE* log = nullptr;
	Stream streams[2];  // 0 full, 1 preview
};

int64_t monotonic_ns()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// Made on first use and never deleted: sends may come while static destructors run.
Probe* probe()
{
	static Probe* instance = [] {
		const char* path = getenv("VEXO_LATENCY_LOG");
		if (path == nullptr || path[0] == '\0')
			return static_cast<Probe*>(nullptr);
		Probe* p = new Probe;
		p->log = fopen(path, "w");
		if (p->log == nullptr) {
			fprintf(stderr, "latency probe: cannot write %s\n", path);
			delete p;
			return static_cast<Probe*>(nullptr);
		}
		// Lines are written whole; a large buffer keeps the probe's own writes rare.
		setvbuf(p->log, nullptr, _IOFBF, 1 << 16);
		// The first line: the board's clock start on CLOCK_MONOTONIC (ns), so that the event
		// log's times ("t", seconds since the board started) compare with the stamps here.
		const int64_t board_start = monotonic_ns() - static_cast<int64_t>(Board::instance().now() * 1e9);
		fprintf(p->log, "board %lld\n", static_cast<long long>(board_start));
		return p;
	}();
	return instance;
}

void note_send(Probe& p, const NDIlib_video_frame_v2_t& frame)
{
	const int64_t now = monotonic_ns();
	// The preview goes out with the lowest-bandwidth FourCC, the program stream never does.
	const bool preview = frame.FourCC == NDIlib_FourCC_video_type_ex_SHQ0_lowest_bandwidth;
	std::lock_guard<std::mutex> guard(p.lock);
	Stream& stream = p.streams[preview ? 1 : 0];
	// The newest read into this buffer filled it; an older one was a frame since freed.
	for (auto it = stream.reads.rbegin(); it != stream.reads.rend(); ++it) {
		if (it->buf != frame.p_data)
			continue;
		const Read read = *it;
		// Every older read of the stream was passed over: the queue is first in, first out.
		const size_t older = static_cast<size_t>(stream.reads.rend() - it) - 1;
		(stream.sent_any ? stream.unsent : stream.startup) += older;
		stream.reads.erase(stream.reads.begin(), stream.reads.begin() + static_cast<long>(older) + 1);
		stream.sent_any = true;
		fprintf(p.log, "%s %llu %lld %lld %llu %llu %u\n", preview ? "prvw" : "full",
		        static_cast<unsigned long long>(read.tick), static_cast<long long>(read.ready_ns),
		        static_cast<long long>(now), static_cast<unsigned long long>(stream.startup),
		        static_cast<unsigned long long>(stream.unsent), send_queue_bound_drops(preview));
		return;
	}
}

// The encoder model's observer: each read, kept until the send of its buffer.
void note_read(const void* buf, bool preview, uint64_t tick, int64_t ready_ns)
{
	Probe* p = probe();
	if (p == nullptr)
		return;
	std::lock_guard<std::mutex> guard(p->lock);
	Stream& stream = p->streams[preview ? 1 : 0];
	stream.reads.push_back(Read{buf, tick, ready_ns});
	// A reader that never sends must not grow the list without bound.
	if (stream.reads.size() > 4096)
		stream.reads.pop_front();
}

// With the variable set, the probe watches the encoder model's reads from the start.
[[maybe_unused]] const bool observing = [] {
	const char* path = getenv("VEXO_LATENCY_LOG");
	if (path != nullptr && path[0] != '\0')
		set_frame_read_observer(note_read);
	return true;
}();

}  // namespace

}  // namespace sim

extern "C" void __wrap_NDIlib_send_send_video_async_v2(NDIlib_send_instance_t instance,
                                                      const NDIlib_video_frame_v2_t* frame)
{
	if (frame != nullptr && frame->p_data != nullptr)
		if (sim::Probe* p = sim::probe())
			sim::note_send(*p, *frame);
	__real_NDIlib_send_send_video_async_v2(instance, frame);
}
