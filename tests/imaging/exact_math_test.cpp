// SPDX-License-Identifier: MIT
// The conversions and divisions the image bytes depend on, checked exhaustively.

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "imaging/exact_math.h"

using namespace torvane::imaging::detail;

namespace {

TEST(ExactMath, ClampedQuotientIsTheTruncatedQuotientClamped)
{
	for (int32_t divisor = 1; divisor <= 127; ++divisor) {
		const ClampedQuotient quotient(divisor);
		for (int32_t sum = -3000; sum < 256 * divisor + 3000; ++sum)
			ASSERT_EQ(quotient(sum), std::clamp(sum / divisor, 0, 255)) << sum << " / " << divisor;
		ASSERT_EQ(quotient(INT32_MAX), 255);
		ASSERT_EQ(quotient(INT32_MIN), 0);
	}
}

TEST(ExactMath, SixteenBitQuotientCoversEveryInt16Sum)
{
	for (int32_t divisor = 2; divisor <= 127; ++divisor) {
		const ClampedQuotient16 quotient(divisor);
		for (int32_t sum = INT16_MIN; sum <= INT16_MAX; ++sum)
			ASSERT_EQ(quotient(int16_t(sum)), std::clamp(sum / divisor, 0, 255))
				<< sum << " / " << divisor;
	}
}

TEST(ExactMath, MultiplyHighDivisionsWithinTheirBounds)
{
	/* Sums of three bytes by 3, luminance sums up to 2550 by 10. */
	EXPECT_TRUE(dividesExactlyBelow<3>(766));
	EXPECT_TRUE(dividesExactlyBelow<10>(2551));
	EXPECT_FALSE(dividesExactlyBelow<3>(65536)) << "the bound matters";
	EXPECT_FALSE(dividesExactlyBelow<10>(65536));
}

TEST(ExactMath, SignedDivisorDividesEveryInt32)
{
	std::mt19937 generator(32);
	std::vector<int32_t> dividends{ 0, 1, -1, 999, -999, 1000, -1000, INT32_MAX, INT32_MIN,
					INT32_MAX - 1, INT32_MIN + 1 };
	for (int i = 0; i < 2000; ++i)
		dividends.push_back(int32_t(generator()));
	std::vector<int32_t> divisors{ 1, 2, 3, 7, 1000, 1024, 6250, 9000, 16000, 99000000,
				       INT32_MAX, 1 << 30 };
	for (int i = 0; i < 200; ++i)
		divisors.push_back(int32_t(generator() >> (1 + i % 31)) | 1);
	for (int32_t divisor : divisors) {
		const SignedDivisor d(divisor);
		for (int32_t n : dividends)
			ASSERT_EQ(d.divide(n), n / divisor) << n << " / " << divisor;
		for (int32_t k = -3; k <= 3; ++k) { /* around multiples of the divisor */
			const int64_t m = int64_t(divisor) * k;
			for (int64_t n = m - 2; n <= m + 2; ++n) {
				if (n >= INT32_MIN && n <= INT32_MAX) {
					ASSERT_EQ(d.divide(int32_t(n)), int32_t(n) / divisor) << n;
				}
			}
		}
	}
}

TEST(ExactMath, TheUpperProductOf32BitTargetsIsTheWideOne)
{
	std::mt19937_64 generator(96);
	std::vector<std::pair<uint32_t, uint64_t>> cases{ { UINT32_MAX, UINT64_MAX }, { 0, UINT64_MAX }, { UINT32_MAX, 0 }, { 1u << 31, 1ull << 63 }, { 3, UINT64_MAX / 3 + 1 }, { UINT32_MAX, 0xFFFFFFFFull } };
	for (int i = 0; i < 100000; ++i)
		cases.emplace_back(uint32_t(generator() >> (i % 32)), generator() >> (i % 61));
	for (const auto &[a, m] : cases) {
		__extension__ typedef unsigned __int128 Wide;
		ASSERT_EQ(upperProductWithoutWideType(a, m), uint64_t((Wide(a) * m) >> 64)) << a << " x " << m;
	}
}

TEST(ExactMath, ConversionsSaturateInsteadOfOverflowing)
{
	EXPECT_EQ(truncToInt32(-1.9f), -1);
	EXPECT_EQ(truncToInt32(999.999f), 999);
	EXPECT_EQ(truncToInt32(3e9f), INT32_MAX);
	EXPECT_EQ(truncToInt32(-3e9f), INT32_MIN);
	EXPECT_EQ(truncToInt32(-2147483648.0f), INT32_MIN);
	EXPECT_EQ(truncToInt32(std::numeric_limits<float>::infinity()), INT32_MAX);
	EXPECT_EQ(truncToInt32(std::nanf("")), 0);
	EXPECT_EQ(truncToInt64(1e300), INT64_C(4611686018427387904));
	EXPECT_EQ(truncToInt64(-7.5), -7);
	EXPECT_EQ(truncToInt64(std::nan("")), 0);
}

TEST(ExactMath, WrappedQuotientDividesTheSigned32BitValue)
{
	EXPECT_EQ(wrappedQuotient(uint32_t(-2001), 1000), -2);
	EXPECT_EQ(wrappedQuotient(2001u, 1000), 2);
	EXPECT_EQ(wrappedQuotient(0x80000000u, -1), INT32_MIN);
	EXPECT_EQ(wrappedQuotient(0xFFFFFFFFu, 7), 0);
}

} // namespace
