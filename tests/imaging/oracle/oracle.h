// SPDX-License-Identifier: MIT
// Plain reference versions of the image routines, written for clarity, not
// speed: the tests compare the library's bytes with theirs, and the benchmark
// measures both side by side.
#pragma once

#include <cstdint>

namespace torvane::imaging::oracle {

uint32_t ResampleLines(const uint8_t *source, uint32_t sourcePixels, int32_t sourceLines,
		       uint8_t *destination, uint32_t destPixels, double xFactor, double yFactor,
		       uint16_t bitsPerPixel);

uint16_t BlendChannelLines(uint8_t *image, uint16_t pixelsPerLine, uint16_t lines,
			   uint8_t bitsPerPixel, const int8_t *kernel, int16_t window);
uint16_t NeutraliseGreyPixels(uint8_t *image, uint16_t pixelsPerLine, uint16_t lines,
			      uint8_t bitsPerPixel, const int8_t *kernel, int16_t window);
uint16_t SharpenGreyPixels(uint8_t *image, uint16_t pixelsPerLine, uint16_t lines,
			   uint8_t bitsPerPixel, const int8_t *kernel, int16_t window);
uint16_t AdjustReddishPixels(uint8_t *image, uint16_t pixelsPerLine, uint16_t lines,
			     uint8_t bitsPerPixel, const int8_t *kernel, int16_t window);

uint16_t ColourLinesToGrey(const uint8_t *source, uint8_t *destination, uint32_t colourLineBytes,
			   uint32_t lines);
void GreyLinesToLineArt(const uint8_t *source, uint8_t *destination, uint32_t outLineBytes,
			uint32_t sourceLineBytes, uint32_t lines);
void GreyLinesToHalftone(const uint8_t *source, uint8_t *destination, uint32_t outLineBytes,
			 uint32_t pixels, uint32_t lines, int32_t pattern);

// The six halftone matrices as one flat table, pattern after pattern, row after row.
extern const uint8_t halftoneTable[384];

} // namespace torvane::imaging::oracle
