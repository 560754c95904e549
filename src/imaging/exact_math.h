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

} // namespace torvane::imaging::detail
