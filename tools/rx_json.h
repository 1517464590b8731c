// One-line JSON objects for vexo-rx --json, with floats in their shortest exact form.
#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

namespace rx {

// Builds {"key":value,...} field by field, in the order the fields are added.
class JsonLine
{
public:
	JsonLine& str(const char* key, const std::string& value);
	JsonLine& opt_str(const char* key, const std::optional<std::string>& value);  // null when absent
	JsonLine& num(const char* key, int64_t value);
	JsonLine& real(const char* key, float value);
	JsonLine& reals(const char* key, const std::vector<float>& values);
	std::string text() const { return "{" + body_ + "}"; }

private:
	void key(const char* k);
	std::string body_;
};

std::string json_quote(const std::string& s);

// The shortest decimal text that reads back as exactly this float ("null" for NaN and
// infinities, which JSON cannot hold).
std::string float_text(float v);

}  // namespace rx
