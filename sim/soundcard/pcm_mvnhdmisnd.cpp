// "mvnhdmisnd": the virtual appliance's capture card as an ALSA external I/O plugin. It has
// what a real card has and the FIFO-fed configuration it replaces had not: a clock (a
// timerfd, the hardware pointer advancing from CLOCK_MONOTONIC one period at a time), a
// bounded ring buffer, and overruns when its reader falls a whole buffer behind.
//
// Loaded by ALSA through the board's configuration:
//   pcm_type.mvnhdmisnd { lib "/abs/path/libasound_module_pcm_mvnhdmisnd.so" }
//   pcm.!default { @args [ CARD ] ... type mvnhdmisnd card $CARD }
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <dlfcn.h>
#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <string.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include "audio_signal.h"
#include "sound_card.h"

namespace {

// What the card offers: one access, format, channel count and rate, periods of 10 to 60 ms,
// and a ring of 2 to 8 periods. With the program's 2880-frame period and ALSA's default
// (the largest buffer) that is 23040 frames, 480 ms, 138240 bytes, as a DMA ring of a real
// I2S capture block. Nothing grows while a capture stays open: the samples are made as they
// are read, straight into the reader's buffer.
constexpr unsigned int kPeriodMinFrames = 480;
constexpr unsigned int kPeriodMaxFrames = 2880;
constexpr unsigned int kPeriodsMin = 2;
constexpr unsigned int kPeriodsMax = 8;

const sim::SoundCardLink* board_link()
{
	using Lookup = const sim::SoundCardLink* (*)();
	auto lookup = reinterpret_cast<Lookup>(dlsym(RTLD_DEFAULT, "vexo_sim_sound_card"));
	return lookup != nullptr ? lookup() : nullptr;
}

uint64_t now_ns()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// Card: one open capture. Every callback runs on the thread that called into ALSA for this
// handle, so its fields need no lock; the board's state comes through the link.
struct Card {
	snd_pcm_ioplug_t io = {};
	const sim::SoundCardLink* link = nullptr;
	int timer = -1;
	uint64_t period_ns = 0;      // one period at the rate, rounded up
	uint64_t start_ns = 0;       // of the running stream
	uint64_t produced = 0;       // frames the hardware pointer has passed since start
	uint64_t consumed = 0;       // frames read since start
	snd_pcm_uframes_t avail_min = 1;
	uint32_t overruns_seen = 0;  // the board's one-shot overrun count already served
	bool running = false;

	sim::SoundCardState state() const
	{
		sim::SoundCardState s = {0, 0, -1, false, true, 0, false, false};
		if (link != nullptr)
			link->state(&s);
		return s;
	}

	void event(const char* key, const char* value) const
	{
		if (link != nullptr)
			link->event(key, value);
	}

	void advance()
	{
		if (running && period_ns != 0)
			produced = (now_ns() - start_ns) / period_ns * io.period_size;
	}

	// Why the stream cannot go on with the board's state `s`: -EPIPE (overrun), -ENODEV
	// (gone) or 0.
	int fault(const sim::SoundCardState& s)
	{
		if (s.vanished) {
			if (io.state != SND_PCM_STATE_DISCONNECTED)
				snd_pcm_ioplug_set_state(&io, SND_PCM_STATE_DISCONNECTED);
			return -ENODEV;
		}
		if (!running)
			return 0;
		if (s.overrun_stuck)
			return overrun();
		if (s.overruns != overruns_seen) {
			overruns_seen = s.overruns;
			event("overrun", "forced");
			return overrun();
		}
		advance();
		// A full buffer overruns, as ALSA's default stop threshold (the buffer size) has it.
		if (produced - consumed >= io.buffer_size) {
			event("overrun", "late");
			return overrun();
		}
		return 0;
	}

	// The stream stops as hardware stops it; ALSA then answers with -EPIPE until a prepare.
	int overrun()
	{
		halt();
		snd_pcm_ioplug_set_state(&io, SND_PCM_STATE_XRUN);
		return -EPIPE;
	}

	// Starts the clock: the timer fires at the end of each period from start_ns on.
	void run()
	{
		const uint64_t first = start_ns + period_ns;
		struct itimerspec when = {};
		when.it_value.tv_sec = static_cast<time_t>(first / 1000000000u);
		when.it_value.tv_nsec = static_cast<long>(first % 1000000000u);
		when.it_interval.tv_sec = static_cast<time_t>(period_ns / 1000000000u);
		when.it_interval.tv_nsec = static_cast<long>(period_ns % 1000000000u);
		running = true;
		timerfd_settime(timer, TFD_TIMER_ABSTIME, &when, nullptr);
	}

