// SPDX-License-Identifier: MIT
// The image bytes ReadScan delivers (top-down rows of exactly bytesPerLine,
// RGB order, 1-bit lines with 1 = black) in the layouts the transfers need:
// a bottom-up DIB with its palette, BMP and TIFF files, and memory-transfer rows.
#pragma once

#include <cstdint>
#include <vector>

namespace torvane::twain {

struct ImageShape {
	uint32_t pixels = 0;
	uint32_t lines = 0;
	uint32_t bitsPerPixel = 0; // 1, 8 or 24
	uint32_t bytesPerLine = 0;
	uint32_t dpi = 0;
};

// Rows of a DIB: padded to 4 bytes.
uint32_t dibStride(const ImageShape &shape);
// The size of a packed DIB: header, palette, rows.
uint32_t dibSize(const ImageShape &shape);
// A packed DIB (BITMAPINFOHEADER, palette for 1 and 8 bits, bottom-up rows,
// BGR pixels, resolution in pixels per metre) into `out` of dibSize bytes.
void writeDib(const ImageShape &shape, const uint8_t *image, uint8_t *out);
// A BMP file: the 14-byte file header and the DIB.
std::vector<uint8_t> bmpFile(const ImageShape &shape, const uint8_t *image);
// A baseline TIFF file: one uncompressed strip holding the driver's bytes
// unchanged (1-bit WhiteIsZero, grey BlackIsZero, RGB), resolution in dpi.
std::vector<uint8_t> tiffFile(const ImageShape &shape, const uint8_t *image);
// The same for a 1-bit image with its strip in CCITT Group 4 (WhiteIsZero:
// the coding's black is the driver's 1).
std::vector<uint8_t> tiffG4File(const ImageShape &shape, const uint8_t *image);
// Rows as a memory transfer gives them: unchanged, or every byte inverted
// when the application asked for the other pixel flavour.
void copyRows(const uint8_t *from, uint8_t *to, uint32_t bytes, bool invert);

} // namespace torvane::twain
