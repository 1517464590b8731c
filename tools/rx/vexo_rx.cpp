// vexo-rx: a virtual NDI receiver that watches a stand-in source and reports what arrives.
#include <math.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <ndi_standin_rx.h>

#include "RxRecorder.h"
#include "RxSnapshot.h"
#include "RxSummary.h"
#include "rx_json.h"

namespace {

using ndi_standin::Receiver;
using ndi_standin::RxEvent;
using Kind = ndi_standin::RxEvent::Kind;
using Clock = std::chrono::steady_clock;

volatile sig_atomic_t g_interrupted = 0;
// Reports go to standard output, or to standard error while a recording goes there.
FILE* g_out = stdout;

void on_signal(int)
{
	g_interrupted = 1;
}

const char kUsage[] =
	"usage: vexo-rx --list [--json]\n"
	"       vexo-rx [--source NAME] [--seconds S | --frames N] [--json]\n"
	"               [--tally program|preview|both|none] [--metadata XML]... [--snapshot PREFIX]\n"
	"               [--repeat HZ|max] [--stamps FILE] [--wait S] [--record FILE [--stream program|preview] [--audio float|s16]]\n"
	"Watches a stand-in NDI source in $NDI_STANDIN_DIR (default /tmp/ndi-standin).\n"
	"  --source NAME     the source of exactly this name (default: the first found)\n"
	"  --wait S          how long to wait for the source to appear (default 5, or $VEXO_RX_WAIT)\n"
	"  --seconds S       stop S seconds after connecting\n"
	"  --frames N        stop after N video frames (program and preview together)\n"
	"  --json            one JSON object per line instead of the summary\n"
	"  --tally T         tally to report to the sender after connecting\n"
	"  --metadata XML    metadata frame to send after connecting (repeatable)\n"
	"  --repeat HZ|max   send the --metadata frames again HZ times a second, or as fast as\n"
	"                    the connection takes them\n"
	"  --stamps FILE     write the CLOCK_MONOTONIC time (ns) of each metadata frame sent to\n"
	"                    FILE, one a line\n"
	"  --snapshot PREFIX decode the next program and preview frames into PREFIX-program.png\n"
	"                    and PREFIX-preview.png (stops when both are written, unless\n"
	"                    --seconds or --frames say otherwise)\n"
	"  --record FILE     write the stream as it arrives into FILE (.mkv or .nut); - writes\n"
	"                    NUT to standard output (reports go to standard error then), e.g.\n"
	"                    vexo-rx --record - | ffplay -\n"
	"  --stream S        the stream to record: program (default) or preview\n"
	"  --audio A         recorded audio samples: float (default) or s16\n"
	"Without --seconds, --frames or --snapshot it runs until interrupted.\n";

struct Options {
	bool list = false;
	bool json = false;
	std::optional<std::string> source;
	double seconds = -1;
	long frames = -1;
	double wait = 5;
	bool tally_set = false;
	bool program = false, preview = false;
	std::vector<std::string> metadata;
	double repeat_hz = 0;  // 0: once; infinity: as fast as the socket takes them
	std::optional<std::string> stamps;
	std::optional<std::string> snapshot;
	std::optional<std::string> record;
	int record_stream = 0;
	rx::RxRecorder::Audio record_audio = rx::RxRecorder::Audio::Float;
};

bool parse_number(const char* text, double& out)
{
	char* end = nullptr;
	out = strtod(text, &end);
	return end != text && *end == '\0' && out >= 0;
}

// Returns 0 when the options are usable, else the exit status (usage printed).
int parse(int argc, char** argv, Options& o)
{
	if (const char* env = getenv("VEXO_RX_WAIT"))
		parse_number(env, o.wait);
	for (int i = 1; i < argc; ++i) {
		std::string a = argv[i];
		auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
		const char* v = nullptr;
		double num = 0;
		if (a == "--list") {
			o.list = true;
		} else if (a == "--json") {
			o.json = true;
		} else if (a == "--help" || a == "-h") {
			fputs(kUsage, stdout);
			return -1;
		} else if (a == "--source" && (v = value())) {
			o.source = v;
		} else if (a == "--seconds" && (v = value()) && parse_number(v, num)) {
			o.seconds = num;
		} else if (a == "--frames" && (v = value()) && parse_number(v, num) && num >= 1) {
			o.frames = static_cast<long>(num);
		} else if (a == "--wait" && (v = value()) && parse_number(v, num)) {
			o.wait = num;
		} else if (a == "--tally" && (v = value())) {
			std::string t = v;
			if (t != "program" && t != "preview" && t != "both" && t != "none") {
				fprintf(stderr, "vexo-rx: --tally takes program, preview, both or none, not \"%s\"\n", v);
				return 2;
			}
			o.tally_set = true;
			o.program = t == "program" || t == "both";
			o.preview = t == "preview" || t == "both";
		} else if (a == "--metadata" && (v = value())) {
			o.metadata.emplace_back(v);
		} else if (a == "--repeat" && (v = value()) &&
		           (strcmp(v, "max") == 0 || (parse_number(v, num) && num > 0))) {
			o.repeat_hz = strcmp(v, "max") == 0 ? HUGE_VAL : num;
		} else if (a == "--stamps" && (v = value())) {
			o.stamps = v;
		} else if (a == "--snapshot" && (v = value())) {
			o.snapshot = v;
		} else if (a == "--record" && (v = value())) {
			if (std::optional<std::string> bad = rx::RxRecorder::check_path(v)) {
				fprintf(stderr, "vexo-rx: %s\n", bad->c_str());
				return 2;
			}
			o.record = v;
		} else if (a == "--stream" && (v = value()) && (!strcmp(v, "program") || !strcmp(v, "preview"))) {
			o.record_stream = strcmp(v, "preview") == 0 ? 1 : 0;
		} else if (a == "--audio" && (v = value()) && (!strcmp(v, "float") || !strcmp(v, "s16"))) {
			o.record_audio = strcmp(v, "s16") == 0 ? rx::RxRecorder::Audio::S16 : rx::RxRecorder::Audio::Float;
		} else {
			fprintf(stderr, "vexo-rx: bad argument \"%s\"%s\n%s", a.c_str(), v ? "" : " (or its value)", kUsage);
			return 2;
		}
	}
	if (o.seconds >= 0 && o.frames >= 0) {
		fprintf(stderr, "vexo-rx: give --seconds or --frames, not both\n");
		return 2;
	}
	return 0;
}

void emit(const rx::Json& line)
{
	fputs(rx::line_text(line).c_str(), g_out);
	fputc('\n', g_out);
	fflush(g_out);
}


rx::Json optional_text(const std::optional<std::string>& text)
{
	return text ? rx::Json(*text) : rx::Json(nullptr);
}

std::string head_hex(const std::vector<uint8_t>& data)
{
	std::string s;
	char b[4];
	for (size_t i = 0; i < data.size() && i < 4; ++i) {
		snprintf(b, sizeof(b), "%02x", data[i]);
		s += b;
	}
	return s;
}

int list_sources(const Options& o, const std::string& dir)
{
	std::vector<ndi_standin::SourceInfo> sources = ndi_standin::find_sources(dir);
	for (const ndi_standin::SourceInfo& s : sources) {
		if (o.json)
			emit({{"name", s.name}, {"groups", optional_text(s.groups)}, {"path", s.path}});
		else
			fprintf(g_out, "%s%s%s\n", rx::quote(s.name).c_str(), s.groups ? "  groups: " : "",
			       s.groups ? s.groups->c_str() : "");
	}
	if (sources.empty())
		fprintf(stderr, "vexo-rx: no sources in %s\n", dir.c_str());
	return 0;
}

// Waits for the source in short slices so that an interrupt is seen at once.
bool connect_source(Receiver& rx, const std::string& dir, const std::optional<std::string>& name, double wait_s)
{
	Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(static_cast<long>(wait_s * 1000));
	do {
		if (rx.open(dir, name, 200))
			return true;
	} while (!g_interrupted && Clock::now() < deadline);
	return false;
}

}  // namespace

