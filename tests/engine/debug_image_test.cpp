// SPDX-License-Identifier: MIT
// The debug image: headers, palette, placement of the chunks, and the chunk
// left as the scanner sent it.

#include <cstdio>
#include <cstring>
#include <numeric>
#include <vector>

#include <gtest/gtest.h>

#include "driver/driver_state.h"
#include "engine/debug_image.h"
#include "engine/scan_session.h"
#include "support/test_environment.h"

namespace torvane::engine {
namespace {

class DebugImageTest : public ::testing::Test
{
protected:
	void SetUp() override
	{
		test::attachDriver();
		std::snprintf(driver::driverState.DebugImagePath, sizeof(driver::driverState.DebugImagePath), "%s",
			      folder_.file("Image0.bmp").c_str());
	}

	std::vector<uint8_t> image() const { return test::readBinaryFile(folder_.file("Image0.bmp")); }

	test::TempDir folder_;
};

std::vector<uint8_t> ramp(size_t bytes, uint8_t first)
{
	std::vector<uint8_t> data(bytes);
	std::iota(data.begin(), data.end(), first);
	return data;
}

void put32(std::vector<uint8_t> &out, uint32_t value)
{
	for (int i = 0; i < 4; ++i)
		out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void put16(std::vector<uint8_t> &out, uint16_t value)
{
	out.push_back(static_cast<uint8_t>(value));
	out.push_back(static_cast<uint8_t>(value >> 8));
}

// Both headers as the bitmap format lays them out.
std::vector<uint8_t> headers(uint32_t headerSize, uint32_t width, uint32_t height, uint16_t bits, uint32_t imageBytes)
{
	std::vector<uint8_t> out{ 'B', 'M' };
	put32(out, headerSize + imageBytes);
	put16(out, 0);
	put16(out, 0);
	put32(out, headerSize);
	put32(out, 40);
	put32(out, width);
	put32(out, height);
	put16(out, 1);
	put16(out, bits);
	put32(out, 0);
	put32(out, imageBytes);
	for (int i = 0; i < 4; ++i)
		put32(out, 0);
	return out;
}

// Rows of `lineBytes` in reverse order, each cut to `rowSize` bytes taken
// without regard to line boundaries: what the dump writes for one chunk.
std::vector<uint8_t> bottomUp(const std::vector<uint8_t> &chunk, size_t lineBytes, size_t rowSize)
{
	std::vector<uint8_t> reversed;
	const size_t lines = chunk.size() / lineBytes;
	for (size_t r = lines; r-- > 0;)
		reversed.insert(reversed.end(), chunk.begin() + r * lineBytes, chunk.begin() + (r + 1) * lineBytes);
	reversed.resize(rowSize * lines);
	return reversed;
}

TEST_F(DebugImageTest, AnEightBitImageOfTwoChunksHasThePaletteAndBothChunksBottomUp)
{
	// 8 pixels of 8 bits, 4 lines per chunk, an image of 8 lines.
	auto first = ramp(32, 0);
	auto second = ramp(32, 100);
	const auto firstSent = first;
	const auto secondSent = second;

	DumpChunkImage(first.data(), 8, 4, 8, 1, 64);
	EXPECT_EQ(scanSession.dumpChunkCount, 1);
	DumpChunkImage(second.data(), 8, 4, 8, 0, 64);
	EXPECT_EQ(scanSession.dumpChunkCount, 2);

	std::vector<uint8_t> expected = headers(1078, 8, 8, 8, 64);
	for (int i = 0; i < 256; ++i)
		expected.insert(expected.end(), { uint8_t(i), uint8_t(i), uint8_t(i), 0 });
	// Chunk 2 at the start of the pixel data, chunk 1 (the top) at its end.
	const auto secondRows = bottomUp(secondSent, 8, 8);
	const auto firstRows = bottomUp(firstSent, 8, 8);
	expected.insert(expected.end(), secondRows.begin(), secondRows.end());
	expected.insert(expected.end(), firstRows.begin(), firstRows.end());
	EXPECT_EQ(image(), expected);

	// The read pipeline gets the chunks exactly as the scanner sent them.
	EXPECT_EQ(first, firstSent);
	EXPECT_EQ(second, secondSent);
}

TEST_F(DebugImageTest, ATwentyFourBitImageHasNoPaletteAndRowsRoundedDown)
{
	// 3 pixels of 24 bits: 9 line bytes, rows of 8. Chunks of 3 lines (an odd
	// count: the middle row stays), 6 lines in all = 54 bytes, height 54 / 8.
	auto first = ramp(27, 1);
	auto second = ramp(27, 101);
	auto third = ramp(27, 201);
	const auto firstSent = first;
	const auto secondSent = second;
	const auto thirdSent = third;

	DumpChunkImage(first.data(), 3, 3, 24, 1, 54);
	DumpChunkImage(second.data(), 3, 3, 24, 0, 54);
	// 3 x 24 = 72 bytes would not fit above the start of the pixel data.
	DumpChunkImage(third.data(), 3, 3, 24, 0, 54);
	EXPECT_EQ(scanSession.dumpChunkCount, 3);

	std::vector<uint8_t> expected = headers(54, 3, 6, 24, 54);
	expected.resize(54 + 54 - 48, 0);
	const auto secondRows = bottomUp(secondSent, 9, 8);
	const auto firstRows = bottomUp(firstSent, 9, 8);
	expected.insert(expected.end(), secondRows.begin(), secondRows.end());
	expected.insert(expected.end(), firstRows.begin(), firstRows.end());
	EXPECT_EQ(image(), expected);
	EXPECT_EQ(first, firstSent);
	EXPECT_EQ(second, secondSent);
	EXPECT_EQ(third, thirdSent);
}

TEST_F(DebugImageTest, AMissingFileIsNotRecreatedByALaterChunkAndTheCountStays)
{
	auto chunk = ramp(32, 7);
	const auto sent = chunk;
	scanSession.dumpChunkCount = 5;
	DumpChunkImage(chunk.data(), 8, 4, 8, 0, 64);
	EXPECT_FALSE(test::exists(folder_.file("Image0.bmp")));
	EXPECT_EQ(scanSession.dumpChunkCount, 5);
	EXPECT_EQ(chunk, sent);
}

TEST_F(DebugImageTest, AFileThatCannotBeCreatedLeavesTheChunkUnchanged)
{
	std::snprintf(driver::driverState.DebugImagePath, sizeof(driver::driverState.DebugImagePath), "%s",
		      folder_.file("missing/Image0.bmp").c_str());
	auto chunk = ramp(32, 9);
	const auto sent = chunk;
	DumpChunkImage(chunk.data(), 8, 4, 8, 1, 64);
	EXPECT_EQ(chunk, sent);
	EXPECT_EQ(scanSession.dumpChunkCount, 1);
}

TEST_F(DebugImageTest, LinesUnderFourBytesAndANullChunkWriteNothing)
{
	auto chunk = ramp(12, 0);
	const auto sent = chunk;
	DumpChunkImage(chunk.data(), 3, 4, 8, 1, 12);
	DumpChunkImage(nullptr, 8, 4, 8, 1, 64);
	EXPECT_FALSE(test::exists(folder_.file("Image0.bmp")));
	EXPECT_EQ(chunk, sent);
}

} // namespace
} // namespace torvane::engine
