// SPDX-License-Identifier: MIT
// Reference neighbourhood filters: one byte at a time, straight from the rules.

#include "oracle.h"
#include "zeroed_buffer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace torvane::imaging::oracle {

namespace {

struct FilterCarry {
	bool exists = false;
	ZeroedBuffer block;
	uint16_t linesDone = 0;
};

FilterCarry blendCarry, neutraliseCarry, sharpenCarry, adjustCarry;

// The three lines around output line i of the block, and the line length.
struct Lines {
	const ZeroedBuffer &block;
	size_t i;
	size_t bytes;

	unsigned above(size_t j) const { return block[i * bytes + j]; }
	unsigned centre(size_t j) const { return block[(i + 1) * bytes + j]; }
	unsigned below(size_t j) const { return block[(i + 2) * bytes + j]; }
	size_t pixelStart(size_t j) const { return j - j % 3; }
	bool partialPixel(size_t j) const { return pixelStart(j) + 2 >= bytes; }
};

using ByteRule = uint8_t (*)(const Lines &lines, size_t j, const FilterCarry &carry,
			     const int8_t *kernel, unsigned bitsPerPixel);

uint8_t clampByte(int value)
{
	return uint8_t(std::clamp(value, 0, 255));
}

uint8_t blendByte(const Lines &l, size_t j, const FilterCarry &carry, const int8_t *, unsigned)
{
	if (carry.linesDone == 0 && l.i == 0)
		return uint8_t(l.below(j));
	const int above = int(l.above(j));
	const int centre = int(l.centre(j));
	const int below = int(l.below(j));
	switch (j % 3) {
	case 0:
		return clampByte((above + 6 * centre + below) >> 3);
	case 1:
		return clampByte(((above + centre) * 4) >> 3);
	default:
		return clampByte((3 * centre + 5 * above) >> 3);
	}
}

uint8_t neutraliseByte(const Lines &l, size_t j, const FilterCarry &, const int8_t *, unsigned)
{
	if (l.partialPixel(j))
		return uint8_t(l.centre(j));
	const size_t p = l.pixelStart(j);
	const int aR = int(l.above(p) + l.centre(p) + l.below(p)) / 3;
	const int aG = int(l.above(p + 1) + l.centre(p + 1) + l.below(p + 1)) / 3;
	const int aB = int(l.above(p + 2) + l.centre(p + 2) + l.below(p + 2)) / 3;
	const bool nearGrey = std::abs(aR - aG) <= 15 && std::abs(aR - aB) <= 15 &&
			      std::abs(aG - aB) <= 15;
	if (!nearGrey)
		return uint8_t(l.centre(j));
	return uint8_t((3 * l.centre(p) + 6 * l.centre(p + 1) + l.centre(p + 2)) / 10);
}

uint8_t sharpenByte(const Lines &l, size_t j, const FilterCarry &, const int8_t *kernel,
		    unsigned bitsPerPixel)
{
	int8_t sum = 0;
	for (int k = 0; k < 9; ++k)
		sum = int8_t(uint8_t(sum) + uint8_t(kernel[k]));
	const int divisor = sum < 1 ? 1 : sum;

	const long n = long(bitsPerPixel / 8);
	const long L = long(l.bytes);
	const long jj = long(j);
	const size_t left = size_t(jj < n ? jj : jj - n);
	const size_t right = size_t(jj >= L - n ? jj : jj + n);
	const size_t columns[3] = { left, j, right };

	int s = 0;
	for (int c = 0; c < 3; ++c) {
		s += kernel[c] * int(l.above(columns[c]));
		s += kernel[3 + c] * int(l.centre(columns[c]));
		s += kernel[6 + c] * int(l.below(columns[c]));
	}
	if (l.partialPixel(j))
		return uint8_t(l.centre(j));
	const size_t p = l.pixelStart(j);
	if (l.centre(p) == l.centre(p + 1) && l.centre(p + 1) == l.centre(p + 2))
		return clampByte(s / divisor);
	return uint8_t(l.centre(j));
}

uint8_t adjustByte(const Lines &l, size_t j, const FilterCarry &, const int8_t *, unsigned)
{
	const unsigned t = l.centre(j);
	if (l.partialPixel(j))
		return uint8_t(t);
	const size_t p = l.pixelStart(j);
	const unsigned R = l.centre(p);
	const unsigned G = l.centre(p + 1);
	const unsigned B = l.centre(p + 2);
	if (j % 3 != 0 && R > 110 && R > G && R > B) {
		if (t <= 34)
			return uint8_t(t);
		if (t <= 60)
			return uint8_t(35 + 40 * (t - 35) / 25);
		return uint8_t(75 + 180 * (t - 60) / 195);
	}
	if (j % 3 == 0 && R > 110 && R > G && R == B) {
		if (t <= 144)
			return uint8_t(140 * t / 145);
		if (t <= 155)
			return uint8_t(140 + 2 * (t - 145));
		return uint8_t(160 + 95 * (t - 155) / 100);
	}
	return uint8_t(t);
}

uint16_t runFilter(FilterCarry &carry, ByteRule rule, uint8_t *image, uint16_t pixelsPerLine,
		   uint16_t lines, uint8_t bitsPerPixel, const int8_t *kernel)
{
	const size_t L = size_t(pixelsPerLine) * bitsPerPixel / 8;
	if (!carry.exists) {
		carry.block.assign(L ? (5242880 / L + 2) * L : 0);
		carry.exists = true;
		carry.linesDone = 0;
	}
	if (!image) {
		carry.block.clear();
		carry.exists = false;
		carry.linesDone = 0;
		return 0;
	}
	const auto addDone = [&](size_t count) {
		carry.linesDone = uint16_t(std::min<size_t>(carry.linesDone + count, 65535));
	};
	if (L == 0) {
		addDone(lines);
		return lines;
	}
	const size_t capacity = carry.block.size() / L;
	if (capacity < 3)
		return 0;

	/* A chunk longer than the block is worked on in pieces that fit. */
	for (size_t start = 0; start < lines; start += capacity - 2) {
		const size_t count = std::min(capacity - 2, size_t(lines) - start);
		uint8_t *chunk = image + start * L;
		std::copy(chunk, chunk + count * L, carry.block.data() + 2 * L);
		for (size_t i = 0; i < count; ++i) {
			const Lines around{ carry.block, i, L };
			for (size_t j = 0; j < L; ++j)
				chunk[i * L + j] = rule(around, j, carry, kernel, bitsPerPixel);
		}
		const std::vector<uint8_t> lastTwo(carry.block.data() + count * L,
						   carry.block.data() + (count + 2) * L);
		std::copy(lastTwo.begin(), lastTwo.end(), carry.block.data());
		addDone(count);
	}
	return lines;
}

} // namespace

