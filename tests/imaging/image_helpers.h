// SPDX-License-Identifier: MIT
// Test images and a watchable allocator for the image routine tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "imaging/simd_level.h"
#include "imaging/work_memory.h"

namespace torvane::imaging::test {

// Bytes from a fixed seed: the same image on every run and platform.
inline std::vector<uint8_t> randomBytes(size_t count, uint32_t seed)
{
	std::mt19937 generator(seed);
	std::vector<uint8_t> bytes(count);
	for (auto &byte : bytes)
		byte = uint8_t(generator() >> 24);
	return bytes;
}

// Colour pixels of which about `greyShare` in 256 have R = G = B and about as
// many are reddish, so that every branch of the filters is taken.
inline std::vector<uint8_t> mixedColourPixels(size_t pixels, uint32_t seed, unsigned greyShare = 96)
{
	std::mt19937 generator(seed);
	std::vector<uint8_t> bytes(pixels * 3);
	for (size_t p = 0; p < pixels; ++p) {
		const unsigned kind = generator() % 256;
		uint8_t *px = &bytes[3 * p];
		if (kind < greyShare) {
			px[0] = px[1] = px[2] = uint8_t(generator());
		} else if (kind < 2 * greyShare) {
			px[0] = uint8_t(100 + generator() % 156);
			px[1] = uint8_t(generator() % 256);
			px[2] = kind % 2 ? px[0] : uint8_t(generator() % 256);
		} else {
			px[0] = uint8_t(generator());
			px[1] = uint8_t(generator());
			px[2] = uint8_t(generator());
		}
	}
	return bytes;
}

// An allocator that records every request and fails on demand.
struct AllocatorProbe {
	static inline std::vector<size_t> sizes;
	static inline int failAfter = -1; // successful allocations before failing; -1 never

	static void *allocate(size_t bytes)
	{
		sizes.push_back(bytes);
		if (failAfter == 0)
			return nullptr;
		if (failAfter > 0)
			--failAfter;
		return std::calloc(bytes ? bytes : 1, 1);
	}

	AllocatorProbe(int failAfterCount = -1)
	{
		sizes.clear();
		failAfter = failAfterCount;
		setWorkBlockAllocator(allocate);
	}
	~AllocatorProbe() { setWorkBlockAllocator(nullptr); }
};

// Every instruction set level this processor runs, the plain fallback first.
inline std::vector<SimdLevel> availableSimdLevels()
{
	std::vector<SimdLevel> levels{ SimdLevel::Plain };
	if (bestSimdLevel() >= SimdLevel::Avx2)
		levels.push_back(SimdLevel::Avx2);
	if (bestSimdLevel() >= SimdLevel::Avx512)
		levels.push_back(SimdLevel::Avx512);
	return levels;
}

// Uses one level while it lives, the best one again after.
struct SimdLevelScope {
	explicit SimdLevelScope(SimdLevel level) { setSimdLevel(level); }
	~SimdLevelScope() { setSimdLevel(SimdLevel::Avx512); }
	SimdLevelScope(const SimdLevelScope &) = delete;
	SimdLevelScope &operator=(const SimdLevelScope &) = delete;
};

} // namespace torvane::imaging::test
