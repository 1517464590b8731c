// Bytes as upper-case hex, one space between them ("81 01 04 47 FF"), as VISCA is written.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string>

namespace sim {

inline std::string hex_bytes(const void* data, size_t len)
{
	static const char digits[] = "0123456789ABCDEF";
	const uint8_t* bytes = static_cast<const uint8_t*>(data);
	std::string out;
	out.reserve(len * 3);
	for (size_t i = 0; i < len; i++) {
		if (i > 0)
			out.push_back(' ');
		out.push_back(digits[bytes[i] >> 4]);
		out.push_back(digits[bytes[i] & 0x0F]);
	}
	return out;
}

}  // namespace sim
