// SPDX-License-Identifier: MIT
// Resampling of image lines to the requested resolution, chunk by chunk.
//
// The bytes are fixed: bilinear interpolation evaluates, for every output byte,
// ((w1 a + w2 b) + w3 c) + w4 d in double precision with the weights w1 =
// (1 - fy)(1 - fx), w2 = (1 - fy) fx, w3 = fy (1 - fx), w4 = fy fx, and
// truncates; box averaging follows its float boundaries and signed 32-bit
// accumulators step by step. Everything here is arranged to produce those very
// bytes faster: per-column and per-line tables, an exact integer form of the
// interpolation where the fractions allow it, and sums regrouped where the
// arithmetic is modular.

#include "imaging/resample.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "imaging/exact_math.h"
#include "imaging/simd_level.h"
#include "imaging/work_memory.h"

namespace torvane::imaging {

namespace {

using detail::truncToInt32;
using detail::truncToInt64;
using detail::wrappedQuotient;

// The carry block holds as many whole source lines as fit in 5 MiB, plus 6 bytes.
constexpr size_t kBlockBudget = 0x500000;
constexpr size_t kCarrySpare = 6;

// The largest sum of the dyadic orders of fx and fy for which the integer
// interpolation below works in 16 bits: 255 x 2^8 < 2^16.
constexpr unsigned kMaxDyadicOrder = 8;

/* Memory carved out of one work block ------------------------------------ */

class Carver
{
public:
	template<typename T>
	T *take(size_t count)
	{
		offset_ = (offset_ + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);
		T *at = base_ ? reinterpret_cast<T *>(base_ + offset_) : nullptr;
		if (count > (SIZE_MAX - offset_) / sizeof(T))
			overflow_ = true;
		else
			offset_ += count * sizeof(T);
		return at;
	}
	size_t size() const { return overflow_ ? SIZE_MAX : offset_; }
	void place(void *base) { base_ = static_cast<uint8_t *>(base), offset_ = 0; }

private:
	uint8_t *base_ = nullptr;
	size_t offset_ = 0;
	bool overflow_ = false;
};

// Allocates one block for everything layout() carves; null on failure.
template<typename Layout>
void *allocateCarved(Layout &&layout)
{
	Carver sizing;
	layout(sizing);
	if (sizing.size() == SIZE_MAX)
		return nullptr;
	void *block = allocateWorkBlock(sizing.size());
	if (block) {
		Carver placing;
		placing.place(block);
		layout(placing);
	}
	return block;
}

/* Bilinear column plan ---------------------------------------------------- */

// Where each output pixel samples its source line, computed once per geometry.
struct ColumnPlan {
	uint32_t sourcePixels = 0;
	uint32_t destPixels = 0;
	double xFactor = 0;
	size_t pixelBytes = 0;

	size_t *first = nullptr;  // byte offset of pixel F
	size_t *second = nullptr; // byte offset of pixel F + 1, F itself where fx = 0 at the end
	double *fx = nullptr;
	double *gx = nullptr; // 1 - fx

	// Every fx a multiple of 2^-kx: the integer form applies.
	bool dyadic = false;
	unsigned kx = 0;
	uint16_t *wx0 = nullptr; // (1 - fx) 2^kx
	uint16_t *wx1 = nullptr; // fx 2^kx

	// Enlarging by 2^kx exactly, the first repeatColumns columns go 2^kx to a
	// source pixel F, with fx = r / 2^kx for r = 0 ... 2^kx - 1, and F + 1 in the line.
	size_t repeatColumns = 0;

	// The first pairColumns columns read pixel F + 1 (not F again at the line's
	// end), with 32-bit offsets and both weights packed in 32 bits (w0 | w1 << 16)
	// for the SIMD gather below; kx <= 7 keeps every sum within int16.
	size_t pairColumns = 0;
	uint32_t *pairOffset = nullptr;
	uint32_t *pairWeights = nullptr;

	// Horizontal pass of two source lines for the integer form.
	uint16_t *rows[2] = {};
	const uint8_t *rowLine[2] = {};

	// Two source lines as doubles for the double form, each followed by a copy
	// of its last pixel: the second sample of a column is always first + P.
	double *samples[2] = {};
	const uint8_t *sampleLine[2] = {};

