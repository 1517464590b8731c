// One-line JSON objects for vexo-rx --json, with floats in their shortest exact form.
#include "rx_json.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>

namespace rx {

std::string json_quote(const std::string& s)
{
	std::string out = "\"";
	for (unsigned char c : s) {
		switch (c) {
		case '"': out += "\\\""; break;
		case '\\': out += "\\\\"; break;
		case '\n': out += "\\n"; break;
		case '\r': out += "\\r"; break;
		case '\t': out += "\\t"; break;
		default:
			if (c < 0x20) {
				char esc[8];
				snprintf(esc, sizeof(esc), "\\u%04x", c);
				out += esc;
			} else {
				out += static_cast<char>(c);
			}
		}
	}
	return out + "\"";
}

std::string float_text(float v)
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

void JsonLine::key(const char* k)
{
	if (!body_.empty())
		body_ += ',';
	body_ += json_quote(k);
	body_ += ':';
}

JsonLine& JsonLine::str(const char* k, const std::string& value)
{
	key(k);
	body_ += json_quote(value);
	return *this;
}

JsonLine& JsonLine::opt_str(const char* k, const std::optional<std::string>& value)
{
	key(k);
	body_ += value ? json_quote(*value) : "null";
	return *this;
}

JsonLine& JsonLine::num(const char* k, int64_t value)
{
	key(k);
	body_ += std::to_string(value);
	return *this;
}

JsonLine& JsonLine::real(const char* k, float value)
{
	key(k);
	body_ += float_text(value);
	return *this;
}

JsonLine& JsonLine::reals(const char* k, const std::vector<float>& values)
{
	key(k);
	body_ += '[';
	for (size_t i = 0; i < values.size(); ++i) {
		if (i > 0)
			body_ += ',';
		body_ += float_text(values[i]);
	}
	body_ += ']';
	return *this;
}

}  // namespace rx
