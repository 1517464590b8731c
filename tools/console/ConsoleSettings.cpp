// The web interface's settings files as vexo-console edits them.
#include "ConsoleSettings.h"

#include <ctype.h>
#include <string.h>

#include <map>
#include <mutex>
#include <utility>

#include "mervane_av_format.h"

namespace console {

namespace {

using json = nlohmann::json;
using ordered_json = nlohmann::ordered_json;

const char kEnc[] = "etc/mervane-enc1-settings.json";
const char kDevice[] = "etc/mervane-device-settings.json";
const char kFind[] = "etc/mervane-ndinet-find-settings.json";
const char kTx[] = "etc/mervane-ndinet-tx-settings.json";
const char kPtz[] = "etc/mervane-ptz-settings.json";
const char kFailover[] = "etc/mervane-source1-name-encfailover";

// Each file's keys in the order they are written: a short key before the longer keys and the
// values that contain its text, so the program's text search finds each key at itself.
struct FileLayout {
	const char* rel;
	Form form;
	std::vector<std::pair<const char*, const char*>> keys;  // key, value when the file has none
};

const std::vector<FileLayout>& file_layouts()
{
	static const std::vector<FileLayout> layouts = {
		{kEnc, Form::Flat, {{"StreamName", nullptr}, {"NDIGroup", nullptr}, {"NDIGroupName", nullptr},
		                    {"BandwidthMode", nullptr}, {"BandwidthSelect", nullptr}, {"NDIAudio", nullptr},
		                    {"VideoFormat", nullptr}, {"VideoCSC", nullptr}, {"VideoSampleRate", nullptr},
		                    {"TallyMode", nullptr}, {"ScreenSaverMode", nullptr}}},
		{kDevice, Form::Flat, {{"AnalogAudioInGain", nullptr}, {"AnalogAudioOutGain", nullptr}}},
		{kFind, Form::Flat, {{"NDIDisServ", nullptr}, {"NDIDisServIP", nullptr}}},
		{kTx, Form::Positional, {{"ttl", "1"}, {"netmask", "255.255.0.0"}, {"netprefix", "239.255.0.0"},
		                         {"mode", "Multi-TCP"}}},
		{kPtz, Form::Positional, {{"address", "1"}, {"baudrate", "9600"}}},
		{kFailover, Form::Plain, {{"", "None"}}},
	};
	return layouts;
}

const FileLayout& layout_of(const char* rel)
{
	for (const FileLayout& s : file_layouts())
		if (std::string(s.rel) == rel)
			return s;
	return file_layouts().front();  // unreachable: every field names a listed file
}

using Values = std::map<std::string, std::string>;  // key -> value, as the program reads them

Values read_values(const FileLayout& layout, const std::optional<std::string>& text)
{
	Values v;
	if (layout.form == Form::Flat) {
		if (text)
			for (const auto& k : layout.keys)
				if (std::optional<std::string> value = program_reader::flat_value(*text, k.first))
					v[k.first] = *value;
	} else if (layout.form == Form::Positional) {
		std::vector<std::string> p = program_reader::positional_values(text.value_or(""), layout.keys.size());
		for (size_t i = 0; i < layout.keys.size(); ++i)
			v[layout.keys[i].first] = text ? p[i] : layout.keys[i].second;
	} else if (text) {
		v[""] = program_reader::last_line(*text);
	}
	return v;
}

// The file's new text: the known keys in their order, then any other members the file held.
bool compose(const FileLayout& layout, const std::optional<std::string>& old, const Values& values, std::string& out,
             std::string& error)
{
	if (layout.form == Form::Plain) {
		out = values.at("");
		return true;
	}
	ordered_json doc = ordered_json::object();
	for (const auto& k : layout.keys) {
		auto it = values.find(k.first);
		if (it != values.end())
			doc[k.first] = it->second;
	}
	if (layout.form == Form::Flat && old) {
		ordered_json before = ordered_json::parse(*old, nullptr, false);
		if (before.is_object())
			for (auto& [key, value] : before.items())
				if (!doc.contains(key))
					doc[key] = value;
	}
	try {
		out = doc.dump();
	} catch (const ordered_json::exception&) {
		error = "a value is not valid UTF-8";
		return false;
	}
	return true;
}

std::string shown(const std::string& s)
{
	return json(s).dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string check_value(const Field& f, const json& given, std::string& value)
{
	if (f.kind == Field::Kind::Integer && given.is_number_integer()) {
		value = std::to_string(given.get<long long>());
	} else if (given.is_string()) {
		value = given.get<std::string>();
	} else {
		return "must be a string";
	}
	if (f.kind == Field::Kind::Choice) {
		for (const char* c : f.choices)
			if (value == c)
				return "";
		std::string list;
		for (const char* c : f.choices)
			list += (list.empty() ? "" : ", ") + std::string(c);
		return "must be one of " + list + ", not " + shown(value);
	}
	if (f.kind == Field::Kind::Integer) {
		bool digits = !value.empty() && value.size() <= 9;
		for (char c : value)
			digits = digits && isdigit(static_cast<unsigned char>(c));
		long n = digits ? std::stol(value) : -1;
		if (!digits || n < f.min || n > f.max)
			return "must be a whole number from " + std::to_string(f.min) + " to " + std::to_string(f.max) +
			       ", not " + shown(value);
		value = std::to_string(n);
		return "";
	}
	if (value.size() > f.max_length)
		return "is too long: at most " + std::to_string(f.max_length) + " characters, not " +
		       std::to_string(value.size());
	if (value.size() < f.min_length)
		return "must not be empty";
	for (unsigned char c : value) {
		if (c < 0x20 || c == 0x7F)
			return "must not hold control characters or line ends";
		if (c == '"' || c == '\\')
			return "must not hold \" or \\ (the program takes values up to the next quote, unescaped)";
		if (f.charset && !strchr(f.charset, c))
			return std::string("may hold only these characters: ") + f.charset;
	}
	if (layout_of(f.file).form == Form::Positional)
		for (char c : value)
			if (strchr(",:{} ", c))
				return "must not hold , : { } or blanks (the program splits this file by position)";
	return "";
}

}  // namespace

namespace program_reader {

std::optional<std::string> flat_value(const std::string& text, const std::string& key)
{
	size_t at = text.find(key);
	if (at == std::string::npos || text.size() - at - key.size() < 3)
		return std::nullopt;
	size_t start = at + key.size() + 3;
	size_t end = text.find('"', start);
	return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::vector<std::string> positional_values(const std::string& text, size_t count)
{
	size_t b = text.find_first_not_of(" \t\r\n\v\f");
	std::string word = b == std::string::npos ? "" : text.substr(b, text.find_first_of(" \t\r\n\v\f", b) - b);
	std::string s;
	for (char c : word)
		if (c != '"' && c != '}' && c != '{')
			s += c;
	std::vector<std::string> out(count);
	size_t colon = std::string::npos, comma = std::string::npos;
	for (size_t i = 0; i < count; ++i) {
		colon = s.find(':', colon == std::string::npos ? 0 : colon + 1);
		if (colon == std::string::npos)
			break;
		if (i + 1 == count) {
			out[i] = s.substr(colon + 1);
			break;
		}
		comma = s.find(',', comma == std::string::npos ? 0 : comma + 1);
		if (comma == std::string::npos)
			break;
		if (comma > colon)
			out[i] = s.substr(colon + 1, comma - colon - 1);
	}
	return out;
}

std::string last_line(const std::string& text)
{
	size_t nl = text.rfind('\n');
	return nl == std::string::npos ? text : text.substr(nl + 1);
}

}  // namespace program_reader

const std::vector<Field>& fields()
{
	using K = Field::Kind;
	const auto video_formats = [] {
		std::vector<const char*> choices = {"AUTO"};  // then every format name, in the web UI's order
		for (const VideoFormatName& format : kVideoFormatNames)
			choices.push_back(format.name);
		return choices;
	};
	static const std::vector<Field> all = {
		{"StreamName", kEnc, "StreamName", K::Text, {}, 0, 0, 1, 63},
		{"NDIGroup", kEnc, "NDIGroup", K::Choice, {"NDIGroupEn", "NDIGroupDis"}},
		{"NDIGroupName", kEnc, "NDIGroupName", K::Text, {}, 0, 0, 1, 127},
		{"BandwidthMode", kEnc, "BandwidthMode", K::Choice, {"Auto", "Manual"}},
		{"BandwidthSelect", kEnc, "BandwidthSelect", K::Integer, {}, 1, 1000},
		{"NDIAudio", kEnc, "NDIAudio", K::Choice, {"NDIAudioMain", "NDIAudioAnalog", "NDIAudioMute"}},
		{"AnalogAudioInGain", kDevice, "AnalogAudioInGain", K::Integer, {}, 0, 100},
		{"AnalogAudioOutGain", kDevice, "AnalogAudioOutGain", K::Integer, {}, 0, 100},
		{"VideoFormat", kEnc, "VideoFormat", K::Choice, video_formats()},
		{"VideoCSC", kEnc, "VideoCSC", K::Choice, {"yuv", "yvu"}},
		{"VideoSampleRate", kEnc, "VideoSampleRate", K::Choice, {"422", "420"}},
		{"TallyMode", kEnc, "TallyMode", K::Choice, {"TallyOn", "VideoMode", "TallyOff"}},
		{"ScreenSaverMode", kEnc, "ScreenSaverMode", K::Choice,
		 {"MervaneSS", "BlackSS", "CaptureSS", "delfmv", "ddelfmv", "delfbf", "ddelfbf", "delfca", "ddelfca"}},
		{"FailoverSource", kFailover, "", K::Text, {}, 0, 0, 0, 127},
		{"NDIDisServ", kFind, "NDIDisServ", K::Choice, {"NDIDisServEn", "NDIDisServDis"}},
		{"NDIDisServIP", kFind, "NDIDisServIP", K::Text, {}, 0, 0, 0, 49,
		 "0123456789.:-abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"},
		{"TransportMode", kTx, "mode", K::Choice, {"Multi-TCP", "Multicast", "UDP"}},
		{"PtzAddress", kPtz, "address", K::Integer, {}, 1, 7},
		{"PtzBaudrate", kPtz, "baudrate", K::Choice, {"9600", "38400", "115200"}},
	};
	return all;
}

json ConsoleSettings::describe() const
{
	json values = json::object(), list = json::array();
	std::map<std::string, Values> per_file;
	for (const FileLayout& s : file_layouts())
		per_file[s.rel] = read_values(s, files_.read(s.rel, 65536));
	for (const Field& f : fields()) {
		const Values& v = per_file[f.file];
		auto it = v.find(f.key);
		values[f.name] = it == v.end() ? json(nullptr) : json(it->second);
		json d = {{"name", f.name}, {"file", f.file}, {"key", f.key}};
		if (f.kind == Field::Kind::Choice)
			d["choices"] = f.choices;
		else if (f.kind == Field::Kind::Integer)
			d["min"] = f.min, d["max"] = f.max;
		else
			d["max_length"] = f.max_length;
		list.push_back(d);
	}
	return {{"values", values}, {"fields", list}};
}

bool ConsoleSettings::apply(const json& changes, std::vector<std::string>& written, std::string& error)
{
	static std::mutex mutex;
	std::lock_guard<std::mutex> lock(mutex);
	if (!changes.is_object() || changes.empty()) {
		error = "expected a JSON object of settings, e.g. {\"StreamName\":\"HDMI\"}";
		return false;
	}
	// Check every value first.
	std::map<std::string, std::map<std::string, std::string>> updates;  // file -> key -> value
	for (auto& [name, given] : changes.items()) {
		const Field* field = nullptr;
		for (const Field& f : fields())
			if (name == f.name)
				field = &f;
		if (!field) {
			error = shown(name) + " is not a setting";
			return false;
		}
		std::string value;
		std::string why = check_value(*field, given, value);
		if (!why.empty()) {
			error = name + " " + why + "; nothing was written";
			return false;
		}
		if (field->file == std::string(kFailover) && value.empty())
			value = "None";
		updates[field->file][field->key] = value;
	}
	// Compose every file and read it back as the program would.
	std::vector<std::pair<std::string, std::string>> out;
	for (auto& [rel, changed] : updates) {
		const FileLayout& layout = layout_of(rel.c_str());
		std::optional<std::string> old = files_.read(rel, 65536);
		Values values = read_values(layout, old);
		for (auto& [key, value] : changed)
			values[key] = value;
		std::string text;
		if (!compose(layout, old, values, text, error)) {
			error += "; nothing was written";
			return false;
		}
		Values back = read_values(layout, text);
		for (const auto& k : layout.keys) {
			auto want = values.find(k.first);
			auto got = back.find(k.first);
			bool same = want == values.end() ? got == back.end() : got != back.end() && got->second == want->second;
			if (!same) {
				std::string name = k.first;
				for (const Field& f : fields())
					if (f.file == rel && k.first == std::string(f.key))
						name = f.name;
				error = "the program would misread " + rel + ": " + (name.empty() ? "its text" : name) +
				        " would read as " + (got == back.end() ? "missing" : shown(got->second)) +
				        " (a value holds the text of a key?); nothing was written";
				return false;
			}
		}
		out.emplace_back(rel, text);
	}
	for (const auto& [rel, text] : out) {
		if (!files_.write(rel, text, error))
			return false;
		written.push_back(rel);
	}
	return true;
}

}  // namespace console
