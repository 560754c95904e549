// SPDX-License-Identifier: MIT
// The data source's PNG files, read back with libpng: size, depth, colour
// type, resolution and every pixel against the driver's bytes.

#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>
#include <png.h>

#include "twain/png_file.h"

using namespace torvane::twain;

namespace {

struct DecodedPng {
	uint32_t width = 0, height = 0;
	int depth = 0, colourType = 0;
	png_uint_32 xPerMetre = 0, yPerMetre = 0;
	int unit = -1;
	std::vector<uint8_t> rows; // as stored, no transforms
};

struct Reader {
	const std::vector<uint8_t> *file;
	size_t at = 0;
};

void readFromMemory(png_structp png, png_bytep to, png_size_t size)
{
	auto *reader = static_cast<Reader *>(png_get_io_ptr(png));
	if (reader->at + size > reader->file->size())
		png_error(png, "past the end of the file");
	std::memcpy(to, reader->file->data() + reader->at, size);
	reader->at += size;
}

// libpng's reading of `file`; false when it refuses it (a bad CRC, a broken
// deflate stream, a short file).
bool decode(const std::vector<uint8_t> &file, DecodedPng *out)
{
	png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
	png_infop info = png_create_info_struct(png);
	Reader reader{ &file };
	if (setjmp(png_jmpbuf(png))) {
		png_destroy_read_struct(&png, &info, nullptr);
		return false;
	}
	png_set_read_fn(png, &reader, readFromMemory);
	png_read_info(png, info);
	out->width = png_get_image_width(png, info);
	out->height = png_get_image_height(png, info);
	out->depth = png_get_bit_depth(png, info);
	out->colourType = png_get_color_type(png, info);
	png_get_pHYs(png, info, &out->xPerMetre, &out->yPerMetre, &out->unit);
	const size_t rowBytes = png_get_rowbytes(png, info);
	out->rows.assign(rowBytes * out->height, 0);
	for (uint32_t y = 0; y < out->height; ++y)
		png_read_row(png, out->rows.data() + rowBytes * y, nullptr);
	png_read_end(png, nullptr);
	png_destroy_read_struct(&png, &info, nullptr);
	return true;
}

std::vector<uint8_t> randomImage(const ImageShape &shape, unsigned seed)
{
	std::mt19937 random(seed);
	std::vector<uint8_t> image(size_t(shape.bytesPerLine) * shape.lines);
	for (uint8_t &byte : image)
		byte = static_cast<uint8_t>(random());
	return image;
}

} // namespace

TEST(PngFile, EveryPixelAndTheResolutionComeBack)
{
	struct Case {
		uint32_t pixels, lines, bits, dpi;
		int colourType;
	};
	for (const Case &c : { Case{ 13, 5, 1, 300, PNG_COLOR_TYPE_GRAY }, Case{ 64, 3, 1, 200, PNG_COLOR_TYPE_GRAY },
			       Case{ 7, 9, 8, 150, PNG_COLOR_TYPE_GRAY }, Case{ 33, 700, 24, 600, PNG_COLOR_TYPE_RGB } }) {
		SCOPED_TRACE(std::to_string(c.pixels) + " pixels of " + std::to_string(c.bits) + " bits");
		const ImageShape shape{ c.pixels, c.lines, c.bits, (c.pixels * c.bits + 7) / 8, c.dpi };
		const std::vector<uint8_t> image = randomImage(shape, c.pixels);
		DecodedPng png;
		ASSERT_TRUE(decode(pngFile(shape, image.data()), &png));
		EXPECT_EQ(png.width, c.pixels);
		EXPECT_EQ(png.height, c.lines);
		EXPECT_EQ(png.depth, c.bits == 1 ? 1 : 8);
		EXPECT_EQ(png.colourType, c.colourType);
		EXPECT_EQ(png.unit, PNG_RESOLUTION_METER);
		EXPECT_EQ(png.xPerMetre, (c.dpi * 10000 + 127) / 254);
		EXPECT_EQ(png.yPerMetre, png.xPerMetre);
		std::vector<uint8_t> expected = image;
		if (c.bits == 1) {
			// PNG's bilevel grey is 0 = black; the padding bits stay 0.
			const uint8_t lastMask = static_cast<uint8_t>(0xFF00 >> (c.pixels % 8 ? c.pixels % 8 : 8));
			for (size_t i = 0; i < expected.size(); ++i) {
				expected[i] = static_cast<uint8_t>(~expected[i]);
				if (i % shape.bytesPerLine == shape.bytesPerLine - 1)
					expected[i] &= lastMask;
			}
		}
		EXPECT_EQ(png.rows, expected);
	}
}

TEST(PngFile, APageLargerThanOneDeflatePieceIsWhole)
{
	// Random colour: deflate cannot shrink it, so it spans many IDAT chunks.
	const ImageShape shape{ 1000, 300, 24, 3000, 300 };
	const std::vector<uint8_t> image = randomImage(shape, 7);
	std::vector<uint8_t> file = pngFile(shape, image.data());
	DecodedPng png;
	ASSERT_TRUE(decode(file, &png));
	EXPECT_EQ(png.rows, image);
	// One flipped bit in the data is caught by the chunk's CRC.
	file[file.size() / 2] ^= 0x10;
	EXPECT_FALSE(decode(file, &png));
}
