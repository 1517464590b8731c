// Faults of the capture card that its ALSA configuration cannot give: a card that offers
// another rate, channel count or sample format, a set-up step that fails, a card that goes
// away while it is read. The program's own snd_pcm_* calls reach ALSA through these wrappers.
#include <alsa/asoundlib.h>
#include <errno.h>
#include <mutex>
#include <stdlib.h>
#include <string>

#include "board.h"

namespace {

// The card's state as the last accepted line of sim/audio-fault sets it.
struct CardFault {
	std::mutex mutex;
	unsigned int rate = 0;      // the one rate the card offers; 0 = any
	unsigned int channels = 0;  // the one channel count; 0 = any
	snd_pcm_format_t format = SND_PCM_FORMAT_UNKNOWN;  // the one format; UNKNOWN = any
	std::string fail;           // "any", "access", "period" or "params": that step fails with EIO
	bool vanished = false;      // every read fails with ENODEV
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
		f.vanished = next.vanished;
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
	f.vanished = false;
}

sim::ModelRegistrar registrar __attribute__((init_priority(200)))({"audio-fault", install, uninstall});

}  // namespace

extern "C" {
int __real_snd_pcm_hw_params_any(snd_pcm_t* pcm, snd_pcm_hw_params_t* params);
int __real_snd_pcm_hw_params_set_access(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, snd_pcm_access_t access);
int __real_snd_pcm_hw_params_set_period_size_near(snd_pcm_t* pcm, snd_pcm_hw_params_t* params,
                                                  snd_pcm_uframes_t* val, int* dir);
int __real_snd_pcm_hw_params(snd_pcm_t* pcm, snd_pcm_hw_params_t* params);
snd_pcm_sframes_t __real_snd_pcm_readi(snd_pcm_t* pcm, void* buffer, snd_pcm_uframes_t size);

// The configuration space of a card that offers only its one rate, channel count or format:
// the program's own request for anything else then fails in ALSA itself.
int __wrap_snd_pcm_hw_params_any(snd_pcm_t* pcm, snd_pcm_hw_params_t* params)
{
	if (fails("any"))
		return -EIO;
	int err = __real_snd_pcm_hw_params_any(pcm, params);
	if (err < 0)
		return err;
	std::lock_guard<std::mutex> lock(fault().mutex);
	const CardFault& f = fault();
	if (f.rate != 0)
		snd_pcm_hw_params_set_rate(pcm, params, f.rate, 0);
	if (f.channels != 0)
		snd_pcm_hw_params_set_channels(pcm, params, f.channels);
	if (f.format != SND_PCM_FORMAT_UNKNOWN)
		snd_pcm_hw_params_set_format(pcm, params, f.format);
	return err;
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

// Installing the parameters also prepares the card; "params" is a card that fails there.
int __wrap_snd_pcm_hw_params(snd_pcm_t* pcm, snd_pcm_hw_params_t* params)
{
	return fails("params") ? -EIO : __real_snd_pcm_hw_params(pcm, params);
}

// A card that went away answers every read at once with ENODEV, as a disconnected card does.
snd_pcm_sframes_t __wrap_snd_pcm_readi(snd_pcm_t* pcm, void* buffer, snd_pcm_uframes_t size)
{
	bool vanished;
	{
		std::lock_guard<std::mutex> lock(fault().mutex);
		vanished = fault().vanished;
	}
	return vanished ? -ENODEV : __real_snd_pcm_readi(pcm, buffer, size);
}
}
