// Short loops of real SpeedHQ frames of a moving test picture, encoded once per raster.
#pragma once

#include <atomic>
#include <memory>
#include <stdint.h>
#include <vector>

namespace sim {

// One compressed frame, shared between the bank and every read that hands it out.
using SpeedhqFrame = std::shared_ptr<const std::vector<uint8_t>>;

// What a bank is made of. Two banks with equal keys hold the same frames.
struct SpeedhqBankKey {
	int width = 0;
	int height = 0;
	bool chroma_420 = false;  // 4:2:0 ("SHQ0") instead of 4:2:2 ("SHQ2")
	bool uv_swapped = false;  // chroma planes exchanged, as the encoder's swapped order does
	bool black = false;       // the picture with no source: one black frame
	bool operator<(const SpeedhqBankKey& other) const;
};

// Frames of one key, in the order they loop. A moving picture has an even number of frames
// so that interlaced fields keep their parity when the loop wraps.
struct SpeedhqBank {
	SpeedhqBankKey key;
	std::vector<SpeedhqFrame> frames;
};

// The bank for `key`, encoded with libavcodec on first use and cached for the process; the
// first call for a large raster takes a while (a 2160p bank about a second per frame on a
// slow core). Thread-safe; concurrent callers of the same key wait for one encode. Returns
// null when libavcodec cannot encode the raster. An encode whose `cancel` becomes true stops
// between frames, returns null and caches nothing.
std::shared_ptr<const SpeedhqBank> speedhq_bank(const SpeedhqBankKey& key, const std::atomic<bool>* cancel = nullptr);

// Frames in a moving bank: enough for visible motion, few enough to encode quickly.
int speedhq_bank_length(int width, int height);

}  // namespace sim
