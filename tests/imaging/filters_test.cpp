// SPDX-License-Identifier: MIT
// The four neighbourhood filters: their rules, carried lines and life cycle.

#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "image_helpers.h"
#include "imaging/filters.h"
#include "imaging/work_memory.h"
#include "oracle/oracle.h"

using namespace torvane::imaging;
using torvane::imaging::test::AllocatorProbe;
using torvane::imaging::test::availableSimdLevels;
using torvane::imaging::test::mixedColourPixels;
using torvane::imaging::test::randomBytes;
using torvane::imaging::test::SimdLevelScope;

namespace {

using FilterFunction = uint16_t (*)(uint8_t *, uint16_t, uint16_t, uint8_t, const int8_t *, int16_t);

// The kernels the read pipeline passes, in the order it calls the filters.
const int8_t kBlendKernel[9] = { 1, 1, 1, 1, 1, 1, 1, 1, 1 };
const int8_t kNeutraliseKernel[9] = { 1, 1, 1, 1, 16, 1, 1, 1, 1 };
const int8_t kSharpenKernel[9] = { 0, -1, 0, 0, 7, 0, 0, -1, 0 };
const int8_t kAdjustKernel[9] = { 0, 0, 0, 0, 1, 0, 0, 0, 0 };

struct FilterCase {
	const char *name;
	Filter id;
	FilterFunction fast;
	FilterFunction plain;
	const int8_t *kernel;
};

const FilterCase kFilters[] = {
	{ "BlendChannelLines", Filter::BlendChannelLines, BlendChannelLines,
	  oracle::BlendChannelLines, kBlendKernel },
	{ "NeutraliseGreyPixels", Filter::NeutraliseGreyPixels, NeutraliseGreyPixels,
	  oracle::NeutraliseGreyPixels, kNeutraliseKernel },
	{ "SharpenGreyPixels", Filter::SharpenGreyPixels, SharpenGreyPixels,
	  oracle::SharpenGreyPixels, kSharpenKernel },
	{ "AdjustReddishPixels", Filter::AdjustReddishPixels, AdjustReddishPixels,
	  oracle::AdjustReddishPixels, kAdjustKernel },
};

void releaseAll()
{
	for (const auto &f : kFilters) {
		f.fast(nullptr, 0, 0, 0, nullptr, 0);
		f.plain(nullptr, 0, 0, 0, nullptr, 0);
	}
}

// Runs an image through one filter in chunks of the given line counts, each
// chunk in a buffer of its own, and returns what the filter wrote back.
std::vector<uint8_t> filterInChunks(FilterFunction filter, const std::vector<uint8_t> &image,
				    uint16_t pixels, uint8_t bitsPerPixel,
				    const std::vector<uint16_t> &chunks, const int8_t *kernel)
{
	const size_t lineBytes = size_t(pixels) * bitsPerPixel / 8;
	std::vector<uint8_t> out;
	size_t line = 0;
	for (uint16_t lines : chunks) {
		std::vector<uint8_t> chunk(image.begin() + line * lineBytes,
					   image.begin() + (line + lines) * lineBytes);
		EXPECT_EQ(filter(chunk.data(), pixels, lines, bitsPerPixel, kernel, 3), lines);
		out.insert(out.end(), chunk.begin(), chunk.end());
		line += lines;
	}
	filter(nullptr, 0, 0, 0, nullptr, 0);
	return out;
}

// A chunk of identical lines, each made of the given pixels.
std::vector<uint8_t> linesOf(const std::vector<uint8_t> &pixels, size_t lines)
{
	std::vector<uint8_t> image;
	for (size_t i = 0; i < lines; ++i)
		image.insert(image.end(), pixels.begin(), pixels.end());
	return image;
}

class FilterTest : public ::testing::Test
{
protected:
	void SetUp() override { releaseAll(); }
	void TearDown() override { releaseAll(); }
};

TEST_F(FilterTest, EachCallReturnsItsLinesOneLineLate)
{
	/* Chunk by chunk or all at once, the bytes are the same: line 0 of each
	 * call is the filtered last line of the chunk before. */
	const uint16_t pixels = 37;
	const auto image = mixedColourPixels(size_t(pixels) * 30, 11);
	for (const auto &f : kFilters) {
		const auto whole = filterInChunks(f.fast, image, pixels, 24, { 30 }, f.kernel);
		const auto chunked = filterInChunks(f.fast, image, pixels, 24, { 7, 1, 12, 10 }, f.kernel);
		EXPECT_EQ(whole, chunked) << f.name;
		EXPECT_NE(whole, image) << f.name;
	}
}

TEST_F(FilterTest, FirstLineOfAScan)
{
	const uint16_t pixels = 50;
	const auto image = mixedColourPixels(size_t(pixels) * 4, 3);
	const size_t lineBytes = size_t(pixels) * 3;
	const std::vector<uint8_t> zeros(lineBytes, 0);
	for (const auto &f : kFilters) {
		const auto out = filterInChunks(f.fast, image, pixels, 24, { 4 }, f.kernel);
		const std::vector<uint8_t> first(out.begin(), out.begin() + lineBytes);
		if (f.id == Filter::BlendChannelLines) {
			EXPECT_TRUE(std::equal(first.begin(), first.end(), image.begin())) << f.name;
		} else {
			EXPECT_EQ(first, zeros) << f.name;
		}
	}
}

TEST_F(FilterTest, UniformGreyPassesUnchangedAwayFromTheFirstTwoLines)
{
	const uint16_t pixels = 20;
	for (unsigned v : { 0u, 1u, 17u, 110u, 111u, 128u, 200u, 254u, 255u }) {
		const std::vector<uint8_t> image(size_t(pixels) * 3 * 12, uint8_t(v));
		std::vector<uint8_t> chain = image;
		for (const auto &f : kFilters) {
			const auto out = filterInChunks(f.fast, image, pixels, 24, { 5, 7 }, f.kernel);
			EXPECT_TRUE(std::all_of(out.begin() + 2 * pixels * 3, out.end(),
						[v](uint8_t b) { return b == v; }))
				<< f.name << " " << v;
			chain = filterInChunks(f.fast, chain, pixels, 24, { 5, 7 }, f.kernel);
		}
		/* Each filter delays by one line and spoils the lines next to its
		 * scan's edge: from line 7 on the chain is clear of both. */
		EXPECT_TRUE(std::all_of(chain.begin() + 7 * pixels * 3, chain.end(),
					[v](uint8_t b) { return b == v; }))
			<< v;
	}
}

TEST_F(FilterTest, BlendWeighsEachChannelOverTheLinesAround)
{
	/* Lines above, centre, below as three chunks of one line each: the third
	 * call's line 0 is the centre line filtered. */
	const std::vector<uint8_t> above{ 8, 8, 8 }, centre{ 16, 16, 16 }, below{ 80, 80, 80 };
	std::vector<uint8_t> out;
	for (auto line : { above, centre, below }) {
		EXPECT_EQ(BlendChannelLines(line.data(), 1, 1, 24, kBlendKernel, 3), 1);
		out = line;
	}
	EXPECT_EQ(out[0], (8 + 96 + 80) >> 3);
	EXPECT_EQ(out[1], ((8 + 16) * 4) >> 3);
	EXPECT_EQ(out[2], (48 + 40) >> 3);
}

TEST_F(FilterTest, BlendTellsTheFirstLineFromLaterOnesAfter65536Lines)
{
	/* The count of lines received must not wrap back to "first call". */
	std::vector<uint8_t> dark(size_t(65535) * 3, 0);
	EXPECT_EQ(BlendChannelLines(dark.data(), 1, 65535, 24, kBlendKernel, 3), 65535);
	EXPECT_EQ(BlendChannelLines(dark.data(), 1, 1, 24, kBlendKernel, 3), 1);
	EXPECT_EQ(filterState(Filter::BlendChannelLines).linesDone, 65535);
	std::vector<uint8_t> bright(6, 200);
	EXPECT_EQ(BlendChannelLines(bright.data(), 1, 2, 24, kBlendKernel, 3), 2);
	EXPECT_EQ(bright[0], 200 >> 3);
	EXPECT_EQ(bright[1], 0);
	EXPECT_EQ(bright[2], 0);
}

TEST_F(FilterTest, NeutraliseTurnsNearGreyPixelsIntoTheirLuminance)
{
	struct Case {
		std::vector<uint8_t> around; /* the lines above and below */
		std::vector<uint8_t> pixel;
		std::vector<uint8_t> expected;
	};
	const Case cases[] = {
		{ { 120, 100, 100 }, { 120, 100, 100 }, { 120, 100, 100 } }, /* averages differ by 20 */
		{ { 110, 100, 100 }, { 110, 100, 100 }, { 103, 103, 103 } }, /* (330 + 600 + 100) / 10 */
		{ { 100, 100, 100 }, { 120, 100, 100 }, { 106, 106, 106 } }, /* averages (106, 100, 100) */
		{ { 0, 15, 0 }, { 0, 15, 0 }, { 9, 9, 9 } },		     /* a difference of 15 counts */
		{ { 0, 16, 0 }, { 0, 16, 0 }, { 0, 16, 0 } },
	};
	for (const auto &c : cases) {
		auto image = c.around;
		image.insert(image.end(), c.pixel.begin(), c.pixel.end());
		image.insert(image.end(), c.around.begin(), c.around.end());
		EXPECT_EQ(NeutraliseGreyPixels(image.data(), 1, 3, 24, kNeutraliseKernel, 3), 3);
		/* Line 2 of the first call is the filtered pixel line. */
		EXPECT_EQ(std::vector<uint8_t>(image.begin() + 6, image.end()), c.expected)
			<< int(c.pixel[0]) << "," << int(c.pixel[1]) << "," << int(c.pixel[2]);
		NeutraliseGreyPixels(nullptr, 0, 0, 0, nullptr, 0);
	}
}

TEST_F(FilterTest, SharpenConvolvesGreyPixelsOnly)
{
	/* Three lines of two pixels: a grey one and a coloured one. */
	std::vector<uint8_t> image{ 20, 20, 20, 1, 2, 3,    /* above */
				    50, 50, 50, 90, 80, 70, /* centre */
				    30, 30, 30, 9, 9, 9 };  /* below */
	EXPECT_EQ(SharpenGreyPixels(image.data(), 2, 3, 24, kSharpenKernel, 3), 3);
	EXPECT_EQ(std::vector<uint8_t>(image.begin() + 12, image.end()),
		  (std::vector<uint8_t>{ 60, 60, 60, 90, 80, 70 })); /* (350 - 20 - 30) / 5 */
}

TEST_F(FilterTest, SharpenDivisorIsTheKernelSumIn8Bits)
{
	struct Case {
		int8_t kernel[9];
		uint8_t expected;
	};
	/* Grey lines: above 20, centre 50, below 30, every pixel alike. */
	const Case cases[] = {
		{ { 0, -1, 0, 0, 7, 0, 0, -1, 0 }, 60 },		  /* divisor 5 */
		{ { 0, 0, 0, 0, 2, 0, 0, -2, 0 }, 40 },			  /* sum 0: divisor 1, 100 - 60 */
		{ { 0, -3, 0, 0, 2, 0, 0, 0, 0 }, 40 },			  /* sum -1: divisor 1 */
		{ { 100, 100, 100, 100, 100, 100, 100, 100, 100 }, 255 }, /* 900 wraps to -124 */
		{ { 127, 1, 0, 0, 0, 0, 0, 0, 0 }, 255 },		  /* 128 wraps to -128 */
		{ { 0, 0, 0, 0, 1, 0, 0, -2, 0 }, 0 },			  /* negative sums clamp to 0 */
		{ { 0, 0, 0, 0, 9, 0, 0, 0, 0 }, 50 },
	};
	for (const auto &c : cases) {
		std::vector<uint8_t> image;
		for (uint8_t v : { 20, 50, 30 })
			image.insert(image.end(), 9, v);
		EXPECT_EQ(SharpenGreyPixels(image.data(), 3, 3, 24, c.kernel, 3), 3);
		EXPECT_TRUE(std::all_of(image.begin() + 18, image.end(),
					[&](uint8_t b) { return b == c.expected; }))
			<< int(c.expected) << " got " << int(image[18]);
		SharpenGreyPixels(nullptr, 0, 0, 0, nullptr, 0);
	}
}

TEST_F(FilterTest, AdjustReddishPixelsToneCurves)
{
	struct Case {
		std::vector<uint8_t> pixel;
		std::vector<uint8_t> expected;
	};
	const Case cases[] = {
		{ { 200, 100, 100 }, { 200, 111, 111 } },
		{ { 200, 100, 200 }, { 202, 100, 200 } },
		{ { 255, 0, 0 }, { 255, 0, 0 } },
		{ { 110, 100, 100 }, { 110, 100, 100 } }, /* red not above 110 */
		{ { 110, 0, 110 }, { 110, 0, 110 } },
		{ { 111, 35, 60 }, { 111, 35, 75 } },
		{ { 150, 61, 149 }, { 150, 75, 157 } },
		{ { 150, 34, 150 }, { 150, 34, 150 } }, /* 145..155: 140 + 2 x 5 */
		{ { 144, 0, 144 }, { 139, 0, 144 } },
		{ { 255, 254, 255 }, { 255, 254, 255 } },
		{ { 200, 200, 100 }, { 200, 200, 100 } }, /* red does not exceed green */
	};
	for (const auto &c : cases) {
		auto image = linesOf(c.pixel, 3);
		EXPECT_EQ(AdjustReddishPixels(image.data(), 1, 3, 24, kAdjustKernel, 3), 3);
		EXPECT_EQ(std::vector<uint8_t>(image.begin() + 3, image.begin() + 6), c.expected)
			<< int(c.pixel[0]) << "," << int(c.pixel[1]) << "," << int(c.pixel[2]);
		AdjustReddishPixels(nullptr, 0, 0, 0, nullptr, 0);
	}
}

TEST_F(FilterTest, ReleaseLifeCycle)
{
	for (const auto &f : kFilters) {
		AllocatorProbe probe;
		/* In the Absent state a release makes an empty block and frees it. */
		EXPECT_EQ(f.fast(nullptr, 0, 0, 0, nullptr, 0), 0) << f.name;
		EXPECT_EQ(filterState(f.id).handle, -1);
		EXPECT_EQ(f.fast(nullptr, 0, 0, 0, nullptr, 0), 0) << f.name;
		EXPECT_EQ(probe.sizes, (std::vector<size_t>{ 0, 0 })) << f.name;

		/* A scan's first call sizes the block for 5 MiB of its lines plus two. */
		auto image = randomBytes(2550 * 3 * 4, 1);
		EXPECT_EQ(f.fast(image.data(), 2550, 4, 24, f.kernel, 3), 4);
		const FilterState active = filterState(f.id);
		EXPECT_NE(active.handle, 0);
		EXPECT_NE(active.handle, -1);
		EXPECT_EQ(active.blockBytes, (5242880 / 7650 + 2) * 7650);
		EXPECT_EQ(probe.sizes.back(), (5242880 / 7650 + 2) * 7650);
		EXPECT_EQ(f.fast(image.data(), 2550, 4, 24, f.kernel, 3), 4);
		EXPECT_EQ(probe.sizes.size(), 3u) << "one block per scan";
		if (f.id == Filter::BlendChannelLines) {
			EXPECT_EQ(active.linesDone, 4);
		}

		EXPECT_EQ(f.fast(nullptr, 0, 0, 0, nullptr, 0), 0);
		const FilterState released = filterState(f.id);
		EXPECT_EQ(released.handle, -1);
		EXPECT_EQ(released.blockBytes, 0u);
		EXPECT_EQ(released.linesDone, 0);
		EXPECT_EQ(f.fast(nullptr, 0, 0, 0, nullptr, 0), 0);
	}
}

TEST_F(FilterTest, ReleaseStartsTheNextScanWithZeroCarry)
{
	const auto image = mixedColourPixels(40 * 6, 5);
	for (const auto &f : kFilters) {
		const auto first = filterInChunks(f.fast, image, 40, 24, { 6 }, f.kernel);
		const auto second = filterInChunks(f.fast, image, 40, 24, { 6 }, f.kernel);
		EXPECT_EQ(first, second) << f.name;
	}
}

TEST_F(FilterTest, FailedAllocationLeavesTheImageUntouched)
{
	for (const auto &f : kFilters) {
		AllocatorProbe probe(0);
		auto image = mixedColourPixels(30 * 5, 9);
		const auto before = image;
		EXPECT_EQ(f.fast(image.data(), 30, 5, 24, f.kernel, 3), 0) << f.name;
		EXPECT_EQ(image, before) << f.name;
		EXPECT_EQ(filterState(f.id).handle, 0);

		/* The next call tries again. */
		probe.failAfter = -1;
		EXPECT_EQ(f.fast(image.data(), 30, 5, 24, f.kernel, 3), 5) << f.name;
		EXPECT_NE(image, before);
		f.fast(nullptr, 0, 0, 0, nullptr, 0);
	}
}

TEST_F(FilterTest, ChunksLongerThanTheBlockAreFilteredInPieces)
{
	/* 65535 pixels of 24 bits: the block holds 26 + 2 lines. */
	const uint16_t pixels = 65535;
	const size_t lineBytes = size_t(pixels) * 3;
	ASSERT_EQ(5242880 / lineBytes, 26u);
	const auto image = mixedColourPixels(size_t(pixels) * 30, 21);
	for (const auto &f : kFilters) {
		const auto whole = filterInChunks(f.fast, image, pixels, 24, { 30 }, f.kernel);
		const auto split = filterInChunks(f.fast, image, pixels, 24, { 15, 15 }, f.kernel);
		EXPECT_TRUE(whole == split) << f.name;
	}
	const auto fast = filterInChunks(BlendChannelLines, image, pixels, 24, { 30 }, kBlendKernel);
	const auto plain = filterInChunks(oracle::BlendChannelLines, image, pixels, 24, { 30 },
					  kBlendKernel);
	EXPECT_TRUE(fast == plain);
}

TEST_F(FilterTest, MatchReferenceOnRandomImages)
{
	std::mt19937 generator(2024);
	struct Geometry {
		uint16_t pixels;
		uint8_t bitsPerPixel;
	};
	const Geometry geometries[] = { { 1, 24 }, { 2, 24 }, { 5, 24 }, { 85, 24 }, { 86, 24 }, { 300, 24 }, { 2550, 24 }, { 7, 8 }, { 100, 8 }, { 11, 16 }, { 13, 48 }, { 3, 32 } };
	for (const auto &g : geometries) {
		const size_t lineBytes = size_t(g.pixels) * g.bitsPerPixel / 8;
		const uint16_t totalLines = g.pixels > 1000 ? 20 : 41;
		for (int round = 0; round < 3; ++round) {
			const auto image = g.bitsPerPixel == 24
						   ? mixedColourPixels(size_t(g.pixels) * totalLines, generator(),
								       unsigned(40 + 60 * round))
						   : randomBytes(lineBytes * totalLines, generator());
			std::vector<uint16_t> chunks;
			for (uint16_t left = totalLines; left > 0;) {
				const auto lines = uint16_t(std::min<unsigned>(left, 1 + generator() % 9));
				chunks.push_back(lines);
				left = uint16_t(left - lines);
			}
			int8_t randomKernel[9];
			for (auto &k : randomKernel)
				k = int8_t(generator() % 19) - 9;
			for (const auto &f : kFilters) {
				for (const int8_t *kernel : { f.kernel, (const int8_t *)randomKernel }) {
					const auto plain = filterInChunks(f.plain, image, g.pixels,
									  g.bitsPerPixel, chunks, kernel);
					/* Every level on the first round, the best one after. */
					const std::vector<SimdLevel> levels =
						round == 0 ? availableSimdLevels()
							   : std::vector<SimdLevel>{ bestSimdLevel() };
					for (const SimdLevel level : levels) {
						const SimdLevelScope scope(level);
						const auto fast = filterInChunks(f.fast, image, g.pixels,
										 g.bitsPerPixel, chunks, kernel);
						EXPECT_TRUE(fast == plain)
							<< f.name << " pixels " << g.pixels << " bits "
							<< int(g.bitsPerPixel) << " round " << round << " level "
							<< int(level);
					}
				}
			}
		}
	}
}

TEST_F(FilterTest, PipelineChainMatchesReference)
{
	const uint16_t pixels = 2550;
	const auto image = mixedColourPixels(size_t(pixels) * 48 * 2, 77, 128);
	auto fast = image;
	auto plain = image;
	for (size_t chunk = 0; chunk < 2; ++chunk) {
		uint8_t *f = fast.data() + chunk * pixels * 3 * 48;
		uint8_t *p = plain.data() + chunk * pixels * 3 * 48;
		for (const auto &filter : kFilters) {
			EXPECT_EQ(filter.fast(f, pixels, 48, 24, filter.kernel, 3), 48);
			EXPECT_EQ(filter.plain(p, pixels, 48, 24, filter.kernel, 3), 48);
		}
	}
	EXPECT_TRUE(fast == plain);
}

// A released block serves the next request of its size, zeroed again where
// it was written; TerminateDriver frees what is kept.
TEST(WorkMemoryTest, AKeptBlockComesBackZeroed)
{
	auto *block = static_cast<uint8_t *>(allocateWorkBlock(4099));
	ASSERT_TRUE(block);
	std::memset(block, 0x5A, 1000);
	releaseWorkBlock(block, 1000);
	auto *again = static_cast<uint8_t *>(allocateWorkBlock(4099));
	EXPECT_EQ(again, block);
	EXPECT_TRUE(std::all_of(again, again + 4099, [](uint8_t b) { return b == 0; }));
	releaseWorkBlock(again, 0);
	releaseKeptWorkBlocks();
}

// The oracle comparisons run the fallback forced on and every level above it
// that this processor has; a level it lacks is never used.
TEST(SimdLevelTest, AnyLevelUpToTheProcessorsCanBeChosen)
{
	EXPECT_EQ(simdLevel(), bestSimdLevel());
	for (const SimdLevel level : availableSimdLevels()) {
		const SimdLevelScope scope(level);
		EXPECT_EQ(simdLevel(), level);
	}
	setSimdLevel(SimdLevel::Avx512);
	EXPECT_EQ(simdLevel(), bestSimdLevel());
}

// The chain of the four filters, through the one-pass routine, from a chunk
// elsewhere or in place, against the reference calls one after another: at
// every instruction set level, on widths around the tile and vector sizes
// and the line ends, with chunks of every length.
TEST_F(FilterTest, OnePassMatchesTheFourReferenceCallsInARow)
{
	std::mt19937 generator(616);
	const uint16_t widths[] = { 1, 2, 10, 21, 22, 31, 32, 43, 64, 127, 128, 129, 255, 257, 511, 512, 1100 };
	for (const uint16_t pixels : widths) {
		const size_t lineBytes = size_t(pixels) * 3;
		const uint16_t totalLines = pixels > 500 ? 12 : 30;
		const auto image = mixedColourPixels(size_t(pixels) * totalLines, generator(), 70);
		std::vector<uint16_t> chunks;
		for (uint16_t left = totalLines; left > 0;) {
			const auto lines = uint16_t(std::min<unsigned>(left, 1 + generator() % 7));
			chunks.push_back(lines);
			left = uint16_t(left - lines);
		}
		std::vector<uint8_t> plain = image;
		size_t line = 0;
		for (const uint16_t lines : chunks) {
			uint8_t *chunk = plain.data() + line * lineBytes;
			for (const auto &f : kFilters)
				EXPECT_EQ(f.plain(chunk, pixels, lines, 24, f.kernel, 3), lines);
			line += lines;
		}
		for (const SimdLevel level : availableSimdLevels()) {
			for (const bool inPlace : { false, true }) {
				const SimdLevelScope scope(level);
				std::vector<uint8_t> fast(image.size(), 0xA5);
				line = 0;
				for (const uint16_t lines : chunks) {
					const uint8_t *source = image.data() + line * lineBytes;
					uint8_t *chunk = fast.data() + line * lineBytes;
					if (inPlace)
						std::memcpy(chunk, source, lines * lineBytes);
					EXPECT_EQ(FilterChunkInOnePass(inPlace ? chunk : source, chunk, pixels, lines, 24,
								       kSharpenKernel, 3),
						  lines);
					line += lines;
				}
				EXPECT_TRUE(fast == plain) << "pixels " << pixels << " level " << int(level)
							   << (inPlace ? " in place" : " from elsewhere");
				releaseAll();
			}
		}
		for (const auto &f : kFilters)
			f.plain(nullptr, 0, 0, 0, nullptr, 0);
	}
}

TEST_F(FilterTest, SharpenWithoutKernelKeepsGreyPixels)
{
	const auto image = mixedColourPixels(20 * 6, 4, 200);
	const auto fast = filterInChunks(SharpenGreyPixels, image, 20, 24, { 6 }, nullptr);
	const auto plain = filterInChunks(oracle::SharpenGreyPixels, image, 20, 24, { 6 }, nullptr);
	EXPECT_EQ(fast, plain);
	EXPECT_TRUE(std::equal(fast.begin() + 60, fast.end(), image.begin()));
}

} // namespace

