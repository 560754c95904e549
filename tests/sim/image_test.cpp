// SPDX-License-Identifier: MIT
// The window the scanner keeps, and the image bytes it sends for it.

#include <gtest/gtest.h>

#include "raw_client.h"
#include "sim_fixture.h"

namespace torvane::simtest {

namespace {

constexpr uint32_t kWidth300 = 2550;
constexpr uint32_t kMaxReadBlock = 524288;

// Columns of the test chart at 300 dpi: the frame, the red, green and blue
// patches (first patch row from 1000/1200 inch), and the white lid beyond
// the A4 page (2480 pixels wide).
constexpr uint32_t kFrameColumn = 75;
constexpr uint32_t kRedColumn = 200;
constexpr uint32_t kGreenColumn = 500;
constexpr uint32_t kBlueColumn = 800;
constexpr uint32_t kLidColumn = 2500;
constexpr uint32_t kPatchTop = 1200; // 1/1200 inch

std::vector<uint8_t> pixel(const std::vector<uint8_t> &image, uint32_t bytesPerLine, uint32_t row, uint32_t column,
			   uint32_t bytesPerPixel)
{
	const size_t at = static_cast<size_t>(row) * bytesPerLine + column * bytesPerPixel;
	return { image.begin() + at, image.begin() + at + bytesPerPixel };
}

} // namespace

class SimImageTest : public SimFixture
{
protected:
	void setWindow(const WindowRequest &request)
	{
		ASSERT_EQ(exchange(path(), setWindowBlock(), 0, windowBlock(request)).status, 0);
	}

	void startScan(const WindowRequest &request)
	{
		setWindow(request);
		ASSERT_EQ(exchange(path(), simpleBlock(0x16)).status, 0);
		ASSERT_EQ(exchange(path(), simpleBlock(0x1B, 0x80)).status, 0);
	}

	// Reads the whole image as the acquisition thread does: pieces of at
	// most 524288 bytes, each its own READ(10).
	std::vector<uint8_t> readImage(uint64_t total)
	{
		std::vector<uint8_t> image;
		while (image.size() < total) {
			const auto piece = static_cast<uint32_t>(std::min<uint64_t>(kMaxReadBlock, total - image.size()));
			Exchange read = exchange(path(), read10Block(0x00, piece), piece);
			EXPECT_TRUE(read.ok);
			EXPECT_EQ(read.status, 0);
			if (!read.ok || read.status != 0)
				break;
			image.insert(image.end(), read.dataIn.begin(), read.dataIn.end());
		}
		return image;
	}