	void *block = nullptr;
};

// The smallest k with value x 2^k an integer, or kMaxDyadicOrder + 1.
unsigned dyadicOrder(double value)
{
	for (unsigned k = 0; k <= kMaxDyadicOrder; ++k) {
		const double scaled = std::ldexp(value, int(k));
		if (scaled == std::floor(scaled))
			return k;
	}
	return kMaxDyadicOrder + 1;
}

// The leading columns, in whole groups of 2^kx, that follow the pattern of an
// enlargement by exactly 2^kx; taken from the plan itself, so that the faster
// loop over them can only reproduce what the plan says.
size_t repeatingColumns(const ColumnPlan &plan)
{
	const size_t group = size_t(1) << plan.kx;
	if (plan.kx == 0 || plan.xFactor != double(group))
		return 0;
	size_t j = 0;
	for (; j < plan.destPixels; ++j) {
		const size_t f = j >> plan.kx;
		const size_t r = j & (group - 1);
		if (f + 1 >= plan.sourcePixels || plan.first[j] != f * plan.pixelBytes ||
		    plan.second[j] != (f + 1) * plan.pixelBytes || plan.wx1[j] != r)
			break;
	}
	return j - j % group;
}

// The leading columns whose second sample is the next pixel, for the SIMD
// gather; their offsets and weights are packed on the way.
size_t pairingColumns(ColumnPlan &plan)
{
	if (plan.kx > 7 || (plan.pixelBytes != 1 && plan.pixelBytes != 3) ||
	    size_t(plan.sourcePixels) * plan.pixelBytes > UINT32_MAX)
		return 0;
	size_t j = 0;
	for (; j < plan.destPixels; ++j) {
		if (plan.second[j] != plan.first[j] + plan.pixelBytes)
			break;
		plan.pairOffset[j] = uint32_t(plan.first[j]);
		plan.pairWeights[j] = uint32_t(plan.wx0[j]) | uint32_t(plan.wx1[j]) << 16;
	}
	return j;
}

bool planFits(const ColumnPlan &plan, uint32_t sourcePixels, uint32_t destPixels, double xFactor,
	      size_t pixelBytes)
{
	return plan.block && plan.sourcePixels == sourcePixels && plan.destPixels == destPixels &&
	       plan.xFactor == xFactor && plan.pixelBytes == pixelBytes;
}

void freePlan(ColumnPlan &plan)
{
	releaseWorkBlock(plan.block);
	plan = ColumnPlan{};
}

bool buildPlan(ColumnPlan &plan, uint32_t sourcePixels, uint32_t destPixels, double xFactor,
	       size_t pixelBytes)
{
	freePlan(plan);
	const size_t columns = destPixels;
	const size_t rowValues = columns * pixelBytes;
	ColumnPlan fresh;
	fresh.block = allocateCarved([&](Carver &carver) {
		fresh.first = carver.take<size_t>(columns);
		fresh.second = carver.take<size_t>(columns);
		fresh.fx = carver.take<double>(columns);
		fresh.gx = carver.take<double>(columns);
		fresh.wx0 = carver.take<uint16_t>(columns);
		fresh.wx1 = carver.take<uint16_t>(columns);
		fresh.pairOffset = carver.take<uint32_t>(columns);
		fresh.pairWeights = carver.take<uint32_t>(columns);
		/* + 8: the 3-byte gather stores a fourth value past its column */
		fresh.rows[0] = carver.take<uint16_t>(rowValues + 8);
		fresh.rows[1] = carver.take<uint16_t>(rowValues + 8);
		fresh.samples[0] = carver.take<double>((size_t(sourcePixels) + 1) * pixelBytes);
		fresh.samples[1] = carver.take<double>((size_t(sourcePixels) + 1) * pixelBytes);
	});
	if (!fresh.block)
		return false;

	fresh.sourcePixels = sourcePixels;
	fresh.destPixels = destPixels;
	fresh.xFactor = xFactor;
	fresh.pixelBytes = pixelBytes;

	const double lastPixel = double(sourcePixels) - 1.0;
	unsigned kx = 0;
	for (size_t j = 0; j < columns; ++j) {
		double x = double(j) / xFactor;
		if (x > lastPixel)
			x = lastPixel;
		const double whole = std::trunc(x);
		const size_t f = size_t(whole);
		fresh.fx[j] = x - whole;
		fresh.gx[j] = 1.0 - fresh.fx[j];
		fresh.first[j] = f * pixelBytes;
		/* At the line's end the second pixel has weight 0: read the first again. */
		fresh.second[j] = (f + 1 < sourcePixels ? f + 1 : f) * pixelBytes;
		kx = std::max(kx, dyadicOrder(fresh.fx[j]));
	}
	fresh.dyadic = kx <= kMaxDyadicOrder;
	fresh.kx = kx;
	if (fresh.dyadic) {
		for (size_t j = 0; j < columns; ++j) {
			const auto right = uint16_t(std::ldexp(fresh.fx[j], int(kx)));
			fresh.wx1[j] = right;
			fresh.wx0[j] = uint16_t((1u << kx) - right);
		}
		fresh.repeatColumns = repeatingColumns(fresh);
		fresh.pairColumns = pairingColumns(fresh);
	}
	plan = fresh;
	return true;
}

/* The carry --------------------------------------------------------------- */

struct Carry {
	intptr_t handle = 0;
	uint8_t *lines = nullptr;
	size_t bytes = 0;
	size_t held = 0;    // lines kept, at most bytes / L
	size_t written = 0; // bytes of the block ever written, cleared when it is reused
	uint32_t linesTaken = 0;
	uint32_t linesMade = 0;
	ColumnPlan plan;
	// The work memory of box averaging, kept from chunk to chunk while the
	// widths stay.
	void *boxBlock = nullptr;
	uint32_t boxSourcePixels = 0;
	uint32_t boxDestPixels = 0;
};

Carry carry;

bool carryExists()
{
	return carry.handle != 0 && carry.handle != kReleasedHandle;
}

bool createCarry(size_t lineBytes)
{
	carry.linesTaken = 0;
	carry.linesMade = 0;
	carry.held = 0;
	const size_t lines = lineBytes ? kBlockBudget / lineBytes : 0;
	const size_t bytes = lines * lineBytes + kCarrySpare;
	void *block = allocateWorkBlock(bytes);
	carry.handle = reinterpret_cast<intptr_t>(block);
	if (!block)
		return false;
	carry.lines = static_cast<uint8_t *>(block);
	carry.bytes = bytes;
	return true;
}

void releaseCarry()
{
	if (carry.handle != 0)
		releaseWorkBlock(carry.lines, carry.written);
	carry.written = 0;
	freePlan(carry.plan);
	releaseWorkBlock(carry.boxBlock);
	carry.boxBlock = nullptr;
	carry.lines = nullptr;
	carry.bytes = 0;
	carry.held = 0;
	carry.handle = kReleasedHandle;
}

// The lines of one call, numbered from the first carried line: the carried
// lines first, then the chunk. Numbers outside the lines there are resolve to
// the nearest line there is, so nothing outside the data is ever read: the
// interpolation reaches past the last line only with a weight of 0.
struct LineSource {
	const uint8_t *carried;
	size_t held;
	const uint8_t *chunk;
	int64_t chunkLines;
	int64_t carriedCount; // o: lines before the chunk
	size_t lineBytes;