	// Stops the clock; the timer fires no more.
	void halt()
	{
		const struct itimerspec never = {};
		running = false;
		timerfd_settime(timer, 0, &never, nullptr);
	}
};

Card* card_of(snd_pcm_ioplug_t* io)
{
	return static_cast<Card*>(io->private_data);
}

int card_start(snd_pcm_ioplug_t* io)
{
	Card* card = card_of(io);
	card->start_ns = now_ns();
	card->produced = card->consumed = 0;
	card->run();
	return 0;
}

int card_stop(snd_pcm_ioplug_t* io)
{
	card_of(io)->halt();
	return 0;
}

snd_pcm_sframes_t card_pointer(snd_pcm_ioplug_t* io)
{
	Card* card = card_of(io);
	int err = card->fault(card->state());
	if (err == -EPIPE)
		return err;
	return static_cast<snd_pcm_sframes_t>(card->produced % io->buffer_size);
}

// The test signal of the selected input, frame n of the stream being frame n % 480 of a block.
snd_pcm_sframes_t card_transfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas,
                                snd_pcm_uframes_t offset, snd_pcm_uframes_t size)
{
	Card* card = card_of(io);
	const sim::SoundCardState state = card->state();
	int err = card->fault(state);
	if (err < 0)
		return err;
	const bool hdmi = state.hdmi_selected;
	if (io->format != SND_PCM_FORMAT_S24_3LE) {
		snd_pcm_areas_silence(areas, offset, io->channels, size, io->format);
	} else {
		for (unsigned int ch = 0; ch < io->channels; ch++) {
			const snd_pcm_channel_area_t& area = areas[ch];
			auto* base = static_cast<uint8_t*>(area.addr) + area.first / 8;
			for (snd_pcm_uframes_t i = 0; i < size; i++) {
				const int frame = static_cast<int>((card->consumed + i) % sim::kAudioBlockFrames);
				const auto v = static_cast<uint32_t>(sim::audio_test_sample(hdmi, static_cast<int>(ch % 2), frame));
				uint8_t* p = base + (offset + i) * area.step / 8;
				p[0] = static_cast<uint8_t>(v);
				p[1] = static_cast<uint8_t>(v >> 8);
				p[2] = static_cast<uint8_t>(v >> 16);
			}
		}
	}
	card->consumed += size;
	return static_cast<snd_pcm_sframes_t>(size);
}

int card_hw_params(snd_pcm_ioplug_t* io, snd_pcm_hw_params_t*)
{
	Card* card = card_of(io);
	if (card->state().fail_params)
		return -EIO;
	card->period_ns = (static_cast<uint64_t>(io->period_size) * 1000000000u + io->rate - 1) / io->rate;
	return 0;
}

int card_sw_params(snd_pcm_ioplug_t* io, snd_pcm_sw_params_t* params)
{
	snd_pcm_uframes_t avail_min = 1;
	if (snd_pcm_sw_params_get_avail_min(params, &avail_min) == 0)
		card_of(io)->avail_min = avail_min != 0 ? avail_min : 1;
	return 0;
}

int card_prepare(snd_pcm_ioplug_t* io)
{
	Card* card = card_of(io);
	if (card->state().vanished)
		return -ENODEV;
	card->halt();
	card->produced = card->consumed = 0;  // the pointer reads 0 until the start
	return 0;
}

// The timer wakes a poll once a period; readable means a period's frames (avail_min) wait.
int card_poll_revents(snd_pcm_ioplug_t* io, struct pollfd* pfd, unsigned int nfds, unsigned short* revents)
{
	Card* card = card_of(io);
	uint64_t expirations;
	if (nfds >= 1 && (pfd[0].revents & POLLIN))
		(void)!::read(card->timer, &expirations, sizeof(expirations));
	*revents = 0;
	if (card->fault(card->state()) < 0)
		*revents = POLLERR;
	else if (card->running && card->produced - card->consumed >= card->avail_min)
		*revents = POLLIN;
	return 0;
}

int card_close(snd_pcm_ioplug_t* io)
{
	Card* card = card_of(io);
	card->event("pcm", "closed");
	close(card->timer);
	delete card;
	return 0;
}

