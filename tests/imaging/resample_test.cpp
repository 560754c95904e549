// SPDX-License-Identifier: MIT
// The resampler: line counts, interpolation, box averaging, carry and life cycle.

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "image_helpers.h"
#include "imaging/resample.h"
#include "oracle/oracle.h"

using namespace torvane::imaging;
using torvane::imaging::test::AllocatorProbe;
using torvane::imaging::test::availableSimdLevels;
using torvane::imaging::test::randomBytes;
using torvane::imaging::test::SimdLevelScope;

namespace {

using ResampleFunction = uint32_t (*)(const uint8_t *, uint32_t, int32_t, uint8_t *, uint32_t,
				      double, double, uint16_t);

constexpr uint8_t kUntouched = 0xA5;

struct Geometry {
	uint32_t sourcePixels;
	uint32_t destPixels;
	double xFactor;
	double yFactor;
	uint16_t bitsPerPixel;

	size_t pixelBytes() const { return bitsPerPixel >= 8 ? bitsPerPixel / 8 : 1; }
	size_t lineBytes() const { return sourcePixels * pixelBytes(); }
	size_t outLineBytes() const { return destPixels * pixelBytes(); }

	std::string describe() const
	{
		std::ostringstream text;
		text << sourcePixels << "->" << destPixels << " px, x " << xFactor << ", y " << yFactor
		     << ", " << bitsPerPixel << " bits";
		return text.str();
	}
};

// The geometry of the read pipeline: one factor for both directions.
Geometry scaled(uint32_t sourcePixels, double factor, uint16_t bitsPerPixel)
{
	const auto dest = uint32_t(std::max(1.0, std::trunc(sourcePixels * factor)));
	return { sourcePixels, dest, factor, factor, bitsPerPixel };
}

struct Scan {
	std::vector<uint8_t> bytes;
	std::vector<uint32_t> lines;

