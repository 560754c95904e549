// SPDX-License-Identifier: MIT
// DIB, BMP and memory-transfer layouts of the driver's image bytes.

#include "twain/image_layout.h"

#include <algorithm>
#include <cstring>

#include "twain/g4_encoder.h"

namespace torvane::twain {

namespace {

constexpr uint32_t kInfoHeaderSize = 40;
constexpr uint32_t kFileHeaderSize = 14;

uint32_t paletteEntries(const ImageShape &shape)
{
	return shape.bitsPerPixel == 1 ? 2 : shape.bitsPerPixel == 8 ? 256
								     : 0;
}

void put16(uint8_t *at, uint32_t value)
{
	at[0] = static_cast<uint8_t>(value);
	at[1] = static_cast<uint8_t>(value >> 8);
}

void put32(uint8_t *at, uint32_t value)
{
	put16(at, value & 0xFFFF);
	put16(at + 2, value >> 16);
}

// Dots per inch into the pixels per metre of a DIB, rounded.
uint32_t pixelsPerMetre(uint32_t dpi)
{
	return (dpi * 10000 + 127) / 254;
}

void writePalette(const ImageShape &shape, uint8_t *at)
{
	if (shape.bitsPerPixel == 1) {
		// The driver's 1-bit pixels are 1 = black.
		const uint8_t white[4] = { 255, 255, 255, 0 }, black[4] = { 0, 0, 0, 0 };
		std::memcpy(at, white, 4);
		std::memcpy(at + 4, black, 4);
		return;
	}
	for (uint32_t i = 0; i < paletteEntries(shape); ++i) {
		const uint8_t grey = static_cast<uint8_t>(i);
		const uint8_t entry[4] = { grey, grey, grey, 0 };
		std::memcpy(at + 4 * i, entry, 4);
	}
}

} // namespace

uint32_t dibStride(const ImageShape &shape)
{
	return (shape.bytesPerLine + 3) & ~3u;
}

uint32_t dibSize(const ImageShape &shape)
{
	return kInfoHeaderSize + 4 * paletteEntries(shape) + dibStride(shape) * shape.lines;
}

void writeDib(const ImageShape &shape, const uint8_t *image, uint8_t *out)
{
	const uint32_t stride = dibStride(shape);
	std::memset(out, 0, dibSize(shape));
	put32(out, kInfoHeaderSize);
	put32(out + 4, shape.pixels);
	put32(out + 8, shape.lines); // positive: bottom-up
	put16(out + 12, 1);
	put16(out + 14, shape.bitsPerPixel);
	put32(out + 16, 0); // BI_RGB
	put32(out + 20, stride * shape.lines);
	put32(out + 24, pixelsPerMetre(shape.dpi));
	put32(out + 28, pixelsPerMetre(shape.dpi));
	put32(out + 32, paletteEntries(shape));
	put32(out + 36, paletteEntries(shape));
	writePalette(shape, out + kInfoHeaderSize);
	uint8_t *rows = out + kInfoHeaderSize + 4 * paletteEntries(shape);
	for (uint32_t line = 0; line < shape.lines; ++line) {
		const uint8_t *from = image + size_t(line) * shape.bytesPerLine;
		uint8_t *to = rows + size_t(shape.lines - 1 - line) * stride;
		if (shape.bitsPerPixel != 24) {
			std::memcpy(to, from, shape.bytesPerLine);
			continue;
		}
		for (uint32_t x = 0; x < shape.pixels; ++x) {
			to[3 * x] = from[3 * x + 2];
			to[3 * x + 1] = from[3 * x + 1];
			to[3 * x + 2] = from[3 * x];
		}
	}
}

std::vector<uint8_t> bmpFile(const ImageShape &shape, const uint8_t *image)
{
	std::vector<uint8_t> file(kFileHeaderSize + dibSize(shape));
	file[0] = 'B';
	file[1] = 'M';
	put32(&file[2], static_cast<uint32_t>(file.size()));
	put32(&file[10], kFileHeaderSize + kInfoHeaderSize + 4 * paletteEntries(shape));
	writeDib(shape, image, file.data() + kFileHeaderSize);
	return file;
}

namespace {

std::vector<uint8_t> tiffOf(const ImageShape &shape, const std::vector<uint8_t> &strip, uint32_t compression)
{
	// Header, one directory of 12 entries, then its values that do not fit
	// in an entry (bits per sample, the two resolutions), then the strip.
	constexpr uint32_t kEntries = 12;
	constexpr uint32_t kDirectory = 8, kValues = kDirectory + 2 + 12 * kEntries + 4;
	constexpr uint32_t kBits = kValues, kXResolution = kBits + 6, kYResolution = kXResolution + 8;
	constexpr uint32_t kStrip = kYResolution + 8;
	const uint32_t samples = shape.bitsPerPixel == 24 ? 3 : 1;
	const uint32_t bytes = static_cast<uint32_t>(strip.size());
	std::vector<uint8_t> file(kStrip + bytes, 0);
	file[0] = file[1] = 'I';
	put16(&file[2], 42);
	put32(&file[4], kDirectory);
	put16(&file[kDirectory], kEntries);
	uint8_t *entry = &file[kDirectory + 2];
	auto add = [&entry](uint32_t tag, uint32_t type, uint32_t count, uint32_t value) {
		put16(entry, tag);
		put16(entry + 2, type);
		put32(entry + 4, count);
		if (type == 3 && count == 1)
			put16(entry + 8, value);
		else
			put32(entry + 8, value);
		entry += 12;
	};
	constexpr uint32_t kShort = 3, kLong = 4, kRational = 5;
	const uint32_t photometric = shape.bitsPerPixel == 1 ? 0 : shape.bitsPerPixel == 8 ? 1
											   : 2;
	add(256, kLong, 1, shape.pixels);
	add(257, kLong, 1, shape.lines);
	add(258, kShort, samples, samples == 1 ? shape.bitsPerPixel : kBits);
	add(259, kShort, 1, compression);
	add(262, kShort, 1, photometric);
	add(273, kLong, 1, kStrip);
	add(277, kShort, 1, samples);
	add(278, kLong, 1, shape.lines);
	add(279, kLong, 1, bytes);
	add(282, kRational, 1, kXResolution);
	add(283, kRational, 1, kYResolution);
	add(296, kShort, 1, 2); // inches
	for (uint32_t i = 0; i < 3; ++i)
		put16(&file[kBits + 2 * i], 8);
	put32(&file[kXResolution], shape.dpi);
	put32(&file[kXResolution + 4], 1);
	put32(&file[kYResolution], shape.dpi);
	put32(&file[kYResolution + 4], 1);
	std::copy(strip.begin(), strip.end(), file.begin() + kStrip);
	return file;
}

} // namespace

std::vector<uint8_t> tiffFile(const ImageShape &shape, const uint8_t *image)
{
	return tiffOf(shape, std::vector<uint8_t>(image, image + size_t(shape.bytesPerLine) * shape.lines), 1);
}

std::vector<uint8_t> tiffG4File(const ImageShape &shape, const uint8_t *image)
{
	constexpr uint32_t kGroup4 = 4;
	return tiffOf(shape, g4Block(image, shape.pixels, shape.bytesPerLine, 0, shape.lines), kGroup4);
}

void copyRows(const uint8_t *from, uint8_t *to, uint32_t bytes, bool invert)
{
	if (!invert) {
		std::memcpy(to, from, bytes);
		return;
	}
	for (uint32_t i = 0; i < bytes; ++i)
		to[i] = static_cast<uint8_t>(~from[i]);
}

} // namespace torvane::twain
