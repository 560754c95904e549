// SPDX-License-Identifier: MIT
// The four filters in one pass, strip of pixels by strip, in vector registers.

#include "imaging/filter_strips.h"

#if TORVANE_FILTER_STRIPS

#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "imaging/exact_math.h"
#include "imaging/tone_curves.h"

namespace torvane::imaging::detail {

namespace {

/* The byte permutes of AVX-512 VBMI --------------------------------------- */

// A strip of 64 pixels is 192 bytes, three registers. Plane c's lane k is
// byte 3k + c: from the first two registers (one two-register permute) when
// it lies below 128, else from the third (a masked permute over it). Back
// the other way, output byte q of register o is lane (64 o + q) / 3 of plane
// (64 o + q) mod 3: red and green by one two-register permute, blue masked in.
struct alignas(64) PermuteTables {
	uint8_t fromFirstTwo[3][64];
	uint8_t fromThird[3][64];
	uint8_t redGreen[3][64];
	uint8_t blueLane[3][64];
	uint64_t thirdMask[3];
	uint64_t blueMask[3];
};

constexpr PermuteTables kPermutes = [] {
	PermuteTables t{};
	for (unsigned c = 0; c < 3; ++c) {
		for (unsigned k = 0; k < 64; ++k) {
			const unsigned at = 3 * k + c;
			t.fromFirstTwo[c][k] = uint8_t(at < 128 ? at : 0);
			t.fromThird[c][k] = uint8_t(at < 128 ? 0 : at - 128);
			if (at >= 128)
				t.thirdMask[c] |= uint64_t(1) << k;
		}
	}
	for (unsigned o = 0; o < 3; ++o) {
		for (unsigned q = 0; q < 64; ++q) {
			const unsigned at = 64 * o + q, plane = at % 3, lane = at / 3;
			t.redGreen[o][q] = uint8_t(plane == 1 ? 64 + lane : lane);
			t.blueLane[o][q] = uint8_t(lane);
			if (plane == 2)
				t.blueMask[o] |= uint64_t(1) << q;
		}
	}
	return t;
}();

/* The byte shuffles of AVX2 ----------------------------------------------- */

// AVX2 shuffles bytes within 128-bit lanes only, so a strip of 32 pixels is
// loaded as two halves of 16 pixels (48 bytes), one in each lane of the
// three registers: register s holds bytes 16 s ... 16 s + 15 of each half.
// Plane c gathers byte 3k + c of its half from register (3k + c) / 16; output
// register s takes byte 16 s + q from lane (16 s + q) / 3 of its plane.
// Each table is written for both lanes, so that a shuffle takes it straight
// from memory.
struct alignas(32) ShuffleTables {
	uint8_t gather[3][3][32];  /* [plane][register][byte], 0x80 for none */
	uint8_t scatter[3][3][32]; /* [register][plane][byte] */
};

constexpr ShuffleTables kShuffles = [] {
	ShuffleTables t{};
	for (unsigned c = 0; c < 3; ++c) {
		for (unsigned s = 0; s < 3; ++s) {
			for (unsigned k = 0; k < 32; ++k) {
				const unsigned at = 3 * (k % 16) + c;
				t.gather[c][s][k] = uint8_t(at / 16 == s ? at % 16 : 0x80);
			}
		}
	}
	for (unsigned s = 0; s < 3; ++s) {
		for (unsigned c = 0; c < 3; ++c) {
			for (unsigned q = 0; q < 32; ++q) {
				const unsigned at = 16 * s + q % 16;
				t.scatter[s][c][q] = uint8_t(at % 3 == c ? at / 3 : 0x80);
			}
		}
	}
	return t;
}();

/* AVX-512 (BW, VBMI): 64 pixels a strip, masks in mask registers ---------- */

namespace avx512 {

#define TORVANE_STRIP_TARGET __attribute__((target("avx2,avx512f,avx512bw,avx512vl,avx512dq,avx512vbmi")))

// A strip's pixels as three planes: lane k of each holds pixel k's channel.
struct Planes {
	__m512i r, g, b;
};

struct Ops {
	using Bytes = __m512i;
	using Words = __m512i;
	using Mask = __mmask64;
	static constexpr size_t kLanes = 64;

