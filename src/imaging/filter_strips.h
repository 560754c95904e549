// SPDX-License-Identifier: MIT
// The four filters in one pass, strip of pixels by strip, in vector registers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace torvane::imaging::detail {

// SharpenGreyPixels with a kernel that weighs only each byte's own column of
// the three lines, as the read pipeline's does: the weights and the clamped
// quotient's ceiling, multiplier and shift (ClampedQuotient16, divisor 2..127).
struct VerticalSharpen {
	int16_t above, centre, below;
	int16_t ceiling;
	uint16_t reciprocal;
	uint16_t shift;
};

// One call of the four filters on 24-bit lines of `pixels` pixels: `lines`
// lines of `source` in, as many lines of `image` out (image is source itself
// or lies apart from it). carried[k] is filter k's work block, whose lines 0
// and 1 hold its last two input lines: read at the start, rewritten at the
// end. firstOfScan: BlendChannelLines passes its first output line through.
struct StripJob {
	const uint8_t *source;
	uint8_t *image;
	size_t pixels;
	size_t lines;
	uint8_t *carried[4];
	bool firstOfScan;
	VerticalSharpen sharpen;
};

// The image is taken apart into strips as wide as a vector has bytes (64 or
// 32 pixels), each strip's pixels into three planes, red, green and blue,
// and every strip goes down through all the lines with each filter's three
// lines of it held in registers: every decision about a pixel is then a
// compare of whole registers, the bytes of a pixel chosen with a blend. The
// bytes are those of the plain routines (the tests compare them at every
// level). Built only where the compiler can target these instruction sets;
// the caller checks simdLevel().
#if defined(__x86_64__) && defined(__GNUC__)
#define TORVANE_FILTER_STRIPS 1
void filterStripsAvx2(const StripJob &job);
void filterStripsAvx512(const StripJob &job);
#else
#define TORVANE_FILTER_STRIPS 0
#endif

} // namespace torvane::imaging::detail