	uint32_t totalLines() const
	{
		uint32_t total = 0;
		for (uint32_t l : lines)
			total += l;
		return total;
	}
};

// Resamples an image chunk by chunk, each chunk in a buffer of exactly its
// size and each destination checked for bytes written past the result, then
// releases the resampler.
Scan resampleScan(ResampleFunction resample, const std::vector<uint8_t> &image, const Geometry &g,
		  const std::vector<int32_t> &chunks)
{
	static const uint8_t empty = 0;
	Scan scan;
	size_t line = 0;
	for (int32_t lines : chunks) {
		const std::vector<uint8_t> chunk(image.begin() + line * g.lineBytes(),
						 image.begin() + (line + lines) * g.lineBytes());
		const size_t room = size_t(std::floor(lines * g.yFactor)) + 2;
		std::vector<uint8_t> out(room * g.outLineBytes(), kUntouched);
		const uint32_t result = resample(chunk.empty() ? &empty : chunk.data(), g.sourcePixels,
						 lines, out.data(), g.destPixels, g.xFactor, g.yFactor,
						 g.bitsPerPixel);
		EXPECT_LE(result, room);
		const size_t written = std::min<size_t>(result, room) * g.outLineBytes();
		EXPECT_TRUE(std::all_of(out.begin() + written, out.end(),
					[](uint8_t b) { return b == kUntouched; }))
			<< "wrote past its " << result << " lines";
		scan.bytes.insert(scan.bytes.end(), out.begin(), out.begin() + written);
		scan.lines.push_back(result);
		line += lines;
	}
	EXPECT_EQ(resample(nullptr, 0, 0, nullptr, 0, 0, 0, 0), 0u);
	return scan;
}

// Random chunk sizes adding up to `lines`, none above `largest`.
std::vector<int32_t> randomChunks(int32_t lines, int32_t largest, std::mt19937 &generator)
{
	std::vector<int32_t> chunks;
	while (lines > 0) {
		const int32_t size = std::min<int32_t>(lines, 1 + int32_t(generator() % largest));
		chunks.push_back(size);
		lines -= size;
	}
	return chunks;
}

void expectSameAsReference(const std::vector<uint8_t> &image, const Geometry &g,
			   const std::vector<int32_t> &chunks)
{
	const Scan fast = resampleScan(ResampleLines, image, g, chunks);
	const Scan plain = resampleScan(oracle::ResampleLines, image, g, chunks);
	EXPECT_EQ(fast.lines, plain.lines) << g.describe();
	EXPECT_TRUE(fast.bytes == plain.bytes) << g.describe();
}

class ResampleTest : public ::testing::Test
{
protected:
	void SetUp() override
	{
		ResampleLines(nullptr, 0, 0, nullptr, 0, 0, 0, 0);
		oracle::ResampleLines(nullptr, 0, 0, nullptr, 0, 0, 0, 0);
	}
};

TEST_F(ResampleTest, FirstCallOfAScanTrailsByTruncYFactor)
{
	const auto image = randomBytes(4 * 20, 1);
	for (ResampleFunction resample : { ResampleLines, oracle::ResampleLines }) {
		const Scan doubled = resampleScan(resample, image, { 4, 8, 2.0, 2.0, 8 }, { 10, 10 });
		EXPECT_EQ(doubled.lines, (std::vector<uint32_t>{ 18, 20 }));
		const Scan same = resampleScan(resample, image, { 4, 4, 1.0, 1.0, 8 }, { 10, 7, 3 });
		EXPECT_EQ(same.lines, (std::vector<uint32_t>{ 9, 7, 3 }));
		const Scan triple = resampleScan(resample, image, { 4, 10, 2.5, 2.5, 8 }, { 1, 9, 10 });
		EXPECT_EQ(triple.lines, (std::vector<uint32_t>{ 0, 23, 25 }));
		const Scan reduced = resampleScan(resample, image, { 4, 2, 0.5, 0.5, 8 }, { 3, 3, 14 });
		EXPECT_EQ(reduced.lines, (std::vector<uint32_t>{ 1, 2, 7 }));
	}
}

TEST_F(ResampleTest, BilinearKnownValues)
{
	/* Two pixels per line, doubled: output pixel j samples j / 2, and the last
	 * one, past the last source pixel, takes that pixel. */
	const std::vector<uint8_t> image{ 0, 100, 100, 200, 200, 0 };
	const Geometry g{ 2, 4, 2.0, 2.0, 8 };
	for (ResampleFunction resample : { ResampleLines, oracle::ResampleLines }) {
		const Scan scan = resampleScan(resample, image, g, { 2, 1 });
		EXPECT_EQ(scan.lines, (std::vector<uint32_t>{ 2, 2 }));
		EXPECT_EQ(scan.bytes, (std::vector<uint8_t>{ 0, 50, 100, 100,	 /* line 0 */
							     50, 100, 150, 150,	 /* line 0.5 */
							     100, 150, 200, 200, /* line 1 */
							     150, 125, 100, 100 }) /* line 1.5 */);
	}
}

TEST_F(ResampleTest, BilinearTruncatesWithoutRounding)
{
	/* A third of the way from 5 to 245 is 85, but in doubles the sum falls
	 * just short (84.99999999999999) and truncates to 84; two thirds to 164. */
	const std::vector<uint8_t> image{ 5, 245, 5, 245 };
	const Geometry g{ 2, 6, 3.0, 1.0, 8 };
	for (ResampleFunction resample : { ResampleLines, oracle::ResampleLines }) {
		const Scan scan = resampleScan(resample, image, g, { 1, 1 });
		EXPECT_EQ(scan.lines, (std::vector<uint32_t>{ 0, 1 }));
		EXPECT_EQ(scan.bytes, (std::vector<uint8_t>{ 5, 84, 164, 245, 245, 245 }));
	}
}

TEST_F(ResampleTest, BoxAveragingOnlyFor24BitsBelowHalfBothWays)
{
	/* Columns alternate black and white: boxes average them to grey, while
	 * interpolation at an even step samples black columns only. */
	const uint32_t pixels = 64;
	const int32_t lines = 32;
	auto stripes = [&](size_t pixelBytes) {
		std::vector<uint8_t> image;
		for (int32_t i = 0; i < lines; ++i)
			for (uint32_t x = 0; x < pixels; ++x)
				image.insert(image.end(), pixelBytes, uint8_t(x % 2 ? 255 : 0));
		return image;
	};
	const auto colour = stripes(3);
	const auto grey = stripes(1);
	auto isGrey = [](const std::vector<uint8_t> &bytes) {
		return !bytes.empty() && std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) {
			return b >= 120 && b <= 135;
		});
	};
	auto isBlack = [](const std::vector<uint8_t> &bytes) {
		return !bytes.empty() &&
		       std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
	};
	EXPECT_TRUE(isGrey(resampleScan(ResampleLines, colour, { 64, 16, 0.25, 0.25, 24 }, { 32 }).bytes));
	EXPECT_TRUE(isBlack(resampleScan(ResampleLines, grey, { 64, 16, 0.25, 0.25, 8 }, { 32 }).bytes));
	EXPECT_TRUE(isBlack(resampleScan(ResampleLines, colour, { 64, 32, 0.5, 0.5, 24 }, { 32 }).bytes));
	EXPECT_TRUE(isBlack(resampleScan(ResampleLines, colour, { 64, 16, 0.25, 0.5, 24 }, { 32 }).bytes));
	const Scan larger = resampleScan(ResampleLines, colour, { 64, 38, 0.6, 0.6, 24 }, { 32 });
	EXPECT_FALSE(isGrey(larger.bytes));
	EXPECT_EQ(larger.bytes[0], 0);
}