	const uint8_t *line(int64_t i) const
	{
		if (i < carriedCount && held > 0)
			return carried + size_t(std::clamp<int64_t>(i, 0, int64_t(held) - 1)) * lineBytes;
		if (chunkLines > 0)
			return chunk + size_t(std::clamp<int64_t>(i - carriedCount, 0, chunkLines - 1)) *
					       lineBytes;
		return nullptr;
	}
};

// Keeps the lines from `first` to the end of the chunk for the next call, as
// many as the block holds. The copy runs in place from the lowest line up: a
// carried line only ever moves down, so nothing is overwritten before it is read.
void keepLines(const LineSource &source, int64_t first)
{
	const size_t lineBytes = source.lineBytes;
	const int64_t end = source.carriedCount + source.chunkLines;
	first = std::max<int64_t>(first, 0);
	const size_t capacity = lineBytes ? carry.bytes / lineBytes : 0;
	const size_t count = std::min<size_t>(size_t(std::max<int64_t>(end - first, 0)), capacity);

	for (size_t k = 0; k < count; ++k) {
		const uint8_t *line = source.line(first + int64_t(k));
		uint8_t *to = carry.lines + k * lineBytes;
		if (!line)
			std::memset(to, 0, lineBytes);
		else if (line != to)
			std::memmove(to, line, lineBytes);
	}
	carry.held = count;
	carry.written = std::max(carry.written, count * lineBytes);
}

/* Bilinear interpolation -------------------------------------------------- */

// Two doubles side by side (SSE2, NEON): every lane keeps IEEE double
// arithmetic, so a lane computes exactly what scalar code would.
using Doubles2 = double __attribute__((vector_size(16)));
// Their truncation toward zero, lane by lane (cvttpd2dq).
using Ints2 = int32_t __attribute__((vector_size(8)));

// One source line as doubles, converted once per call for the output lines
// that read it; the two lines in use are kept.
const double *sampleRow(ColumnPlan &plan, const uint8_t *line, const uint8_t *keep)
{
	for (unsigned r = 0; r < 2; ++r) {
		if (plan.sampleLine[r] == line)
			return plan.samples[r];
	}
	const unsigned r = plan.sampleLine[0] == keep ? 1 : 0;
	const size_t values = size_t(plan.sourcePixels) * plan.pixelBytes;
	double *row = plan.samples[r];
	for (size_t i = 0; i < values; ++i)
		row[i] = line[i];
	for (size_t i = 0; i < plan.pixelBytes; ++i)
		row[values + i] = row[values - plan.pixelBytes + i];
	plan.sampleLine[r] = line;
	return row;
}

// One output line in double precision. P is the pixel size in bytes, 0 for
// any size given at run time. Two output pixels go side by side in the lanes
// of a vector where P is known; each lane computes exactly the scalar
// expression of the remaining columns.
template<size_t P>
void interpolateLine(ColumnPlan &plan, const uint8_t *upperLine, const uint8_t *lowerLine,
		     double fy, uint8_t *out)
{
	const size_t bytes = P ? P : plan.pixelBytes;
	const double gy = 1.0 - fy;
	const size_t columns = plan.destPixels;
	/* Local copies: the byte stores below could alias the plan otherwise. */
	const size_t *const first = plan.first;
	const double *const fx = plan.fx;
	const double *const gx = plan.gx;
	const double *const upper = sampleRow(plan, upperLine, lowerLine);
	size_t j = 0;

	if (fy == 0.0) {
		/* w3 = w4 = 0 (and gy = 1): the terms they weigh add +0 to a
		 * non-negative sum and change nothing, so they are left out. */
		if constexpr (P != 0) {
			for (; j + 2 <= columns; j += 2, out += 2 * P) {
				const Doubles2 w1 = { gx[j], gx[j + 1] };
				const Doubles2 w2 = { fx[j], fx[j + 1] };
				const double *u0 = upper + first[j], *u1 = upper + first[j + 1];
				for (size_t n = 0; n < P; ++n) {
					const Doubles2 a = { u0[n], u1[n] };
					const Doubles2 b = { u0[P + n], u1[P + n] };
					const Ints2 value = __builtin_convertvector(w1 * a + w2 * b, Ints2);
					out[n] = uint8_t(value[0]);
					out[P + n] = uint8_t(value[1]);
				}
			}
		}
		for (; j < columns; ++j, out += bytes) {
			const double *a = upper + first[j];
			for (size_t n = 0; n < bytes; ++n)
				out[n] = uint8_t(int32_t(gx[j] * a[n] + fx[j] * a[bytes + n]));
		}
		return;
	}

	const double *const lower = sampleRow(plan, lowerLine, upperLine);
	if constexpr (P != 0) {
		for (; j + 2 <= columns; j += 2, out += 2 * P) {
			const Doubles2 g = { gx[j], gx[j + 1] };
			const Doubles2 f = { fx[j], fx[j + 1] };
			const Doubles2 w1 = gy * g;
			const Doubles2 w2 = gy * f;
			const Doubles2 w3 = fy * g;
			const Doubles2 w4 = fy * f;
			const double *u0 = upper + first[j], *u1 = upper + first[j + 1];
			const double *l0 = lower + first[j], *l1 = lower + first[j + 1];
			for (size_t n = 0; n < P; ++n) {
				const Doubles2 a = { u0[n], u1[n] };
				const Doubles2 b = { u0[P + n], u1[P + n] };
				const Doubles2 c = { l0[n], l1[n] };
				const Doubles2 d = { l0[P + n], l1[P + n] };
				const Ints2 value = __builtin_convertvector(w1 * a + w2 * b + w3 * c + w4 * d, Ints2);
				out[n] = uint8_t(value[0]);
				out[P + n] = uint8_t(value[1]);
			}
		}
	}
	for (; j < columns; ++j, out += bytes) {
		const double w1 = gy * gx[j];
		const double w2 = gy * fx[j];
		const double w3 = fy * gx[j];
		const double w4 = fy * fx[j];
		const double *a = upper + first[j];
		const double *c = lower + first[j];
		for (size_t n = 0; n < bytes; ++n)
			out[n] = uint8_t(int32_t(w1 * a[n] + w2 * a[bytes + n] + w3 * c[n] +
						 w4 * c[bytes + n]));
	}
}

// The horizontal half of the integer form where each source pixel f makes N
// output pixels: (N - r) a + r b for r = 0 ... N - 1, with a pixel f and b
// pixel f + 1. P and N are 0 when given at run time.
template<size_t P, unsigned N>
void repeatPixels(const uint8_t *line, uint16_t *row, size_t groups, size_t pixelBytes,
		  unsigned repeat = N)
{
	const size_t bytes = P ? P : pixelBytes;
	const unsigned n = N ? N : repeat;
	for (size_t f = 0; f < groups; ++f) {
		const uint8_t *a = line + f * bytes;
		const uint8_t *b = a + bytes;
		uint16_t *out = row + f * n * bytes;
		for (unsigned r = 0; r < n; ++r) {
			for (size_t i = 0; i < bytes; ++i)
				out[r * bytes + i] = uint16_t((n - r) * a[i] + r * b[i]);
		}
	}
}

#if defined(__SSE2__)
inline uint16_t load16(const uint8_t *bytes)
{
	uint16_t value;
	std::memcpy(&value, bytes, sizeof(value));
	return value;
}

inline uint32_t load32(const uint8_t *bytes)
{
	uint32_t value;
	std::memcpy(&value, bytes, sizeof(value));
	return value;
}

// wx0 a + wx1 b for one-byte pixels, eight columns at a time: the samples a =
// line[f] and b = line[f + 1] of a column are one 16-bit load, and pmaddwd
// multiplies both by their weights and adds. Returns the columns done.
size_t gatherPairs1(const uint8_t *line, const uint32_t *offset, const uint32_t *weights,
		    uint16_t *row, size_t columns)
{
	const __m128i zero = _mm_setzero_si128();
	size_t j = 0;
	for (; j + 8 <= columns; j += 8) {
		__m128i pairs = _mm_cvtsi32_si128(load16(line + offset[j]));
		pairs = _mm_insert_epi16(pairs, load16(line + offset[j + 1]), 1);
		pairs = _mm_insert_epi16(pairs, load16(line + offset[j + 2]), 2);
		pairs = _mm_insert_epi16(pairs, load16(line + offset[j + 3]), 3);
		pairs = _mm_insert_epi16(pairs, load16(line + offset[j + 4]), 4);
		pairs = _mm_insert_epi16(pairs, load16(line + offset[j + 5]), 5);
		pairs = _mm_insert_epi16(pairs, load16(line + offset[j + 6]), 6);
		pairs = _mm_insert_epi16(pairs, load16(line + offset[j + 7]), 7);
		const __m128i low = _mm_unpacklo_epi8(pairs, zero);
		const __m128i high = _mm_unpackhi_epi8(pairs, zero);
		const __m128i w0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(weights + j));
		const __m128i w1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(weights + j + 4));
		const __m128i sums = _mm_packs_epi32(_mm_madd_epi16(low, w0), _mm_madd_epi16(high, w1));
		_mm_storeu_si128(reinterpret_cast<__m128i *>(row + j), sums);
	}
	return j;
}

