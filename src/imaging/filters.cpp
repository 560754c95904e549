// SPDX-License-Identifier: MIT
// The four neighbourhood filters for colour scans of the RM735 and KT918 at 300 dpi.

#include "imaging/filters.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "imaging/exact_math.h"
#include "imaging/filter_strips.h"
#include "imaging/simd_level.h"
#include "imaging/tone_curves.h"
#include "imaging/work_memory.h"

namespace torvane::imaging {

namespace {

using detail::ClampedQuotient;
using detail::ClampedQuotient16;
using detail::divide;
using detail::dividesExactlyBelow;
using detail::greenBlueCurve;
using detail::redCurve;

// A work block holds as many lines as fit in 5 MiB, plus the two carried lines.
constexpr size_t kBlockBudget = 0x500000;

struct WorkBlock {
	intptr_t handle = 0;
	uint8_t *lines = nullptr;
	size_t bytes = 0;
	size_t written = 0; // bytes ever written, all that a reuse has to clear
	uint16_t linesDone = 0;
};

WorkBlock workBlocks[4];

WorkBlock &workBlockOf(Filter filter)
{
	return workBlocks[static_cast<size_t>(filter)];
}

bool blockExists(const WorkBlock &block)
{
	return block.handle != 0 && block.handle != kReleasedHandle;
}

bool createBlock(WorkBlock &block, size_t lineBytes)
{
	const size_t bytes = lineBytes ? (kBlockBudget / lineBytes + 2) * lineBytes : 0;
	void *memory = allocateWorkBlock(bytes);
	block.handle = reinterpret_cast<intptr_t>(memory);
	if (!memory)
		return false;
	block.lines = static_cast<uint8_t *>(memory);
	block.bytes = bytes;
	block.linesDone = 0;
	return true;
}

void releaseBlock(WorkBlock &block)
{
	if (block.handle != 0)
		releaseWorkBlock(block.lines, block.written);
	block.written = 0;
	block.lines = nullptr;
	block.bytes = 0;
	block.handle = kReleasedHandle;
	block.linesDone = 0;
}

// The count of lines received only has to tell the scan's first call from the
// others, so it stops at its top instead of wrapping back to "first".
uint16_t addLines(uint16_t done, size_t lines)
{
	return static_cast<uint16_t>(std::min<size_t>(size_t(done) + lines, UINT16_MAX));
}

// The three lines around one output line, and where it goes.
struct Neighbourhood {
	const uint8_t *above;
	const uint8_t *centre;
	const uint8_t *below;
	uint8_t *out;
	size_t bytes; // line length L
};

// Whole pixels of three bytes in a line; the rest is a partial pixel.
size_t wholePixelBytes(size_t bytes)
{
	return bytes - bytes % 3;
}

void keepPartialPixel(const Neighbourhood &n)
{
	for (size_t j = wholePixelBytes(n.bytes); j < n.bytes; ++j)
		n.out[j] = n.centre[j];
}

/* Pixels in tiles -------------------------------------------------------- */

// The filters that look at whole pixels work through a line in tiles of whole
// pixels, in passes over every byte that the vectoriser turns into SIMD code.
// What belongs to a pixel (a decision, a luminance) is computed at every byte
// as if a pixel began there, stored two places on, and handed to the three
// bytes of each pixel through channel masks: byte j of channel k takes the
// value computed at byte j - k.
constexpr size_t kTile = 1536; /* bytes: 512 whole pixels */

struct ChannelMasks {
	uint8_t of[3][kTile]; /* 0xFF where byte j of a tile is channel k */
};

constexpr ChannelMasks kChannels = [] {
	ChannelMasks masks{};
	for (size_t j = 0; j < kTile; ++j)
		masks.of[j % 3][j] = 0xFF;
	return masks;
}();

// The value of byte j's pixel, from values stored at pixel start + 2.
inline uint8_t pixelValue(const uint8_t *values, size_t j)
{
	return uint8_t((kChannels.of[0][j] & values[j + 2]) | (kChannels.of[1][j] & values[j + 1]) |
		       (kChannels.of[2][j] & values[j]));
}

// Room for per-pixel values of one tile, stored two places on; the places
// no pixel start fills are 0, so that every byte read is defined.
struct PixelValues {
	uint8_t at[kTile + 2];