uint16_t BlendChannelLines(uint8_t *image, uint16_t pixelsPerLine, uint16_t lines,
			   uint8_t bitsPerPixel, const int8_t *kernel, int16_t)
{
	return runFilter(blendCarry, blendByte, image, pixelsPerLine, lines, bitsPerPixel, kernel);
}

uint16_t NeutraliseGreyPixels(uint8_t *image, uint16_t pixelsPerLine, uint16_t lines,
			      uint8_t bitsPerPixel, const int8_t *kernel, int16_t)
{
	return runFilter(neutraliseCarry, neutraliseByte, image, pixelsPerLine, lines, bitsPerPixel,
			 kernel);
}

uint16_t SharpenGreyPixels(uint8_t *image, uint16_t pixelsPerLine, uint16_t lines,
			   uint8_t bitsPerPixel, const int8_t *kernel, int16_t)
{
	static const int8_t identity[9] = { 0, 0, 0, 0, 1, 0, 0, 0, 0 };
	return runFilter(sharpenCarry, sharpenByte, image, pixelsPerLine, lines, bitsPerPixel,
			 kernel ? kernel : identity);
}

uint16_t AdjustReddishPixels(uint8_t *image, uint16_t pixelsPerLine, uint16_t lines,
			     uint8_t bitsPerPixel, const int8_t *kernel, int16_t)
{
	return runFilter(adjustCarry, adjustByte, image, pixelsPerLine, lines, bitsPerPixel, kernel);
}

} // namespace torvane::imaging::oracle
