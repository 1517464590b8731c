// The project's test card: colour bars, a grey ramp, a grid and the word VEXO, drawn in RGB.
#pragma once

#include <stdint.h>

namespace vexo_still {

// Layout of the card as fractions of its height, shared with the tests that look at it.
constexpr double kCardBarsEnd = 0.58;  // seven 75 % colour bars above this line
constexpr double kCardRampEnd = 0.70;  // eight grey steps from 0 to 255 above this line
constexpr int kCardBarLevel = 191;     // 75 % of full scale
constexpr int kCardRampSteps = 8;

// Draws the card into an RGB24 picture of `width` x `height` pixels whose rows are
// `stride` bytes apart. Below the ramp: black with a white grid, and VEXO in white block
// letters on a black plate in the middle.
void draw_test_card(uint8_t* rgb, int width, int height, int stride);

}  // namespace vexo_still
