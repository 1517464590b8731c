// Faults of the capture card, set by sim/audio-fault: a card that offers another rate, channel
// count or sample format, a set-up step that fails, an overrun, a card that goes away while it
// is read. The card's plugin asks for them (sim::sound_card_faults); the three set-up steps
// that no plugin can fail are failed here, in wrappers of the program's own snd_pcm_* calls.
#include <alsa/asoundlib.h>
#include <errno.h>
#include <mutex>
#include <stdlib.h>
#include <string>

#include "board.h"
#include "sound_card.h"

namespace {

// The card's state as the last accepted line of sim/audio-fault sets it.
struct CardFault {
	std::mutex mutex;
	unsigned int rate = 0;      // the one rate the card offers; 0 = any
	unsigned int channels = 0;  // the one channel count; 0 = any
	snd_pcm_format_t format = SND_PCM_FORMAT_UNKNOWN;  // the one format; UNKNOWN = any
	std::string fail;           // "any", "access", "period" or "params": that step fails with EIO
	uint32_t overruns = 0;      // one more for each "overrun"; never reset
	bool overrun_stuck = false; // every read overruns
	bool vanished = false;      // the card is disconnected: reads fail with ENODEV
};

CardFault& fault()
{
	static auto* f = new CardFault;  // reached by ALSA calls after every static destructor
	return *f;
}

bool fails(const char* step)
{
	std::lock_guard<std::mutex> lock(fault().mutex);
	return fault().fail == step;
}

void control(sim::Board& board, const std::string& line)
{
	CardFault next;
	size_t space = line.find(' ');
	std::string word = line.substr(0, space);
	std::string arg = space == std::string::npos ? "" : line.substr(space + 1);
	if (word == "none") {
	} else if (word == "rate" && atoi(arg.c_str()) > 0) {
		next.rate = static_cast<unsigned int>(atoi(arg.c_str()));
	} else if (word == "channels" && atoi(arg.c_str()) > 0) {
		next.channels = static_cast<unsigned int>(atoi(arg.c_str()));
	} else if (word == "format" && snd_pcm_format_value(arg.c_str()) != SND_PCM_FORMAT_UNKNOWN) {
		next.format = snd_pcm_format_value(arg.c_str());
	} else if (word == "fail" && (arg == "any" || arg == "access" || arg == "period" || arg == "params")) {
		next.fail = arg;
	} else if (word == "vanish" && arg.empty()) {
		next.vanished = true;
	} else if (word == "overrun" && arg.empty()) {
	} else if (word == "overrun-stuck" && arg.empty()) {
		next.overrun_stuck = true;
	} else {
		board.event("board", {{"error", "audio-fault: unknown setting " + line}});
		return;
	}
	{
		std::lock_guard<std::mutex> lock(fault().mutex);
		CardFault& f = fault();
		f.rate = next.rate;
		f.channels = next.channels;
		f.format = next.format;
		f.fail = next.fail;
		f.overrun_stuck = next.overrun_stuck;
		f.vanished = next.vanished;
		if (word == "overrun")
			f.overruns++;
	}
	board.event("audio", {{"fault", line}});
}

void install(sim::Board& board)
{
	board.add_control("audio-fault", "none", [&board](const std::string& line) { control(board, line); });
}

void uninstall(sim::Board&)
{
	std::lock_guard<std::mutex> lock(fault().mutex);
	CardFault& f = fault();
	f.rate = f.channels = 0;
	f.format = SND_PCM_FORMAT_UNKNOWN;
	f.fail.clear();
	f.overrun_stuck = false;
	f.vanished = false;
}

sim::ModelRegistrar registrar __attribute__((init_priority(200)))({"audio-fault", install, uninstall});

}  // namespace

namespace sim {

void sound_card_faults(SoundCardState* out)
{
	std::lock_guard<std::mutex> lock(fault().mutex);
	const CardFault& f = fault();
	out->rate = f.rate;
	out->channels = f.channels;
	out->format = f.format;
	out->fail_params = f.fail == "params";
	out->overruns = f.overruns;
	out->overrun_stuck = f.overrun_stuck;
	out->vanished = f.vanished;
}

}  // namespace sim

// snd_pcm_hw_params_any, _set_access and _set_period_size_near only narrow the configuration
// space in alsa-lib, without a call into the plugin, so a card cannot fail them: these
// wrappers do, with EIO, as a driver's refine would.
extern "C" {
int __real_snd_pcm_hw_params_any(snd_pcm_t* pcm, snd_pcm_hw_params_t* params);
int __real_snd_pcm_hw_params_set_access(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, snd_pcm_access_t access);
int __real_snd_pcm_hw_params_set_period_size_near(snd_pcm_t* pcm, snd_pcm_hw_params_t* params,
                                                  snd_pcm_uframes_t* val, int* dir);

int __wrap_snd_pcm_hw_params_any(snd_pcm_t* pcm, snd_pcm_hw_params_t* params)
{
	return fails("any") ? -EIO : __real_snd_pcm_hw_params_any(pcm, params);
}

int __wrap_snd_pcm_hw_params_set_access(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, snd_pcm_access_t access)
{
	return fails("access") ? -EIO : __real_snd_pcm_hw_params_set_access(pcm, params, access);
}

int __wrap_snd_pcm_hw_params_set_period_size_near(snd_pcm_t* pcm, snd_pcm_hw_params_t* params,
                                                  snd_pcm_uframes_t* val, int* dir)
{
	return fails("period") ? -EIO : __real_snd_pcm_hw_params_set_period_size_near(pcm, params, val, dir);
}
}