	void clearEdges(size_t length)
	{
		at[0] = at[1] = 0;
		at[length] = at[length + 1] = 0;
	}
};

inline uint8_t blendBytes(uint8_t mask, uint8_t chosen, uint8_t other)
{
	return uint8_t((mask & chosen) | (~mask & other));
}

/* BlendChannelLines ------------------------------------------------------ */

// Red keeps its line, softened by the lines around it: (above + 6 centre +
// below) >> 3; green is the mean of the line above and its own, ((above +
// centre) x 4) >> 3; blue leans toward the line above, (3 centre + 5 above) >>
// 3. As weights per byte of a tile (starting on a pixel), one formula serves
// all three channels; no result exceeds 8 x 255 >> 3 = 255.
struct BlendWeights {
	uint8_t above[kTile];
	uint8_t centre[kTile];
	uint8_t below[kTile];
};

constexpr BlendWeights kBlendWeights = [] {
	constexpr uint8_t weights[3][3] = { { 1, 6, 1 }, { 4, 4, 0 }, { 5, 3, 0 } };
	BlendWeights w{};
	for (size_t j = 0; j < kTile; ++j) {
		w.above[j] = weights[j % 3][0];
		w.centre[j] = weights[j % 3][1];
		w.below[j] = weights[j % 3][2];
	}
	return w;
}();

void blendTile(const uint8_t *a, const uint8_t *c, const uint8_t *b, uint8_t *out, size_t length)
{
	for (size_t j = 0; j < length; ++j) {
		const uint16_t sum = uint16_t(kBlendWeights.above[j] * a[j] + kBlendWeights.centre[j] * c[j] +
					      kBlendWeights.below[j] * b[j]);
		out[j] = uint8_t(sum >> 3);
	}
}

struct BlendRule {
	void operator()(const Neighbourhood &n) const
	{
		for (size_t begin = 0; begin < n.bytes; begin += kTile)
			blendTile(n.above + begin, n.centre + begin, n.below + begin, n.out + begin,
				  std::min(kTile, n.bytes - begin));
	}
};

/* NeutraliseGreyPixels --------------------------------------------------- */

// A pixel whose channels, each averaged over the three lines, lie within 15
// of each other takes its luminance (3 R + 6 G + B) / 10 in all three bytes.
void neutraliseTile(const uint8_t *a, const uint8_t *c, const uint8_t *b, uint8_t *out,
		    size_t length)
{
	static_assert(dividesExactlyBelow<3>(3 * 255 + 1) && dividesExactlyBelow<10>(10 * 255 + 1));
	uint8_t mean[kTile];
	PixelValues nearGrey, luminance;
	nearGrey.clearEdges(length);
	luminance.clearEdges(length);

	for (size_t j = 0; j < length; ++j)
		mean[j] = uint8_t(divide<3>(uint16_t(a[j] + c[j] + b[j])));
	for (size_t j = 0; j + 2 < length; ++j) {
		const uint8_t m0 = mean[j], m1 = mean[j + 1], m2 = mean[j + 2];
		const uint8_t high = std::max(m0, std::max(m1, m2));
		const uint8_t low = std::min(m0, std::min(m1, m2));
		nearGrey.at[j + 2] = uint8_t(-uint8_t(uint8_t(high - low) <= 15));
		luminance.at[j + 2] =
			uint8_t(divide<10>(uint16_t(3 * c[j] + 6 * c[j + 1] + c[j + 2])));
	}
	for (size_t j = 0; j < length; ++j)
		out[j] = blendBytes(pixelValue(nearGrey.at, j), pixelValue(luminance.at, j), c[j]);
}

struct NeutraliseRule {
	void operator()(const Neighbourhood &n) const
	{
		const size_t whole = wholePixelBytes(n.bytes);
		for (size_t begin = 0; begin < whole; begin += kTile)
			neutraliseTile(n.above + begin, n.centre + begin, n.below + begin, n.out + begin,
				       std::min(kTile, whole - begin));
		keepPartialPixel(n);
	}
};

/* SharpenGreyPixels ------------------------------------------------------ */

// The kernel's bytes added in 8-bit two's-complement arithmetic, as the
// scanner's image path has always done; a sum below 1 divides by 1.
int32_t kernelDivisor(const int8_t *kernel)
{
	uint8_t sum = 0;
	for (unsigned k = 0; k < 9; ++k)
		sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(kernel[k]));
	const int32_t divisor = static_cast<int8_t>(sum);
	return divisor < 1 ? 1 : divisor;
}

// Whether a kernel keeps every sum within 16 bits: 255 x the sum of |k|.
bool sumsFitInt16(const int8_t *kernel)
{
	int32_t weight = 0;
	for (unsigned k = 0; k < 9; ++k)
		weight += std::abs(int32_t(kernel[k]));
	return weight * 255 <= INT16_MAX;
}

// A kernel whose left and right columns are 0, as the read pipeline's is:
// every sum is the column's own three bytes, weighed, and no byte needs its
// neighbours. The line is worked on in one pass: the sum, its quotient, and
// whether the byte's pixel is grey, told from the bytes around it: byte j of
// channel k belongs to the pixel starting at j - k, whose three bytes are
// equal when the byte equals both neighbours in the pixel.
struct VerticalWeights {
	int16_t above, centre, below;
};

inline uint8_t sharpenedByte(const uint8_t *a, const uint8_t *c, const uint8_t *b, size_t j,
			     VerticalWeights w, ClampedQuotient16 divide16)
{
	return divide16(int16_t(w.above * a[j] + w.centre * c[j] + w.below * b[j]));
}

// The bytes of the pixel starting at p, with its own three bytes in view.
void sharpenPixelVertically(const uint8_t *a, const uint8_t *c, const uint8_t *b, uint8_t *out, size_t p,
			    VerticalWeights w, ClampedQuotient16 divide16)
{
	const bool grey = c[p] == c[p + 1] && c[p + 1] == c[p + 2];
	for (size_t j = p; j < p + 3; ++j)
		out[j] = grey ? sharpenedByte(a, c, b, j, w, divide16) : c[j];
}

void sharpenLineVertically(const uint8_t *a, const uint8_t *c, const uint8_t *b, uint8_t *out, size_t whole,
			   VerticalWeights w, ClampedQuotient16 divide16)
{
	if (whole < 9) {
		for (size_t p = 0; p < whole; p += 3)
			sharpenPixelVertically(a, c, b, out, p, w, divide16);
		return;
	}
	/* Between the first and the last pixel, bytes j - 2 to j + 2 lie in the line. */
	sharpenPixelVertically(a, c, b, out, 0, w, divide16);
	sharpenPixelVertically(a, c, b, out, whole - 3, w, divide16);
	for (size_t begin = 3; begin < whole - 3; begin += kTile) {
		const size_t length = std::min(kTile, whole - 3 - begin);
		const uint8_t *ta = a + begin, *tc = c + begin, *tb = b + begin;
		uint8_t *to = out + begin;
		for (size_t j = 0; j < length; ++j) {
			const uint8_t sharp = sharpenedByte(ta, tc, tb, j, w, divide16);
			const uint8_t before2 = uint8_t(-uint8_t(tc[j - 2] == tc[j - 1]));
			const uint8_t before = uint8_t(-uint8_t(tc[j - 1] == tc[j]));
			const uint8_t after = uint8_t(-uint8_t(tc[j] == tc[j + 1]));
			const uint8_t after2 = uint8_t(-uint8_t(tc[j + 1] == tc[j + 2]));
			const uint8_t grey = uint8_t((kChannels.of[0][j] & after & after2) |
						     (kChannels.of[1][j] & before & after) |
						     (kChannels.of[2][j] & before2 & before));
			to[j] = blendBytes(grey, sharp, tc[j]);
		}
	}
}

struct SharpenRule {
	SharpenRule(const int8_t *kernelBytes, size_t pixelBytes)
		: divisor(kernelDivisor(kernelBytes)), quotient(divisor),
		  quotient16(std::max(divisor, 2)), step(pixelBytes),
		  narrow(divisor >= 2 && sumsFitInt16(kernelBytes)),
		  vertical(narrow && pixelBytes == 3 && !kernelBytes[0] && !kernelBytes[2] && !kernelBytes[3] &&
			   !kernelBytes[5] && !kernelBytes[6] && !kernelBytes[8]),
		  weights{ kernelBytes[1], kernelBytes[4], kernelBytes[7] }
	{
		for (unsigned k = 0; k < 9; ++k)
			kernel[k] = kernelBytes[k];
	}

