// SPDX-License-Identifier: MIT
// Colour to grey, and grey to one bit per pixel (line art and halftone).
#pragma once

#include <cstdint>

namespace torvane::imaging {

// Turns lines of colour pixels (three bytes b0, b1, b2 in the scanner's order)
// into grey bytes (3 b0 + 6 b1 + b2) / 10, written line after line with no gap.
// A line of colourLineBytes bytes gives (colourLineBytes - 1) / 3 + 1 grey bytes
// (none when colourLineBytes is 0); the bytes a last, partial pixel lacks count
// as 0. Returns lines.
uint16_t ColourLinesToGrey(const uint8_t *source, uint8_t *destination, uint32_t colourLineBytes,
			   uint32_t lines);

// Thresholds grey lines at 128: a pixel below 128 is a 1 bit, the first pixel of
// a byte its most significant bit. Each output line has outLineBytes bytes, the
// source lines are sourceLineBytes apart; pixels beyond the source line are 0 bits.
void GreyLinesToLineArt(const uint8_t *source, uint8_t *destination, uint32_t outLineBytes,
			uint32_t sourceLineBytes, uint32_t lines);

// Dithers grey lines of `pixels` bytes with the 8 x 8 threshold matrix of the
// halftone pattern (1 to 6; any other number selects pattern 1): a pixel below
// its threshold is a 1 bit. Line i of the chunk uses matrix row i mod 8. Pixels
// beyond the outLineBytes bytes of an output line are not written.
void GreyLinesToHalftone(const uint8_t *source, uint8_t *destination, uint32_t outLineBytes,
			 uint32_t pixels, uint32_t lines, int32_t pattern);

} // namespace torvane::imaging