	// The bytes of a strip in each of its three registers: a strip shorter
	// than 64 pixels is loaded and stored with the bytes past it masked off.
	struct Extent {
		__mmask64 of[3];
	};

	TORVANE_STRIP_TARGET static Extent extent(size_t pixels)
	{
		Extent e{};
		for (size_t s = 0; s < 3; ++s) {
			const size_t bytes = 3 * pixels > 64 * s ? std::min<size_t>(3 * pixels - 64 * s, 64) : 0;
			e.of[s] = bytes == 64 ? ~__mmask64(0) : (__mmask64(1) << bytes) - 1;
		}
		return e;
	}

	TORVANE_STRIP_TARGET static Bytes table(const uint8_t *bytes)
	{
		return _mm512_load_si512(bytes);
	}

	TORVANE_STRIP_TARGET static Bytes plane(Bytes v0, Bytes v1, Bytes v2, unsigned c)
	{
		const Bytes firstTwo = _mm512_permutex2var_epi8(v0, table(kPermutes.fromFirstTwo[c]), v1);
		return _mm512_mask_permutexvar_epi8(firstTwo, kPermutes.thirdMask[c], table(kPermutes.fromThird[c]),
						    v2);
	}

	TORVANE_STRIP_TARGET static Planes load(const uint8_t *at, const Extent &e)
	{
		const Bytes v0 = _mm512_maskz_loadu_epi8(e.of[0], at);
		const Bytes v1 = _mm512_maskz_loadu_epi8(e.of[1], at + 64);
		const Bytes v2 = _mm512_maskz_loadu_epi8(e.of[2], at + 128);
		return { plane(v0, v1, v2, 0), plane(v0, v1, v2, 1), plane(v0, v1, v2, 2) };
	}

	TORVANE_STRIP_TARGET static Bytes interleaved(const Planes &p, unsigned o)
	{
		const Bytes redGreen = _mm512_permutex2var_epi8(p.r, table(kPermutes.redGreen[o]), p.g);
		return _mm512_mask_permutexvar_epi8(redGreen, kPermutes.blueMask[o], table(kPermutes.blueLane[o]),
						    p.b);
	}

	TORVANE_STRIP_TARGET static void store(uint8_t *at, const Extent &e, const Planes &p)
	{
		_mm512_mask_storeu_epi8(at, e.of[0], interleaved(p, 0));
		_mm512_mask_storeu_epi8(at + 64, e.of[1], interleaved(p, 1));
		_mm512_mask_storeu_epi8(at + 128, e.of[2], interleaved(p, 2));
	}

	TORVANE_STRIP_TARGET static Bytes splat(uint8_t v) { return _mm512_set1_epi8(char(v)); }
	TORVANE_STRIP_TARGET static Bytes max(Bytes a, Bytes b) { return _mm512_max_epu8(a, b); }
	TORVANE_STRIP_TARGET static Bytes min(Bytes a, Bytes b) { return _mm512_min_epu8(a, b); }
	TORVANE_STRIP_TARGET static Bytes subtract(Bytes a, Bytes b) { return _mm512_sub_epi8(a, b); }
	TORVANE_STRIP_TARGET static Bytes meanRoundedDown(Bytes a, Bytes b)
	{
		/* The average rounds up; one less where the sum is odd. */
		return _mm512_sub_epi8(_mm512_avg_epu8(a, b), _mm512_and_si512(_mm512_xor_si512(a, b), splat(1)));
	}

	TORVANE_STRIP_TARGET static Mask equal(Bytes a, Bytes b) { return _mm512_cmpeq_epi8_mask(a, b); }
	TORVANE_STRIP_TARGET static Mask greater(Bytes a, Bytes b) { return _mm512_cmpgt_epu8_mask(a, b); }
	TORVANE_STRIP_TARGET static Mask atMost(Bytes a, Bytes b) { return _mm512_cmple_epu8_mask(a, b); }
	TORVANE_STRIP_TARGET static Mask both(Mask a, Mask b) { return a & b; }
	TORVANE_STRIP_TARGET static Bytes select(Mask m, Bytes yes, Bytes no)
	{
		return _mm512_mask_blend_epi8(m, no, yes);
	}