// The same for three-byte pixels, a column at a time: a0 a1 a2 b0 and a2 b0
// b1 b2 are two 32-bit loads within the two pixels, interleaved into pairs
// (a_n, b_n). Each column stores a fourth value past its own, which the next
// column (or the caller) overwrites.
size_t gatherPairs3(const uint8_t *line, const uint32_t *offset, const uint32_t *weights,
		    uint16_t *row, size_t columns)
{
	const __m128i zero = _mm_setzero_si128();
	for (size_t j = 0; j < columns; ++j) {
		const uint8_t *at = line + offset[j];
		const __m128i a = _mm_cvtsi32_si128(int(load32(at)));
		const __m128i b = _mm_cvtsi32_si128(int(load32(at + 2) >> 8));
		const __m128i pairs = _mm_unpacklo_epi8(_mm_unpacklo_epi8(a, b), zero);
		const __m128i w = _mm_shuffle_epi32(_mm_cvtsi32_si128(int(weights[j])), 0);
		const __m128i sums = _mm_packs_epi32(_mm_madd_epi16(pairs, w), zero);
		_mm_storel_epi64(reinterpret_cast<__m128i *>(row + 3 * j), sums);
	}
	return columns;
}
#endif

// The horizontal half of the integer form for one source line:
// wx0 a + wx1 b for every output byte, cached for the two lines in use.
template<size_t P>
const uint16_t *horizontalPass(ColumnPlan &plan, const uint8_t *line, const uint8_t *keep)
{
	for (unsigned r = 0; r < 2; ++r) {
		if (plan.rowLine[r] == line)
			return plan.rows[r];
	}
	const unsigned r = plan.rowLine[0] == keep ? 1 : 0;
	const size_t bytes = P ? P : plan.pixelBytes;
	uint16_t *row = plan.rows[r];
	const size_t *const first = plan.first;
	const size_t *const second = plan.second;
	const uint16_t *const wx0 = plan.wx0;
	const uint16_t *const wx1 = plan.wx1;
	size_t j = 0;
	if (plan.repeatColumns) {
		if (plan.kx == 1)
			repeatPixels<P, 2>(line, row, plan.repeatColumns / 2, bytes);
		else if (plan.kx == 2)
			repeatPixels<P, 4>(line, row, plan.repeatColumns / 4, bytes);
		else if (plan.kx == 3)
			repeatPixels<P, 8>(line, row, plan.repeatColumns / 8, bytes);
		else
			repeatPixels<P, 0>(line, row, plan.repeatColumns >> plan.kx, bytes, 1u << plan.kx);
		j = plan.repeatColumns;
		row += j * bytes;
	}
#if defined(__SSE2__)
	if (j == 0 && plan.pairColumns) {
		if (bytes == 1)
			j = gatherPairs1(line, plan.pairOffset, plan.pairWeights, row, plan.pairColumns);
		else if (bytes == 3)
			j = gatherPairs3(line, plan.pairOffset, plan.pairWeights, row, plan.pairColumns);
		row += j * bytes;
	}
#endif
	for (; j < plan.destPixels; ++j, row += bytes) {
		const unsigned w0 = wx0[j];
		const unsigned w1 = wx1[j];
		const uint8_t *a = line + first[j];
		const uint8_t *b = line + second[j];
		for (size_t n = 0; n < bytes; ++n)
			row[n] = uint16_t(w0 * a[n] + w1 * b[n]);
	}
	plan.rowLine[r] = line;
	return plan.rows[r];
}

// One output line in integers, when fx = X / 2^kx and fy = Y / 2^ky with kx +
// ky <= 8. Then every weight, product and partial sum of the double form is
// exact, its value is N / 2^(kx + ky) with N = wy0 (wx0 a + wx1 b) + wy1 (wx0 c
// + wx1 d), and its truncation is N >> (kx + ky): the very same byte.
template<size_t P>
void interpolateLineExactly(ColumnPlan &plan, const uint8_t *upper, const uint8_t *lower,
			    unsigned ky, unsigned wy1, uint8_t *out)
{
	const size_t values = plan.destPixels * (P ? P : plan.pixelBytes);
	const unsigned shift = plan.kx + ky;
	const uint16_t *h1 = horizontalPass<P>(plan, upper, lower);

	if (wy1 == 0) {
		for (size_t i = 0; i < values; ++i)
			out[i] = uint8_t(h1[i] >> shift);
		return;
	}
	const uint16_t *h2 = horizontalPass<P>(plan, lower, upper);
	const uint16_t wy0 = uint16_t((1u << ky) - wy1);
	const uint16_t w1 = uint16_t(wy1);
	for (size_t i = 0; i < values; ++i)
		out[i] = uint8_t(uint16_t(wy0 * h1[i] + w1 * h2[i]) >> shift);
}

