// SPDX-License-Identifier: MIT
// Documents: image files at their own resolution, scaling, the test chart.

#include <cstdio>
#include <fstream>

#include <png.h>

#include <gtest/gtest.h>

#include "support/test_environment.h"
#include "torvane_sim/document.h"
#include "torvane_sim/virtual_scanner.h"

namespace torvane::simtest {

using sim::ImageDocument;
using sim::RgbImage;

namespace {

void writeFile(const std::string &path, const std::string &bytes)
{
	std::ofstream file(path, std::ios::binary);
	file << bytes;
}

// A 2 x 2 RGB PNG with pHYs at `perMetre` pixels per metre (none when 0);
// pixel (1, 1) transparent when `alpha`.
void writePng(const std::string &path, uint32_t perMetre, bool alpha)
{
	FILE *file = std::fopen(path.c_str(), "wb");
	ASSERT_NE(file, nullptr);
	png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
	png_infop info = png_create_info_struct(png);
	if (setjmp(png_jmpbuf(png))) {
		png_destroy_write_struct(&png, &info);
		std::fclose(file);
		FAIL() << "libpng failed";
	}
	png_init_io(png, file);
	png_set_IHDR(png, info, 2, 2, 8, alpha ? PNG_COLOR_TYPE_RGBA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
		     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
	if (perMetre)
		png_set_pHYs(png, info, perMetre, perMetre, PNG_RESOLUTION_METER);
	png_write_info(png, info);
	uint8_t rows[2][8] = { { 255, 0, 0, 255, 0, 255, 0, 255 }, { 0, 0, 255, 255, 10, 20, 30, 255 } };
	if (alpha)
		rows[1][7] = 0;
	for (auto &row : rows) {
		if (!alpha) // pack RGBA rows to RGB
			for (int x = 0; x < 2; ++x)
				for (int c = 0; c < 3; ++c)
					row[x * 3 + c] = row[x * 4 + c];
		png_write_row(png, row);
	}
	png_write_end(png, nullptr);
	png_destroy_write_struct(&png, &info);
	std::fclose(file);
}

// Renders `document` through a colour window of `pixels` x `lines` at `dpi`.
std::vector<uint8_t> scan(std::unique_ptr<sim::DocumentSource> document, uint16_t dpi, uint32_t pixels, uint32_t lines)
{
	sim::VirtualScanner scanner;
	scanner.setDocument(std::move(document));
	std::vector<uint8_t> block(79, 0);
	block[7] = 71;
	uint8_t *d = block.data() + 8;
	d[2] = d[4] = static_cast<uint8_t>(dpi >> 8);
	d[3] = d[5] = static_cast<uint8_t>(dpi);
	d[25] = 5;
	d[26] = 8;
	d[42] = 0x60;
	d[45] = static_cast<uint8_t>(pixels * 3 >> 8);
	d[46] = static_cast<uint8_t>(pixels * 3);
	d[47] = static_cast<uint8_t>(lines >> 8);
	d[48] = static_cast<uint8_t>(lines);
	const std::array<uint8_t, 10> setWindow{ 0x24, 0, 0, 0, 0, 0, 0, 0, 79, 0 };
	EXPECT_EQ(scanner.exchange(setWindow, block).status, 0);
	return scanner.rawImage();
}

std::vector<uint8_t> rgb(std::initializer_list<int> values)
{
	return { values.begin(), values.end() };
}

} // namespace

TEST(SimDocumentTest, PnmAtThreeHundredDpiByDefault)
{
	test::TempDir dir;
	const std::string path = dir.file("page.ppm");
	writeFile(path, std::string("P6\n# two by two\n2 2\n255\n") + std::string("\xFF\x00\x00\x00\xFF\x00"
										  "\x00\x00\xFF\x80\x80\x80",
										  12));
	std::string error;
	auto document = ImageDocument::load(path, &error);
	ASSERT_TRUE(document) << error;
	EXPECT_EQ(document->dpi(), 300u);
	EXPECT_EQ(document->pageSize().width, 8u); // 2 pixels at 300 dpi, in 1/1200 inch
	EXPECT_EQ(document->description(), "page.ppm 2x2 at 300 dpi");

	// 300 dpi: the pixels as they are, white right of and below the page.
	auto same = scan(std::move(document), 300, 3, 3);
	EXPECT_EQ(same, rgb({ 255, 0, 0, 0, 255, 0, 255, 255, 255,     //
			      0, 0, 255, 128, 128, 128, 255, 255, 255, //
			      255, 255, 255, 255, 255, 255, 255, 255, 255 }));

	// 600 dpi: every pixel twice in both directions.
	auto doubled = scan(ImageDocument::load(path, nullptr), 600, 4, 4);
	ASSERT_EQ(doubled.size(), 48u);
	EXPECT_EQ(std::vector<uint8_t>(doubled.begin(), doubled.begin() + 12), rgb({ 255, 0, 0, 255, 0, 0, 0, 255, 0, 0, 255, 0 }));
	EXPECT_EQ(std::vector<uint8_t>(doubled.begin() + 12, doubled.begin() + 24),
		  std::vector<uint8_t>(doubled.begin(), doubled.begin() + 12));
	EXPECT_EQ(std::vector<uint8_t>(doubled.begin() + 36, doubled.end()),
		  rgb({ 0, 0, 255, 0, 0, 255, 128, 128, 128, 128, 128, 128 }));
}

TEST(SimDocumentTest, GreyAndSixteenBitPnm)
{
	test::TempDir dir;
	writeFile(dir.file("grey.pgm"), std::string("P5 2 1 65535 \x00\x00\xFF\xFF", 17));
	auto document = ImageDocument::load(dir.file("grey.pgm"), nullptr);
	ASSERT_TRUE(document);
	EXPECT_EQ(document->image().pixels, rgb({ 0, 0, 0, 255, 255, 255 }));
}

TEST(SimDocumentTest, PngResolutionAndTransparency)
{
	test::TempDir dir;
	writePng(dir.file("150.png"), 5906, false); // 150 dpi
	std::string error;
	auto document = ImageDocument::load(dir.file("150.png"), &error);
	ASSERT_TRUE(document) << error;
	EXPECT_EQ(document->dpi(), 150u);
	EXPECT_EQ(document->pageSize().width, 16u);
	EXPECT_EQ(document->image().pixels, rgb({ 255, 0, 0, 0, 255, 0, 0, 0, 255, 10, 20, 30 }));
	// At 300 dpi each pixel is drawn twice.
	auto image = scan(std::move(document), 300, 4, 1);
	EXPECT_EQ(image, rgb({ 255, 0, 0, 255, 0, 0, 0, 255, 0, 0, 255, 0 }));

	writePng(dir.file("alpha.png"), 0, true);
	auto transparent = ImageDocument::load(dir.file("alpha.png"), &error);
	ASSERT_TRUE(transparent) << error;
	EXPECT_EQ(transparent->dpi(), 300u);
	// The transparent pixel lies on white paper.
	EXPECT_EQ(std::vector<uint8_t>(transparent->image().pixels.begin() + 9, transparent->image().pixels.end()),
		  rgb({ 255, 255, 255 }));
}

TEST(SimDocumentTest, ShrinkingAveragesAreas)
{
	// 4 x 2 at 600 dpi, black and white columns: one grey line at 300 dpi.
	RgbImage stripes;
	stripes.resize(4, 2);
	for (uint32_t y = 0; y < 2; ++y)
		for (uint32_t x = 0; x < 4; x += 2)
			std::fill_n(stripes.row(y) + x * 3, 3, 0);
	auto image = scan(std::make_unique<ImageDocument>(stripes, 600), 300, 2, 1);
	EXPECT_EQ(image, rgb({ 128, 128, 128, 128, 128, 128 }));
}

TEST(SimDocumentTest, BadFilesAreRefusedWithAReason)
{
	test::TempDir dir;
	const std::pair<const char *, std::string> files[] = {
		{ "text.txt", "hello" },
		{ "short.ppm", std::string("P6 4 4 255\n\x01\x02", 13) },
		{ "huge.ppm", "P6 200000 200000 255\n" },
		{ "zero.pgm", "P5 2 2 0\n\x01\x02\x03\x04" },
		{ "bad.png", std::string("\x89PNG\r\n\x1a\n\x00\x00", 10) },
	};
	for (const auto &[name, bytes] : files) {
		writeFile(dir.file(name), bytes);
		std::string error;
		EXPECT_FALSE(ImageDocument::load(dir.file(name), &error)) << name;
		EXPECT_FALSE(error.empty()) << name;
	}
	std::string error;
	EXPECT_FALSE(sim::loadDocument(dir.file("missing.png"), &error));
	EXPECT_NE(error.find("cannot read"), std::string::npos);
	EXPECT_TRUE(sim::loadDocument("chart", nullptr));
}

TEST(SimDocumentTest, TestChartGeometry)
{
	uint8_t colour[3];
	auto at = [&](uint32_t u, uint32_t v) {
		sim::TestChart::colourAt(u, v, colour);
		return rgb({ colour[0], colour[1], colour[2] });
	};
	EXPECT_EQ(at(302, 5000), rgb({ 0, 0, 0 }));	     // frame
	EXPECT_EQ(at(800, 1200), rgb({ 255, 0, 0 }));	     // red patch
	EXPECT_EQ(at(800, 1800), rgb({ 128, 0, 0 }));	     // dark red patch
	EXPECT_EQ(at(600, 2500), rgb({ 0, 0, 0 }));	     // ramp starts black
	EXPECT_EQ(at(9320, 2500), rgb({ 255, 255, 255 }));   // and ends white
	EXPECT_EQ(at(9320, 3000), rgb({ 255, 255, 255 }));   // last step
	EXPECT_EQ(at(20000, 20000), rgb({ 255, 255, 255 })); // off the page

	// The finest line group alternates every 2/1200 inch.
	const uint32_t group = 600 + 5 * (9921 - 1200) / 6 + 200;
	EXPECT_NE(at(group, 5000), at(group + 2, 5000));
	EXPECT_EQ(at(group, 5000), at(group + 4, 5000));

	// generate() draws what colourAt() gives at the pixel centres.
	sim::TestChart chart;
	ASSERT_TRUE(chart.configure({ 2480, 3508 }));
	RgbImage band;
	band.resize(2480, 2);
	chart.generate(band, 300);
	EXPECT_EQ(std::vector<uint8_t>(band.row(0) + 200 * 3, band.row(0) + 201 * 3), at(800, 1201));
	EXPECT_FALSE(chart.configure({ 0, 10 }));
}

} // namespace torvane::simtest
