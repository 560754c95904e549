// SPDX-License-Identifier: MIT
// Small pieces every part of the fault campaign uses: the grey scan it asks
// for, elapsed time, and test names made from case names.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "torvane/torvane.h"

namespace torvane::test {

// A grey window one inch wide at `dpi` (100 pixels per line at 100 dpi),
// `length` lines of 1/300 inch long.
inline ScanParameter smallGreyScan(uint16_t dpi, uint16_t length)
{
	ScanParameter p{};
	p.XRes = p.YRes = dpi;
	p.Width = 300;
	p.Length = length;
	p.PixelNum = dpi;
	p.LineNum = static_cast<uint16_t>(length * dpi / 300);
	p.ScanMode = 2;
	p.BitPerPixel = 8;
	return p;
}

inline double secondsSince(std::chrono::steady_clock::time_point start)
{
	return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// "stalled-exchange" -> "stalled_exchange": a test name may not hold '-'.
inline std::string testNameOf(std::string name)
{
	for (char &ch : name)
		if (ch == '-')
			ch = '_';
	return name;
}

} // namespace torvane::test
