// SPDX-License-Identifier: MIT
// The built-in test chart, drawn from its geometry at any resolution.
//
// Layout on an A4 page, in 1/1200 inch from the top-left corner:
//   frame               inset 300, 6 thick
//   heading glyphs      rows at 420 .. 900
//   colour patches      two rows of eight, 1000 .. 1550 and 1650 .. 2200
//   grey ramp           continuous 2400 .. 2900, sixteen steps 2950 .. 3450
//   hue sweep           3600 .. 4000
//   vertical lines      4200 .. 6000, six groups of periods 96 .. 4
//   horizontal lines    6100 .. 7500, the same six periods
//   rings and diagonals 7700 .. 9700
//   text-like glyphs    10000 .. 13500, normal then half size

#include "torvane_sim/document.h"

#include <algorithm>
#include <cmath>

namespace torvane::sim {

namespace {

constexpr uint32_t kPageWidth = 9921;	// 210 mm
constexpr uint32_t kPageHeight = 14031; // 297 mm
constexpr uint32_t kMarginLeft = 600;
constexpr uint32_t kContentWidth = kPageWidth - 2 * kMarginLeft;

struct Rgb {
	uint8_t r, g, b;
};

constexpr Rgb kWhite{ 255, 255, 255 };
constexpr Rgb kBlack{ 0, 0, 0 };

// The sixteen patches, row by row.
constexpr Rgb kPatches[2][8] = {
	{ { 255, 0, 0 }, { 0, 255, 0 }, { 0, 0, 255 }, { 0, 255, 255 }, { 255, 0, 255 }, { 255, 255, 0 }, { 0, 0, 0 }, { 255, 255, 255 } },
	{ { 128, 0, 0 }, { 0, 128, 0 }, { 0, 0, 128 }, { 255, 128, 128 }, { 128, 255, 128 }, { 128, 128, 255 }, { 64, 64, 64 }, { 192, 192, 192 } },
};

// Periods (1/1200 inch) of the six line groups; half of each period is ink.
constexpr uint32_t kLinePeriods[6] = { 96, 48, 24, 12, 8, 4 };

uint32_t mix(uint32_t value)
{
	value ^= value >> 16;
	value *= 0x7FEB352Du;
	value ^= value >> 15;
	value *= 0x846CA68Bu;
	value ^= value >> 16;
	return value;
}

Rgb hue(uint32_t position, uint32_t span)
{
	const uint32_t h = static_cast<uint32_t>(static_cast<uint64_t>(position) * 1536 / span) % 1536;
	const uint8_t rise = static_cast<uint8_t>(h % 256);
	const uint8_t fall = static_cast<uint8_t>(255 - rise);
	switch (h / 256) {
	case 0:
		return { 255, rise, 0 };
	case 1:
		return { fall, 255, 0 };
	case 2:
		return { 0, 255, rise };
	case 3:
		return { 0, fall, 255 };
	case 4:
		return { rise, 0, 255 };
	default:
		return { 255, 0, fall };
	}
}

// A 5 x 7 glyph of the pseudo alphabet (26 letters), bit (row * 5 + column).
uint64_t glyphBits(uint32_t letter)
{
	uint64_t bits = mix(letter * 2654435761u + 17) | static_cast<uint64_t>(mix(letter + 101)) << 32;
	bits &= (1ull << 35) - 1;
	// A stem in the first column keeps the glyphs looking like letters.
	for (uint32_t row = 0; row < 7; ++row)
		bits |= 1ull << (row * 5);
	return bits;
}

// Text-like lines: words of 2 to 9 glyphs of `cell` width, `cell` * 7 / 5
// height, lines `cell` * 9 / 5 apart.
bool textInk(uint32_t u, uint32_t v, uint32_t cell, uint32_t seed)
{
	const uint32_t lineHeight = cell * 9 / 5;
	const uint32_t glyphHeight = cell * 7 / 5;
	const uint32_t line = v / lineHeight;
	const uint32_t inLine = v % lineHeight;
	if (inLine >= glyphHeight)
		return false;
	// Walk the words of this line to the one under u.
	uint32_t x = 0;
	for (uint32_t word = 0; x <= u; ++word) {
		const uint32_t letters = 2 + mix(seed + line * 131 + word) % 8;
		const uint32_t end = x + letters * cell;
		if (u < end) {
			const uint32_t index = (u - x) / cell;
			const uint32_t letter = mix(seed + line * 977 + word * 31 + index) % 26;
			// Each cell: 5 columns of the glyph plus one blank column of 6.
			const uint32_t column = (u - x) % cell * 6 / cell;
			const uint32_t row = inLine * 7 / glyphHeight;
			return column < 5 && (glyphBits(letter) >> (row * 5 + column) & 1);
		}
		x = end + cell; // the space between words
	}
	return false;
}

bool inside(uint32_t value, uint32_t first, uint32_t end)
{
	return value >= first && value < end;
}

Rgb chartColour(uint32_t u, uint32_t v)
{
	// Frame.
	const bool onFrameX = inside(u, 300, 306) || inside(u, kPageWidth - 306, kPageWidth - 300);
	const bool onFrameY = inside(v, 300, 306) || inside(v, kPageHeight - 306, kPageHeight - 300);
	if ((onFrameX && inside(v, 300, kPageHeight - 300)) || (onFrameY && inside(u, 300, kPageWidth - 300)))
		return kBlack;
	if (!inside(u, kMarginLeft, kMarginLeft + kContentWidth))
		return kWhite;
	const uint32_t x = u - kMarginLeft;

	if (inside(v, 420, 900))
		return textInk(x, v - 420, 200, 7) ? kBlack : kWhite;
	if (inside(v, 1000, 1550) || inside(v, 1650, 2200)) {
		const uint32_t column = std::min<uint32_t>(x * 8 / kContentWidth, 7);
		return kPatches[v >= 1650][column];
	}
	if (inside(v, 2400, 2900)) {
		const auto level = static_cast<uint8_t>(x * 255 / (kContentWidth - 1));
		return { level, level, level };
	}
	if (inside(v, 2950, 3450)) {
		const auto level = static_cast<uint8_t>(std::min<uint32_t>(x * 16 / kContentWidth, 15) * 17);
		return { level, level, level };
	}
	if (inside(v, 3600, 4000))
		return hue(x, kContentWidth);
	if (inside(v, 4200, 6000) || inside(v, 6100, 7500)) {
		const uint32_t group = std::min<uint32_t>(x * 6 / kContentWidth, 5);
		const uint32_t groupStart = group * kContentWidth / 6;
		// A gap of 100 between groups.
		if (x - groupStart < 100)
			return kWhite;
		const uint32_t period = kLinePeriods[group];
		const uint32_t along = v < 6000 ? x - groupStart : v - 6100;
		return along % period < period / 2 ? kBlack : kWhite;
	}
	if (inside(v, 7700, 9700)) {
		if (x < 3600) {
			// Rings around (1800, 8700), 60 per ring, within a radius of 1000.
			const int64_t dx = static_cast<int64_t>(x) - 1800;
			const int64_t dy = static_cast<int64_t>(v) - 8700;
			const uint64_t squared = static_cast<uint64_t>(dx * dx + dy * dy);
			if (squared > 1000ull * 1000ull)
				return kWhite;
			// sqrt is correctly rounded, so the rings are the same everywhere.
			const auto radius = static_cast<uint64_t>(std::sqrt(static_cast<double>(squared)));
			return (radius / 30) % 2 ? kWhite : kBlack;
		}
		if (x >= 3900)
			return ((x + v) / 40) % 2 ? Rgb{ 0, 0, 160 } : kWhite;
		return kWhite;
	}
	if (inside(v, 10000, 11800))
		return textInk(x, v - 10000, 120, 1000) ? kBlack : kWhite;
	if (inside(v, 11900, 13500))
		return textInk(x, v - 11900, 60, 2000) ? Rgb{ 40, 40, 40 } : kWhite;
	return kWhite;
}

} // namespace

std::string TestChart::description() const
{
	return "test chart (A4)";
}

Size TestChart::pageSize() const
{
	return { kPageWidth, kPageHeight };
}

bool TestChart::configure(const Size &size)
{
	if (size.width == 0 || size.height == 0 || size.width > 100000 || size.height > 100000)
		return false;
	size_ = size;
	return true;
}

void TestChart::colourAt(uint32_t u, uint32_t v, uint8_t rgb[3])
{
	const Rgb colour = u < kPageWidth && v < kPageHeight ? chartColour(u, v) : kWhite;
	rgb[0] = colour.r;
	rgb[1] = colour.g;
	rgb[2] = colour.b;
}

void TestChart::generate(RgbImage &band, uint32_t firstRow)
{
	std::fill(band.pixels.begin(), band.pixels.end(), 0xFF);
	if (size_.width == 0 || band.width != size_.width)
		return;
	// Pixel centres in page units.
	std::vector<uint32_t> columnU(size_.width);
	for (uint32_t x = 0; x < size_.width; ++x)
		columnU[x] = static_cast<uint32_t>((2ull * x + 1) * kPageWidth / (2ull * size_.width));
	for (uint32_t y = 0; y < band.height; ++y) {
		const uint64_t row = static_cast<uint64_t>(firstRow) + y;
		if (row >= size_.height)
			break;
		const auto v = static_cast<uint32_t>((2 * row + 1) * kPageHeight / (2ull * size_.height));
		uint8_t *out = band.row(y);
		for (uint32_t x = 0; x < size_.width; ++x)
			colourAt(columnU[x], v, out + x * 3);
	}
}

} // namespace torvane::sim
