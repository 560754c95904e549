// SPDX-License-Identifier: MIT
// The image routines as the read pipeline calls them: the model filters, the
// resampler and the three conversions, with the arguments the pipeline
// passes, and their release calls.
#pragma once

#include <cstdint>

namespace torvane::engine {

// True when the product identification in modelInquiry (bytes 16 to 21) is
// "RM735" or "KT918" followed by a zero byte.
bool isFilteredModel();

// BlendChannelLines, NeutraliseGreyPixels, SharpenGreyPixels and
// AdjustReddishPixels in this order, on the chunk at `source` (which may be
// `image`), the result in `image`; the line count they return.
uint32_t applyModelFilters(const uint8_t *source, uint8_t *image, uint16_t pixelsPerLine, uint32_t lines,
			   uint8_t bitsPerPixel);

// ResampleLines with the same factor for width and height.
uint32_t resample(const uint8_t *source, uint32_t sourcePixels, uint32_t lines, uint8_t *destination,
		  uint32_t destPixels, double factor, uint8_t bitsPerPixel);

uint32_t colourToGrey(const uint8_t *source, uint8_t *destination, uint32_t colourLineBytes, uint32_t lines);
void greyToLineArt(const uint8_t *source, uint8_t *destination, uint32_t outLineBytes, uint32_t sourceLineBytes,
		   uint32_t lines);
void greyToHalftone(const uint8_t *source, uint8_t *destination, uint32_t outLineBytes, uint32_t pixels,
		    uint32_t lines, int32_t pattern);

// The release calls (no image, every other argument 0 or none).
void releaseResampler();
void releaseModelFilters();

} // namespace torvane::engine
