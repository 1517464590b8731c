// A video clip as the HDMI source: its frames scaled to a raster, converted to a frame rate and
// encoded as SpeedHQ once, into a cache file read a frame at a time.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sim {

// What a clip bank is made for. For interlaced formats a bank entry is one field: `height`
// is the field's, `rate` the field rate, and entry i holds the lines of parity i & 1.
struct ClipBankKey {
	int width = 0;
	int height = 0;
	bool chroma_420 = false;
	bool uv_swapped = false;
	bool fields = false;
	int rate_n = 0;  // entries per second as a fraction
	int rate_d = 1;
	int quantiser = 4;
	bool operator==(const ClipBankKey& o) const
	{
		return width == o.width && height == o.height && chroma_420 == o.chroma_420 && uv_swapped == o.uv_swapped &&
		       fields == o.fields && rate_n == o.rate_n && rate_d == o.rate_d && quantiser == o.quantiser;
	}
};

// One clip's frames for one key, in a cache file. Only the index is held in memory.
class ClipBank {
public:
	~ClipBank();
	ClipBank(const ClipBank&) = delete;
	ClipBank& operator=(const ClipBank&) = delete;

	// The bank of `clip` for `key`: read from the cache when a file for this clip's content
	// and the key is there, else made and stored first. `progress` hears each entry made
	// (done, total); the total is 0 until the clip's end is known. Null, with the reason in
	// `error`, for a clip that cannot be opened or decoded, has no video stream, or is
	// shorter than one entry.
	static std::unique_ptr<ClipBank> open(const std::string& clip, const ClipBankKey& key, std::string& error,
	                                      const std::function<void(size_t, size_t)>& progress = nullptr);

	size_t count() const { return offsets_.size() - 1; }
	size_t size_of(size_t index) const { return offsets_[index + 1] - offsets_[index]; }
	size_t largest() const { return largest_; }
	// Entry `index` (0 to count() - 1) into `out`; false when the cache file cannot be read.
	bool read(size_t index, std::vector<uint8_t>& out) const;

	const std::string& path() const { return path_; }

private:
	ClipBank() = default;
	int fd_ = -1;
	std::string path_;
	std::vector<uint64_t> offsets_;  // count() + 1 entries: where each frame starts, then the end
	size_t largest_ = 0;
};

// The picture "pattern" (lib/av/pattern.h), made on the spot instead of read from a clip.
constexpr const char* kPatternName = "pattern";

// The folder of the cache: $VEXO_PICTURE_CACHE, else $XDG_CACHE_HOME/vexoenc-sim, else
// ~/.cache/vexoenc-sim.
std::string clip_cache_dir();

}  // namespace sim