	// The sum of one byte with its neighbour columns clamped at the line ends.
	int32_t edgeSum(const Neighbourhood &n, size_t j) const
	{
		const size_t left = j < step ? j : j - step;
		const size_t right = j + step >= n.bytes ? j : j + step;
		const uint8_t *rows[3] = { n.above, n.centre, n.below };
		int32_t sum = 0;
		for (unsigned r = 0; r < 3; ++r) {
			sum += kernel[3 * r] * rows[r][left];
			sum += kernel[3 * r + 1] * rows[r][j];
			sum += kernel[3 * r + 2] * rows[r][right];
		}
		return sum;
	}

	// Sums of the bytes [begin, end) into sums[], tap by tap over the bytes
	// whose neighbour columns both lie in the line. Sum is int16_t only for a
	// kernel that keeps every sum within it.
	template<typename Sum>
	void tileSums(const Neighbourhood &n, size_t begin, size_t end, Sum *sums) const
	{
		const uint8_t *rows[3] = { n.above, n.centre, n.below };
		const size_t inner = std::max(begin, step);
		const size_t innerEnd = n.bytes > step ? std::min(end, n.bytes - step) : 0;

		std::fill(sums, sums + (end - begin), Sum(0));
		if (inner < innerEnd) {
			for (unsigned r = 0; r < 3; ++r) {
				for (unsigned col = 0; col < 3; ++col) {
					const Sum weight = Sum(kernel[3 * r + col]);
					if (!weight)
						continue;
					/* j >= step here, so j + col x step - step >= 0 */
					const uint8_t *row = rows[r] + (inner + col * step - step);
					Sum *s = sums + (inner - begin);
					const size_t count = innerEnd - inner;
					for (size_t j = 0; j < count; ++j)
						s[j] = Sum(s[j] + weight * row[j]);
				}
			}
		}
		/* The bytes of the first and last pixel, whose neighbour columns are
		 * clamped to the line: at most a pixel at each end of the line. */
		const size_t headEnd = std::min(end, std::max(begin, inner));
		for (size_t j = begin; j < headEnd; ++j)
			sums[j - begin] = Sum(edgeSum(n, j));
		for (size_t j = std::max(headEnd, std::max(begin, innerEnd)); j < end; ++j)
			sums[j - begin] = Sum(edgeSum(n, j));
	}