const snd_pcm_ioplug_callback_t kCallbacks = [] {
	snd_pcm_ioplug_callback_t cb = {};
	cb.start = card_start;
	cb.stop = card_stop;
	cb.pointer = card_pointer;
	cb.transfer = card_transfer;
	cb.close = card_close;
	cb.hw_params = card_hw_params;
	cb.sw_params = card_sw_params;
	cb.prepare = card_prepare;
	cb.poll_revents = card_poll_revents;
	return cb;
}();

// The card's hardware limits, narrowed to what the board's fault settings leave.
int set_limits(snd_pcm_ioplug_t* io, const sim::SoundCardState& s)
{
	const unsigned int access[] = {SND_PCM_ACCESS_RW_INTERLEAVED};
	const unsigned int format[] = {static_cast<unsigned int>(s.format >= 0 ? s.format : SND_PCM_FORMAT_S24_3LE)};
	const unsigned int channels = s.channels != 0 ? s.channels : 2;
	const unsigned int rate = s.rate != 0 ? s.rate : sim::kAudioRate;
	const int width = snd_pcm_format_physical_width(static_cast<snd_pcm_format_t>(format[0]));
	const unsigned int frame_bytes = (width > 0 ? static_cast<unsigned int>(width) / 8 : 1) * channels;
	int err;
	if ((err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_ACCESS, 1, access)) < 0 ||
	    (err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_FORMAT, 1, format)) < 0 ||
	    (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_CHANNELS, channels, channels)) < 0 ||
	    (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_RATE, rate, rate)) < 0 ||
	    (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, kPeriodMinFrames * frame_bytes,
	                                           kPeriodMaxFrames * frame_bytes)) < 0 ||
	    (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIODS, kPeriodsMin, kPeriodsMax)) < 0 ||
	    (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_BUFFER_BYTES,
	                                           kPeriodsMin * kPeriodMinFrames * frame_bytes,
	                                           kPeriodsMax * kPeriodMaxFrames * frame_bytes)) < 0)
		return err;
	return 0;
}

}  // namespace

extern "C" {

// Configuration: "card" names the card; only "mvnhdmisnd" exists, as on the appliance.
SND_PCM_PLUGIN_DEFINE_FUNC(mvnhdmisnd)
{
	(void)root;
	const char* card_name = sim::kAudioCardName;
	snd_config_iterator_t i, next;
	snd_config_for_each(i, next, conf)
	{
		snd_config_t* n = snd_config_iterator_entry(i);
		const char* id;
		if (snd_config_get_id(n, &id) < 0)
			continue;
		if (strcmp(id, "comment") == 0 || strcmp(id, "type") == 0 || strcmp(id, "hint") == 0)
			continue;
		if (strcmp(id, "card") == 0 && snd_config_get_string(n, &card_name) == 0)
			continue;
		SNDERR("Unknown field %s", id);
		return -EINVAL;
	}
	if (strcmp(card_name, sim::kAudioCardName) != 0)
		return -ENOENT;
	if (stream != SND_PCM_STREAM_CAPTURE)
		return -ENOENT;  // a capture-only card

	auto* card = new Card;
	card->link = board_link();
	card->timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
	if (card->timer < 0) {
		int err = -errno;
		delete card;
		return err;
	}
	const sim::SoundCardState s = card->state();
	card->overruns_seen = s.overruns;
	card->io.version = SND_PCM_IOPLUG_VERSION;
	card->io.name = "mvnhdmisnd: the virtual appliance's HDMI and analog audio capture";
	card->io.flags = SND_PCM_IOPLUG_FLAG_MONOTONIC;
	card->io.poll_fd = card->timer;
	card->io.poll_events = POLLIN;
	card->io.mmap_rw = 0;
	card->io.callback = &kCallbacks;
	card->io.private_data = card;
	int err = snd_pcm_ioplug_create(&card->io, name, stream, mode);
	if (err < 0) {
		close(card->timer);
		delete card;
		return err;
	}
	card->event("pcm", "open");
	err = set_limits(&card->io, s);
	if (err < 0) {
		snd_pcm_ioplug_delete(&card->io);  // closes through card_close
		return err;
	}
	*pcmp = card->io.pcm;
	return 0;
}

SND_PCM_PLUGIN_SYMBOL(mvnhdmisnd)

}  // extern "C"
