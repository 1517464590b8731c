// What vexo-console shows of the virtual appliance itself.
#include "ApplianceState.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>


namespace console {

namespace {

using json = nlohmann::json;

constexpr size_t kTail = 200;
constexpr size_t kReadLimit = 16 << 20;  // per update

// The camera model's state at power-up.
json camera_at_start()
{
	return {{"power", "on"},      {"zoom", 0},           {"zoom_drive", "stop"}, {"pan", "stop"},
	        {"tilt", "stop"},     {"focus", "auto"},     {"focus_drive", "stop"}, {"white_balance", "auto"},
	        {"exposure", "full auto"}, {"packets", 0}};
}

unsigned nibbles(const std::vector<uint8_t>& p, size_t at)
{
	unsigned v = 0;
	for (size_t i = at; i < at + 4; ++i)
		v = v << 4 | (p[i] & 0x0F);
	return v;
}

std::string speed_text(const char* dir, int speed)
{
	return std::string(dir) + " " + std::to_string(speed);
}

}  // namespace

void ApplianceState::camera_packet(const std::string& hex)
{
	std::vector<uint8_t> p;
	for (size_t i = 0; i + 2 <= hex.size(); i += 3)
		p.push_back(static_cast<uint8_t>(strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
	camera_["packets"] = camera_.value("packets", 0) + 1;
	camera_["last"] = hex;
	if (p.size() < 4 || (p[0] != 0x81 && p[0] != 0x88) || p[1] != 0x01 || p.back() != 0xFF)
		return;
	const size_t n = p.size();
	const uint8_t cat = p[2], cmd = p[3];
	static const char* const kWb[] = {"auto", "indoor", "outdoor", "one push", "ATW", "manual", "outdoor auto",
	                                  "sodium auto", "sodium", "sodium outdoor auto"};
	if (cat == 0x04 && cmd == 0x00 && n == 6) {
		camera_["power"] = p[4] == 0x02 ? "on" : p[4] == 0x03 ? "standby" : "?";
	} else if (cat == 0x04 && cmd == 0x47 && n == 9) {
		camera_["zoom"] = nibbles(p, 4);
	} else if (cat == 0x04 && cmd == 0x07 && n == 6) {
		int s = p[4] & 0x0F;
		camera_["zoom_drive"] = p[4] == 0 ? "stop" : (p[4] >> 4) == 2 ? speed_text("tele", s) : speed_text("wide", s);
	} else if (cat == 0x06 && cmd == 0x01 && n == 9) {
		camera_["pan"] = p[6] == 1 ? speed_text("left", p[4]) : p[6] == 2 ? speed_text("right", p[4]) : "stop";
		camera_["tilt"] = p[7] == 1 ? speed_text("up", p[5]) : p[7] == 2 ? speed_text("down", p[5]) : "stop";
	} else if (cat == 0x06 && cmd == 0x04 && n == 5) {
		camera_["pan"] = camera_["tilt"] = "home";
	} else if (cat == 0x04 && cmd == 0x38 && n == 6) {
		camera_["focus"] = p[4] == 0x02 ? "auto" : p[4] == 0x03 ? "manual" : "?";
	} else if (cat == 0x04 && cmd == 0x08 && n == 6) {
		int s = p[4] & 0x0F;
		camera_["focus_drive"] = p[4] == 0 ? "stop" : (p[4] >> 4) == 2 ? speed_text("far", s) : speed_text("near", s);
	} else if (cat == 0x04 && cmd == 0x48 && n == 9) {
		camera_["focus_position"] = nibbles(p, 4);
	} else if (cat == 0x04 && cmd == 0x35 && n == 6) {
		camera_["white_balance"] = p[4] < 10 ? kWb[p[4]] : "?";
	} else if (cat == 0x04 && (cmd == 0x43 || cmd == 0x44) && n == 9) {
		camera_[cmd == 0x43 ? "red_gain" : "blue_gain"] = nibbles(p, 4);
	} else if (cat == 0x04 && cmd == 0x39 && n == 6) {
		camera_["exposure"] = p[4] == 0 ? "full auto" : p[4] == 3 ? "manual" : p[4] == 0x0A ? "shutter priority"
		                      : p[4] == 0x0B ? "iris priority" : p[4] == 0x0D ? "bright" : "?";
	} else if (cat == 0x04 && (cmd == 0x4B || cmd == 0x4A) && n == 9) {
		camera_[cmd == 0x4B ? "iris" : "shutter"] = nibbles(p, 4);
	} else if (cat == 0x04 && cmd == 0x3F && n == 7) {
		camera_["preset"] = std::string(p[4] == 1 ? "stored " : p[4] == 2 ? "recalled " : "reset ") +
		                    std::to_string(p[5]);
	}
}

void ApplianceState::update()
{
	if (camera_.empty())
		camera_ = camera_at_start();
	int fd = open(files_.path("sim/events.jsonl").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0)
		return;
	struct stat st;
	if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
		close(fd);
		return;
	}
	if (static_cast<uint64_t>(st.st_size) < offset_) {  // a new log: start again
		offset_ = 0;
		partial_.clear();
		tail_.clear();
		camera_ = camera_at_start();
		picture_shown_ = "testcard";
		picture_error_ = nullptr;
	}
	std::string text;
	char buf[65536];
	ssize_t got;
	while (text.size() < kReadLimit &&
	       (got = pread(fd, buf, sizeof(buf), static_cast<off_t>(offset_ + text.size()))) > 0)
		text.append(buf, static_cast<size_t>(got));
	close(fd);
	offset_ += text.size();
	text.insert(0, partial_);
	size_t start = 0, nl;
	while ((nl = text.find('\n', start)) != std::string::npos) {
		std::string line = text.substr(start, nl - start);
		start = nl + 1;
		json e = json::parse(line, nullptr, false);
		if (!e.is_object())
			continue;
		if (e.contains("dev") && e["dev"] == "camera") {
			if (e.contains("rx") && e["rx"].is_string())
				camera_packet(e["rx"].get<std::string>());
			if (e.contains("baud"))
				camera_["baud"] = e["baud"];
			if (e.contains("port"))
				camera_["port"] = e["port"];
		}
		if (e.contains("dev") && e["dev"] == "encoder" && e.contains("picture") && e["picture"].is_string()) {
			if (e.contains("error")) {
				picture_error_ = {{"picture", e["picture"]}, {"error", e["error"]}};
			} else {
				picture_shown_ = e["picture"].get<std::string>();
				picture_error_ = nullptr;
			}
		}
		tail_.push_back(std::move(line));
		if (tail_.size() > kTail)
			tail_.pop_front();
	}
	partial_ = text.substr(start);
}

json ApplianceState::status()
{
	std::lock_guard<std::mutex> lock(mutex_);
	update();
	// A control file's setting: its last line that holds more than blanks.
	auto trimmed = [this](const char* rel) -> json {
		std::optional<std::string> t = files_.read(rel, 4096);
		if (!t)
			return nullptr;
		std::string last, line;
		for (size_t i = 0; i <= t->size(); ++i) {
			if (i == t->size() || (*t)[i] == '\n') {
				if (line.find_first_not_of(" \t\r") != std::string::npos)
					last = line;
				line.clear();
			} else {
				line += (*t)[i];
			}
		}
		return last;
	};
	json lights = nullptr;
	if (std::optional<std::string> l = files_.read("sim/lights", 64)) {
		unsigned v = 0;
		bool known = sscanf(l->c_str(), "%2x", &v) == 1;
		lights = {{"raw", *l}, {"program", known && (v & 0x80)}, {"preview", known && (v & 0x40)}, {"known", known}};
	}
	json dashboard = nullptr;
	if (std::optional<std::string> d = files_.read("tmp/mervane-dashboard-pipe", 4096)) {
		json record = json::parse(*d, nullptr, false);
		dashboard = {{"raw", *d}, {"input", record.is_object() ? record.value("dashboard_vid_input", "") : ""}};
	}
	json camera = camera_;
	camera["mode"] = trimmed("sim/camera");
	return {{"lights", lights},        {"dashboard", dashboard},
	        {"hdmi", trimmed("sim/hdmi")}, {"camera", camera},
	        {"picture", {{"setting", trimmed("sim/picture")}, {"shown", picture_shown_}, {"failed", picture_error_}}},
	        {"capture_pending", files_.read("tmp/mervane-enc-cap", 16).has_value()}};
}

std::string ApplianceState::events(size_t n)
{
	std::lock_guard<std::mutex> lock(mutex_);
	update();
	std::string out = "[";
	for (size_t i = tail_.size() - std::min(n, tail_.size()); i < tail_.size(); ++i)
		out += (out.size() > 1 ? "," : "") + tail_[i];
	return out + "]";
}

}  // namespace console
