// The web interface's settings files as vexo-console edits them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "SysrootFiles.h"

namespace console {

// How the program reads a file: flat JSON searched key by key, JSON split by position (keys
// ignored), or plain text whose last line counts.
enum class Form { Flat, Positional, Plain };

// The program's own readings of a file's text.
namespace program_reader {
// The text between the quotes after the first occurrence of `key`, as the one-key reader cuts it.
std::optional<std::string> flat_value(const std::string& text, const std::string& key);
// The first word with every '"', '}' and '{' removed, cut into `count` values: value i runs from
// the i-th ':' to the i-th ',' (the last to the end). Missing separators give empty values.
std::vector<std::string> positional_values(const std::string& text, size_t count);
// The text after the last line end.
std::string last_line(const std::string& text);
}  // namespace program_reader

// One editable setting.
struct Field {
	const char* name;  // in the API; the key itself for flat files
	const char* file;  // below the sysroot
	const char* key;   // the key written in the file
	enum class Kind { Choice, Integer, Text } kind;
	std::vector<const char*> choices;
	int min = 0, max = 0;          // Integer
	size_t min_length = 0, max_length = 0;  // Text
	const char* charset = nullptr;          // Text: the only characters allowed, when given
};

const std::vector<Field>& fields();

// Reads and writes the settings of one sysroot. Writes are serialised.
class ConsoleSettings
{
public:
	explicit ConsoleSettings(const SysrootFiles& files) : files_(files) {}

	// {"values":{name: value as the program reads it, or null}, "fields":[...]}.
	nlohmann::json describe() const;
	// `changes` maps field names to values (strings; numbers for integers). Every value is
	// checked and every file composed and read back as the program would before anything is
	// written; false with a message naming the field and nothing written when one fails.
	bool apply(const nlohmann::json& changes, std::vector<std::string>& written, std::string& error);

private:
	const SysrootFiles& files_;
};

}  // namespace console