	void operator()(const Neighbourhood &n) const
	{
		uint8_t sharpened[kTile];
		PixelValues grey;
		const size_t whole = wholePixelBytes(n.bytes);
		if (vertical) {
			sharpenLineVertically(n.above, n.centre, n.below, n.out, whole, weights, quotient16);
			keepPartialPixel(n);
			return;
		}

		for (size_t begin = 0; begin < whole; begin += kTile) {
			const size_t length = std::min(kTile, whole - begin);
			const uint8_t *c = n.centre + begin;
			uint8_t *out = n.out + begin;

			grey.clearEdges(length);
			uint8_t anyGrey = 0;
			for (size_t j = 0; j + 2 < length; ++j) {
				const uint8_t equal = uint8_t(uint8_t(c[j] == c[j + 1]) &
							      uint8_t(c[j + 1] == c[j + 2]));
				grey.at[j + 2] = uint8_t(-equal);
				anyGrey = uint8_t(anyGrey | equal);
			}
			if (!anyGrey) {
				std::memcpy(out, c, length);
				continue;
			}
			/* Local copies: stores of bytes might alias the members, which
			 * would keep the loops from being vectorised. */
			if (narrow) {
				int16_t sums[kTile];
				tileSums(n, begin, begin + length, sums);
				const ClampedQuotient16 divide16 = quotient16;
				for (size_t j = 0; j < length; ++j)
					sharpened[j] = divide16(sums[j]);
			} else {
				int32_t sums[kTile];
				tileSums(n, begin, begin + length, sums);
				const ClampedQuotient divide32 = quotient;
				for (size_t j = 0; j < length; ++j)
					sharpened[j] = divide32(sums[j]);
			}
			for (size_t j = 0; j < length; ++j)
				out[j] = blendBytes(pixelValue(grey.at, j), sharpened[j], c[j]);
		}
		keepPartialPixel(n);
	}

