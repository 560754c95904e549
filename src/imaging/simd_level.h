// SPDX-License-Identifier: MIT
// The vector instruction set the image routines use, chosen once at run time.
#pragma once

#include <cstdint>

namespace torvane::imaging {

// The same source is compiled for each level and gives the same bytes on
// each: only the width of the vector instructions differs. Plain is the
// reference and runs everywhere; Avx512 needs BW, VL, DQ and VBMI (byte
// permutes, which take colour pixels apart), else Avx2 serves.
enum class SimdLevel : uint8_t {
	Plain,
	Avx2,
	Avx512
};

// The best level the processor (and the operating system) supports.
SimdLevel bestSimdLevel();
// The level in use: the best one unless set otherwise.
SimdLevel simdLevel();
// For tests and benchmarks: use at most `level` (never more than the best).
void setSimdLevel(SimdLevel level);

// Runs `work` compiled for the level in use: the work and everything it
// calls is inlined into a function built for that instruction set.
#if defined(__x86_64__) && defined(__GNUC__)
namespace detail {
template<typename Work>
__attribute__((target("avx2"), flatten)) void runAvx2(const Work &work)
{
	work();
}
// GCC is asked for 512-bit vectors outright; clang takes no such target
// option and is told the same with min_vector_width.
#if defined(__clang__)
#define TORVANE_AVX512_TARGET \
	target("avx2,avx512f,avx512bw,avx512vl,avx512dq,avx512vbmi"), min_vector_width(512)
#else
#define TORVANE_AVX512_TARGET target("avx2,avx512f,avx512bw,avx512vl,avx512dq,avx512vbmi,prefer-vector-width=512")
#endif
template<typename Work>
__attribute__((TORVANE_AVX512_TARGET, flatten)) void runAvx512(const Work &work)
{
	work();
}
#undef TORVANE_AVX512_TARGET
} // namespace detail

template<typename Work>
void runAtSimdLevel(const Work &work)
{
	switch (simdLevel()) {
	case SimdLevel::Avx512:
		detail::runAvx512(work);
		return;
	case SimdLevel::Avx2:
		detail::runAvx2(work);
		return;
	case SimdLevel::Plain:
		break;
	}
	work();
}
#else
template<typename Work>
void runAtSimdLevel(const Work &work)
{
	work();
}
#endif

} // namespace torvane::imaging
