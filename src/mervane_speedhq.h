// The SpeedHQ encoder's character device /dev/mervane-speedhq: request numbers, read
// selections, the status record and the frame header, as the driver serves them. The
// program and the virtual appliance's encoder model both build on this header.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace mervane_speedhq {

// ioctl request numbers. Hold and release take no argument; every other request passes a
// pointer to one int32_t, read by the device (in) or written by it (out).
enum Request : unsigned long {
	kRelease = 0,       // the encoder runs
	kHold = 1,          // the encoder stops
	kPixFormat420 = 3,  // in: full stream 4:2:0 (1) or 4:2:2 (0)
	kDci = 4,           // in: always 0
	kBitRate = 5,       // in: full-stream rate value
	kBitRatePrev = 6,   // in: preview rate value
	kEnable4k = 7,      // in: 1 for 2160p
	kUvSwap = 8,        // in: 1 swaps the chroma order
	kField = 9,         // out: bit 0 set when the full frame just read is field 1
	kReadSelect = 10,   // in: a Selection, what the next read returns
	kMode = 11,         // in: an EncoderMode
	kQSel = 13,         // in: quality select
	kQuality = 14,      // in: quality factor
	kLowAc = 15,        // in: once after open
	kSwitchBuff = 20,   // in: once after open
	kFrameSize = 21,    // out: byte size of the selected frame
};

// What a read returns after kReadSelect.
enum Selection : int32_t { kSelectStatus = 1, kSelectFull = 2, kSelectPreview = 3 };

// The raster mode of the full stream (kMode).
enum EncoderMode : int32_t { kMode2160p = 0, kMode720p = 1, kMode1080p = 2, kMode1080i = 3 };

// The status read: a count of kStatusWords 32-bit words; it returns the number of the buffer
// to read, 1 to kBufferCount, and word kStatusRepeatWord equals that number when the frame
// was already delivered.
constexpr int kStatusWords = 6;
constexpr int kStatusRepeatWord = 4;
constexpr int kBufferCount = 5;

// A frame read returns one SpeedHQ frame whose first four bytes are a quality byte of at most
// kMaxQuality and the little-endian 24-bit value kSingleFieldTag.
constexpr uint8_t kMaxQuality = 99;
constexpr uint32_t kSingleFieldTag = 4;

inline bool frame_header_ok(const uint8_t* data, size_t size)
{
	return size >= 4 && data[0] <= kMaxQuality &&
	       (data[1] | (uint32_t(data[2]) << 8) | (uint32_t(data[3]) << 16)) == kSingleFieldTag;
}

}  // namespace mervane_speedhq
