// The moving test pattern of the virtual appliance's picture "pattern" and of the tests that
// check frames against their source: every frame differs and carries its number.
#pragma once

#include <stdint.h>

extern "C" {
#include <libavutil/frame.h>
}

namespace vexo_av {

// kPatternFrames frames at kPatternRateN/kPatternRateD a second on a 1920x1080 4:2:2 raster.
constexpr int kPatternWidth = 1920;
constexpr int kPatternHeight = 1080;
constexpr int kPatternFrames = 120;
constexpr int kPatternRateN = 60000;
constexpr int kPatternRateD = 1001;

// Draws frame `n` into a planar 4:2:2 picture of the pattern's raster: a diagonal luma ramp and
// a colour wash that move each frame, a white bar that crosses once per loop, and the number
// in a row of eight black or white blocks at the top left.
void draw_pattern(AVFrame* frame, int n);

// The number a pattern picture of `width` x `height` (any scale) carries, read from its luma
// plane; -1 when the blocks are not clearly black or white.
int pattern_number(const uint8_t* luma, int linesize, int width, int height);

}  // namespace vexo_av
