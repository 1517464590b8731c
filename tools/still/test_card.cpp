// The project's test card, drawn with plain rectangles and a 5x7 block font.
#include "test_card.h"


namespace vexo_still {

namespace {

struct Rgb {
	uint8_t r, g, b;
};

// One glyph: seven rows of five cells, bit 4 the leftmost cell.
struct Glyph {
	char ch;
	uint8_t rows[7];
};

const Glyph kGlyphs[] = {
	{'V', {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04}},
	{'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}},
	{'X', {0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11}},
	{'O', {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
};

void fill(uint8_t* rgb, int width, int height, int stride, int x0, int y0, int x1, int y1, Rgb c)
{
	if (x0 < 0)
		x0 = 0;
	if (y0 < 0)
		y0 = 0;
	if (x1 > width)
		x1 = width;
	if (y1 > height)
		y1 = height;
	for (int y = y0; y < y1; y++) {
		uint8_t* p = rgb + static_cast<long>(y) * stride + x0 * 3;
		for (int x = x0; x < x1; x++) {
			*p++ = c.r;
			*p++ = c.g;
			*p++ = c.b;
		}
	}
}

const Glyph* find_glyph(char ch)
{
	for (const Glyph& g : kGlyphs) {
		if (g.ch == ch)
			return &g;
	}
	return nullptr;
}

}  // namespace

void draw_test_card(uint8_t* rgb, int width, int height, int stride)
{
	const int l = kCardBarLevel;
	const Rgb bars[7] = {
		{uint8_t(l), uint8_t(l), uint8_t(l)}, {uint8_t(l), uint8_t(l), 0}, {0, uint8_t(l), uint8_t(l)},
		{0, uint8_t(l), 0},                   {uint8_t(l), 0, uint8_t(l)}, {uint8_t(l), 0, 0},
		{0, 0, uint8_t(l)},
	};
	const Rgb black = {0, 0, 0};
	const Rgb white = {255, 255, 255};
	const int bars_end = static_cast<int>(height * kCardBarsEnd);
	const int ramp_end = static_cast<int>(height * kCardRampEnd);

	for (int i = 0; i < 7; i++)
		fill(rgb, width, height, stride, i * width / 7, 0, (i + 1) * width / 7, bars_end, bars[i]);
	for (int i = 0; i < kCardRampSteps; i++) {
		uint8_t v = static_cast<uint8_t>(i * 255 / (kCardRampSteps - 1));
		fill(rgb, width, height, stride, i * width / kCardRampSteps, bars_end, (i + 1) * width / kCardRampSteps,
		     ramp_end, {v, v, v});
	}

	// Grid below the ramp: lines every 1/32 of the width, two pixels at 1080 lines.
	fill(rgb, width, height, stride, 0, ramp_end, width, height, black);
	const int pitch = width / 32 > 0 ? width / 32 : 1;
	const int line = height / 540 > 0 ? height / 540 : 1;
	for (int x = 0; x < width; x += pitch)
		fill(rgb, width, height, stride, x, ramp_end, x + line, height, white);
	for (int y = ramp_end + pitch; y < height; y += pitch)
		fill(rgb, width, height, stride, 0, y, width, y + line, white);

	// VEXO: 4 glyphs of 5 cells with one-cell gaps, on a plate one cell wider all round.
	const char* word = "VEXO";
	const int cell = height / 45 > 0 ? height / 45 : 1;
	const int text_w = (4 * 5 + 3) * cell;
	const int text_h = 7 * cell;
	const int tx = (width - text_w) / 2;
	const int ty = ramp_end + (height - ramp_end - text_h) / 2;
	fill(rgb, width, height, stride, tx - cell, ty - cell, tx + text_w + cell, ty + text_h + cell, black);
	for (int i = 0; word[i] != '\0'; i++) {
		const Glyph* g = find_glyph(word[i]);
		if (g == nullptr)
			continue;
		const int gx = tx + i * 6 * cell;
		for (int row = 0; row < 7; row++) {
			for (int col = 0; col < 5; col++) {
				if (g->rows[row] & (0x10 >> col))
					fill(rgb, width, height, stride, gx + col * cell, ty + row * cell, gx + (col + 1) * cell,
					     ty + (row + 1) * cell, white);
			}
		}
	}
}

}  // namespace vexo_still