	TORVANE_STRIP_TARGET static Words lowWords(Bytes b) { return _mm512_unpacklo_epi8(b, _mm512_setzero_si512()); }
	TORVANE_STRIP_TARGET static Words highWords(Bytes b) { return _mm512_unpackhi_epi8(b, _mm512_setzero_si512()); }
	TORVANE_STRIP_TARGET static Bytes pack(Words low, Words high) { return _mm512_packus_epi16(low, high); }
	TORVANE_STRIP_TARGET static Words splatWords(int16_t v) { return _mm512_set1_epi16(v); }
	TORVANE_STRIP_TARGET static Words add(Words a, Words b) { return _mm512_add_epi16(a, b); }
	TORVANE_STRIP_TARGET static Words multiply(Words a, Words b) { return _mm512_mullo_epi16(a, b); }
	TORVANE_STRIP_TARGET static Words multiplyHigh(Words a, Words b) { return _mm512_mulhi_epu16(a, b); }
	TORVANE_STRIP_TARGET static Words maxSigned(Words a, Words b) { return _mm512_max_epi16(a, b); }
	TORVANE_STRIP_TARGET static Words minSigned(Words a, Words b) { return _mm512_min_epi16(a, b); }
	template<int bits>
	TORVANE_STRIP_TARGET static Words shiftRight(Words w)
	{
		return _mm512_srli_epi16(w, bits);
	}
	TORVANE_STRIP_TARGET static Words shiftRightBy(Words w, __m128i bits) { return _mm512_srl_epi16(w, bits); }

	// A 256-byte table as four registers: two two-register permutes on the
	// index's low seven bits, its top bit choosing between them.
	TORVANE_STRIP_TARGET static Bytes lookUp(Bytes index, const uint8_t *curve)
	{
		const Bytes low = _mm512_permutex2var_epi8(table(curve), index, table(curve + 64));
		const Bytes high = _mm512_permutex2var_epi8(table(curve + 128), index, table(curve + 192));
		return _mm512_mask_blend_epi8(_mm512_movepi8_mask(index), low, high);
	}
	TORVANE_STRIP_TARGET static Bytes greenBlueCurve(Bytes t) { return lookUp(t, kToneCurves.greenBlue); }
	TORVANE_STRIP_TARGET static Bytes redCurve(Bytes t) { return lookUp(t, kToneCurves.red); }
};

#include "imaging/filter_strips.inc"

#undef TORVANE_STRIP_TARGET

} // namespace avx512

/* AVX2: 32 pixels a strip, masks as bytes of all ones --------------------- */

namespace avx2 {

#define TORVANE_STRIP_TARGET __attribute__((target("avx2")))

struct Planes {
	__m256i r, g, b;
};

struct Ops {
	using Bytes = __m256i;
	using Words = __m256i;
	using Mask = __m256i;
	static constexpr size_t kLanes = 32;

	// The pixels of a strip; a shorter one goes through a buffer of a whole one.
	using Extent = size_t;
	TORVANE_STRIP_TARGET static Extent extent(size_t pixels) { return pixels; }

	TORVANE_STRIP_TARGET static Bytes table(const uint8_t *bytes)
	{
		return _mm256_load_si256(reinterpret_cast<const __m256i *>(bytes));
	}

	TORVANE_STRIP_TARGET static Bytes halves(const uint8_t *low, const uint8_t *high)
	{
		const __m128i l = _mm_loadu_si128(reinterpret_cast<const __m128i *>(low));
		const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i *>(high));
		return _mm256_inserti128_si256(_mm256_castsi128_si256(l), h, 1);
	}

