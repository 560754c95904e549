// SPDX-License-Identifier: MIT
// Colour to grey, and grey to one bit per pixel (line art and halftone).

#include "imaging/conversions.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>

#include "imaging/exact_math.h"
#include "imaging/halftone_matrices.h"
#include "imaging/simd_level.h"

namespace torvane::imaging {

namespace {

static_assert(std::endian::native == std::endian::little,
	      "the byte packing below loads eight pixels as one little-endian word");

// The luminance of one colour pixel; at most 2550 / 10 = 255.
inline uint8_t greyOf(unsigned b0, unsigned b1, unsigned b2)
{
	static_assert(detail::dividesExactlyBelow<10>(10 * 255 + 1));
	return static_cast<uint8_t>(detail::divide<10>(static_cast<uint16_t>(3 * b0 + 6 * b1 + b2)));
}

// Packs eight pixels into one byte: bit 7 - k is set when the mask byte k has
// its top bit set. The multiplication moves bit 8k + 7 of the mask to bit
// 63 - k; no two partial products meet, so nothing carries.
inline uint8_t packTopBits(uint64_t mask)
{
	return static_cast<uint8_t>((((mask >> 7) & UINT64_C(0x0101010101010101)) *
				     UINT64_C(0x8040201008040201)) >>
				    56);
}

inline uint64_t loadWord(const uint8_t *bytes)
{
	uint64_t word;
	std::memcpy(&word, bytes, sizeof(word));
	return word;
}

// Top bit of each byte set where the grey byte is below 128.
inline uint64_t darkMask(uint64_t pixels)
{
	return ~pixels & UINT64_C(0x8080808080808080);
}

// One output byte from up to eight pixels; pixels past `count` are 0 bits.
inline uint8_t lineArtByte(const uint8_t *pixels, size_t count)
{
	uint8_t value = 0;
	for (size_t k = 0; k < count && k < 8; ++k)
		value |= static_cast<uint8_t>((pixels[k] < 128) << (7 - k));
	return value;
}

// Arguments by value: the stores of bytes then cannot alias them, and the
// loop over the pixels of a line vectorises.
void colourToGrey(const uint8_t *source, uint8_t *destination, size_t lineBytes, size_t lines)
{
	const size_t wholePixels = lineBytes / 3;
	const size_t partialBytes = lineBytes % 3;
	for (size_t i = 0; i < lines; ++i) {
		const uint8_t *in = source + i * lineBytes;
		for (size_t x = 0; x < wholePixels; ++x)
			destination[x] = greyOf(in[3 * x], in[3 * x + 1], in[3 * x + 2]);
		destination += wholePixels;
		if (partialBytes) {
			in += 3 * wholePixels;
			*destination++ = greyOf(in[0], partialBytes > 1 ? in[1] : 0, 0);
		}
	}
}

} // namespace

uint16_t ColourLinesToGrey(const uint8_t *source, uint8_t *destination, uint32_t colourLineBytes,
			   uint32_t lines)
{
	runAtSimdLevel([=] { colourToGrey(source, destination, colourLineBytes, lines); });
	return static_cast<uint16_t>(lines);
}

void GreyLinesToLineArt(const uint8_t *source, uint8_t *destination, uint32_t outLineBytes,
			uint32_t sourceLineBytes, uint32_t lines)
{
	/* Pixels beyond the source line are not read: they stay 0 bits. */
	const size_t readable = std::min<size_t>(size_t(outLineBytes) * 8, sourceLineBytes);
	const size_t wholeBytes = readable / 8;

	for (size_t i = 0; i < lines; ++i) {
		const uint8_t *in = source + i * size_t(sourceLineBytes);
		uint8_t *out = destination + i * size_t(outLineBytes);
		for (size_t k = 0; k < wholeBytes; ++k)
			out[k] = packTopBits(darkMask(loadWord(in + 8 * k)));
		size_t k = wholeBytes;
		if (readable % 8)
			out[k++] = lineArtByte(in + 8 * wholeBytes, readable % 8);
		if (k < outLineBytes)
			std::memset(out + k, 0, outLineBytes - k);
	}
}

void GreyLinesToHalftone(const uint8_t *source, uint8_t *destination, uint32_t outLineBytes,
			 uint32_t pixels, uint32_t lines, int32_t pattern)
{
	/* The front end's pattern number reaches us unchecked: outside 1..6 it
	 * selects the first pattern rather than memory past the table. */
	const auto &matrix = halftoneMatrices[pattern >= 1 && pattern <= 6 ? pattern - 1 : 0];
	const size_t written = std::min<size_t>(size_t(outLineBytes) * 8, pixels);
	const size_t wholeBytes = written / 8;

	for (size_t i = 0; i < lines; ++i) {
		const uint8_t *in = source + i * size_t(pixels);
		uint8_t *out = destination + i * size_t(outLineBytes);
		const uint8_t *threshold = matrix[i % 8];
		for (size_t k = 0; k < wholeBytes; ++k, in += 8) {
			unsigned value = 0;
			for (unsigned bit = 0; bit < 8; ++bit)
				value |= unsigned(in[bit] < threshold[bit]) << (7 - bit);
			out[k] = static_cast<uint8_t>(value);
		}
		size_t k = wholeBytes;
		if (written % 8) {
			unsigned value = 0;
			for (unsigned bit = 0; bit < written % 8; ++bit)
				value |= unsigned(in[bit] < threshold[bit]) << (7 - bit);
			out[k++] = static_cast<uint8_t>(value);
		}
		if (k < outLineBytes)
			std::memset(out + k, 0, outLineBytes - k);
	}
}

} // namespace torvane::imaging