TEST_F(ResampleTest, BoxAveragingOfUniformAreasKeepsTheirValue)
{
	/* Interior boxes get the full weight t x 1000 x u: a uniform 200 stays 200
	 * or falls by the truncations of the split pixels only. */
	const std::vector<uint8_t> image(300 * 3 * 48, 200);
	const Scan scan = resampleScan(ResampleLines, image, scaled(300, 100.0 / 300, 24), { 48 });
	ASSERT_EQ(scan.lines, (std::vector<uint32_t>{ 16 }));
	EXPECT_TRUE(std::all_of(scan.bytes.begin(), scan.bytes.end(),
				[](uint8_t b) { return b == 199 || b == 200; }));
	EXPECT_EQ(std::count(scan.bytes.begin(), scan.bytes.end(), 200) > 0, true);
}

TEST_F(ResampleTest, LifeCycle)
{
	AllocatorProbe probe;
	/* A release in the Absent state makes a 6-byte block and frees it. */
	EXPECT_EQ(ResampleLines(nullptr, 0, 0, nullptr, 0, 0, 0, 0), 0u);
	EXPECT_EQ(resampleState().handle, -1);
	EXPECT_EQ(ResampleLines(nullptr, 0, 0, nullptr, 0, 0, 0, 0), 0u);
	EXPECT_EQ(resampleState().handle, -1);
	EXPECT_EQ(probe.sizes, (std::vector<size_t>{ 6, 6 }));

	/* The first call sizes the carry for whole source lines in 5 MiB, plus 6. */
	const auto image = randomBytes(2550 * 3 * 48, 3);
	std::vector<uint8_t> out(2550 * 3 * 48);
	EXPECT_EQ(ResampleLines(image.data(), 2550, 48, out.data(), 1700, 200.0 / 300, 200.0 / 300, 24),
		  32u);
	const ResampleState first = resampleState();
	EXPECT_EQ(first.carryBytes, 5242880u / 7650 * 7650 + 6);
	EXPECT_EQ(probe.sizes[2], 5242880u / 7650 * 7650 + 6);
	EXPECT_NE(first.handle, 0);
	EXPECT_NE(first.handle, -1);
	EXPECT_EQ(first.linesTaken, 48u);
	EXPECT_EQ(first.linesMade, 32u);
	EXPECT_EQ(first.carriedLines, 0u);

	EXPECT_EQ(ResampleLines(image.data(), 2550, 47, out.data(), 1700, 200.0 / 300, 200.0 / 300, 24),
		  31u);
	EXPECT_EQ(resampleState().linesTaken, 95u);
	EXPECT_EQ(resampleState().linesMade, 63u);
	EXPECT_EQ(resampleState().carriedLines, 1u);
	EXPECT_EQ(resampleState().carryBytes, first.carryBytes);
	EXPECT_EQ(resampleState().handle, first.handle);

	/* A release keeps the counters; the next scan's first call zeroes them. */
	EXPECT_EQ(ResampleLines(nullptr, 0, 0, nullptr, 0, 0, 0, 0), 0u);
	EXPECT_EQ(resampleState().handle, -1);
	EXPECT_EQ(resampleState().carryBytes, 0u);
	EXPECT_EQ(resampleState().linesTaken, 95u);
	EXPECT_EQ(resampleState().linesMade, 63u);
	EXPECT_EQ(ResampleLines(nullptr, 0, 0, nullptr, 0, 0, 0, 0), 0u);
	EXPECT_EQ(resampleState().linesTaken, 0u);
	EXPECT_EQ(ResampleLines(image.data(), 2550, 48, out.data(), 1275, 0.5, 0.5, 8), 24u);
	EXPECT_EQ(resampleState().carryBytes, 5242880u / 2550 * 2550 + 6);
}