	TORVANE_STRIP_TARGET static Bytes plane(const Bytes (&v)[3], unsigned c)
	{
		const Bytes first = _mm256_shuffle_epi8(v[0], table(kShuffles.gather[c][0]));
		const Bytes second = _mm256_shuffle_epi8(v[1], table(kShuffles.gather[c][1]));
		const Bytes third = _mm256_shuffle_epi8(v[2], table(kShuffles.gather[c][2]));
		return _mm256_or_si256(_mm256_or_si256(first, second), third);
	}

	TORVANE_STRIP_TARGET static Planes load(const uint8_t *at, Extent pixels)
	{
		alignas(32) uint8_t whole[96] = {};
		if (pixels < kLanes) {
			std::memcpy(whole, at, 3 * pixels);
			at = whole;
		}
		const Bytes v[3] = { halves(at, at + 48), halves(at + 16, at + 64), halves(at + 32, at + 80) };
		return { plane(v, 0), plane(v, 1), plane(v, 2) };
	}

	TORVANE_STRIP_TARGET static Bytes interleaved(const Planes &p, unsigned s)
	{
		const Bytes red = _mm256_shuffle_epi8(p.r, table(kShuffles.scatter[s][0]));
		const Bytes green = _mm256_shuffle_epi8(p.g, table(kShuffles.scatter[s][1]));
		const Bytes blue = _mm256_shuffle_epi8(p.b, table(kShuffles.scatter[s][2]));
		return _mm256_or_si256(_mm256_or_si256(red, green), blue);
	}

	TORVANE_STRIP_TARGET static void store(uint8_t *at, Extent pixels, const Planes &p)
	{
		alignas(32) uint8_t whole[96];
		uint8_t *to = pixels < kLanes ? whole : at;
		for (unsigned s = 0; s < 3; ++s) {
			const Bytes v = interleaved(p, s);
			_mm_storeu_si128(reinterpret_cast<__m128i *>(to + 16 * s), _mm256_castsi256_si128(v));
			_mm_storeu_si128(reinterpret_cast<__m128i *>(to + 48 + 16 * s), _mm256_extracti128_si256(v, 1));
		}
		if (to == whole)
			std::memcpy(at, whole, 3 * pixels);
	}

	TORVANE_STRIP_TARGET static Bytes splat(uint8_t v) { return _mm256_set1_epi8(char(v)); }
	TORVANE_STRIP_TARGET static Bytes max(Bytes a, Bytes b) { return _mm256_max_epu8(a, b); }
	TORVANE_STRIP_TARGET static Bytes min(Bytes a, Bytes b) { return _mm256_min_epu8(a, b); }
	TORVANE_STRIP_TARGET static Bytes subtract(Bytes a, Bytes b) { return _mm256_sub_epi8(a, b); }
	TORVANE_STRIP_TARGET static Bytes meanRoundedDown(Bytes a, Bytes b)
	{
		return _mm256_sub_epi8(_mm256_avg_epu8(a, b), _mm256_and_si256(_mm256_xor_si256(a, b), splat(1)));
	}

	TORVANE_STRIP_TARGET static Mask equal(Bytes a, Bytes b) { return _mm256_cmpeq_epi8(a, b); }
	TORVANE_STRIP_TARGET static Mask greater(Bytes a, Bytes b)
	{
		/* Unsigned, as a signed compare with the top bits flipped. */
		const Bytes top = splat(0x80);
		return _mm256_cmpgt_epi8(_mm256_xor_si256(a, top), _mm256_xor_si256(b, top));
	}
	TORVANE_STRIP_TARGET static Mask atMost(Bytes a, Bytes b) { return _mm256_cmpeq_epi8(_mm256_min_epu8(a, b), a); }
	TORVANE_STRIP_TARGET static Mask both(Mask a, Mask b) { return _mm256_and_si256(a, b); }
	TORVANE_STRIP_TARGET static Bytes select(Mask m, Bytes yes, Bytes no) { return _mm256_blendv_epi8(no, yes, m); }

