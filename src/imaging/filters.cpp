// SPDX-License-Identifier: MIT
// The four neighbourhood filters for colour scans of the RM735 and KT918 at 300 dpi.

#include "imaging/filters.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <limits>

#include "imaging/work_memory.h"

namespace torvane::imaging {

namespace {

// A work block holds as many lines as fit in 5 MiB, plus the two carried lines.
constexpr size_t kBlockBudget = 0x500000;

struct WorkBlock {
	intptr_t handle = 0;
	uint8_t *lines = nullptr;
	size_t bytes = 0;
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
		releaseWorkBlock(block.lines);
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

/* BlendChannelLines ------------------------------------------------------ */

// Red keeps its line, softened by the lines around it; green and blue lean
// toward the line above. Every result lies in 0..255 (8 x 255 >> 3).
inline uint8_t blendByte(unsigned channel, unsigned above, unsigned centre, unsigned below)
{
	switch (channel) {
	case 0:
		return static_cast<uint8_t>((above + 6 * centre + below) >> 3);
	case 1:
		return static_cast<uint8_t>(((above + centre) * 4) >> 3);
	default:
		return static_cast<uint8_t>((3 * centre + 5 * above) >> 3);
	}
}

struct BlendRule {
	void operator()(const Neighbourhood &n) const
	{
		const uint8_t *a = n.above;
		const uint8_t *c = n.centre;
		const uint8_t *b = n.below;
		const size_t whole = wholePixelBytes(n.bytes);
		for (size_t j = 0; j < whole; j += 3) {
			n.out[j] = static_cast<uint8_t>((a[j] + 6 * c[j] + b[j]) >> 3);
			n.out[j + 1] = static_cast<uint8_t>(((a[j + 1] + c[j + 1]) * 4) >> 3);
			n.out[j + 2] = static_cast<uint8_t>((3 * c[j + 2] + 5 * a[j + 2]) >> 3);
		}
		for (size_t j = whole; j < n.bytes; ++j)
			n.out[j] = blendByte(j % 3, a[j], c[j], b[j]);
	}
};

/* NeutraliseGreyPixels --------------------------------------------------- */

struct NeutraliseRule {
	void operator()(const Neighbourhood &n) const
	{
		const uint8_t *a = n.above;
		const uint8_t *c = n.centre;
		const uint8_t *b = n.below;
		const size_t whole = wholePixelBytes(n.bytes);
		for (size_t j = 0; j < whole; j += 3) {
			const unsigned red = (a[j] + c[j] + b[j]) / 3u;
			const unsigned green = (a[j + 1] + c[j + 1] + b[j + 1]) / 3u;
			const unsigned blue = (a[j + 2] + c[j + 2] + b[j + 2]) / 3u;
			const unsigned high = std::max(red, std::max(green, blue));
			const unsigned low = std::min(red, std::min(green, blue));
			const bool nearGrey = high - low <= 15;
			const uint8_t grey = static_cast<uint8_t>((3u * c[j] + 6u * c[j + 1] + c[j + 2]) / 10u);
			n.out[j] = nearGrey ? grey : c[j];
			n.out[j + 1] = nearGrey ? grey : c[j + 1];
			n.out[j + 2] = nearGrey ? grey : c[j + 2];
		}
		keepPartialPixel(n);
	}
};

/* SharpenGreyPixels ------------------------------------------------------ */

// clamp(S / divisor, 0, 255) for a divisor 1..127, without a division: for
// 0 <= S < 256 x divisor, S x ceil(2^22 / divisor) >> 22 is exactly
// floor(S / divisor), because the error S x (ceil - 2^22 / divisor) / 2^22 stays
// below divisor / 2^14 < 1 / divisor. The product stays below 2^31.
struct ClampedQuotient {
	explicit ClampedQuotient(int32_t divisor)
		: ceiling(256 * divisor - 1),
		  reciprocal((uint32_t(1) << 22) / uint32_t(divisor) +
			     ((uint32_t(1) << 22) % uint32_t(divisor) != 0))
	{
	}

	uint8_t operator()(int32_t sum) const
	{
		const uint32_t bounded = static_cast<uint32_t>(std::clamp(sum, 0, ceiling));
		return static_cast<uint8_t>((bounded * reciprocal) >> 22);
	}