template<size_t P>
void interpolateLines(ColumnPlan &plan, const LineSource &lines, uint8_t *destination,
		      uint32_t result, double yFactor, double startLine)
{
	const size_t outLineBytes = size_t(plan.destPixels) * plan.pixelBytes;
	/* The lines change from call to call. */
	plan.rowLine[0] = plan.rowLine[1] = nullptr;
	plan.sampleLine[0] = plan.sampleLine[1] = nullptr;

	for (uint32_t k = 0; k < result; ++k) {
		const double y = double(uint64_t(carry.linesMade) + k) / yFactor - startLine;
		const double base = std::trunc(y);
		const double fy = y - base;
		const int64_t b = truncToInt64(base);
		const uint8_t *upper = lines.line(b);
		const uint8_t *lower = lines.line(b + 1);
		uint8_t *out = destination + size_t(k) * outLineBytes;

		const unsigned ky = plan.dyadic ? dyadicOrder(fy) : kMaxDyadicOrder + 1;
		if (plan.kx + ky <= kMaxDyadicOrder)
			interpolateLineExactly<P>(plan, upper, lower, ky, unsigned(std::ldexp(fy, int(ky))),
						  out);
		else
			interpolateLine<P>(plan, upper, lower, fy, out);
	}
}

/* Box averaging ----------------------------------------------------------- */

// The boxes of a 24-bit chunk reduced by t = sourcePixels / destPixels across
// and u = sourceLines / result down. Each output pixel x owns an accumulator
// slot of three signed 32-bit sums in two rows (the output row in progress and
// the next one); every source pixel adds its bytes to one slot, or at a box
// boundary splits them between slot x and x + 1 by the float position of the
// boundary, in thousandths. Sums wrap modulo 2^32 instead of overflowing, so
// adding them in another order gives the same bits: the lines between two box
// boundaries are summed column by column first and spread over the slots once.
//
// The slots are worked on side by side, one lane per slot and channel
// (lane 3x + c), which vectorises: the run of whole pixels of a box is the
// difference of two running sums along the line, and what a box boundary
// hands on to the next slot is computed for every lane first and taken up by
// the next one after.
// The lane loops of box averaging, on their own with pointers that do not
// alias, so that they vectorise (with gathers where the level has them).
// The summed interior lines: s x 1000 of the run kept in each lane, and at a
// boundary s x (1000 - J) kept and s x J handed on to the next slot.
void spreadLanes(const uint32_t *__restrict sums, const uint32_t *__restrict from, const uint32_t *__restrict to,
		 const uint32_t *__restrict at, const uint32_t *__restrict share, uint32_t *__restrict cur,
		 uint32_t *__restrict handed, size_t lanes, size_t boundaryLanes)
{
	for (size_t i = 0; i < lanes; ++i) {
		const uint32_t runSum = sums[to[i]] - sums[from[i]];
		const uint32_t s = (i < boundaryLanes ? UINT32_MAX : 0u) & (sums[at[i] + 3] - sums[at[i]]);
		cur[i] += runSum * 1000u + s * (1000u - share[i]);
		handed[i] = s * share[i];
	}
}

// What the boundary pixel of each slot hands on to the next slot on a line at
// a box boundary down: J x dw to the current row, J x cw to the next.
void handOnLanes(const uint32_t *__restrict sums, const uint32_t *__restrict at, const uint32_t *__restrict share,
		 uint32_t cw, uint32_t *__restrict toCur, uint32_t *__restrict toNxt, size_t boundaryLanes)
{
	const uint32_t dw = 1000u - cw;
	for (size_t i = 0; i < boundaryLanes; ++i) {
		const uint32_t v = sums[at[i] + 3] - sums[at[i]];
		toCur[i] = uint32_t(wrappedQuotient(v * dw * share[i], 1000));
		toNxt[i] = uint32_t(wrappedQuotient(v * cw * share[i], 1000));
	}
}

// The runs and boundary pixels of a line at a box boundary down; a slot after
// a boundary takes up what it hands on (the next row's share replaces what
// that slot held).
void boxBoundaryLanes(const uint32_t *__restrict sums, const uint32_t *__restrict from, const uint32_t *__restrict to,
		      const uint32_t *__restrict at, const uint32_t *__restrict share, const uint32_t *__restrict toCur,
		      const uint32_t *__restrict toNxt, uint32_t cw, uint32_t *__restrict cur, uint32_t *__restrict nxt,
		      size_t lanes, size_t boundaryLanes)
{
	const uint32_t dw = 1000u - cw;
	/* Branch free: every lane reads a pixel in the line (a lane without a
	 * boundary reads the first one), and what it does not use is masked. */
	const auto lane = [&](size_t i, bool handedOn) {
		const uint32_t runSum = sums[to[i]] - sums[from[i]];
		const uint32_t boundary = i < boundaryLanes ? UINT32_MAX : 0u;
		const uint32_t v = sums[at[i] + 3] - sums[at[i]];
		const uint32_t k = 1000u - share[i];
		const uint32_t keptNow = uint32_t(wrappedQuotient(v * k * dw, 1000));
		const uint32_t keptNext = uint32_t(wrappedQuotient(v * k * cw, 1000));
		cur[i] = cur[i] + runSum * dw + (handedOn ? toCur[i - 3] : 0u) + (boundary & keptNow);
		nxt[i] = (handedOn ? toNxt[i - 3] : nxt[i]) + runSum * cw + (boundary & keptNext);
	};
	for (size_t i = 0; i < lanes && i < 3; ++i)
		lane(i, false);
	for (size_t i = 3; i < lanes; ++i)
		lane(i, i - 3 < boundaryLanes);
}