	int32_t kernel[9];
	int32_t divisor;
	ClampedQuotient quotient;
	ClampedQuotient16 quotient16;
	size_t step;
	bool narrow;
	bool vertical;
	VerticalWeights weights;
};

/* AdjustReddishPixels ---------------------------------------------------- */

// Pixel by pixel, with arguments by value (see neutraliseLine).
void adjustLine(const uint8_t *c, uint8_t *out, size_t pixels)
{
	for (size_t x = 0; x < pixels; ++x) {
		const size_t j = 3 * x;
		const uint8_t red = c[j], green = c[j + 1], blue = c[j + 2];
		const bool reddish = red > 110 && red > green;
		const bool dominant = reddish && red > blue;
		const bool even = reddish && red == blue;
		out[j] = even ? redCurve(red) : red;
		out[j + 1] = dominant ? greenBlueCurve(green) : green;
		out[j + 2] = dominant ? greenBlueCurve(blue) : blue;
	}
}

struct AdjustRule {
	void operator()(const Neighbourhood &n) const
	{
		adjustLine(n.centre, n.out, n.bytes / 3);
		keepPartialPixel(n);
	}
};

/* The frame common to the four filters ----------------------------------- */

// Copies the chunk behind the two carried lines, filters it line by line back
// into the image, and keeps its last two lines. A chunk longer than the block
// holds is worked on in pieces, which gives the same bytes as one call.
template<typename Rule>
uint16_t runFilter(Filter filter, const Rule &rule, uint8_t *image, uint16_t pixelsPerLine,
		   uint16_t lines, uint8_t bitsPerPixel)
{
	WorkBlock &block = workBlockOf(filter);
	const size_t lineBytes = size_t(pixelsPerLine) * bitsPerPixel / 8;

	if (!blockExists(block) && !createBlock(block, lineBytes))
		return 0;
	if (!image) {
		releaseBlock(block);
		return 0;
	}
	if (lineBytes == 0) {
		block.linesDone = addLines(block.linesDone, lines);
		return lines;
	}

	const size_t capacity = block.bytes / lineBytes;
	if (capacity < 3)
		return 0; /* made for shorter lines: not even one line fits */
	const size_t pieceLines = capacity - 2;
	const bool blend = filter == Filter::BlendChannelLines;

	for (size_t start = 0; start < lines; start += pieceLines) {
		const size_t count = std::min(pieceLines, size_t(lines) - start);
		uint8_t *chunk = image + start * lineBytes;
		std::memcpy(block.lines + 2 * lineBytes, chunk, count * lineBytes);
		block.written = std::max(block.written, (count + 2) * lineBytes);
		const bool firstOfScan = blend && block.linesDone == 0;
		runAtSimdLevel([&] {
			for (size_t i = 0; i < count; ++i) {
				const Neighbourhood n{ block.lines + i * lineBytes,
						       block.lines + (i + 1) * lineBytes,
						       block.lines + (i + 2) * lineBytes, chunk + i * lineBytes,
						       lineBytes };
				if (firstOfScan && i == 0)
					std::memcpy(n.out, n.below, lineBytes); /* the scan's first line */
				else
					rule(n);
			}
		});
		std::memmove(block.lines, block.lines + count * lineBytes, 2 * lineBytes);
		block.linesDone = addLines(block.linesDone, count);
	}
	return lines;
}

/* The four filters in one pass ------------------------------------------ */

// Each filter's work block serves as a window of three lines, used round:
// the input line i of a call lies at block line (i + 2) mod 3, between the
// two lines before it, which are the carried lines at first. Filter k's output
// line i is written straight into filter k + 1's block, the last filter's into
// the image. At the end the last two input lines are put back at block lines
// 0 and 1, where a call of the filter on its own expects its carried lines.
struct FourFilters {
	WorkBlock *blocks[4];
	BlendRule blend;
	NeutraliseRule neutralise;
	SharpenRule sharpen;
	AdjustRule adjust;
};

inline uint8_t *windowLine(const WorkBlock &block, size_t line, size_t lineBytes)
{
	return block.lines + (line % 3) * lineBytes;
}

// With the chunk apart from the image (`direct`), the first filter reads its
// lines where they are, and only the two carried lines come from its block.
void filterLinesInOnePass(const FourFilters &f, const uint8_t *source, uint8_t *image, size_t lineBytes,
			  size_t lines, bool direct)
{
	const bool firstOfScan = f.blocks[0]->linesDone == 0;
	const uint8_t *carried = f.blocks[0]->lines;
	const auto inputLine = [&](size_t line) { /* block line `line`: carried, then the chunk */
						  return line < 2 ? carried + line * lineBytes : source + (line - 2) * lineBytes;
	};
	for (size_t i = 0; i < lines; ++i) {
		if (!direct)
			std::memcpy(windowLine(*f.blocks[0], i + 2, lineBytes), source + i * lineBytes, lineBytes);
		Neighbourhood n[4];
		for (size_t k = 0; k < 4; ++k) {
			const WorkBlock &block = *f.blocks[k];
			uint8_t *out = k < 3 ? windowLine(*f.blocks[k + 1], i + 2, lineBytes) : image + i * lineBytes;
			n[k] = { windowLine(block, i, lineBytes), windowLine(block, i + 1, lineBytes),
				 windowLine(block, i + 2, lineBytes), out, lineBytes };
		}
		if (direct) {
			n[0].above = inputLine(i);
			n[0].centre = inputLine(i + 1);
			n[0].below = inputLine(i + 2);
		}
		if (firstOfScan && i == 0)
			std::memcpy(n[0].out, n[0].below, lineBytes); /* the scan's first line */
		else
			f.blend(n[0]);
		f.neutralise(n[1]);
		f.sharpen(n[2]);
		f.adjust(n[3]);
	}
}

// Block lines (lines + 2) mod 3 and (lines + 3) mod 3, the last two input
// lines, back to lines 0 and 1.
void settleCarriedLines(WorkBlock &block, size_t lineBytes, size_t lines)
{
	switch (lines % 3) {
	case 1:
		std::memmove(block.lines, block.lines + lineBytes, 2 * lineBytes);
		break;
	case 2:
		std::memcpy(block.lines + lineBytes, block.lines, lineBytes);
		std::memcpy(block.lines, block.lines + 2 * lineBytes, lineBytes);
		break;
	default:
		break;
	}
}

// Whether all four blocks exist and hold the three lines of a window.
bool blocksHoldWindows(size_t lineBytes)
{
	for (const WorkBlock &block : workBlocks) {
		if (!blockExists(block) || block.bytes / lineBytes < 3)
			return false;
	}
	return true;
}

// At the AVX2 and AVX-512 levels, 24-bit lines with a kernel that weighs
// only each byte's own column (the read pipeline's) go through the strips of
// filter_strips.cpp; the line by line routine above serves every other case
// and is the plain level's. Gives whether the strips took the chunk.
bool filterInStrips(const SharpenRule &sharpen, const uint8_t *source, uint8_t *image, uint16_t pixelsPerLine,
		    uint16_t lines, uint8_t bitsPerPixel, bool apart)
{
#if TORVANE_FILTER_STRIPS
	const SimdLevel level = simdLevel();
	if (level == SimdLevel::Plain || bitsPerPixel != 24 || !sharpen.vertical || !(apart || source == image))
		return false;
	const detail::StripJob job{
		source,
		image,
		pixelsPerLine,
		lines,
		{ workBlocks[0].lines, workBlocks[1].lines, workBlocks[2].lines, workBlocks[3].lines },
		workBlocks[0].linesDone == 0,
		{ sharpen.weights.above, sharpen.weights.centre, sharpen.weights.below, sharpen.quotient16.ceiling,
		  sharpen.quotient16.reciprocal, uint16_t(sharpen.quotient16.shift) }
	};
	if (level == SimdLevel::Avx512)
		detail::filterStripsAvx512(job);
	else
		detail::filterStripsAvx2(job);
	const size_t lineBytes = size_t(pixelsPerLine) * 3;
	for (WorkBlock &block : workBlocks) {
		block.written = std::max(block.written, 2 * lineBytes);
		block.linesDone = addLines(block.linesDone, lines);
	}
	return true;
#else
	(void)sharpen, (void)source, (void)image, (void)pixelsPerLine, (void)lines, (void)bitsPerPixel, (void)apart;
	return false;
#endif
}

} // namespace

