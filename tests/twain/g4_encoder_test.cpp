// SPDX-License-Identifier: MIT
// Our CCITT Group 4 coding read back with libtiff's decoder: random pages,
// every narrow width, a full 300 dpi line, plain and patterned pages, and
// blocks cut to fit a memory transfer's buffer.

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <tiffio.h>
#include <unistd.h>

#include "twain/g4_encoder.h"
#include "twain/image_layout.h"

using namespace torvane::twain;

namespace {

uint32_t rowBytes(uint32_t pixels)
{
	return (pixels + 7) / 8;
}

// libtiff's reading of a TIFF file; the decoded strip, empty when refused.
std::vector<uint8_t> decodeTiffFile(const std::vector<uint8_t> &file, uint32_t pixels, uint32_t lines)
{
	char path[] = "/tmp/torvane-g4-XXXXXX";
	const int fd = mkstemp(path);
	EXPECT_GE(fd, 0);
	EXPECT_EQ(write(fd, file.data(), file.size()), ssize_t(file.size()));
	close(fd);
	TIFFSetWarningHandler(nullptr);
	TIFFSetErrorHandler(nullptr);
	std::vector<uint8_t> rows(size_t(rowBytes(pixels)) * lines);
	TIFF *tiff = TIFFOpen(path, "r");
	uint32_t width = 0, length = 0;
	uint16_t compression = 0;
	bool ok = tiff && TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width) && TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &length) &&
		  TIFFGetField(tiff, TIFFTAG_COMPRESSION, &compression);
	EXPECT_EQ(width, pixels);
	EXPECT_EQ(length, lines);
	EXPECT_EQ(compression, COMPRESSION_CCITTFAX4);
	ok = ok && TIFFReadEncodedStrip(tiff, 0, rows.data(), tmsize_t(rows.size())) == tmsize_t(rows.size());
	if (tiff)
		TIFFClose(tiff);
	unlink(path);
	return ok ? rows : std::vector<uint8_t>{};
}

// A block alone, as libtiff writes it into a TIFF of its own and reads it.
std::vector<uint8_t> decodeBlock(const std::vector<uint8_t> &block, uint32_t pixels, uint32_t lines)
{
	char path[] = "/tmp/torvane-g4-XXXXXX";
	close(mkstemp(path));
	TIFF *tiff = TIFFOpen(path, "w");
	EXPECT_TRUE(tiff);
	if (!tiff)
		return {};
	TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, pixels);
	TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, lines);
	TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 1);
	TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
	TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
	TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
	TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, lines);
	TIFFWriteRawStrip(tiff, 0, const_cast<uint8_t *>(block.data()), tmsize_t(block.size()));
	TIFFClose(tiff);
	FILE *in = std::fopen(path, "rb");
	std::vector<uint8_t> file;
	for (int c; in && (c = std::fgetc(in)) != EOF;)
		file.push_back(static_cast<uint8_t>(c));
	if (in)
		std::fclose(in);
	unlink(path);
	return decodeTiffFile(file, pixels, lines);
}

// The image as a decoder gives it back: the padding bits of each row 0.
std::vector<uint8_t> withoutPadding(std::vector<uint8_t> image, uint32_t pixels)
{
	const uint32_t bytes = rowBytes(pixels);
	if (pixels % 8)
		for (size_t at = bytes - 1; at < image.size(); at += bytes)
			image[at] &= static_cast<uint8_t>(0xFF00 >> (pixels % 8));
	return image;
}

