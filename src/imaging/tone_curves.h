// SPDX-License-Identifier: MIT
// The two tone curves of AdjustReddishPixels, as tables and as arithmetic.
#pragma once

#include <cstdint>

#include "imaging/exact_math.h"

namespace torvane::imaging::detail {

// The tone curves of a pixel in which red dominates: one for its green and
// blue bytes, one for its red byte when red equals blue.
// Aligned for the vector code, which holds each table in four 64-byte registers.
struct alignas(64) ToneCurves {
	uint8_t greenBlue[256];
	uint8_t red[256];
};

inline constexpr ToneCurves kToneCurves = [] {
	ToneCurves curves{};
	for (unsigned t = 0; t < 256; ++t) {
		if (t <= 34)
			curves.greenBlue[t] = uint8_t(t);
		else if (t <= 60)
			curves.greenBlue[t] = uint8_t(35 + 40 * (t - 35) / 25);
		else
			curves.greenBlue[t] = uint8_t(75 + 180 * (t - 60) / 195);

		if (t <= 144)
			curves.red[t] = uint8_t(140 * t / 145);
		else if (t <= 155)
			curves.red[t] = uint8_t(140 + 2 * (t - 145));
		else
			curves.red[t] = uint8_t(160 + 95 * (t - 155) / 100);
	}
	return curves;
}();

static_assert(kToneCurves.greenBlue[255] == 255 && kToneCurves.red[255] == 255);

// The same curves as arithmetic on 16-bit lanes, which vectorises where the
// table lookups do not: every piece is computed and the one for t chosen
// (the others may wrap around; they are never chosen).
constexpr uint8_t greenBlueCurve(uint8_t t)
{
	const uint16_t v = t;
	const uint16_t middle = uint16_t(35 + divide<25>(uint16_t(40 * (v - 35))));
	const uint16_t upper = uint16_t(75 + divideWide<195>(uint16_t(180 * (v - 60))));
	return uint8_t(v <= 34 ? v : (v <= 60 ? middle : upper));
}

constexpr uint8_t redCurve(uint8_t t)
{
	const uint16_t v = t;
	const uint16_t lower = divideWide<145>(uint16_t(140 * v));
	const uint16_t middle = uint16_t(140 + 2 * (v - 145));
	const uint16_t upper = uint16_t(160 + divideWide<100>(uint16_t(95 * (v - 155))));
	return uint8_t(v <= 144 ? lower : (v <= 155 ? middle : upper));
}

static_assert(dividesExactlyBelow<25>(40 * 25 + 1) && dividesWideExactlyBelow<195>(180 * 195 + 1) &&
	      dividesWideExactlyBelow<145>(140 * 144 + 1) && dividesWideExactlyBelow<100>(95 * 100 + 1));
static_assert([] {
	for (unsigned t = 0; t < 256; ++t) {
		if (greenBlueCurve(uint8_t(t)) != kToneCurves.greenBlue[t] || redCurve(uint8_t(t)) != kToneCurves.red[t])
			return false;
	}
	return true;
}());

} // namespace torvane::imaging::detail
