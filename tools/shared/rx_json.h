// One-line JSON objects for vexo-rx --json: nlohmann builds and writes them; floats are
// written in their shortest exact form, which nlohmann's own float text (grisu2) is not always.
#pragma once

#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include <nlohmann/json.hpp>

#include <Processing.NDI.Lib.h>

namespace rx {

using Json = nlohmann::ordered_json;

// The word the JSON of a received frame gives its NDI frame format.
inline const char* format_name(int format)
{
	switch (format) {
	case NDIlib_frame_format_type_progressive: return "progressive";
	case NDIlib_frame_format_type_interleaved: return "interleaved";
	case NDIlib_frame_format_type_field_0: return "field_0";
	case NDIlib_frame_format_type_field_1: return "field_1";
	default: return "unknown";
	}
}

// Any bytes as a JSON string: invalid UTF-8 is replaced, never thrown.
inline std::string quote(const std::string& s)
{
	return Json(s).dump(-1, ' ', false, Json::error_handler_t::replace);
}

// The shortest decimal text that reads back as exactly this float ("null" for NaN and
// infinities, which JSON cannot hold).
inline std::string float_text(float v)
{
	if (!isfinite(v))
		return "null";
	char buf[32];
	for (int precision = 1; precision <= 9; ++precision) {
		snprintf(buf, sizeof(buf), "%.*g", precision, static_cast<double>(v));
		if (strtof(buf, nullptr) == v)
			break;
	}
	return buf;
}

// The text of `j`, members in their order. A float member holds the float widened to double
// (Json(1.5f)), so narrowing it back gives exactly the float that was stored.
inline std::string line_text(const Json& j)
{
	if (j.is_number_float())
		return float_text(static_cast<float>(j.get<double>()));
	if (j.is_object() || j.is_array()) {
		std::string out(1, j.is_object() ? '{' : '[');
		for (auto it = j.begin(); it != j.end(); ++it) {
			if (it != j.begin())
				out += ',';
			if (j.is_object())
				out += quote(it.key()) + ':';
			out += line_text(*it);
		}
		return out + (j.is_object() ? '}' : ']');
	}
	return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace rx