uint16_t FilterChunkInOnePass(const uint8_t *source, uint8_t *image, uint16_t pixelsPerLine, uint16_t lines,
			      uint8_t bitsPerPixel, const int8_t *sharpenKernel, int16_t window)
{
	const size_t lineBytes = size_t(pixelsPerLine) * bitsPerPixel / 8;
	if (!image || !source || lineBytes == 0 || !blocksHoldWindows(lineBytes)) {
		/* The first chunk of a scan (the blocks are made by the calls on
		 * their own), or a case without lines to filter. */
		if (image && source && source != image)
			std::memmove(image, source, size_t(lines) * lineBytes);
		uint16_t count = BlendChannelLines(image, pixelsPerLine, lines, bitsPerPixel, nullptr, window);
		count = NeutraliseGreyPixels(image, pixelsPerLine, count, bitsPerPixel, nullptr, window);
		count = SharpenGreyPixels(image, pixelsPerLine, count, bitsPerPixel, sharpenKernel, window);
		return AdjustReddishPixels(image, pixelsPerLine, count, bitsPerPixel, nullptr, window);
	}

	static const int8_t kIdentity[9] = { 0, 0, 0, 0, 1, 0, 0, 0, 0 };
	const FourFilters filters{ { &workBlocks[0], &workBlocks[1], &workBlocks[2], &workBlocks[3] },
				   BlendRule{},
				   NeutraliseRule{},
				   SharpenRule(sharpenKernel ? sharpenKernel : kIdentity, bitsPerPixel / 8),
				   AdjustRule{} };
	/* The chunk and the image apart: the first filter reads the chunk in place. */
	const size_t chunkBytes = size_t(lines) * lineBytes;
	const auto from = reinterpret_cast<uintptr_t>(source), to = reinterpret_cast<uintptr_t>(image);
	const bool direct = from + chunkBytes <= to || to + chunkBytes <= from;
	if (filterInStrips(filters.sharpen, source, image, pixelsPerLine, lines, bitsPerPixel, direct))
		return lines;
	runAtSimdLevel([&] { filterLinesInOnePass(filters, source, image, lineBytes, lines, direct); });
	if (direct && lines > 0) {
		/* The chunk's last two lines (with one line, the carried line 1 and it). */
		uint8_t *carried = workBlocks[0].lines;
		if (lines == 1)
			std::memmove(carried, carried + lineBytes, lineBytes);
		else
			std::memcpy(carried, source + (lines - 2) * lineBytes, lineBytes);
		std::memcpy(carried + lineBytes, source + (lines - 1) * lineBytes, lineBytes);
	}
	for (WorkBlock &block : workBlocks) {
		block.written = std::max(block.written, 3 * lineBytes);
		if (!direct || &block != &workBlocks[0])
			settleCarriedLines(block, lineBytes, lines);
		block.linesDone = addLines(block.linesDone, lines);
	}
	return lines;
}

