// The one-key reader of the web UI's flat JSON settings files, and two whole-file helpers.
#pragma once

// Compiled into each source that includes it (file-scope functions), as every settings
// reader shares exactly this behaviour. Not a JSON parser: the key is found by plain text
// search and the value is cut out by position, which the web UI's compact files allow.

#include <fstream>
#include <iterator>
#include <stdio.h>
#include <string>

// Finds the first occurrence of `Key` in the file and returns the text that starts three
// characters after it (closing quote, colon, opening quote) and runs to the next double
// quote or the end of the file. Fewer than three characters after the key is not found.
static inline bool GetJsonString(const std::string& filename, const std::string& Key, std::string& Val)
{
	std::ifstream file(filename, std::ios::in | std::ios::binary);
	if (!file.is_open())
		return false;
	std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
	file.close();

	size_t found = text.find(Key);
	if (found == std::string::npos)
		return false;
	size_t start = found + Key.size() + 3;
	if (start > text.size())
		return false;
	size_t end = text.find('"', start);
	if (end == std::string::npos)
		Val = text.substr(start);
	else
		Val = text.substr(start, end - start);
	return true;
}

// Reads up to `bufSize` bytes of the file into `buf`; 0 when it cannot be opened or is empty.
static inline size_t loadFile(const char* filename, void* buf, size_t bufSize)
{
	FILE* f = fopen(filename, "rb");
	if (f == nullptr)
		return 0;
	size_t total = 0;
	while (total < bufSize) {
		size_t n = fread(static_cast<char*>(buf) + total, 1, bufSize - total, f);
		if (n == 0)
			break;
		total += n;
	}
	fclose(f);
	return total;
}

// Writes `bufSize` bytes of `buf` to the file, created or truncated; reports nothing.
static inline void saveFile(const char* filename, const void* buf, size_t bufSize)
{
	FILE* f = fopen(filename, "wb");
	if (f == nullptr)
		return;
	size_t total = 0;
	while (total < bufSize) {
		size_t n = fwrite(static_cast<const char*>(buf) + total, 1, bufSize - total, f);
		if (n == 0)
			break;
		total += n;
	}
	fclose(f);
}