TEST_F(ResampleTest, FailedCarryAllocationWritesNothing)
{
	const auto image = randomBytes(100 * 10, 4);
	std::vector<uint8_t> out(200 * 30, kUntouched);
	{
		AllocatorProbe probe(0);
		EXPECT_EQ(ResampleLines(image.data(), 100, 10, out.data(), 200, 2.0, 2.0, 8), 0u);
		EXPECT_EQ(resampleState().handle, 0);
		EXPECT_EQ(resampleState().linesTaken, 0u);
		EXPECT_EQ(resampleState().linesMade, 0u);
		EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == kUntouched; }));
	}
	/* The next call tries again. */
	EXPECT_EQ(ResampleLines(image.data(), 100, 10, out.data(), 200, 2.0, 2.0, 8), 18u);
}

TEST_F(ResampleTest, FailedWorkAllocationWritesNothingAndKeepsTheCounters)
{
	struct Case {
		Geometry g;
		const char *what;
	};
	const Case cases[] = { { { 100, 200, 2.0, 2.0, 8 }, "column plan" },
			       { { 100, 25, 0.25, 0.25, 24 }, "box rows" } };
	for (const auto &c : cases) {
		ResampleLines(nullptr, 0, 0, nullptr, 0, 0, 0, 0);
		const auto image = randomBytes(c.g.lineBytes() * 16, 5);
		std::vector<uint8_t> out(c.g.outLineBytes() * 40, kUntouched);
		AllocatorProbe probe(1); /* the carry block, then no more */
		EXPECT_EQ(ResampleLines(image.data(), c.g.sourcePixels, 16, out.data(), c.g.destPixels,
					c.g.xFactor, c.g.yFactor, c.g.bitsPerPixel),
			  0u)
			<< c.what;
		EXPECT_EQ(probe.sizes.size(), 2u) << c.what;
		EXPECT_EQ(resampleState().linesTaken, 0u) << c.what;
		EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == kUntouched; }))
			<< c.what;
		probe.failAfter = -1;
		EXPECT_GT(ResampleLines(image.data(), c.g.sourcePixels, 16, out.data(), c.g.destPixels,
					c.g.xFactor, c.g.yFactor, c.g.bitsPerPixel),
			  0u)
			<< c.what;
	}
}

