// SPDX-License-Identifier: MIT
// Reference resampler: every output byte computed on its own, step by step.

#include "oracle.h"
#include "zeroed_buffer.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace torvane::imaging::oracle {

namespace {

struct ResampleCarry {
	bool exists = false;
	ZeroedBuffer buffer;
	size_t held = 0;
	uint32_t linesTaken = 0;
	uint32_t linesMade = 0;
} carry;

// Truncation toward zero, saturating instead of undefined beyond int32.
int32_t truncFloat(float value)
{
	if (std::isnan(value))
		return 0;
	if (value >= 2147483648.0f)
		return INT32_MAX;
	if (value < -2147483648.0f)
		return INT32_MIN;
	return int32_t(value);
}

int64_t truncDouble(double value)
{
	if (std::isnan(value))
		return 0;
	return int64_t(std::clamp(value, -4611686018427387904.0, 4611686018427387904.0));
}

// Signed 32-bit arithmetic that wraps instead of overflowing.
int32_t wrap(int64_t value)
{
	return int32_t(uint32_t(uint64_t(value)));
}

// The product a b c in signed 32-bit arithmetic that wraps.
int32_t product(int64_t a, int64_t b, int64_t c)
{
	return int32_t(uint32_t(uint64_t(a) * uint64_t(b) * uint64_t(c)));
}

void addTo(std::vector<int32_t> &row, uint64_t index, int64_t value)
{
	if (index < row.size())
		row[index] = wrap(int64_t(row[index]) + value);
}

// The lines of a call numbered from the first carried line; a number outside
// the lines there are gives the nearest line there is.
const uint8_t *lineAt(int64_t i, int64_t o, const uint8_t *source, int64_t sourceLines, size_t L)
{
	if (i < o && carry.held > 0)
		return carry.buffer.data() + size_t(std::clamp<int64_t>(i, 0, int64_t(carry.held) - 1)) * L;
	if (sourceLines > 0)
		return source + size_t(std::clamp<int64_t>(i - o, 0, sourceLines - 1)) * L;
	return nullptr;
}

uint32_t bilinear(const uint8_t *source, uint32_t sourcePixels, int32_t sourceLines,
		  uint8_t *destination, uint32_t destPixels, double xFactor, double yFactor,
		  size_t p, double resultLines, int64_t o)
{
	const size_t L = size_t(sourcePixels) * p;
	const size_t Lo = size_t(destPixels) * p;
	if (o == 0)
		resultLines -= std::trunc(yFactor);
	const uint32_t result = resultLines > 0 ? uint32_t(std::min(resultLines, 4294967295.0)) : 0;
	const double made = carry.linesMade;

	for (uint32_t k = 0; k < result; ++k) {
		const double Y = (made + k) / yFactor - std::trunc(made / yFactor);
		const int64_t B = truncDouble(std::trunc(Y));
		const double fy = Y - double(B);
		const uint8_t *first = lineAt(B, o, source, sourceLines, L);
		const uint8_t *second = lineAt(B + 1, o, source, sourceLines, L);
		for (uint32_t j = 0; j < destPixels; ++j) {
			double X = double(j) / xFactor;
			if (X > double(sourcePixels) - 1)
				X = double(sourcePixels) - 1;
			const size_t F = size_t(std::trunc(X));
			const double fx = X - double(F);
			/* Beyond the last pixel the neighbour has weight 0: take F again. */
			const size_t F1 = F + 1 < sourcePixels ? F + 1 : F;
			for (size_t n = 0; n < p; ++n) {
				const double a = first[F * p + n];
				const double b = first[F1 * p + n];
				const double c = second[F * p + n];
				const double d = second[F1 * p + n];
				const double value = (1 - fy) * (1 - fx) * a + (1 - fy) * fx * b +
						     fy * (1 - fx) * c + fy * fx * d;
				destination[k * Lo + j * p + n] = uint8_t(int(value));
			}
		}
	}

	/* The first line the next call needs, w lines into the chunk (rounded
	 * down: negative w points into the carried lines). */
	const double w = std::floor((made + result) / yFactor - std::trunc(made / yFactor) - double(o));
	const int64_t from = std::max<int64_t>(o + truncDouble(w), 0);
	const int64_t end = o + sourceLines;
	const size_t capacity = L ? carry.buffer.size() / L : 0;
	const size_t count = std::min<size_t>(size_t(std::max<int64_t>(end - from, 0)), capacity);
	std::vector<uint8_t> kept(count * L, 0);
	for (size_t k = 0; k < count; ++k) {
		const uint8_t *line = lineAt(from + int64_t(k), o, source, sourceLines, L);
		if (line)
			std::copy(line, line + L, kept.begin() + k * L);
	}
	std::copy(kept.begin(), kept.end(), carry.buffer.data());
	carry.held = count;
	return result;
}

uint32_t boxAverage(const uint8_t *source, uint32_t sourcePixels, int32_t sourceLines,
		    uint8_t *destination, uint32_t destPixels, uint32_t result)
{
	if (result == 0 || destPixels == 0)
		return result;
	const size_t L = size_t(sourcePixels) * 3;
	const size_t Lo = size_t(destPixels) * 3;

	const float t = float(sourcePixels) / float(destPixels);
	const float u = float(sourceLines) / float(result);
	int32_t v = truncFloat((t * 1000.0f) * u);
	if (v < 1)
		v = 1;

	std::vector<int32_t> rowA(Lo + 3, 0);
	std::vector<int32_t> rowB(Lo + 3, 0);
	std::vector<int32_t> *current = &rowA;
	std::vector<int32_t> *next = &rowB;
	float By = u - 1.0f;
	uint32_t n = 0;

	auto put = [&](uint64_t x, int c, int32_t sum) {
		if (n < result && x < destPixels)
			destination[n * Lo + x * 3 + c] = uint8_t(sum / v);
	};

	for (int32_t A = 0; A < sourceLines; ++A) {
		const uint8_t *s = source + size_t(A) * L;
		if (By > float(A)) {
			float Bx = t - 1.0f;
			uint64_t x = 0;
			for (uint32_t D = 0; D < sourcePixels; ++D) {
				if (Bx > float(D)) {
					for (int c = 0; c < 3; ++c)
						addTo(*current, 3 * x + c, int64_t(s[3 * D + c]) * 1000);
				} else {
					const int32_t E = truncFloat((float(D) - Bx) * 1000.0f);
					for (int c = 0; c < 3; ++c) {
						addTo(*current, 3 * x + c, int64_t(s[3 * D + c]) * (1000 - int64_t(E)));
						addTo(*current, 3 * x + 3 + c, int64_t(s[3 * D + c]) * E);
					}
					x += 1;
					Bx += t;
				}
			}
		} else {
			const int32_t Cw = truncFloat((float(A) - By) * 1000.0f);
			const int64_t Dw = 1000 - int64_t(Cw);
			float Bx = t - 1.0f;
			uint64_t x = 0;
			uint64_t done = 0;
			for (uint32_t D = 0; D < sourcePixels; ++D) {
				if (Bx > float(D)) {
					for (int c = 0; c < 3; ++c) {
						addTo(*current, 3 * x + c, int64_t(s[3 * D + c]) * Dw);
						addTo(*next, 3 * x + c, int64_t(s[3 * D + c]) * Cw);
					}
				} else {
					const int32_t J = truncFloat((float(D) - Bx) * 1000.0f);
					const int64_t K = 1000 - int64_t(J);
					for (int c = 0; c < 3; ++c) {
						const int64_t sv = s[3 * D + c];
						addTo(*current, 3 * x + c, product(sv, K, Dw) / 1000);
						if (3 * x + c < current->size())
							put(x, c, (*current)[3 * x + c]);
						addTo(*next, 3 * x + c, product(sv, K, Cw) / 1000);
						addTo(*current, 3 * x + 3 + c, product(sv, Dw, J) / 1000);
						if (3 * x + 3 + c < next->size())
							(*next)[3 * x + 3 + c] = product(sv, Cw, J) / 1000;
					}
					x += 1;
					done += 1;
					Bx += t;
				}
			}
			if (done < destPixels) {
				for (int c = 0; c < 3; ++c)
					put(done, c, (*current)[3 * done + c]);
			}
			std::swap(current, next);
			(*next)[0] = (*next)[1] = (*next)[2] = 0;
			n += 1;
			By += u;
		}
	}
	if (n < result) {
		for (size_t i = 0; i < Lo; ++i)
			destination[n * Lo + i] = uint8_t((*current)[i] / v);
	}
	return result;
}

} // namespace