namespace {

// The four reference calls in a row on each chunk, and the one-pass routine
// on the same chunks (from a copy elsewhere or in place), both over a whole
// scan with its release at the end.
std::vector<uint8_t> referenceChain(const std::vector<uint8_t> &image, uint16_t pixels,
				    const std::vector<uint16_t> &chunks, const int8_t *kernel)
{
	std::vector<uint8_t> out = image;
	const size_t lineBytes = size_t(pixels) * 3;
	size_t line = 0;
	for (const uint16_t lines : chunks) {
		for (const FilterFunction filter : { oracle::BlendChannelLines, oracle::NeutraliseGreyPixels,
						     oracle::SharpenGreyPixels, oracle::AdjustReddishPixels })
			filter(out.data() + line * lineBytes, pixels, lines, 24, kernel, 3);
		line += lines;
	}
	releaseAll();
	return out;
}

std::vector<uint8_t> onePassChain(const std::vector<uint8_t> &image, uint16_t pixels,
				  const std::vector<uint16_t> &chunks, const int8_t *kernel, bool inPlace)
{
	std::vector<uint8_t> out(image.size(), 0x5A);
	const size_t lineBytes = size_t(pixels) * 3;
	size_t line = 0;
	for (const uint16_t lines : chunks) {
		uint8_t *chunk = out.data() + line * lineBytes;
		const uint8_t *source = image.data() + line * lineBytes;
		if (inPlace)
			std::memcpy(chunk, source, lines * lineBytes);
		EXPECT_EQ(FilterChunkInOnePass(inPlace ? chunk : source, chunk, pixels, lines, 24, kernel, 3), lines);
		line += lines;
	}
	releaseAll();
	return out;
}

} // namespace