	int32_t ceiling;
	uint32_t reciprocal;
};

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

struct SharpenRule {
	SharpenRule(const int8_t *kernelBytes, size_t pixelBytes)
		: quotient(kernelDivisor(kernelBytes)), step(pixelBytes)
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
	// whose neighbour columns both lie in the line.
	void tileSums(const Neighbourhood &n, size_t begin, size_t end, int32_t *sums) const
	{
		const uint8_t *rows[3] = { n.above, n.centre, n.below };
		const size_t inner = std::max(begin, step);
		const size_t innerEnd = n.bytes > step ? std::min(end, n.bytes - step) : 0;

		std::fill(sums, sums + (end - begin), 0);
		if (inner < innerEnd) {
			for (unsigned r = 0; r < 3; ++r) {
				for (unsigned col = 0; col < 3; ++col) {
					const int32_t weight = kernel[3 * r + col];
					if (!weight)
						continue;
					/* j >= step here, so j + col x step - step >= 0 */
					const uint8_t *row = rows[r] + (inner + col * step - step);
					int32_t *s = sums + (inner - begin);
					for (size_t j = 0; j < innerEnd - inner; ++j)
						s[j] += weight * row[j];
				}
			}
		}
		for (size_t j = begin; j < end; ++j) {
			if (j < inner || j >= innerEnd)
				sums[j - begin] = edgeSum(n, j);
		}
	}

	void operator()(const Neighbourhood &n) const
	{
		constexpr size_t kTile = 255; /* whole pixels */
		int32_t sums[kTile];
		const uint8_t *c = n.centre;
		const size_t whole = wholePixelBytes(n.bytes);

		for (size_t begin = 0; begin < whole; begin += kTile) {
			const size_t end = std::min(whole, begin + kTile);
			tileSums(n, begin, end, sums);
			for (size_t j = begin; j < end; j += 3) {
				const bool grey = c[j] == c[j + 1] && c[j + 1] == c[j + 2];
				const int32_t *s = sums + (j - begin);
				n.out[j] = grey ? quotient(s[0]) : c[j];
				n.out[j + 1] = grey ? quotient(s[1]) : c[j + 1];
				n.out[j + 2] = grey ? quotient(s[2]) : c[j + 2];
			}
		}
		keepPartialPixel(n);
	}

	int32_t kernel[9];
	ClampedQuotient quotient;
	size_t step;
};

/* AdjustReddishPixels ---------------------------------------------------- */

// Tone curve of the green and blue bytes of a pixel in which red dominates.
constexpr std::array<uint8_t, 256> greenBlueCurve = [] {
	std::array<uint8_t, 256> curve{};
	for (unsigned t = 0; t < 256; ++t) {
		if (t <= 34)
			curve[t] = static_cast<uint8_t>(t);
		else if (t <= 60)
			curve[t] = static_cast<uint8_t>(35 + 40 * (t - 35) / 25);
		else
			curve[t] = static_cast<uint8_t>(75 + 180 * (t - 60) / 195);
	}
	return curve;
}();

// Tone curve of the red byte of a pixel whose red dominates green and equals blue.
constexpr std::array<uint8_t, 256> redCurve = [] {
	std::array<uint8_t, 256> curve{};
	for (unsigned t = 0; t < 256; ++t) {
		if (t <= 144)
			curve[t] = static_cast<uint8_t>(140 * t / 145);
		else if (t <= 155)
			curve[t] = static_cast<uint8_t>(140 + 2 * (t - 145));
		else
			curve[t] = static_cast<uint8_t>(160 + 95 * (t - 155) / 100);
	}
	return curve;
}();

static_assert(greenBlueCurve[255] == 255 && redCurve[255] == 255);

struct AdjustRule {
	void operator()(const Neighbourhood &n) const
	{
		const uint8_t *c = n.centre;
		const size_t whole = wholePixelBytes(n.bytes);
		for (size_t j = 0; j < whole; j += 3) {
			const unsigned red = c[j];
			const unsigned green = c[j + 1];
			const unsigned blue = c[j + 2];
			const bool reddish = red > 110 && red > green;
			const bool curveGreenBlue = reddish && red > blue;
			const bool curveRed = reddish && red == blue;
			n.out[j] = curveRed ? redCurve[red] : uint8_t(red);
			n.out[j + 1] = curveGreenBlue ? greenBlueCurve[green] : uint8_t(green);
			n.out[j + 2] = curveGreenBlue ? greenBlueCurve[blue] : uint8_t(blue);
		}
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
		for (size_t i = 0; i < count; ++i) {
			const Neighbourhood n{ block.lines + i * lineBytes, block.lines + (i + 1) * lineBytes,
					       block.lines + (i + 2) * lineBytes, chunk + i * lineBytes,
					       lineBytes };
			if (blend && i == 0 && block.linesDone == 0)
				std::memcpy(n.out, n.below, lineBytes); /* the scan's first line */
			else
				rule(n);
		}
		std::memmove(block.lines, block.lines + count * lineBytes, 2 * lineBytes);
		block.linesDone = addLines(block.linesDone, count);
	}
	return lines;
}

} // namespace

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
