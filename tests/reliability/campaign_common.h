// SPDX-License-Identifier: MIT
// Small pieces every part of the fault campaign uses: the grey scan it asks
// for, elapsed time, test names made from case names, and the clients' loop
// of the image-content contention.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

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

inline uint64_t hashOf(const std::vector<unsigned char> &bytes)
{
	uint64_t hash = 0xcbf29ce484222325ull;
	for (const unsigned char byte : bytes)
		hash = (hash ^ byte) * 0x100000001b3ull;
	return hash;
}

// The image-content contention of one client: whole images for `seconds`
// (0: until one is complete), each compared by hash with `expected` (the
// lone scan's, in hex) when given; pauses `pauseMs` after each image. A
// cycle answers 1 complete, 0 refused, -1 failed. Prints the counts.
template<typename Cycle>
int countImages(int seconds, const char *expected, int pauseMs, std::vector<unsigned char> &image, Cycle cycle)
{
	const uint64_t want = expected ? std::strtoull(expected, nullptr, 16) : 0;
	long completed = 0, refused = 0, failed = 0, wrong = 0;
	uint64_t last = 0;
	const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
	do {
		const int outcome = cycle(image);
		if (outcome > 0) {
			++completed;
			last = hashOf(image);
			wrong += expected && last != want ? 1 : 0;
			usleep(static_cast<useconds_t>(pauseMs) * 1000);
		} else {
			++(outcome == 0 ? refused : failed);
			usleep(2000);
		}
	} while (std::chrono::steady_clock::now() < end || (seconds == 0 && completed == 0 && failed < 50));
	std::printf("images completed=%ld refused=%ld failed=%ld wrong=%ld hash=%016llx\n", completed, refused, failed,
		    wrong, static_cast<unsigned long long>(last));
	return 0;
}

} // namespace torvane::test
