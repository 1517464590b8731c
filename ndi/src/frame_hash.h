// A fast 64-bit hash of a byte range, to tell whether a buffer changed between two looks.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace ndi_standin {

// Four independent multiply-mix lanes over 8-byte words (any alignment), the last partial
// word zero-padded, the length mixed in. A change confined to one word always changes it.
// `seed` chains several ranges into one hash.
uint64_t hash_bytes(const void* data, size_t size, uint64_t seed = 0);

}  // namespace ndi_standin