TEST_F(ResampleTest, ArgumentsThatDescribeNoChunkAreRefused)
{
	const auto image = randomBytes(40 * 10, 6);
	std::vector<uint8_t> out(80 * 30, kUntouched);
	const double nan = std::numeric_limits<double>::quiet_NaN();
	const double inf = std::numeric_limits<double>::infinity();
	struct Case {
		uint32_t sourcePixels;
		int32_t lines;
		uint8_t *destination;
		double xFactor;
		double yFactor;
		uint16_t bits;
	};
	const Case cases[] = { { 0, 10, out.data(), 2, 2, 8 }, { 40, -1, out.data(), 2, 2, 8 }, { 40, 10, out.data(), 2, 2, 72 }, { 40, 10, out.data(), 0, 2, 8 }, { 40, 10, out.data(), 2, -2, 8 }, { 40, 10, out.data(), nan, 2, 8 }, { 40, 10, out.data(), 2, inf, 8 }, { 40, 10, nullptr, 2, 2, 8 } };
	ASSERT_EQ(ResampleLines(image.data(), 40, 2, out.data(), 80, 2, 2, 8), 2u);
	std::fill(out.begin(), out.end(), kUntouched);
	for (const auto &c : cases) {
		EXPECT_EQ(ResampleLines(image.data(), c.sourcePixels, c.lines, c.destination, 80,
					c.xFactor, c.yFactor, c.bits),
			  0u);
		EXPECT_EQ(resampleState().linesTaken, 2u);
		EXPECT_EQ(resampleState().linesMade, 2u);
	}
	EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == kUntouched; }));
}

TEST_F(ResampleTest, DegenerateDivisionsDoNotTrap)
{
	const auto image = randomBytes(3 * 64 * 8, 8);
	/* No output pixels: the lines are empty, but counted. */
	std::vector<uint8_t> out(16, kUntouched);
	EXPECT_EQ(ResampleLines(image.data(), 64, 8, out.data(), 0, 0.25, 0.25, 24), 2u);
	EXPECT_EQ(ResampleLines(image.data(), 64, 8, out.data(), 0, 0.75, 0.75, 24), 6u);
	EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == kUntouched; }));
	ResampleLines(nullptr, 0, 0, nullptr, 0, 0, 0, 0);

	/* No output line (result 0), a first call of no lines, and a box whose
	 * weight t x 1000 x u truncates to 0 (one source pixel across 5000). */
	expectSameAsReference(image, { 64, 16, 0.25, 0.25, 24 }, { 1, 0, 2, 1, 4 });
	expectSameAsReference(image, { 64, 128, 4.0, 4.0, 24 }, { 0, 1, 3 });
	expectSameAsReference(image, { 1, 5000, 0.3, 0.3, 24 }, { 4, 4 });
	expectSameAsReference(image, { 64, 400, 0.4, 0.3, 24 }, { 8 });
}

TEST_F(ResampleTest, ChunkingDoesNotChangeTheInterpolatedImage)
{
	/* The carry makes chunk boundaries invisible: any split gives the bytes of
	 * one call over the whole image. Tiny chunks at 0.3 produce calls without
	 * output lines while lines are carried. */
	std::mt19937 generator(99);
	const auto image = randomBytes(3 * 50 * 120, 10);
	for (double factor : { 0.3, 0.17, 0.5, 0.61, 0.999, 1.0, 1.5, 2.0, 3.7, 4.0 }) {
		for (uint16_t bits : { 8, 24 }) {
			if (bits == 24 && factor < 0.5)
				continue; /* box averaging works chunk by chunk */
			const Geometry g = scaled(50, factor, bits);
			const int32_t lines = factor > 2 ? 30 : 120;
			const Scan whole = resampleScan(ResampleLines, image, g, { lines });
			for (int32_t largest : { 1, 2, 5, 13 }) {
				const Scan split = resampleScan(ResampleLines, image, g,
								randomChunks(lines, largest, generator));
				EXPECT_EQ(split.totalLines(), whole.totalLines()) << g.describe();
				EXPECT_TRUE(split.bytes == whole.bytes) << g.describe() << " " << largest;
			}
		}
	}
}

