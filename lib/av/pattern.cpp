// The moving test pattern with numbered frames.
#include "pattern.h"

#include <algorithm>

namespace vexo_av {

namespace {

// Where the number blocks sit on the pattern's raster.
constexpr int kBlockX = 32, kBlockY = 32, kBlockSize = 64, kBlockStep = 80, kBlocks = 8;

}  // namespace

void draw_pattern(AVFrame* f, int n)
{
	const int bar = 120;
	const int bar_x = (kPatternWidth - bar) * n / (kPatternFrames - 1);
	for (int y = 0; y < kPatternHeight; ++y) {
		uint8_t* row = f->data[0] + y * f->linesize[0];
		for (int x = 0; x < kPatternWidth; ++x)
			row[x] = static_cast<uint8_t>(16 + (x / 2 + y / 2 + 6 * n) % 200);
		std::fill(row + bar_x, row + bar_x + bar, uint8_t{235});
		uint8_t* u = f->data[1] + y * f->linesize[1];
		uint8_t* v = f->data[2] + y * f->linesize[2];
		for (int x = 0; x < kPatternWidth / 2; ++x) {
			u[x] = static_cast<uint8_t>(64 + (x / 4 + 2 * n) % 128);
			v[x] = static_cast<uint8_t>(64 + (y / 4 + n) % 128);
		}
	}
	for (int b = 0; b < kBlocks; ++b) {
		const uint8_t luma = (n >> b) & 1 ? 235 : 16;
		for (int y = kBlockY; y < kBlockY + kBlockSize; ++y) {
			std::fill_n(f->data[0] + y * f->linesize[0] + kBlockX + b * kBlockStep, kBlockSize, luma);
			std::fill_n(f->data[1] + y * f->linesize[1] + (kBlockX + b * kBlockStep) / 2, kBlockSize / 2, uint8_t{128});
			std::fill_n(f->data[2] + y * f->linesize[2] + (kBlockX + b * kBlockStep) / 2, kBlockSize / 2, uint8_t{128});
		}
	}
}

int pattern_number(const uint8_t* luma, int linesize, int width, int height)
{
	int n = 0;
	for (int b = 0; b < kBlocks; ++b) {
		// The block's middle, scaled from the pattern's raster.
		const int x = (kBlockX + b * kBlockStep + kBlockSize / 2) * width / kPatternWidth;
		const int y = (kBlockY + kBlockSize / 2) * height / kPatternHeight;
		const int value = luma[y * linesize + x];
		if (value > 200)
			n |= 1 << b;
		else if (value > 50)
			return -1;
	}
	return n;
}

}  // namespace vexo_av