class BoxAverager
{
public:
	BoxAverager(uint32_t sourcePixels, uint32_t destPixels, int32_t sourceLines, uint32_t result)
		: sourcePixels_(sourcePixels), destPixels_(destPixels), sourceLines_(sourceLines),
		  result_(result)
	{
	}
	// The work memory, kept in the carry from call to call while the widths
	// stay (the release call frees it); the accumulators start at 0.
	bool allocate()
	{
		const size_t slotValues = 3 * (size_t(destPixels_) + 1);
		const auto layout = [&](Carver &carver) {
			current_ = carver.take<uint32_t>(slotValues);
			next_ = carver.take<uint32_t>(slotValues);
			columnSums_ = carver.take<uint32_t>(3 * size_t(sourcePixels_));
			running_ = carver.take<uint32_t>(3 * (size_t(sourcePixels_) + 1));
			runFrom_ = carver.take<uint32_t>(slotValues);
			runTo_ = carver.take<uint32_t>(slotValues);
			boundaryAt_ = carver.take<uint32_t>(slotValues);
			share_ = carver.take<uint32_t>(slotValues);
			toCurrent_ = carver.take<uint32_t>(slotValues);
			toNext_ = carver.take<uint32_t>(slotValues);
			boxRow_ = carver.take<uint16_t>(3 * size_t(sourcePixels_));
		};
		if (carry.boxBlock && carry.boxSourcePixels == sourcePixels_ && carry.boxDestPixels == destPixels_) {
			Carver placing;
			placing.place(carry.boxBlock);
			layout(placing);
			std::memset(current_, 0, slotValues * sizeof(uint32_t));
			std::memset(next_, 0, slotValues * sizeof(uint32_t));
			std::memset(columnSums_, 0, 3 * size_t(sourcePixels_) * sizeof(uint32_t));
			return true;
		}
		releaseWorkBlock(carry.boxBlock);
		carry.boxBlock = allocateCarved(layout);
		carry.boxSourcePixels = sourcePixels_;
		carry.boxDestPixels = destPixels_;
		return carry.boxBlock != nullptr;
	}

	void run(const uint8_t *source, uint8_t *destination)
	{
		const float t = float(sourcePixels_) / float(destPixels_);
		const float u = float(sourceLines_) / float(result_);
		/* A box weighs t x 1000 x u thousandths; 0 (an impossible box) divides by 1. */
		divisor_ = double(std::max(truncToInt32((t * 1000.0f) * u), 1));
		if (wholeBoxes(t, u)) {
			averageWholeBoxes(uint32_t(t), uint32_t(u), source, destination);
			return;
		}
		planColumns(t);

		const size_t lineBytes = 3 * size_t(sourcePixels_);
		const size_t outLineBytes = 3 * size_t(destPixels_);
		float boundary = u - 1.0f;
		uint32_t row = 0;
		bool pending = false;

		for (int32_t a = 0; a < sourceLines_; ++a) {
			const uint8_t *line = source + size_t(a) * lineBytes;
			if (boundary > float(a)) {
				addToColumnSums(line);
				pending = true;
				continue;
			}
			const int32_t cw = truncToInt32((float(a) - boundary) * 1000.0f);
			uint8_t *out = row < result_ ? destination + size_t(row) * outLineBytes : nullptr;
			if (cw == 0 && t >= 1.0f) {
				/* The boundary falls on the line's lower edge: the whole line
				 * belongs to the row it ends, as an interior line would, and
				 * the next row starts from nothing. (With at least one source
				 * pixel per box every share across is below 1000, so the
				 * thousandths the boundary line divides out are exact; a
				 * narrower box needs the boundary line's own wrapped sums.) */
				addToColumnSums(line);
				spreadColumnSums();
				if (out)
					writeRow(out);
				std::memset(current_, 0, (lanes_ + 3) * sizeof(uint32_t));
			} else {
				if (pending)
					spreadColumnSums();
				boundaryLine(line, uint32_t(cw), out);
				std::swap(current_, next_);
				next_[0] = next_[1] = next_[2] = 0;
			}
			pending = false;
			++row;
			boundary += u;
		}
		if (pending)
			spreadColumnSums();
		if (row < result_) {
			uint8_t *out = destination + size_t(row) * outLineBytes;
			for (size_t i = 0; i < outLineBytes; ++i)
				out[i] = quotient(current_[i]);
		}
	}

private:
	// Whether every output byte is the plain mean of a whole t x u block:
	// with t and u whole numbers every float boundary falls on a pixel's
	// edge, every share J and cw is 0, and each box weighs t x u x 1000. The
	// boxes of the written pixels and rows lie inside the chunk (pixels and
	// lines past them feed only slots and rows that are never written), and
	// their sums of at most 127 x 255 fit 16 bits.
	bool wholeBoxes(float t, float u) const
	{
		const auto whole = [](float value) { return value >= 1.0f && value < 128.0f && value == std::floor(value); };
		if (!whole(t) || !whole(u))
			return false;
		const uint32_t across = uint32_t(t), down = uint32_t(u);
		return across * down >= 2 && across * down <= 127 &&
		       uint64_t(across) * destPixels_ <= sourcePixels_ &&
		       uint64_t(down) * result_ <= uint64_t(sourceLines_);
	}

	// Whole boxes: the u lines of an output row summed byte by byte into
	// 16-bit lanes, then t pixels of that row summed across and divided by
	// t x u with an exact multiply and shift. The sums are those the float
	// boundaries accumulate (times 1000), so the quotients are the same.
	void averageWholeBoxes(uint32_t t, uint32_t u, const uint8_t *source, uint8_t *destination)
	{
		const detail::ClampedQuotient16 mean(int32_t(t * u));
		const size_t lineBytes = 3 * size_t(sourcePixels_);
		const size_t usedBytes = 3 * size_t(t) * destPixels_;
		const size_t outLineBytes = 3 * size_t(destPixels_);
		for (uint32_t row = 0; row < result_; ++row) {
			const uint8_t *first = source + size_t(row) * u * lineBytes;
			sumLinesDown(first, lineBytes, u, usedBytes);
			uint8_t *out = destination + size_t(row) * outLineBytes;
			switch (t) {
			case 3:
				sumPixelsAcross(out, std::integral_constant<uint32_t, 3>{}, mean);
				break;
			case 4:
				sumPixelsAcross(out, std::integral_constant<uint32_t, 4>{}, mean);
				break;
			case 6:
				sumPixelsAcross(out, std::integral_constant<uint32_t, 6>{}, mean);
				break;
			default:
				sumPixelsAcross(out, t, mean);
				break;
			}
		}
	}

