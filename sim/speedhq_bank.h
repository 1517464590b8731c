// Short loops of real SpeedHQ frames of a moving test picture, encoded once per raster.
#pragma once

#include <atomic>
#include <memory>
#include <stddef.h>
#include <stdint.h>
#include <vector>

namespace sim {

// One compressed frame, shared between the bank and every read that hands it out.
using SpeedhqFrame = std::shared_ptr<const std::vector<uint8_t>>;

// The quantiser scales a rate target chooses among, finest first. 4 gives a picture as sharp as
// the appliance sends at its default rate. The test picture is mostly flat, so a frame is mostly
// the fixed cost of its 8x8 blocks: the coarsest step saves only about a sixth, and no
// quantiser makes a frame smaller than that.
constexpr int kQuantiserSteps[] = {4, 12, 31};

// What a bank is made of. Two banks with equal keys hold the same frames.
struct SpeedhqBankKey {
	int width = 0;
	int height = 0;
	bool chroma_420 = false;  // 4:2:0 ("SHQ0") instead of 4:2:2 ("SHQ2")
	bool uv_swapped = false;  // chroma planes exchanged, as the encoder's swapped order does
	bool black = false;       // the picture with no source: one black frame
	int quantiser = kQuantiserSteps[0];  // libavcodec's quantiser scale: the quality byte is 100 - 2 * scale
	bool operator<(const SpeedhqBankKey& other) const;
	bool operator==(const SpeedhqBankKey& other) const { return !(*this < other) && !(other < *this); }
};

// Frames of one key, in the order they loop. A moving picture has an even number of frames
// so that interlaced fields keep their parity when the loop wraps.
struct SpeedhqBank {
	SpeedhqBankKey key;
	std::vector<SpeedhqFrame> frames;
	size_t largest = 0;  // bytes of the largest frame
};

// The bank for `key`, encoded with libavcodec on first use and cached for the process (the
// coarser quantisers' banks only for the two pictures last asked for); the first call for a
// large raster takes a while (a 2160p bank about a second per frame on a slow core). Thread-safe; concurrent callers of the same key wait for one encode. Returns
// null when libavcodec cannot encode the raster. An encode whose `cancel` becomes true stops
// between frames, returns null and caches nothing.
std::shared_ptr<const SpeedhqBank> speedhq_bank(const SpeedhqBankKey& key, const std::atomic<bool>* cancel = nullptr);

// The bank of `key`'s picture (its quantiser aside) for frames of `target` bytes: the finest
// step whose frames all fit, the coarsest when none does, the finest for a target of 0 or less.
// Coarser banks are encoded, as speedhq_bank does, only when a target asks for them.
std::shared_ptr<const SpeedhqBank> speedhq_bank_for_target(SpeedhqBankKey key, long target,
                                                           const std::atomic<bool>* cancel = nullptr);

// Stuffing, as a constant-rate encoder does it: a frame below its target grows to the target
// with zero bytes after each slice's coded data, which the decoder never reaches. Each slice's
// length field grows to match and a second field's offset moves with its first field.

// The size of `frame` stuffed for `target` bytes: the target when the frame is smaller,
// at most `limit`, never less than the frame; the frame's own size when its slices cannot be
// parsed or for a target of 0 or less.
size_t speedhq_stuffed_size(const std::vector<uint8_t>& frame, long target, size_t limit);

// Writes the first min(count, size) bytes of `frame` stuffed to `size` bytes (a size from
// speedhq_stuffed_size) into `out`, and returns how many. Allocates nothing.
size_t speedhq_write_stuffed(const std::vector<uint8_t>& frame, size_t size, uint8_t* out, size_t count);

// Bytes of the frames the bank cache holds now. The heap figures of long runs leave them out:
// the cache is the model's, bounded by the pictures in use, and not the program's memory.
size_t speedhq_bank_bytes();
// The most bytes the bank cache has held at once. The allocator keeps the pages of banks that
// went for the next ones, so the RSS of a long run is judged less this.
size_t speedhq_bank_peak_bytes();

// Frames in a moving bank: enough for visible motion, few enough to encode quickly.
int speedhq_bank_length(int width, int height);

}  // namespace sim
