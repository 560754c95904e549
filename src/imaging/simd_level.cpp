// SPDX-License-Identifier: MIT
// The vector instruction set the image routines use, chosen once at run time.

#include "imaging/simd_level.h"

#include <atomic>

namespace torvane::imaging {

namespace {

SimdLevel detectSimdLevel()
{
#if defined(__x86_64__) && defined(__GNUC__)
	// The checks include the operating system's support for the wider
	// registers (XCR0), not only the processor's.
	__builtin_cpu_init();
	if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
	    __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq") &&
	    __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx2"))
		return SimdLevel::Avx512;
	if (__builtin_cpu_supports("avx2"))
		return SimdLevel::Avx2;
#endif
	return SimdLevel::Plain;
}

const SimdLevel best = detectSimdLevel();
std::atomic<SimdLevel> inUse{ best };

} // namespace

SimdLevel bestSimdLevel()
{
	return best;
}

SimdLevel simdLevel()
{
	return inUse.load(std::memory_order_relaxed);
}

void setSimdLevel(SimdLevel level)
{
	inUse.store(level < best ? level : best, std::memory_order_relaxed);
}

} // namespace torvane::imaging
