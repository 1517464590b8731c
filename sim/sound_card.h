// The contract between the virtual appliance's board and its sound card, the ALSA plugin
// "mvnhdmisnd" (sim/soundcard/). ALSA loads the plugin into the process that opens the card;
// the plugin looks up vexo_sim_sound_card() there and asks the board for the card's state
// through it. In a process without a board the plugin is a plain card: HDMI signal, no faults.
#pragma once

#include <stdint.h>

namespace sim {

// The card as the board sets it now. Zero (format: -1) means the card's own value.
struct SoundCardState {
	uint32_t rate;          // the one rate the card offers
	uint32_t channels;      // the one channel count
	int32_t format;         // the one snd_pcm_format_t
	bool fail_params;       // installing hardware parameters fails with EIO
	bool hdmi_selected;     // the selector's bit 0: HDMI signal, else analog
	uint32_t overruns;      // counts requests for one overrun now; each new one overruns once
	bool overrun_stuck;     // every read overruns
	bool vanished;          // the card is gone: disconnected
};

struct SoundCardLink {
	void (*state)(SoundCardState* out);
	// One event of the card on the board's log: {"dev":"audio","<key>":"<value>"}.
	void (*event)(const char* key, const char* value);
};

}  // namespace sim

extern "C" const sim::SoundCardLink* vexo_sim_sound_card();
