// A fast 64-bit hash of a byte range, to tell whether a buffer changed between two looks.
#include "frame_hash.h"

#include <string.h>

namespace ndi_standin {

namespace {

constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;  // odd: the multiply is a bijection

uint64_t load64(const unsigned char* p)
{
	uint64_t w;
	memcpy(&w, p, sizeof(w));  // no alignment assumed
	return w;
}

// Bijective in `h` for a fixed word and in the word for a fixed `h`.
uint64_t mix(uint64_t h, uint64_t w)
{
	h = (h ^ w) * kMul;
	return h ^ (h >> 32);
}

uint64_t avalanche(uint64_t h)
{
	h ^= h >> 33;
	h *= 0xFF51AFD7ED558CCDull;
	h ^= h >> 33;
	h *= 0xC4CEB9FE1A85EC53ull;
	return h ^ (h >> 33);
}

}  // namespace

uint64_t hash_bytes(const void* data, size_t size, uint64_t seed)
{
	const unsigned char* p = static_cast<const unsigned char*>(data);
	uint64_t lane[4] = {seed ^ 0x243F6A8885A308D3ull, seed ^ 0x13198A2E03707344ull, seed ^ 0xA4093822299F31D0ull,
	                    seed ^ 0x082EFA98EC4E6C89ull};
	size_t i = 0;
	// The lanes do not depend on each other, so their multiplies overlap.
	for (; size - i >= 32; i += 32) {
		lane[0] = mix(lane[0], load64(p + i));
		lane[1] = mix(lane[1], load64(p + i + 8));
		lane[2] = mix(lane[2], load64(p + i + 16));
		lane[3] = mix(lane[3], load64(p + i + 24));
	}
	for (int j = 0; size - i >= 8; i += 8, ++j)  // at most three whole words left
		lane[j] = mix(lane[j], load64(p + i));
	if (i < size) {
		uint64_t w = 0;
		memcpy(&w, p + i, size - i);
		lane[3] = mix(lane[3], w);
	}
	uint64_t h = mix(seed, size);
	for (uint64_t l : lane)
		h = mix(h, l);
	return avalanche(h);
}

}  // namespace ndi_standin
