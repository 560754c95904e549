// SPDX-License-Identifier: MIT
// Conversions whose results the image bytes depend on, defined for every input.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstdint>

// Every float and double expression of the image routines must be evaluated in
// its own type: the bytes they produce are fixed, on every platform.
static_assert(FLT_EVAL_METHOD == 0, "float and double must be evaluated without excess precision");

namespace torvane::imaging::detail {

// Truncates toward zero. Values beyond the int32 range saturate and NaN gives
// 0, where a plain conversion would be undefined.
inline int32_t truncToInt32(float value)
{
	if (value != value)
		return 0;
	if (value >= 2147483648.0f)
		return INT32_MAX;
	if (value < -2147483648.0f)
		return INT32_MIN;
	return static_cast<int32_t>(value);
}

// Truncates toward zero, saturating at +-2^62 (far beyond any line count).
inline int64_t truncToInt64(double value)
{
	constexpr double kLimit = 4611686018427387904.0; /* 2^62 */
	if (value != value)
		return 0;
	if (value >= kLimit)
		return INT64_C(4611686018427387904);
	if (value <= -kLimit)
		return -INT64_C(4611686018427387904);
	return static_cast<int64_t>(value);
}

// The signed 32-bit quotient of a value accumulated with wrap-around
// arithmetic; divisor is never 0 (INT32_MIN / -1 would trap and gives INT32_MIN).
inline int32_t wrappedQuotient(uint32_t dividend, int32_t divisor)
{
	const int32_t value = static_cast<int32_t>(dividend);
	if (divisor == -1)
		return static_cast<int32_t>(0u - dividend);
	return value / divisor;
}

// floor(x / divisor) as (x * ceil(2^16 / divisor)) >> 16, a 16-bit multiply-high
// the vectoriser maps onto one instruction. Exact while x stays below the
// bound each use states and checks at compile time.
template<uint16_t divisor>
constexpr uint16_t divide(uint16_t x)
{
	constexpr uint32_t reciprocal = (65536u + divisor - 1) / divisor;
	static_assert(reciprocal <= 65535);
	return uint16_t((uint32_t(x) * reciprocal) >> 16);
}

// floor(x / divisor) for larger x: ((x * m) >> 16) >> shift with the largest
// shift for which m = ceil(2^(16 + shift) / divisor) still fits 16 bits, a
// multiply-high and a shift. Exact while x stays below the bound each use
// checks at compile time with dividesWideExactlyBelow.
template<uint16_t divisor>
constexpr unsigned wideShift()
{
	unsigned shift = 0;
	while (shift < 15 && ((uint64_t(1) << (17 + shift)) + divisor - 1) / divisor <= 65535)
		++shift;
	return shift;
}

// The shift and multiplier of divideWide, worked out once per divisor (a
// compiler may otherwise repeat the search in every compile-time call).
template<uint16_t divisor>
inline constexpr unsigned kWideShift = wideShift<divisor>();
template<uint16_t divisor>
inline constexpr uint32_t kWideReciprocal =
	uint32_t(((uint64_t(1) << (16 + kWideShift<divisor>)) + divisor - 1) / divisor);

template<uint16_t divisor>
constexpr uint16_t divideWide(uint16_t x)
{
	static_assert(kWideReciprocal<divisor> <= 65535);
	return uint16_t(uint16_t((uint32_t(x) * kWideReciprocal<divisor>) >> 16) >> kWideShift<divisor>);
}

// Whether quotient(x) is floor(x / divisor) for every x below bound.
template<uint16_t divisor>
constexpr bool exactBelow(uint16_t (*quotient)(uint16_t), uint32_t bound)
{
	for (uint32_t x = 0; x < bound; ++x) {
		if (quotient(uint16_t(x)) != x / divisor)
			return false;
	}
	return true;
}

template<uint16_t divisor>
constexpr bool dividesWideExactlyBelow(uint32_t bound)
{
	return exactBelow<divisor>(divideWide<divisor>, bound);
}

template<uint16_t divisor>
constexpr bool dividesExactlyBelow(uint32_t bound)
{
	return exactBelow<divisor>(divide<divisor>, bound);
}

// clamp(S / divisor, 0, 255), S / divisor truncating toward zero, for a
// divisor 1..127 without a division: for 0 <= S < 256 x divisor, S x
// ceil(2^22 / divisor) >> 22 is exactly floor(S / divisor), because the error
// S x (ceil - 2^22 / divisor) / 2^22 stays below divisor / 2^14 < 1 / divisor.
// The product stays below 2^31.
struct ClampedQuotient {
	explicit ClampedQuotient(int32_t divisor)
		: ceiling(256 * divisor - 1),
		  reciprocal((uint32_t(1) << 22) / uint32_t(divisor) +
			     ((uint32_t(1) << 22) % uint32_t(divisor) != 0))
	{
	}