	TORVANE_STRIP_TARGET static Words lowWords(Bytes b) { return _mm256_unpacklo_epi8(b, _mm256_setzero_si256()); }
	TORVANE_STRIP_TARGET static Words highWords(Bytes b) { return _mm256_unpackhi_epi8(b, _mm256_setzero_si256()); }
	TORVANE_STRIP_TARGET static Bytes pack(Words low, Words high) { return _mm256_packus_epi16(low, high); }
	TORVANE_STRIP_TARGET static Words splatWords(int16_t v) { return _mm256_set1_epi16(v); }
	TORVANE_STRIP_TARGET static Words add(Words a, Words b) { return _mm256_add_epi16(a, b); }
	TORVANE_STRIP_TARGET static Words subtractWords(Words a, Words b) { return _mm256_sub_epi16(a, b); }
	TORVANE_STRIP_TARGET static Words multiply(Words a, Words b) { return _mm256_mullo_epi16(a, b); }
	TORVANE_STRIP_TARGET static Words multiplyHigh(Words a, Words b) { return _mm256_mulhi_epu16(a, b); }
	TORVANE_STRIP_TARGET static Words maxSigned(Words a, Words b) { return _mm256_max_epi16(a, b); }
	TORVANE_STRIP_TARGET static Words minSigned(Words a, Words b) { return _mm256_min_epi16(a, b); }
	template<int bits>
	TORVANE_STRIP_TARGET static Words shiftRight(Words w)
	{
		return _mm256_srli_epi16(w, bits);
	}
	TORVANE_STRIP_TARGET static Words shiftRightBy(Words w, __m128i bits) { return _mm256_srl_epi16(w, bits); }

	// Without a 256-byte lookup, the curves as greenBlueCurve and redCurve
	// compute them: every piece in 16-bit lanes, the one for t chosen.
	template<uint16_t divisor>
	TORVANE_STRIP_TARGET static Words divideWideWords(Words x)
	{
		const Words high = multiplyHigh(x, splatWords(int16_t(uint16_t(kWideReciprocal<divisor>))));
		return _mm256_srli_epi16(high, kWideShift<divisor>);
	}

	// From t up: the piece of t below `from`, else `above`.
	TORVANE_STRIP_TARGET static Words pieceFrom(Words t, int16_t from, Words above, Words below)
	{
		return _mm256_blendv_epi8(below, above, _mm256_cmpgt_epi16(t, splatWords(int16_t(from - 1))));
	}

	TORVANE_STRIP_TARGET static Words greenBlueWords(Words t)
	{
		const Words middle = add(splatWords(35), multiplyHigh(multiply(subtractWords(t, splatWords(35)), splatWords(40)),
								      splatWords((65536 + 24) / 25)));
		const Words upper =
			add(splatWords(75), divideWideWords<195>(multiply(subtractWords(t, splatWords(60)), splatWords(180))));
		return pieceFrom(t, 61, upper, pieceFrom(t, 35, middle, t));
	}

	TORVANE_STRIP_TARGET static Words redWords(Words t)
	{
		const Words lower = divideWideWords<145>(multiply(t, splatWords(140)));
		const Words middle = add(splatWords(140), _mm256_slli_epi16(subtractWords(t, splatWords(145)), 1));
		const Words upper =
			add(splatWords(160), divideWideWords<100>(multiply(subtractWords(t, splatWords(155)), splatWords(95))));
		return pieceFrom(t, 156, upper, pieceFrom(t, 145, middle, lower));
	}

	TORVANE_STRIP_TARGET static Bytes greenBlueCurve(Bytes t)
	{
		return pack(greenBlueWords(lowWords(t)), greenBlueWords(highWords(t)));
	}
	TORVANE_STRIP_TARGET static Bytes redCurve(Bytes t) { return pack(redWords(lowWords(t)), redWords(highWords(t))); }
};

#include "imaging/filter_strips.inc"

#undef TORVANE_STRIP_TARGET

} // namespace avx2

} // namespace

void filterStripsAvx512(const StripJob &job)
{
	avx512::filterStrips(job);
}

void filterStripsAvx2(const StripJob &job)
{
	avx2::filterStrips(job);
}

} // namespace torvane::imaging::detail

#endif