	void sumLinesDown(const uint8_t *first, size_t lineBytes, uint32_t u, size_t usedBytes)
	{
		uint16_t *__restrict sums = boxRow_;
		for (size_t i = 0; i < usedBytes; ++i)
			sums[i] = first[i];
		for (uint32_t k = 1; k < u; ++k) {
			const uint8_t *__restrict line = first + k * lineBytes;
			for (size_t i = 0; i < usedBytes; ++i)
				sums[i] = uint16_t(sums[i] + line[i]);
		}
	}

	// The t pixels of each box summed channel by channel. Width is t itself,
	// or t fixed at compile time for the usual factors (a std::integral_constant),
	// so that the strided loads become shuffles.
	template<typename Width>
	void sumPixelsAcross(uint8_t *__restrict out, Width t, const detail::ClampedQuotient16 &mean) const
	{
		const uint16_t *__restrict sums = boxRow_;
		const size_t pixels = destPixels_, across = t;
		for (size_t x = 0; x < pixels; ++x) {
			for (size_t c = 0; c < 3; ++c) {
				uint16_t sum = 0;
				for (size_t j = 0; j < across; ++j)
					sum = uint16_t(sum + sums[3 * (across * x + j) + c]);
				out[3 * x + c] = mean(int16_t(sum));
			}
		}
	}

	// The box boundaries across: slot x gathers the whole pixels from its
	// run's start to the pixel where it ends, whose share J (thousandths) goes
	// to slot x + 1. Boundaries past the last output pixel touch only slots
	// that are never written out, and are left aside. Per lane: the run as
	// two places in the running sums, the boundary byte, and J.
	void planColumns(float t)
	{
		float boundary = t - 1.0f;
		uint32_t count = 0;
		uint32_t runStart = 0;
		for (uint32_t d = 0; d < sourcePixels_; ++d) {
			if (boundary > float(d))
				continue;
			if (count < destPixels_)
				planSlot(count, runStart, d, truncToInt32((float(d) - boundary) * 1000.0f));
			runStart = d + 1;
			++count;
			boundary += t;
		}
		boundaries_ = std::min(count, destPixels_);
		/* The slot after the last boundary still gathers, and is written out,
		 * while it is an output pixel: up to the end of the line. */
		lastSlot_ = count < destPixels_ ? count : destPixels_ - 1;
		if (count < destPixels_)
			planSlot(count, runStart, sourcePixels_, 0);
		lanes_ = 3 * (size_t(lastSlot_) + 1);
	}

	// Slot x: whole pixels [from, to), then the boundary pixel `to` with share
	// j, unless `to` is the end of the line.
	void planSlot(uint32_t x, uint32_t from, uint32_t to, int32_t j)
	{
		for (uint32_t c = 0; c < 3; ++c) {
			const size_t lane = 3 * size_t(x) + c;
			runFrom_[lane] = 3 * from + c;
			runTo_[lane] = 3 * to + c;
			/* A slot without a boundary reads (and masks) the first pixel. */
			boundaryAt_[lane] = to < sourcePixels_ ? 3 * to + c : c;
			share_[lane] = uint32_t(j);
		}
	}

	bool hasBoundary(size_t lane) const { return lane / 3 < boundaries_; }

	// An exact quotient: for |sum| < 2^31 and a divisor of at least 1 the
	// double quotient lies closer to the true one than any integer it does
	// not equal, so truncating it truncates the true quotient.
	uint8_t quotient(uint32_t sum) const { return uint8_t(int32_t(double(int32_t(sum)) / divisor_)); }

	void addToColumnSums(const uint8_t *line)
	{
		uint32_t *sums = columnSums_;
		const size_t bytes = 3 * size_t(sourcePixels_);
		for (size_t i = 0; i < bytes; ++i)
			sums[i] += line[i];
	}

	// Running sums of each channel along a line: running_[3d + c] is the sum
	// of channel c over pixels 0 ... d - 1 (modulo 2^32).
	template<typename Value>
	void runningSums(const Value *values)
	{
		uint32_t *sums = running_;
		uint32_t red = 0, green = 0, blue = 0;
		sums[0] = sums[1] = sums[2] = 0;
		const size_t pixels = sourcePixels_;
		for (size_t d = 0; d < pixels; ++d) {
			sums[3 * d + 3] = red += values[3 * d];
			sums[3 * d + 4] = green += values[3 * d + 1];
			sums[3 * d + 5] = blue += values[3 * d + 2];
		}
	}

	// Adds the summed interior lines to the current row: s x 1000 inside a
	// box, s x (1000 - J) and s x J at its boundary.
	void spreadColumnSums()
	{
		runningSums(columnSums_);
		const size_t lanes = lanes_, boundaryLanes = 3 * size_t(boundaries_);
		uint32_t *cur = current_, *handed = toCurrent_;
		spreadLanes(running_, runFrom_, runTo_, boundaryAt_, share_, cur, handed, lanes, boundaryLanes);
		for (size_t i = 3; i < lanes; ++i)
			cur[i] += handed[i - 3];
		if (boundaries_ > lastSlot_) {
			for (size_t i = lanes; i < lanes + 3; ++i)
				cur[i] += handed[i - 3];
		}
		std::memset(columnSums_, 0, 3 * size_t(sourcePixels_) * sizeof(uint32_t));
	}

	// A line on a box boundary down: its share cw (thousandths) goes to the next
	// row, 1000 - cw to the current one, which is then complete and written out.
	// At a boundary across, the share J of the boundary pixel goes on to slot
	// x + 1: J x dw to the current row, and J x cw starts that slot's next row
	// afresh.
	void boundaryLine(const uint8_t *line, uint32_t cw, uint8_t *out)
	{
		runningSums(line);
		uint32_t *cur = current_, *nxt = next_, *toCur = toCurrent_, *toNxt = toNext_;
		const size_t lanes = lanes_, boundaryLanes = 3 * size_t(boundaries_);
		handOnLanes(running_, boundaryAt_, share_, cw, toCur, toNxt, boundaryLanes);
		boxBoundaryLanes(running_, runFrom_, runTo_, boundaryAt_, share_, toCur, toNxt, cw, cur, nxt, lanes,
				 boundaryLanes);
		/* The spare slot after the last output pixel takes what its
		 * boundary hands on, as any slot would. */
		if (boundaries_ > lastSlot_) {
			for (size_t i = lanes; i < lanes + 3; ++i) {
				cur[i] += toCur[i - 3];
				nxt[i] = toNxt[i - 3];
			}
		}
		if (out)
			writeRow(out);
	}