// The strips in vector registers against the reference calls: widths around
// the 32- and 64-pixel strips and a full line, chunks of 1 to 7 lines (a
// first chunk of none, which leaves the scan's first line to the strips),
// pages of many grey, near-grey and reddish pixels, and kernels that weigh
// each byte's own column with divisors from 2 to 127, clamped at both ends.
TEST_F(FilterTest, StripsMatchTheReferenceCallsAtEveryLevel)
{
	std::mt19937 generator(4711);
	const int8_t kernels[][9] = { { 0, -1, 0, 0, 7, 0, 0, -1, 0 },
				      { 0, 3, 0, 0, 4, 0, 0, -5, 0 },
				      { 0, -10, 0, 0, 100, 0, 0, -10, 0 },
				      { 0, 0, 0, 0, 127, 0, 0, 0, 0 } };
	const uint16_t widths[] = { 1, 15, 16, 17, 31, 32, 33, 63, 64, 65, 2550 };
	for (const uint16_t pixels : widths) {
		/* Every chunk length from 1 to 7 once, in an order of this width's. */
		std::vector<uint16_t> chunks{ 1, 2, 3, 4, 5, 6, 7 };
		std::shuffle(chunks.begin(), chunks.end(), generator);
		chunks.insert(chunks.begin(), 0);
		const size_t total = std::accumulate(chunks.begin(), chunks.end(), size_t(0));
		for (const auto &kernel : kernels) {
			/* Near grey: channels a few steps apart, on both sides of 15. */
			auto image = mixedColourPixels(pixels * total, generator(), 100);
			for (size_t j = 0; j + 3 <= image.size(); j += 3 * (1 + generator() % 4)) {
				image[j + 1] = uint8_t(std::clamp(image[j] + int(generator() % 37) - 18, 0, 255));
				image[j + 2] = uint8_t(std::clamp(image[j] + int(generator() % 37) - 18, 0, 255));
			}
			const auto plain = referenceChain(image, pixels, chunks, kernel);
			for (const SimdLevel level : availableSimdLevels()) {
				const SimdLevelScope scope(level);
				for (const bool inPlace : { false, true })
					EXPECT_TRUE(onePassChain(image, pixels, chunks, kernel, inPlace) == plain)
						<< "pixels " << pixels << " kernel " << int(kernel[4]) << " level "
						<< int(level) << (inPlace ? " in place" : " from elsewhere");
			}
		}
	}
}

// Every red byte against every green byte, blue equal to red (the red curve)
// or to green (the green and blue curve), so that each level's curves are
// compared with the tables at every value and on both sides of each test.
TEST_F(FilterTest, StripsMatchTheReferenceOnEveryToneCurveValue)
{
	const uint16_t pixels = 256;
	std::vector<uint8_t> image;
	for (unsigned blueIsRed = 0; blueIsRed < 2; ++blueIsRed) {
		for (unsigned green = 0; green < 256; ++green) {
			for (unsigned red = 0; red < 256; ++red)
				image.insert(image.end(), { uint8_t(red), uint8_t(green), uint8_t(blueIsRed ? red : green) });
		}
	}
	const std::vector<uint16_t> chunks{ 0, 48, 48, 48, 48, 48, 48, 48, 48, 48, 48, 32 };
	const auto plain = referenceChain(image, pixels, chunks, kSharpenKernel);
	for (const SimdLevel level : availableSimdLevels()) {
		const SimdLevelScope scope(level);
		EXPECT_TRUE(onePassChain(image, pixels, chunks, kSharpenKernel, false) == plain) << int(level);
	}
}