int main(int argc, char** argv)
{
	Options o;
	int status = parse(argc, argv, o);
	if (status != 0)
		return status < 0 ? 0 : status;
	std::string dir = ndi_standin::source_dir();
	if (o.record && *o.record == "-")
		g_out = stderr;
	if (o.list)
		return list_sources(o, dir);

	struct sigaction sa;
	memset(&sa, 0, sizeof(sa));
	sa.sa_handler = on_signal;  // no SA_RESTART: waits end early and the loop sees the flag
	sigaction(SIGINT, &sa, nullptr);
	sigaction(SIGTERM, &sa, nullptr);
	signal(SIGPIPE, SIG_IGN);

	Receiver rx;
	if (!connect_source(rx, dir, o.source, o.wait)) {
		if (g_interrupted)
			return 0;
		if (o.source)
			fprintf(stderr, "vexo-rx: no source named %s appeared in %s within %g s\n",
			        rx::quote(*o.source).c_str(), dir.c_str(), o.wait);
		else
			fprintf(stderr, "vexo-rx: no source appeared in %s within %g s\n", dir.c_str(), o.wait);
		return 1;
	}

	rx::RxSummary summary;
	std::optional<rx::RxRecorder> recorder;
	if (o.record)
		recorder.emplace(*o.record, o.record_stream, o.record_audio);
	bool record_failed = false;
	std::string record_error;
	std::optional<Clock::time_point> stop_at;
	long frames = 0;
	bool snapped[2] = {false, false};
	int snap_failures[2] = {0, 0};
	const int kSnapAttempts = 5;
	std::string name;
	bool stop = false;
	std::optional<Clock::time_point> resend_at;  // set once connected, with --repeat
	long resent = 0;
	// Each metadata frame sent, with its send time when --stamps asks (steady_clock is
	// CLOCK_MONOTONIC, the clock of the virtual appliance's frame-path probe).
	FILE* stamps = o.stamps ? fopen(o.stamps->c_str(), "w") : nullptr;
	if (o.stamps && stamps == nullptr)
		fprintf(stderr, "vexo-rx: cannot write %s\n", o.stamps->c_str());
	auto send_stamped = [&](const std::string& xml) {
		const int64_t at = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
		const bool sent = rx.send_metadata(xml);
		if (sent && stamps != nullptr) {
			fprintf(stamps, "%lld\n", static_cast<long long>(at));
			fflush(stamps);
		}
		return sent;
	};
	while (!stop && !g_interrupted) {
		int wait_ms = 100;
		if (resend_at) {
			Clock::time_point now = Clock::now();
			if (now >= *resend_at) {
				for (const std::string& xml : o.metadata)
					if (send_stamped(xml))
						++resent;
				if (isinf(o.repeat_hz))
					*resend_at = now;
				else
					*resend_at += std::chrono::microseconds(static_cast<long>(1e6 / o.repeat_hz));
				if (*resend_at < now)  // fallen behind: no burst to catch up
					*resend_at = now;
			}
			auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*resend_at - Clock::now()).count();
			wait_ms = static_cast<int>(std::clamp<long long>(left, 0, 100));
		}
		RxEvent ev = rx.next(wait_ms);
		switch (ev.kind) {
		case Kind::None:
			break;
		case Kind::Source:
			name = ev.source.name;
			if (!stop_at && o.seconds >= 0)
				stop_at = Clock::now() + std::chrono::milliseconds(static_cast<long>(o.seconds * 1000));
			if (o.json)
				emit({{"event", "source"}, {"name", ev.source.name}, {"groups", optional_text(ev.source.groups)},
				      {"config", optional_text(ev.source.config)}});
			else
				fprintf(g_out, "connected to %s  groups: %s\nconfig: %s\n", rx::quote(ev.source.name).c_str(),
				       ev.source.groups ? ev.source.groups->c_str() : "(none)",
				       ev.source.config ? ev.source.config->c_str() : "(none)");
			if (o.tally_set && !rx.set_tally(o.program, o.preview))
				fprintf(stderr, "vexo-rx: could not send the tally\n");
			for (const std::string& xml : o.metadata)
				if (!send_stamped(xml))
					fprintf(stderr, "vexo-rx: could not send metadata\n");
			if (o.repeat_hz > 0 && !o.metadata.empty())
				resend_at = Clock::now();
			break;
		case Kind::ConnectionMetadata:
			if (o.json)
				emit({{"event", "metadata"}, {"xml", ev.text}});
			else
				fprintf(g_out, "metadata: %s\n", ev.text.c_str());
			break;
		case Kind::Metadata:
			if (o.json)
				emit({{"event", "metadata_frame"}, {"xml", ev.text}});
			else
				fprintf(g_out, "metadata frame: %s\n", ev.text.c_str());
			break;
		case Kind::Video: {
			const ndi_standin::VideoFrame& v = ev.video;
			int s = v.stream == 1 ? 1 : 0;
			const char* stream = s == 1 ? "preview" : "program";
			if (o.json)
				emit({{"event", "video"}, {"stream", stream}, {"xres", v.xres}, {"yres", v.yres},
				      {"fourcc", ndi_standin::fourcc_text(v.fourcc)}, {"frame_rate_n", v.frame_rate_n},
				      {"frame_rate_d", v.frame_rate_d}, {"aspect", v.aspect},
				      {"format", rx::format_name(v.format)}, {"size", static_cast<int64_t>(v.data.size())},
				      {"head", head_hex(v.data)}});
			else
				summary.video(v);
			if (o.snapshot && !snapped[s] && snap_failures[s] < kSnapAttempts) {
				std::string path = *o.snapshot + "-" + stream + ".png";
				std::string error;
				if (rx::RxSnapshot::write_png(v, path, error)) {
					snapped[s] = true;
					if (o.json)
						emit({{"event", "snapshot"}, {"stream", stream}, {"path", path}});
					else
						fprintf(g_out, "snapshot of the %s stream written to %s\n", stream, path.c_str());
				} else {
					++snap_failures[s];
					fprintf(stderr, "vexo-rx: snapshot of the %s stream failed: %s\n", stream, error.c_str());
				}
			}
			if (recorder && !recorder->video(v, record_error)) {
				record_failed = stop = true;
				fprintf(stderr, "vexo-rx: recording: %s\n", record_error.c_str());
			}
			if (o.frames > 0 && ++frames >= o.frames)
				stop = true;
			break;
		}
		case Kind::Audio:
			if (recorder && !recorder->audio(ev.audio, record_error)) {
				record_failed = stop = true;
				fprintf(stderr, "vexo-rx: recording: %s\n", record_error.c_str());
			}
			if (o.json) {
				std::vector<float> first(ev.audio.data.begin(),
				                         ev.audio.data.begin() + std::min<size_t>(4, ev.audio.data.size()));
				emit({{"event", "audio"}, {"sample_rate", ev.audio.sample_rate}, {"channels", ev.audio.channels},
				      {"samples", ev.audio.samples}, {"timecode", ev.audio.timecode}, {"first", first}});
			} else {
				summary.audio(ev.audio);
			}
			break;
		case Kind::Failover:
			if (o.json)
				emit({{"event", "failover"}, {"name", ev.text}});
			else
				fprintf(g_out, "sender names its failover source %s\n", rx::quote(ev.text).c_str());
			break;
		case Kind::Dropped:
			if (o.json)
				emit({{"event", "dropped"}, {"program", ev.dropped[0]}, {"preview", ev.dropped[1]},
				      {"audio", ev.dropped[2]}, {"metadata", ev.dropped[3]}});
			else
				fprintf(g_out, "the sender dropped for this slow receiver: %u program, %u preview, %u audio frames\n",
				        ev.dropped[0], ev.dropped[1], ev.dropped[2]);
			break;
		case Kind::Disconnected:
			if (o.json)
				emit({{"event", "disconnected"}});
			else
				fprintf(g_out, "disconnected from %s; waiting for it to come back\n", rx::quote(name).c_str());
			fflush(g_out);
			// The sender may come back (the program recreates it): wait for the same name.
			while (!g_interrupted && !rx.connected()) {
				if (stop_at && Clock::now() >= *stop_at)
					break;
				rx.open(dir, name, 200);
			}
			break;
		}
		if (!o.json)
			summary.tick(g_out);
		fflush(g_out);
		if (stop_at && Clock::now() >= *stop_at)
			stop = true;
		if (o.snapshot && o.seconds < 0 && o.frames < 0 &&
		    (snapped[0] || snap_failures[0] >= kSnapAttempts) && (snapped[1] || snap_failures[1] >= kSnapAttempts))
			stop = true;
	}
	rx.close();
	if (stamps != nullptr)
		fclose(stamps);
	if (resend_at && o.json)
		emit({{"event", "metadata_sent"}, {"frames", resent}});
	if (recorder) {
		if (!recorder->finish(record_error)) {
			record_failed = true;
			fprintf(stderr, "vexo-rx: recording: %s\n", record_error.c_str());
		}
		if (o.json)
			emit({{"event", "recorded"}, {"path", *o.record}, {"frames", recorder->frames()},
			      {"duration", static_cast<float>(recorder->duration())}, {"dropped", recorder->dropped()}});
		else
			fprintf(g_out, "recorded %lld frames (%.3f s) to %s\n", static_cast<long long>(recorder->frames()),
			        recorder->duration(), o.record->c_str());
		if (record_failed)
			return 1;
	}
	if (o.snapshot && (!snapped[0] || !snapped[1])) {
		fprintf(stderr, "vexo-rx: %s snapshot not written\n",
		        !snapped[0] && !snapped[1] ? "neither" : (!snapped[0] ? "the program" : "the preview"));
		return 1;
	}
	return 0;
}
