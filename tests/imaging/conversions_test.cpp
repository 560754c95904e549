// SPDX-License-Identifier: MIT
// Colour to grey, line art and halftone, with the halftone matrices.

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "image_helpers.h"
#include "imaging/conversions.h"
#include "imaging/halftone_matrices.h"
#include "oracle/oracle.h"

using namespace torvane::imaging;
using torvane::imaging::test::randomBytes;

namespace {

TEST(HalftoneMatrices, SixPatternsInOneTableOf384Bytes)
{
	static_assert(sizeof(halftoneMatrices) == 384);
	EXPECT_EQ(std::memcmp(halftoneMatrices, oracle::halftoneTable, 384), 0);
	EXPECT_EQ(halftoneMatrices[0][0][0], 127);
	EXPECT_EQ(halftoneMatrices[0][7][7], 66);
	EXPECT_EQ(halftoneMatrices[3][3][3], 228);
	EXPECT_EQ(halftoneMatrices[5][0][0], 45);
	EXPECT_EQ(halftoneMatrices[5][7][7], 225);
}

TEST(ColourLinesToGrey, WeighsThePixelBytesThreeSixOne)
{
	const uint8_t colour[] = { 10, 20, 30, 255, 255, 255, 0, 0, 9, 0, 2, 0 };
	uint8_t grey[4] = {};
	EXPECT_EQ(ColourLinesToGrey(colour, grey, 6, 2), 2);
	EXPECT_EQ(grey[0], 18); /* (30 + 120 + 30) / 10 */
	EXPECT_EQ(grey[1], 255);
	EXPECT_EQ(grey[2], 0); /* 9 / 10 */
	EXPECT_EQ(grey[3], 1); /* 12 / 10 */
}

TEST(ColourLinesToGrey, PartialLastPixelReadsOnlyItsLine)
{
	/* Lines of 4 bytes: one whole pixel and a lone byte that counts as red. */
	const std::vector<uint8_t> colour{ 10, 20, 30, 100, 200, 200, 200, 50 };
	uint8_t grey[5];
	std::memset(grey, 0xEE, sizeof(grey));
	EXPECT_EQ(ColourLinesToGrey(colour.data(), grey, 4, 2), 2);
	EXPECT_EQ(grey[0], 18);
	EXPECT_EQ(grey[1], 30); /* 3 x 100 / 10 */
	EXPECT_EQ(grey[2], 200);
	EXPECT_EQ(grey[3], 15);
	EXPECT_EQ(grey[4], 0xEE) << "two grey bytes per line, no more";
}

TEST(ColourLinesToGrey, MatchesTheReferenceForEveryLineLength)
{
	/* Around the vector widths too (16, 32 and 64 pixels), at every level. */
	for (uint32_t lineBytes : { 0u, 1u, 2u, 3u, 5u, 6u, 7u, 47u, 48u, 50u, 95u, 96u, 97u, 191u, 192u, 193u, 300u, 7650u }) {
		const uint32_t lines = 5;
		const auto colour = randomBytes(size_t(lineBytes) * lines, lineBytes);
		const size_t greyBytes = (lineBytes ? (lineBytes - 1) / 3 + 1 : 0) * lines;
		std::vector<uint8_t> plain(greyBytes + 1, 0xAB);
		oracle::ColourLinesToGrey(colour.data(), plain.data(), lineBytes, lines);
		for (const SimdLevel level : test::availableSimdLevels()) {
			const test::SimdLevelScope scope(level);
			std::vector<uint8_t> fast(greyBytes + 1, 0xAB);
			EXPECT_EQ(ColourLinesToGrey(colour.data(), fast.data(), lineBytes, lines), lines);
			EXPECT_EQ(fast, plain) << lineBytes << " level " << int(level);
		}
	}
}

TEST(GreyLinesToLineArt, DarkPixelsBelow128AreOneBitsFirstPixelHighest)
{
	const uint8_t grey[16] = { 127, 128, 0, 255, 200, 100, 128, 127,
				   255, 255, 255, 255, 255, 255, 255, 0 };
	uint8_t out[2] = { 0xFF, 0xFF };
	GreyLinesToLineArt(grey, out, 2, 16, 1);
	EXPECT_EQ(out[0], 0xA5); /* 1010 0101 */
	EXPECT_EQ(out[1], 0x01);
}

TEST(GreyLinesToLineArt, ClearsTheLineAndNeverReadsPastTheSource)
{
	/* Two lines of 10 grey bytes into lines of 2 bytes (16 pixels): pixels 10
	 * to 15 have no source and stay 0 bits. */
	std::vector<uint8_t> grey(20, 0);
	std::vector<uint8_t> out(4, 0xFF);
	GreyLinesToLineArt(grey.data(), out.data(), 2, 10, 2);
	EXPECT_EQ(out, (std::vector<uint8_t>{ 0xFF, 0xC0, 0xFF, 0xC0 }));
}

TEST(GreyLinesToLineArt, MatchesTheReference)
{
	for (uint32_t pixels : { 1u, 7u, 8u, 9u, 63u, 64u, 2550u, 5100u }) {
		for (uint32_t outBytes : { pixels / 8, pixels / 8 + 1 }) {
			const uint32_t lines = 3;
			const auto grey = randomBytes(size_t(pixels) * lines, pixels);
			std::vector<uint8_t> fast(size_t(outBytes) * lines, 0x5A), plain(fast);
			GreyLinesToLineArt(grey.data(), fast.data(), outBytes, pixels, lines);
			oracle::GreyLinesToLineArt(grey.data(), plain.data(), outBytes, pixels, lines);
			EXPECT_EQ(fast, plain) << pixels << " " << outBytes;
		}
	}
}

TEST(GreyLinesToHalftone, PatternOneThresholdsAndRowsRepeatEveryEightLines)
{
	/* Pixel 0 of line 0 has threshold 127: grey 126 is a 1 bit, 127 a 0 bit. */
	std::vector<uint8_t> grey(8 * 10, 255);
	grey[0] = 126;
	grey[8] = 127;	   /* line 1, threshold 103: 0 bit */
	grey[8 * 8] = 126; /* line 8 uses row 0 again: 1 bit */
	grey[8 * 9] = 102; /* line 9, row 1, threshold 103: 1 bit */
	grey[3] = 146;	   /* threshold 147: 1 bit */
	std::vector<uint8_t> out(10, 0xFF);
	GreyLinesToHalftone(grey.data(), out.data(), 1, 8, 10, 1);
	EXPECT_EQ(out[0], 0x90);
	EXPECT_EQ(out[1], 0x00);
	EXPECT_EQ(out[8], 0x80);
	EXPECT_EQ(out[9], 0x80);
}

TEST(GreyLinesToHalftone, PatternOutsideOneToSixUsesPatternOne)
{
	const auto grey = randomBytes(64 * 16, 7);
	std::vector<uint8_t> first(8 * 16);
	GreyLinesToHalftone(grey.data(), first.data(), 8, 64, 16, 1);
	for (int32_t pattern : { 0, 7, -1, 1000, INT32_MIN, INT32_MAX }) {
		std::vector<uint8_t> out(8 * 16, 0xCC);
		GreyLinesToHalftone(grey.data(), out.data(), 8, 64, 16, pattern);
		EXPECT_EQ(out, first) << pattern;
	}
	std::vector<uint8_t> sixth(8 * 16);
	GreyLinesToHalftone(grey.data(), sixth.data(), 8, 64, 16, 6);
	EXPECT_NE(sixth, first);
}

TEST(GreyLinesToHalftone, PixelsBeyondTheOutputLineAreNotWritten)
{
	/* 10 pixels into lines of 1 byte: pixels 8 and 9 have no place. */
	std::vector<uint8_t> grey(10 * 2, 0);
	std::vector<uint8_t> out(3, 0x11);
	GreyLinesToHalftone(grey.data(), out.data(), 1, 10, 2, 2);
	EXPECT_EQ(out, (std::vector<uint8_t>{ 0xFF, 0xFF, 0x11 }));
}

TEST(GreyLinesToHalftone, MatchesTheReferenceForEveryPattern)
{
	for (int32_t pattern = 0; pattern <= 7; ++pattern) {
		for (uint32_t pixels : { 1u, 8u, 13u, 2550u }) {
			for (uint32_t outBytes : { pixels / 8, pixels / 8 + 2 }) {
				const uint32_t lines = 19;
				const auto grey = randomBytes(size_t(pixels) * lines, pixels + pattern);
				std::vector<uint8_t> fast(size_t(outBytes) * lines, 0x5A), plain(fast);
				GreyLinesToHalftone(grey.data(), fast.data(), outBytes, pixels, lines, pattern);
				oracle::GreyLinesToHalftone(grey.data(), plain.data(), outBytes, pixels, lines,
							    pattern);
				EXPECT_EQ(fast, plain) << pattern << " " << pixels << " " << outBytes;
			}
		}
	}
}

} // namespace