TEST_F(ResampleTest, ReductionsFrom300DpiMatchReference)
{
	std::mt19937 generator(300);
	const uint16_t bitCycle[] = { 8, 24, 48, 16 };
	const uint32_t widthCycle[] = { 1, 2, 7, 64, 301, 900 };
	for (int dpi = 50; dpi < 300; ++dpi) {
		const double factor = dpi / 300.0;
		const uint16_t bits = bitCycle[dpi % 4];
		const uint32_t width = widthCycle[dpi % 6];
		const Geometry g = scaled(width, factor, bits);
		const int32_t lines = 60;
		const auto image = randomBytes(g.lineBytes() * lines, generator());
		expectSameAsReference(image, g, randomChunks(lines, 16, generator));
	}
}

TEST_F(ResampleTest, PipelineReductionsMatchReference)
{
	std::mt19937 generator(48);
	for (int dpi : { 200, 150, 100, 75, 50 }) {
		for (uint16_t bits : { 24, 8 }) {
			const Geometry g = scaled(2550, dpi / 300.0, bits);
			const auto image = randomBytes(g.lineBytes() * 96, generator());
			expectSameAsReference(image, g, { 48, 48 });
		}
	}
}

// Box averaging at every instruction set level: boxes of whole pixels and
// of fractions, narrow lines and the page widths, chunks of every size.
TEST_F(ResampleTest, BoxAveragingMatchesReferenceAtEveryLevel)
{
	std::mt19937 generator(75);
	struct Case {
		uint32_t width;
		uint32_t destPixels;
		double factor;
	};
	const Case cases[] = { { 2550, 850, 1.0 / 3 }, { 2550, 637, 0.25 }, { 2480, 620, 0.25 }, { 2480, 826, 1.0 / 3 }, { 1, 1, 0.3 }, { 2, 1, 0.49 }, { 7, 2, 0.3 }, { 64, 11, 0.17 }, { 301, 100, 0.333 } };
	for (const Case &c : cases) {
		const Geometry g{ c.width, c.destPixels, c.factor, c.factor, 24 };
		const int32_t lines = 96;
		const auto image = randomBytes(g.lineBytes() * lines, generator());
		const std::vector<int32_t> chunks = randomChunks(lines, 48, generator);
		const Scan plain = resampleScan(oracle::ResampleLines, image, g, chunks);
		for (const SimdLevel level : availableSimdLevels()) {
			const SimdLevelScope scope(level);
			const Scan fast = resampleScan(ResampleLines, image, g, chunks);
			EXPECT_EQ(fast.lines, plain.lines) << g.describe() << " level " << int(level);
			EXPECT_TRUE(fast.bytes == plain.bytes) << g.describe() << " level " << int(level);
		}
	}
}

// Boxes of whole pixels and whole lines have a path of their own: every
// width t and height u it takes, output widths around the vector sizes, a
// few extra pixels and lines past the last whole box, chunks of 1 to 7
// output rows (and uneven chunks, which take the general path, between them).
TEST_F(ResampleTest, WholeBoxesMatchReferenceAtEveryLevel)
{
	std::mt19937 generator(25);
	for (uint32_t t : { 2u, 3u, 4u, 5u, 6u, 8u, 9u }) {
		for (uint32_t u : { 3u, 4u, 7u, 8u }) {
			if (t * u > 127)
				continue;
			for (uint32_t dest : { 1u, 7u, 15u, 16u, 17u, 31u, 33u, 64u, 65u, 850u }) {
				/* A factor below 0.5 chooses box averaging; t comes from the widths. */
				const Geometry g{ t * dest + (dest % 3), dest, std::min(1.0 / t, 0.45), 1.0 / u, 24 };
				std::vector<int32_t> chunks;
				for (int32_t line = 0; line < 48;) {
					const int32_t rows = int32_t(generator() % 7) + 1;
					const int32_t lines = generator() % 5 == 0 ? rows * int32_t(u) + 1 : rows * int32_t(u);
					chunks.push_back(lines);
					line += lines;
				}
				const int32_t total = std::accumulate(chunks.begin(), chunks.end(), 0);
				const auto image = randomBytes(g.lineBytes() * size_t(total), generator());
				const Scan plain = resampleScan(oracle::ResampleLines, image, g, chunks);
				for (const SimdLevel level : availableSimdLevels()) {
					const SimdLevelScope scope(level);
					const Scan fast = resampleScan(ResampleLines, image, g, chunks);
					ASSERT_EQ(fast.lines, plain.lines) << g.describe() << " level " << int(level);
					ASSERT_TRUE(fast.bytes == plain.bytes) << g.describe() << " level " << int(level);
				}
			}
		}
	}
}