uint16_t BlendChannelLines(uint8_t *image, uint16_t pixelsPerLine, uint16_t lines,
			   uint8_t bitsPerPixel, [[maybe_unused]] const int8_t *kernel,
			   [[maybe_unused]] int16_t window)
{
	return runFilter(Filter::BlendChannelLines, BlendRule{}, image, pixelsPerLine, lines,
			 bitsPerPixel);
}

uint16_t NeutraliseGreyPixels(uint8_t *image, uint16_t pixelsPerLine, uint16_t lines,
			      uint8_t bitsPerPixel, [[maybe_unused]] const int8_t *kernel,
			      [[maybe_unused]] int16_t window)
{
	return runFilter(Filter::NeutraliseGreyPixels, NeutraliseRule{}, image, pixelsPerLine,
			 lines, bitsPerPixel);
}

uint16_t SharpenGreyPixels(uint8_t *image, uint16_t pixelsPerLine, uint16_t lines,
			   uint8_t bitsPerPixel, const int8_t *kernel,
			   [[maybe_unused]] int16_t window)
{
	/* Without a kernel the grey pixels keep their values: the identity. */
	static const int8_t kIdentity[9] = { 0, 0, 0, 0, 1, 0, 0, 0, 0 };
	const SharpenRule rule(kernel ? kernel : kIdentity, bitsPerPixel / 8);
	return runFilter(Filter::SharpenGreyPixels, rule, image, pixelsPerLine, lines,
			 bitsPerPixel);
}

uint16_t AdjustReddishPixels(uint8_t *image, uint16_t pixelsPerLine, uint16_t lines,
			     uint8_t bitsPerPixel, [[maybe_unused]] const int8_t *kernel,
			     [[maybe_unused]] int16_t window)
{
	return runFilter(Filter::AdjustReddishPixels, AdjustRule{}, image, pixelsPerLine, lines,
			 bitsPerPixel);
}

FilterState filterState(Filter filter)
{
	const WorkBlock &block = workBlockOf(filter);
	return { block.handle, block.bytes, block.linesDone };
}

} // namespace torvane::imaging