	uint8_t operator()(int32_t sum) const
	{
		const uint32_t bounded = uint32_t(sum < 0 ? 0 : (sum > ceiling ? ceiling : sum));
		return uint8_t((bounded * reciprocal) >> 22);
	}

	int32_t ceiling;
	uint32_t reciprocal;
};

// The same in 16 bits, for a divisor 2..127 and sums within int16: with s =
// floor(log2 divisor), one less for a power of two, m = ceil(2^(16 + s) /
// divisor) fits 16 bits, and for 0 <= S < 256 x divisor ((S x m) >> 16) >> s is
// floor(S / divisor): the error stays below 256 x divisor / 2^(16 + s) <= 1 / 128.
struct ClampedQuotient16 {
	explicit ClampedQuotient16(int32_t divisor)
		: ceiling(int16_t(256 * divisor - 1)), shift(floorLog2(divisor) - powerOfTwo(divisor)),
		  reciprocal(uint16_t(((uint32_t(1) << (16 + shift)) + uint32_t(divisor) - 1) /
				      uint32_t(divisor)))
	{
	}

	uint8_t operator()(int16_t sum) const
	{
		const uint16_t bounded = uint16_t(sum < 0 ? 0 : (sum > ceiling ? ceiling : sum));
		return uint8_t(uint16_t((uint32_t(bounded) * reciprocal) >> 16) >> shift);
	}

	static unsigned floorLog2(int32_t value)
	{
		unsigned log = 0;
		while ((int32_t(2) << log) <= value)
			++log;
		return log;
	}
	static unsigned powerOfTwo(int32_t value) { return (value & (value - 1)) == 0; }

	int16_t ceiling;
	unsigned shift;
	uint16_t reciprocal;
};

// floor(a x m / 2^64) in 64-bit arithmetic alone, for targets without a
// 128-bit type (32-bit x86): the two 32 x 32-bit partial products summed
// with the carry. Exact: the sum stays below 2^64.
constexpr uint64_t upperProductWithoutWideType(uint32_t a, uint64_t m)
{
	const uint64_t low = uint64_t(a) * uint32_t(m);
	const uint64_t high = uint64_t(a) * uint32_t(m >> 32);
	return (high + (low >> 32)) >> 32;
}

// Signed 32-bit division by a positive divisor fixed for many dividends, as
// a multiplication: |n| x m >> 64 with m = floor((2^64 - 1) / divisor) + 1 is
// floor(|n| / divisor) for every |n| <= 2^31, the error |n| x (m - 2^64 /
// divisor) / 2^64 staying below 2^-32 < 1 / divisor. The sign follows the
// dividend (truncation toward zero), as in C.
class SignedDivisor
{
public:
	explicit SignedDivisor(int32_t divisor)
		: divisor_(divisor), multiplier_(divisor > 1 ? UINT64_MAX / uint64_t(divisor) + 1 : 0)
	{
	}

	int32_t divide(int32_t dividend) const
	{
		if (divisor_ == 1)
			return dividend;
		const uint32_t magnitude = dividend < 0 ? 0u - uint32_t(dividend) : uint32_t(dividend);
#if defined(__SIZEOF_INT128__)
		__extension__ typedef unsigned __int128 Wide;
		const auto quotient = uint32_t((Wide(magnitude) * multiplier_) >> 64);
#else
		const auto quotient = uint32_t(upperProductWithoutWideType(magnitude, multiplier_));
#endif
		return dividend < 0 ? int32_t(0u - quotient) : int32_t(quotient);
	}

private:
	int32_t divisor_;
	uint64_t multiplier_;
};

} // namespace torvane::imaging::detail