// Random runs, long and short, so that every mode and most run codes come.
std::vector<uint8_t> randomPage(uint32_t pixels, uint32_t lines, unsigned seed)
{
	std::mt19937 random(seed);
	std::vector<uint8_t> image(size_t(rowBytes(pixels)) * lines);
	std::vector<bool> above(pixels, false);
	for (uint32_t y = 0; y < lines; ++y) {
		bool black = random() % 2;
		const uint32_t longest = 1u << (random() % 12);
		std::vector<bool> row(pixels);
		for (uint32_t x = 0; x < pixels;) {
			// Rows partly copied from the row above (shifted a little)
			// bring the vertical and pass modes.
			const uint32_t run = 1 + random() % longest;
			const bool copy = random() % 3 == 0;
			for (uint32_t i = 0; i < run && x < pixels; ++i, ++x)
				row[x] = copy ? above[std::min<uint32_t>(pixels - 1, x + random() % 2)] : black;
			black = !black;
		}
		for (uint32_t x = 0; x < pixels; ++x)
			if (row[x])
				image[y * size_t(rowBytes(pixels)) + x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
		above = row;
	}
	return image;
}

std::vector<uint8_t> filledPage(uint32_t pixels, uint32_t lines, uint8_t even, uint8_t odd)
{
	std::vector<uint8_t> image(size_t(rowBytes(pixels)) * lines);
	for (uint32_t y = 0; y < lines; ++y)
		std::fill_n(image.begin() + y * size_t(rowBytes(pixels)), rowBytes(pixels), y % 2 ? odd : even);
	return image;
}

std::vector<uint8_t> decodedFile(const std::vector<uint8_t> &image, uint32_t pixels, uint32_t lines)
{
	const ImageShape shape{ pixels, lines, 1, rowBytes(pixels), 300 };
	return decodeTiffFile(tiffG4File(shape, image.data()), pixels, lines);
}

} // namespace

TEST(G4Encoder, RandomPagesOfEveryNarrowWidthDecode)
{
	for (uint32_t pixels = 1; pixels <= 65; ++pixels) {
		SCOPED_TRACE(pixels);
		const std::vector<uint8_t> page = randomPage(pixels, 40, pixels);
		EXPECT_EQ(decodedFile(page, pixels, 40), withoutPadding(page, pixels));
	}
}

TEST(G4Encoder, FullWidthPagesDecode)
{
	// 2550 pixels: a whole 300 dpi line, runs past the 2560 make-up code's
	// neighbours; 6000 brings a run of more than 2560.
	for (const uint32_t pixels : { 2550u, 6000u }) {
		SCOPED_TRACE(pixels);
		const uint32_t lines = 120;
		const std::vector<uint8_t> pages[] = { randomPage(pixels, lines, 1), filledPage(pixels, lines, 0x00, 0x00),
						       filledPage(pixels, lines, 0xFF, 0xFF), filledPage(pixels, lines, 0xAA, 0x55),
						       filledPage(pixels, lines, 0xCC, 0xCC), filledPage(pixels, lines, 0x00, 0xFF) };
		for (const std::vector<uint8_t> &page : pages)
			EXPECT_EQ(decodedFile(page, pixels, lines), withoutPadding(page, pixels));
	}
}

TEST(G4Encoder, AllWhiteIsShortAndEndsWithTheEndOfBlockMark)
{
	// Each white row against a white row is one V0 bit: 8 rows a byte, then
	// the two end-of-line codes (24 bits) padded.
	const std::vector<uint8_t> white(rowBytes(100) * 16, 0);
	EXPECT_EQ(g4Block(white.data(), 100, rowBytes(100), 0, 16),
		  (std::vector<uint8_t>{ 0xFF, 0xFF, 0x00, 0x10, 0x01 }));
}

TEST(G4Encoder, StripsFillTheirBufferAndEachDecodesOnItsOwn)
{
	const uint32_t pixels = 2550, lines = 300;
	const std::vector<uint8_t> page = randomPage(pixels, lines, 5);
	for (const size_t capacity : { G4Encoder::worstRowBytes(pixels) + G4Encoder::kEndBytes, size_t(64) << 10 }) {
		SCOPED_TRACE(capacity);
		std::vector<uint8_t> decoded;
		for (uint32_t first = 0; first < lines;) {
			const G4Strip strip = g4Strip(page.data(), pixels, rowBytes(pixels), first, lines, capacity);
			ASSERT_GT(strip.rows, 0u);
			EXPECT_LE(strip.bytes.size(), capacity);
			// The next row would not have fitted.
			if (first + strip.rows < lines) {
				const std::vector<uint8_t> longer = g4Block(page.data(), pixels, rowBytes(pixels), first, strip.rows + 1);
				EXPECT_GT(longer.size(), capacity);
			}
			const std::vector<uint8_t> rows = decodeBlock(strip.bytes, pixels, strip.rows);
			ASSERT_FALSE(rows.empty());
			decoded.insert(decoded.end(), rows.begin(), rows.end());
			first += strip.rows;
		}
		EXPECT_EQ(decoded, withoutPadding(page, pixels));
	}
}