uint32_t ResampleLines(const uint8_t *source, uint32_t sourcePixels, int32_t sourceLines,
		       uint8_t *destination, uint32_t destPixels, double xFactor, double yFactor,
		       uint16_t bitsPerPixel)
{
	const size_t p = bitsPerPixel >= 8 ? bitsPerPixel / 8 : 1;
	const size_t L = size_t(sourcePixels) * p;

	if (!carry.exists) {
		carry.linesTaken = 0;
		carry.linesMade = 0;
		carry.held = 0;
		const size_t m = L == 0 ? 0 : 5242880 / L;
		carry.buffer.assign(m * L + 6);
		carry.exists = true;
	}
	if (!source) {
		carry.buffer.clear();
		carry.held = 0;
		carry.exists = false;
		return 0;
	}
	const auto factorOk = [](double f) { return f > 0 && std::isfinite(f); };
	if (sourcePixels == 0 || sourceLines < 0 || p > 8 || (!destination && destPixels > 0) ||
	    !factorOk(xFactor) || !factorOk(yFactor))
		return 0;

	const double taken = carry.linesTaken;
	const double resultLines = std::trunc((taken + sourceLines) * yFactor) - std::trunc(taken * yFactor);
	const int64_t o = truncDouble(taken - std::trunc(double(carry.linesMade) / yFactor));

	uint32_t result;
	if (bitsPerPixel == 24 && xFactor < 0.5 && yFactor < 0.5)
		result = boxAverage(source, sourcePixels, sourceLines, destination, destPixels,
				    resultLines > 0 ? uint32_t(std::min(resultLines, 4294967295.0)) : 0);
	else
		result = bilinear(source, sourcePixels, sourceLines, destination, destPixels, xFactor,
				  yFactor, p, resultLines, o);

	carry.linesTaken += uint32_t(sourceLines);
	carry.linesMade += result;
	return result;
}

} // namespace torvane::imaging::oracle