	static WindowRequest colourWindow(uint32_t lines, uint32_t top = kPatchTop)
	{
		WindowRequest request;
		request.top = top;
		request.width = kWidth300 * 4;
		request.length = lines * 4;
		request.bytesPerLine = kWidth300 * 3;
		request.lineCount = lines;
		return request;
	}
};

TEST_F(SimImageTest, WindowIsStoredDecodedAndReadBack)
{
	WindowRequest request = colourWindow(1512, 120);
	request.resolution = 600;
	request.bytesPerLine = 5100 * 3;
	std::vector<uint8_t> block = windowBlock(request);
	block[8 + 61] = 2; // background lines
	block[8 + 62] = 1; // pages this job
	setWindow(request);
	ASSERT_EQ(exchange(path(), setWindowBlock(), 0, block).status, 0);

	auto window = scanner->window();
	ASSERT_TRUE(window);
	EXPECT_EQ(std::vector<uint8_t>(window->block.begin(), window->block.end()), block);
	EXPECT_EQ(window->xResolution, 600);
	EXPECT_EQ(window->yResolution, 600);
	EXPECT_EQ(window->upperLeftY, 120u);
	EXPECT_EQ(window->width, kWidth300 * 4);
	EXPECT_EQ(window->length, 1512u * 4);
	EXPECT_EQ(window->composition, 5);
	EXPECT_EQ(window->bitsPerChannel, 8);
	EXPECT_EQ(window->modeFlags, 0x60);
	EXPECT_EQ(window->bytesPerLine, 15300u); // 0x003BC4: byte 59 = 0
	EXPECT_EQ(window->lineCount, 1512u);
	EXPECT_EQ(window->backgroundLines, 2);
	EXPECT_EQ(window->pagesThisJob, 1);

	Exchange readBack = exchange(path(), read10Block(0x60, 32), 32);
	ASSERT_TRUE(readBack.ok);
	EXPECT_EQ(readBack.status, 0);
	EXPECT_EQ(readBack.dataIn, std::vector<uint8_t>(block.begin(), block.begin() + 32));

	// Bytes per line above 16 bits use descriptor byte 59.
	request.bytesPerLine = 0x012345;
	request.lineCount = 4;
	setWindow(request);
	EXPECT_EQ(scanner->window()->bytesPerLine, 0x012345u);
}

TEST_F(SimImageTest, ColourImageEqualsTheRawImage)
{
	// 100 lines of 7650 bytes: two reads, 524288 and 240712 bytes.
	const WindowRequest request = colourWindow(100);
	startScan(request);
	const std::vector<uint8_t> expected = scanner->rawImage();
	ASSERT_EQ(expected.size(), 7650u * 100);
	EXPECT_EQ(readImage(expected.size()), expected);
	EXPECT_EQ(scanner->imageBytesSent(), expected.size());

	EXPECT_EQ(pixel(expected, 7650, 0, kRedColumn, 3), (std::vector<uint8_t>{ 0xFF, 0x00, 0x00 }));
	EXPECT_EQ(pixel(expected, 7650, 80, kGreenColumn, 3), (std::vector<uint8_t>{ 0x00, 0xFF, 0x00 }));
	EXPECT_EQ(pixel(expected, 7650, 50, kBlueColumn, 3), (std::vector<uint8_t>{ 0x00, 0x00, 0xFF }));
	EXPECT_EQ(pixel(expected, 7650, 0, kFrameColumn, 3), (std::vector<uint8_t>{ 0, 0, 0 }));
	EXPECT_EQ(pixel(expected, 7650, 0, kLidColumn, 3), (std::vector<uint8_t>{ 0xFF, 0xFF, 0xFF }));

	const auto log = scanner->commandLog();
	ASSERT_GE(log.size(), 2u);
	EXPECT_EQ(log[log.size() - 2].dataInLength, kMaxReadBlock);
	EXPECT_EQ(log.back().dataInLength, 765000u - kMaxReadBlock);
}

TEST_F(SimImageTest, GreyImageTakesTheChannelOrTheLuminance)
{
	struct Case {
		uint8_t composition, modeFlags;
		uint8_t red, green; // grey values of the red and green patches
	};
	const Case cases[] = {
		{ 2, 0x48, 255, 0 },  // channel 1: red
		{ 2, 0x50, 0, 255 },  // channel 2: green
		{ 2, 0x58, 0, 0 },    // channel 3: blue
		{ 2, 0x70, 77, 149 }, // no channel: luminance
		{ 0, 0x70, 77, 149 }, // line art scanned at 8 bits
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(static_cast<int>(c.modeFlags));
		WindowRequest request = colourWindow(12);
		request.composition = c.composition;
		request.modeFlags = c.modeFlags;
		request.bytesPerLine = kWidth300;
		startScan(request);
		const std::vector<uint8_t> expected = scanner->rawImage();
		ASSERT_EQ(expected.size(), kWidth300 * 12u);
		EXPECT_EQ(readImage(expected.size()), expected);
		EXPECT_EQ(expected[kRedColumn], c.red);
		EXPECT_EQ(expected[kWidth300 * 11 + kGreenColumn], c.green);
		EXPECT_EQ(expected[kLidColumn], 255);
		ASSERT_EQ(exchange(path(), simpleBlock(0x17)).status, 0);
	}
}

TEST_F(SimImageTest, SixteenBitAndOneBitSamples)
{
	WindowRequest deep = colourWindow(4);
	deep.bitsPerChannel = 16;
	deep.bytesPerLine = kWidth300 * 6;
	setWindow(deep);
	const auto wide = scanner->rawImage();
	ASSERT_EQ(wide.size(), kWidth300 * 6u * 4);
	EXPECT_EQ(pixel(wide, kWidth300 * 6, 1, kRedColumn, 6), (std::vector<uint8_t>{ 0xFF, 0xFF, 0, 0, 0, 0 }));

	WindowRequest bits = colourWindow(4);
	bits.composition = 0;
	bits.bitsPerChannel = 1;
	bits.modeFlags = 0x70;
	bits.bytesPerLine = 319; // 2552 pixels
	setWindow(bits);
	const auto packed = scanner->rawImage();
	ASSERT_EQ(packed.size(), 319u * 4);
	auto bitAt = [&](uint32_t column) { return packed[column / 8] >> (7 - column % 8) & 1; };
	EXPECT_EQ(bitAt(kFrameColumn), 1); // black
	EXPECT_EQ(bitAt(kRedColumn), 1);   // luminance 77
	EXPECT_EQ(bitAt(kLidColumn), 0);   // white
}

TEST_F(SimImageTest, SixHundredDpiStartsAtTheWindowTop)
{
	// Two inches down at 600 dpi lies the continuous grey ramp.
	WindowRequest request = colourWindow(8, 2400);
	request.resolution = 600;
	request.composition = 2;
	request.modeFlags = 0x70;
	request.bytesPerLine = kWidth300 * 2;
	startScan(request);
	const auto expected = scanner->rawImage();
	ASSERT_EQ(expected.size(), kWidth300 * 2u * 8);
	EXPECT_EQ(readImage(expected.size()), expected);
	// Left margin white, then the ramp rising from black across the page.
	EXPECT_EQ(expected[200], 255);
	EXPECT_LT(expected[302], 3);
	EXPECT_GT(expected[4650], 250);
	for (uint32_t x = 300; x < 4600; x += 50)
		EXPECT_LE(expected[x], expected[x + 50]) << x;
}

TEST_F(SimImageTest, ReadingPastTheEndReportsEndOfMedium)
{
	startScan(colourWindow(2)); // 15300 bytes
	const auto image = scanner->rawImage();
	Exchange first = exchange(path(), read10Block(0x00, 10000), 10000);
	EXPECT_EQ(first.status, 0);
	Exchange second = exchange(path(), read10Block(0x00, 10000), 10000);
	ASSERT_TRUE(second.ok);
	EXPECT_EQ(second.status, 2);
	std::vector<uint8_t> expected(image.begin() + 10000, image.end());
	expected.resize(10000, 0);
	EXPECT_EQ(second.dataIn, expected);
	Exchange sense = exchange(path(), requestSenseBlock(), 22);
	EXPECT_EQ(sense.dataIn[0], 0xF0);
	EXPECT_EQ(sense.dataIn[2], 0x60); // EOM, ILI, key NO SENSE
	EXPECT_EQ(std::vector<uint8_t>(sense.dataIn.begin() + 3, sense.dataIn.begin() + 7),
		  (std::vector<uint8_t>{ 0, 0, 0x12, 0x5C })); // 4700 bytes missing
	EXPECT_EQ(scanner->imageBytesSent(), 20000u);

	// After RELEASE UNIT the scan is over.
	ASSERT_EQ(exchange(path(), simpleBlock(0x17)).status, 0);
	EXPECT_FALSE(scanner->scanning());
	EXPECT_FALSE(scanner->reserved());
	EXPECT_EQ(scanner->lastReleaseMode(), 0);
	EXPECT_EQ(exchange(path(), read10Block(0x00, 100), 100).status, 2);
	EXPECT_EQ(exchange(path(), requestSenseBlock(), 22).dataIn[12], 0x2C);
}

TEST_F(SimImageTest, NewScanStartsTheImageAgain)
{
	startScan(colourWindow(4));
	const auto image = scanner->rawImage();
	EXPECT_EQ(readImage(7650), std::vector<uint8_t>(image.begin(), image.begin() + 7650));
	ASSERT_EQ(exchange(path(), simpleBlock(0x1B, 0x80)).status, 0);
	EXPECT_EQ(readImage(image.size()), image);
}

TEST_F(SimImageTest, OversizedWindowIsRefused)
{
	WindowRequest request = colourWindow(0xFFFF);
	request.bytesPerLine = 0xFFFFFF;
	Exchange result = exchange(path(), setWindowBlock(), 0, windowBlock(request));
	EXPECT_EQ(result.status, 2);
	EXPECT_FALSE(scanner->window());
	EXPECT_EQ(exchange(path(), requestSenseBlock(), 22).dataIn[12], 0x26);
}

TEST_F(SimImageTest, CalibrationDataPattern)
{
	for (uint32_t size : { 495360u, 990720u }) {
		Exchange result = exchange(path(), read10Block(0x62, size), size);
		ASSERT_TRUE(result.ok);
		EXPECT_EQ(result.status, 0);
		EXPECT_EQ(result.dataIn, sim::VirtualScanner::calibrationData(size));
	}
	const auto data = sim::VirtualScanner::calibrationData(2580 * 2 + 4);
	EXPECT_EQ(data[0], 0x0C);
	EXPECT_EQ(data[1], 0x00);
	EXPECT_EQ(data[3], 0x25);	     // pixel 1: 37
	EXPECT_EQ(data[2580 * 2 + 1], 0x0B); // row 1, pixel 0: 11
}

} // namespace torvane::simtest
