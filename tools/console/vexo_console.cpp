// vexo-console: the virtual appliance in a browser. One page and a small JSON API under /api/
// over a running virtual appliance's sysroot, with a stand-in NDI receiver of its own.
#include <ctype.h>
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

extern "C" {
#include <libavutil/log.h>
}

#include "RxSnapshot.h"
#include "ApplianceState.h"
#include "ConsoleSettings.h"
#include "LiveReceiver.h"
#include "SysrootFiles.h"
#include "mervane_av_format.h"
#include "page.h"

namespace {

using json = nlohmann::json;

const char kUsage[] =
	"usage: vexo-console [--sysroot DIR] [--listen ADDR] [--port N]\n"
	"Serves the console of the virtual appliance in DIR (default $VEXO_SYSROOT) on\n"
	"http://ADDR:N/ (default 127.0.0.1:8080; --port 0 picks a free port). It watches the NDI\n"
	"source in $NDI_STANDIN_DIR (default DIR/ndi). Stops on SIGINT or SIGTERM.\n";

void reply(httplib::Response& res, int status, const json& body)
{
	res.status = status;
	res.set_header("Cache-Control", "no-store");
	res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

void fail(httplib::Response& res, int status, const std::string& message)
{
	reply(res, status, {{"error", message}});
}

// The request's JSON object body; false (and a 400 sent) when there is none.
bool body_object(const httplib::Request& req, httplib::Response& res, json& out)
{
	out = json::parse(req.body, nullptr, false);
	if (out.is_object())
		return true;
	fail(res, 400, "the request body must be a JSON object");
	return false;
}

// A number from the body within [lo, hi]; false with a message otherwise.
bool number(const json& body, const char* key, double lo, double hi, double& out, std::string& error)
{
	auto it = body.find(key);
	if (it == body.end() || !it->is_number() || !std::isfinite(it->get<double>()) || it->get<double>() < lo ||
	    it->get<double>() > hi) {
		char buf[160];
		snprintf(buf, sizeof(buf), "\"%s\" must be a number from %g to %g", key, lo, hi);
		error = buf;
		return false;
	}
	out = it->get<double>();
	return true;
}

// A string member of the body; empty when absent or not a string.
std::string text_field(const json& body, const char* key)
{
	auto it = body.find(key);
	return it != body.end() && it->is_string() ? it->get<std::string>() : "";
}

std::string num_text(double v)
{
	char buf[32];
	snprintf(buf, sizeof(buf), "%.4g", v == 0 ? 0.0 : v);  // no "-0"
	return buf;
}

// The PTZ metadata an NDI receiver sends for one pad action; empty with a message when the
// request is not one.
std::string ptz_xml(const json& b, std::string& error)
{
	std::string op = text_field(b, "op");
	double x = 0, y = 0;
	if (op == "pan_tilt") {
		if (!number(b, "pan", -1, 1, x, error) || !number(b, "tilt", -1, 1, y, error))
			return "";
		return "<ntk_ptz_pan_tilt_speed pan_speed=\"" + num_text(x) + "\" tilt_speed=\"" + num_text(y) + "\"/>";
	}
	if (op == "zoom")
		return number(b, "zoom", 0, 1, x, error) ? "<ntk_ptz_zoom zoom=\"" + num_text(x) + "\"/>" : "";
	if (op == "zoom_speed")
		return number(b, "speed", -1, 1, x, error) ? "<ntk_ptz_zoom_speed zoom_speed=\"" + num_text(x) + "\"/>" : "";
	if (op == "focus") {
		std::string mode = text_field(b, "mode");
		if (mode == "auto")
			return "<ntk_ptz_focus mode=\"auto\"/>";
		if (mode != "manual") {
			error = "\"mode\" must be auto or manual";
			return "";
		}
		return number(b, "distance", 0, 1, x, error)
		           ? "<ntk_ptz_focus mode=\"manual\" distance=\"" + num_text(x) + "\"/>" : "";
	}
	if (op == "store_preset" || op == "recall_preset") {
		auto it = b.find("index");
		if (it == b.end() || !it->is_number_integer() || it->get<long long>() < 0 || it->get<long long>() > 99) {
			error = "\"index\" must be a whole number from 0 to 99";
			return "";
		}
		std::string index = std::to_string(it->get<long long>());
		return op == "store_preset" ? "<ntk_ptz_store_preset index=\"" + index + "\"/>"
		                            : "<ntk_ptz_recall_preset index=\"" + index + "\" speed=\"1\"/>";
	}
	error = "\"op\" must be pan_tilt, zoom, zoom_speed, focus, store_preset or recall_preset";
	return "";
}

// The sim/hdmi line for a source request; empty with a message when it is not one.
std::string source_line(const json& b, std::string& error)
{
	if (b.contains("source")) {
		std::string s = text_field(b, "source");
		if (s == "none" || s == "unreadable")
			return s;
		for (const VideoFormatName& format : kVideoFormatNames)
			if (s == format.name)
				return s;
		error = "unknown source; one of the format names, none, unreadable, or {\"timing\":{...}}";
		return "";
	}
	if (!b.contains("timing") || !b["timing"].is_object()) {
		error = "give \"source\" or \"timing\"";
		return "";
	}
	const json& t = b["timing"];
	double w = 0, h = 0, total = 0, mhz = 0;
	if (!number(t, "width", 1, 8191, w, error) || !number(t, "height", 1, 8191, h, error) ||
	    !number(t, "total", 1, 8191, total, error) || !number(t, "mhz", 0.0078125, 511.99, mhz, error))
		return "";
	if (w != std::floor(w) || h != std::floor(h) || total != std::floor(total)) {
		error = "width, height and total are whole numbers";
		return "";
	}
	if (t.contains("interlaced") && !t["interlaced"].is_boolean()) {
		error = "\"interlaced\" must be true or false";
		return "";
	}
	char buf[96];
	snprintf(buf, sizeof(buf), "timing %d %d %d %.7g%s", int(w), int(h), int(total), mhz,
	         t.value("interlaced", false) ? " i" : "");
	return buf;
}

// The sim/picture line for a picture request; empty with a message when it is not one. A clip
// must name a file this process can read; whether it decodes, the appliance logs as an event.
std::string picture_line(const json& b, std::string& error)
{
	std::string kind = text_field(b, "picture");
	if (kind == "testcard" || kind == "pattern")
		return kind;
	if (kind != "clip") {
		error = "\"picture\" must be testcard, pattern or clip";
		return "";
	}
	std::string path = text_field(b, "path");
	// The appliance reads the path to the line's end and trims blanks after it.
	bool one_line = std::none_of(path.begin(), path.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
	if (path.empty() || path[0] != '/' || !one_line || isspace(static_cast<unsigned char>(path.back()))) {
		error = "a clip needs \"path\": an absolute path on one line, not ending in a blank";
		return "";
	}
	struct stat st;
	if (stat(path.c_str(), &st) != 0 || access(path.c_str(), R_OK) != 0) {
		error = "cannot read the clip " + path + ": " + strerror(errno);
		return "";
	}
	if (S_ISDIR(st.st_mode)) {
		error = "the clip " + path + " is a directory";
		return "";
	}
	return "clip " + path;
}

// The latest frame of one stream as JPEG, encoded once per frame however many ask.
class PictureCache
{
public:
	bool get(console::LiveReceiver& live, int stream, std::string& jpeg, std::string& error)
	{
		std::lock_guard<std::mutex> lock(mutex_[stream]);
		uint64_t number = 0;
		auto frame = live.frame(stream, number);
		if (!frame) {
			error = "no picture received yet";
			return false;
		}
		if (number != number_[stream] || jpeg_[stream].empty()) {
			std::vector<uint8_t> out;
			int w = 0, h = 0;
			if (!rx::RxSnapshot::encode(*frame, rx::RxSnapshot::Image::Jpeg, out, w, h, error))
				return false;
			jpeg_[stream].assign(out.begin(), out.end());
			number_[stream] = number;
		}
		jpeg = jpeg_[stream];
		return true;
	}

private:
	std::mutex mutex_[2];
	uint64_t number_[2] = {0, 0};
	std::string jpeg_[2];
};

}  // namespace

int main(int argc, char** argv)
{
	std::string listen = "127.0.0.1", sysroot = getenv("VEXO_SYSROOT") ? getenv("VEXO_SYSROOT") : "";
	int port = 8080;
	for (int i = 1; i < argc; ++i) {
		std::string a = argv[i];
		const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
		if (a == "-h" || a == "--help") {
			fputs(kUsage, stdout);
			return 0;
		} else if (a == "--listen" && v) {
			listen = v, ++i;
		} else if (a == "--sysroot" && v) {
			sysroot = v, ++i;
		} else if (a == "--port" && v && strspn(v, "0123456789") == strlen(v) && strlen(v) <= 5 && atoi(v) <= 65535) {
			port = atoi(v), ++i;
		} else {
			fprintf(stderr, "vexo-console: bad argument \"%s\"%s\n%s", a.c_str(), v ? "" : " (or its value)", kUsage);
			return 2;
		}
	}
	console::SysrootFiles files;
	std::string error;
	if (!files.open(sysroot, error)) {
		fprintf(stderr, "vexo-console: %s (give --sysroot DIR or set VEXO_SYSROOT)\n", error.c_str());
		return 2;
	}
	const char* ndi_env = getenv("NDI_STANDIN_DIR");
	const std::string ndi_dir = ndi_env && *ndi_env ? ndi_env : files.path("ndi");

	// Signals are taken by one thread of their own, which stops the server.
	sigset_t stop_signals;
	sigemptyset(&stop_signals);
	sigaddset(&stop_signals, SIGINT);
	sigaddset(&stop_signals, SIGTERM);
	pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
	signal(SIGPIPE, SIG_IGN);
	av_log_set_level(AV_LOG_ERROR);

	console::LiveReceiver live(ndi_dir);
	console::ApplianceState appliance(files);
	console::ConsoleSettings settings(files);
	PictureCache pictures;
	httplib::Server svr;
	svr.set_payload_max_length(64 * 1024);

	auto page = [](const char* text, const char* type) {
		return [text, type](const httplib::Request&, httplib::Response& res) { res.set_content(text, type); };
	};
	svr.Get("/", page(console::kIndexHtml, "text/html; charset=utf-8"));
	svr.Get("/console.js", page(console::kConsoleJs, "text/javascript; charset=utf-8"));
	svr.Get("/console.css", page(console::kConsoleCss, "text/css; charset=utf-8"));

	svr.Get("/api/status", [&](const httplib::Request&, httplib::Response& res) {
		json s = live.status();
		s["appliance"] = appliance.status();
		reply(res, 200, s);
	});
	svr.Get("/api/events", [&](const httplib::Request& req, httplib::Response& res) {
		std::string n = req.has_param("n") ? req.get_param_value("n") : "50";
		if (n.empty() || n.size() > 3 || strspn(n.c_str(), "0123456789") != n.size())
			return fail(res, 400, "\"n\" must be a whole number from 0 to 200");
		res.set_header("Cache-Control", "no-store");
		res.set_content(appliance.events(static_cast<size_t>(std::stoi(n))), "application/json");
	});
	svr.Get(R"(/api/picture/(program|preview)\.jpg)", [&](const httplib::Request& req, httplib::Response& res) {
		std::string jpeg, why;
		if (!pictures.get(live, req.matches[1] == "preview" ? 1 : 0, jpeg, why))
			return fail(res, 503, why);
		res.set_header("Cache-Control", "no-store");
		res.set_content(jpeg, "image/jpeg");
	});
	svr.Get("/api/settings", [&](const httplib::Request&, httplib::Response& res) {
		reply(res, 200, settings.describe());
	});
	svr.Post("/api/settings", [&](const httplib::Request& req, httplib::Response& res) {
		json body;
		if (!body_object(req, res, body))
			return;
		std::vector<std::string> written;
		std::string why;
		if (!settings.apply(body, written, why))
			return fail(res, written.empty() ? 400 : 500, why);
		reply(res, 200, {{"written", written}});
	});
	// A request that writes one line, made from its body, to the control file sim/<name>.
	auto control_post = [&](const std::string& name, std::string (*line_of)(const json&, std::string&)) {
		return [&files, name, line_of](const httplib::Request& req, httplib::Response& res) {
			json body;
			if (!body_object(req, res, body))
				return;
			std::string why, line = line_of(body, why);
			if (line.empty())
				return fail(res, 400, why);
			if (!files.write("sim/" + name, line + "\n", why))
				return fail(res, 500, why);
			reply(res, 200, {{name, line}});
		};
	};
	svr.Post("/api/source", control_post("hdmi", source_line));
	svr.Post("/api/picture", control_post("picture", picture_line));
	svr.Post("/api/capture", [&](const httplib::Request&, httplib::Response& res) {
		std::string why;
		if (!files.write("tmp/mervane-enc-cap", "", why))
			return fail(res, 500, why);
		reply(res, 200, {{"requested", "tmp/mervane-enc-cap"}});
	});
	svr.Post("/api/tally", [&](const httplib::Request& req, httplib::Response& res) {
		json body;
		if (!body_object(req, res, body))
			return;
		auto flag = [&](const char* k) { return body.contains(k) && body[k].is_boolean(); };
		if (!flag("program") || !flag("preview"))
			return fail(res, 400, "give {\"program\":true|false,\"preview\":true|false}");
		live.set_tally(body["program"].get<bool>(), body["preview"].get<bool>());
		reply(res, 200, {{"program", body["program"]}, {"preview", body["preview"]}});
	});
	svr.Post("/api/ptz", [&](const httplib::Request& req, httplib::Response& res) {
		json body;
		if (!body_object(req, res, body))
			return;
		std::string why, xml = ptz_xml(body, why);
		if (xml.empty())
			return fail(res, 400, why);
		if (!live.send_metadata(xml))
			return fail(res, 409, "no NDI source is connected");
		reply(res, 200, {{"sent", xml}});
	});
	svr.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
		if (res.body.empty())
			fail(res, res.status, res.status == 404 ? "no such page: " + req.path
		                                          : "request refused (HTTP " + std::to_string(res.status) + ")");
	});
	svr.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
		std::string what = "internal error";
		try {
			std::rethrow_exception(ep);
		} catch (const std::exception& e) {
			what = e.what();
		} catch (...) {
		}
		fail(res, 500, what);
	});

	int bound = port == 0 ? svr.bind_to_any_port(listen) : (svr.bind_to_port(listen, port) ? port : -1);
	if (bound <= 0) {
		fprintf(stderr, "vexo-console: cannot listen on %s port %d (in use, or not an address of this machine)\n",
		        listen.c_str(), port);
		return 1;
	}
	live.start();
	std::thread stopper([&] {
		int sig = 0;
		sigwait(&stop_signals, &sig);
		svr.stop();
	});
	printf("vexo-console: http://%s:%d/ (sysroot %s)\n", listen.c_str(), bound, files.root().c_str());
	fflush(stdout);
	svr.listen_after_bind();
	live.stop();
	// The stopper still waits when the server ended otherwise: wake it.
	pthread_kill(stopper.native_handle(), SIGTERM);
	stopper.join();
	printf("vexo-console: stopped\n");
	return 0;
}