TEST_F(ResampleTest, EnlargementsMatchReference)
{
	std::mt19937 generator(600);
	struct Case {
		double factor;
		uint32_t width;
	};
	/* 1200 and 2400 dpi from 600, and factors whose fractions need the
	 * double form (1.5, 4 / 3, 32) or just fit the integer one (16). */
	const Case cases[] = { { 2.0, 5100 }, { 2.0, 33 }, { 4.0, 17 }, { 4.0, 1275 }, { 1.5, 40 }, { 4.0 / 3, 41 }, { 3.0, 9 }, { 8.0, 5 }, { 16.0, 3 }, { 32.0, 2 }, { 1.01, 70 }, { 299.0 / 300 * 2, 20 } };
	for (const auto &c : cases) {
		for (uint16_t bits : { 8, 16, 24, 48 }) {
			if (c.width > 1000 && bits != 24)
				continue;
			const Geometry g = scaled(c.width, c.factor, bits);
			const int32_t lines = c.width > 1000 ? 8 : 12;
			const auto image = randomBytes(g.lineBytes() * lines, generator());
			expectSameAsReference(image, g, randomChunks(lines, 4, generator));
		}
	}
	/* Width and height by different factors: fx in eighths, fy in thirds. */
	const auto image = randomBytes(24 * 3 * 12, 12);
	expectSameAsReference(image, { 24, 192, 8.0, 1.5, 24 }, { 3, 4, 5 });
	expectSameAsReference(image, { 24, 36, 1.5, 8.0, 24 }, { 3, 4, 5 });
}

TEST_F(ResampleTest, ExtremeReductionsMatchReference)
{
	/* 1 and 2 dpi from 300: a box holds 300 x 300 pixels and its sums pass
	 * 2^31; interpolation carries up to 300 lines between output lines. */
	std::mt19937 generator(1);
	for (double factor : { 1.0 / 300, 2.0 / 300 }) {
		const auto colour = randomBytes(600 * 3 * 660, generator());
		expectSameAsReference(colour, scaled(600, factor, 24), { 330, 330 });
		const auto grey = randomBytes(600 * 660, generator());
		expectSameAsReference(grey, scaled(600, factor, 8), randomChunks(660, 48, generator));
	}
	const std::vector<uint8_t> white(600 * 3 * 600, 255);
	const Scan box = resampleScan(ResampleLines, white, scaled(600, 1.0 / 300, 24), { 600 });
	EXPECT_EQ(box.lines, (std::vector<uint32_t>{ 2 }));
}

TEST_F(ResampleTest, CarryLargerThanItsBlockStaysWithinIt)
{
	/* 48-bit lines of 32768 pixels: the block holds 26 lines, while a factor
	 * of 1 / 40 would carry up to 40. The lines kept are the ones the next
	 * output line reads, so the bytes still match one call over everything. */
	const Geometry g = scaled(32768, 1.0 / 40, 48);
	ASSERT_EQ(5242880 / g.lineBytes(), 26u);
	const auto image = randomBytes(g.lineBytes() * 100, 40);
	const Scan whole = resampleScan(ResampleLines, image, g, { 100 });
	const Scan split = resampleScan(ResampleLines, image, g, { 4, 4, 4, 20, 4, 4, 4, 4, 4, 4, 44 });
	EXPECT_EQ(whole.totalLines(), 2u);
	EXPECT_EQ(split.lines, (std::vector<uint32_t>{ 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1 }));
	EXPECT_TRUE(split.bytes == whole.bytes);
	const Scan plain = resampleScan(oracle::ResampleLines, image, g, { 4, 4, 4, 20, 4, 4, 4, 4, 4, 4, 44 });
	EXPECT_TRUE(split.bytes == plain.bytes);
}

} // namespace