	// The completed row: the slots up to the last boundary across, and a last
	// box whose boundary fell just past the line, written as it is.
	void writeRow(uint8_t *out) const
	{
		const size_t boundaryLanes = 3 * size_t(boundaries_);
		const uint32_t *cur = current_;
		for (size_t i = 0; i < boundaryLanes; ++i)
			out[i] = quotient(cur[i]);
		if (boundaries_ < destPixels_) {
			for (size_t i = boundaryLanes; i < boundaryLanes + 3; ++i)
				out[i] = quotient(cur[i]);
		}
	}

	uint32_t sourcePixels_;
	uint32_t destPixels_;
	int32_t sourceLines_;
	uint32_t result_;
	double divisor_ = 1.0;
	uint32_t boundaries_ = 0;
	uint32_t lastSlot_ = 0;
	size_t lanes_ = 0;

	uint32_t *current_ = nullptr;
	uint32_t *next_ = nullptr;
	uint32_t *columnSums_ = nullptr;
	uint32_t *running_ = nullptr;
	uint32_t *runFrom_ = nullptr;
	uint32_t *runTo_ = nullptr;
	uint32_t *boundaryAt_ = nullptr;
	uint32_t *share_ = nullptr;
	uint32_t *toCurrent_ = nullptr;
	uint32_t *toNext_ = nullptr;
	uint16_t *boxRow_ = nullptr;
};

/* The call ---------------------------------------------------------------- */

size_t bytesPerPixel(uint16_t bitsPerPixel)
{
	return bitsPerPixel >= 8 ? bitsPerPixel / 8 : 1;
}

bool describesChunk(uint32_t sourcePixels, int32_t sourceLines, const uint8_t *destination,
		    uint32_t destPixels, double xFactor, double yFactor, size_t pixelBytes)
{
	const auto positive = [](double factor) { return factor > 0.0 && std::isfinite(factor); };
	return sourcePixels > 0 && sourceLines >= 0 && pixelBytes <= 8 &&
	       (destination || destPixels == 0) && positive(xFactor) && positive(yFactor);
}

uint32_t toLineCount(double lines)
{
	if (!(lines > 0.0))
		return 0;
	return lines >= 4294967295.0 ? UINT32_MAX : uint32_t(lines);
}

// Interpolates the output lines of one call and keeps the lines the next one
// needs; false, with nothing written or kept, when the column plan cannot be made.
bool interpolate(const uint8_t *source, uint32_t sourcePixels, int32_t sourceLines,
		 uint8_t *destination, uint32_t destPixels, double xFactor, double yFactor,
		 size_t pixelBytes, double lines, int64_t carried, double startLine, uint32_t &result)
{
	/* With nothing carried (a scan's first call) the output trails the input
	 * by trunc(yFactor) lines: the line below the last is not there yet. */
	if (carried == 0)
		lines -= std::trunc(yFactor);
	result = toLineCount(lines);

	ColumnPlan &plan = carry.plan;
	if (result > 0 && destPixels > 0 &&
	    !planFits(plan, sourcePixels, destPixels, xFactor, pixelBytes) &&
	    !buildPlan(plan, sourcePixels, destPixels, xFactor, pixelBytes))
		return false;

	const size_t lineBytes = size_t(sourcePixels) * pixelBytes;
	const LineSource lineSource{ carry.lines, carry.held, source, sourceLines, carried, lineBytes };
	if (result > 0 && destPixels > 0) {
		switch (pixelBytes) {
		case 1:
			interpolateLines<1>(plan, lineSource, destination, result, yFactor, startLine);
			break;
		case 3:
			interpolateLines<3>(plan, lineSource, destination, result, yFactor, startLine);
			break;
		case 6:
			interpolateLines<6>(plan, lineSource, destination, result, yFactor, startLine);
			break;
		default:
			interpolateLines<0>(plan, lineSource, destination, result, yFactor, startLine);
			break;
		}
	}

	/* The next call's first output line lies at w lines into the chunk; keep
	 * the source lines from there on. Rounding down, not toward zero: when no
	 * line came out, w is negative, the position lies among the carried lines,
	 * and every one of them from its line on is still needed. */
	const double next = double(uint64_t(carry.linesMade) + result) / yFactor - startLine;
	const int64_t w = truncToInt64(std::floor(next - double(carried)));
	keepLines(lineSource, carried + w);
	return true;
}

} // namespace

uint32_t ResampleLines(const uint8_t *source, uint32_t sourcePixels, int32_t sourceLines,
		       uint8_t *destination, uint32_t destPixels, double xFactor, double yFactor,
		       uint16_t bitsPerPixel)
{
	const size_t pixelBytes = bytesPerPixel(bitsPerPixel);

	if (!carryExists() && !createCarry(size_t(sourcePixels) * pixelBytes))
		return 0;
	if (!source) {
		releaseCarry();
		return 0;
	}
	if (!describesChunk(sourcePixels, sourceLines, destination, destPixels, xFactor, yFactor,
			    pixelBytes))
		return 0;

	const double taken = carry.linesTaken;
	const double lines = std::trunc((taken + double(sourceLines)) * yFactor) -
			     std::trunc(taken * yFactor);
	const double startLine = std::trunc(double(carry.linesMade) / yFactor);
	const int64_t carried = truncToInt64(taken - startLine);

	uint32_t result = 0;
	if (bitsPerPixel == 24 && xFactor < 0.5 && yFactor < 0.5) {
		/* Box averaging: each chunk on its own, nothing carried. */
		result = toLineCount(lines);
		if (result > 0 && destPixels > 0) {
			BoxAverager averager(sourcePixels, destPixels, sourceLines, result);
			if (!averager.allocate())
				return 0;
			runAtSimdLevel([&] { averager.run(source, destination); });
		}
	} else {
		if (!interpolate(source, sourcePixels, sourceLines, destination, destPixels, xFactor,
				 yFactor, pixelBytes, lines, carried, startLine, result))
			return 0;
	}

	carry.linesTaken += uint32_t(sourceLines);
	carry.linesMade += result;
	return result;
}

ResampleState resampleState()
{
	return { carry.handle, carry.bytes, carry.held, carry.linesTaken, carry.linesMade };
}

} // namespace torvane::imaging
