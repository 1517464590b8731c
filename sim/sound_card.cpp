// The capture card's ALSA configuration and the board's side of its plugin (sim/soundcard/).
#include "audio_signal.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "board.h"
#include "gpio_model.h"
#include "sound_card.h"

namespace sim {

// From audio_faults.cpp: the card's fault settings now.
void sound_card_faults(SoundCardState* out);

namespace {

// AudioCard: ALSA in the program is the real library, so the card is the external I/O plugin
// "mvnhdmisnd", which the board's configuration loads: the board points ALSA_CONFIG_PATH at
// sim/alsa/asound.conf, whose "default" PCM takes the CARD argument and is of that plugin's
// type. The plugin keeps the clock and the buffer; the board tells it the selector and the
// faults through vexo_sim_sound_card().
class AudioCard {
public:
	void install(Board& board)
	{
		dir_ = board.path("sim/alsa");
		conf_ = dir_ + "/asound.conf";
		mkdir(dir_.c_str(), 0755);
		write_config(true);
		setenv("ALSA_CONFIG_PATH", conf_.c_str(), 1);
		board.add_control("audio", "ok", [this, &board](const std::string& line) { control(board, line); });
	}

private:
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
			text += "pcm_type.";
			text += kAudioCardName;
			text += " { lib \"" VEXO_SOUND_CARD_PLUGIN "\" }\n"
			        "pcm.!default {\n"
			        "\t@args [ CARD ]\n"
			        "\t@args.CARD { type string default \"";
			text += kAudioCardName;
			text += "\" }\n"
			        "\ttype ";
			text += kAudioCardName;
			text += "\n\tcard $CARD\n"
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

	std::string dir_;
	std::string conf_;
};

void install(Board& board)
{
	// Never destroyed: the board may install after static destructors have begun.
	static AudioCard* card = new AudioCard;
	card->install(board);
}

void state(SoundCardState* out)
{
	sound_card_faults(out);
	out->hdmi_selected = (audio_select_word() & 1u) != 0;
}

// Names the thread that called into ALSA: the program's audio thread.
void event(const char* key, const char* value)
{
	Board& board = Board::instance();
	if (board.running())
		board.event("audio", {{key, value}, {"thread", static_cast<long>(gettid())}});
}

const SoundCardLink kLink = {state, event};

// After the board (constructor priority 101), before the program's own globals.
ModelRegistrar registrar __attribute__((init_priority(200)))({"audio", install, [](Board&) {}});

}  // namespace

}  // namespace sim

const sim::SoundCardLink* vexo_sim_sound_card()
{
	return &sim::kLink;
}
