// SPDX-License-Identifier: MIT
// Reference conversions: colour to grey, grey to line art and to halftone.

#include "oracle.h"

#include <cstring>

namespace torvane::imaging::oracle {

// The table as it is printed: eight values a line.
// clang-format off
const uint8_t halftoneTable[384] = {
	/* Pattern 1 */
	127, 201, 174, 147, 120, 46, 73, 100,
	103, 83, 56, 110, 137, 157, 184, 130,
	53, 19, 26, 90, 194, 228, 221, 151,
	76, 39, 32, 63, 164, 208, 215, 178,
	117, 46, 70, 97, 124, 201, 171, 144,
	140, 161, 188, 134, 107, 86, 59, 113,
	194, 228, 221, 154, 53, 19, 26, 93,
	167, 208, 215, 181, 80, 39, 32, 66,
	/* Pattern 2 */
	127, 140, 130, 144, 134, 147, 124, 137,
	154, 167, 157, 171, 161, 174, 151, 164,
	181, 194, 184, 198, 188, 201, 178, 191,
	208, 221, 211, 225, 215, 228, 205, 218,
	19, 32, 22, 36, 26, 39, 16, 29,
	46, 59, 49, 63, 53, 66, 43, 56,
	73, 86, 76, 90, 80, 93, 70, 83,
	100, 113, 103, 117, 107, 120, 97, 110,
	/* Pattern 3 */
	127, 154, 181, 208, 19, 46, 73, 100,
	140, 167, 194, 221, 32, 59, 86, 113,
	130, 157, 184, 211, 22, 49, 76, 103,
	144, 171, 198, 225, 36, 63, 90, 117,
	134, 161, 188, 215, 26, 53, 80, 107,
	147, 174, 201, 228, 39, 66, 93, 120,
	124, 151, 178, 205, 16, 43, 70, 97,
	137, 164, 191, 218, 29, 56, 83, 110,
	/* Pattern 4 */
	127, 46, 154, 26, 134, 53, 161, 19,
	73, 208, 100, 188, 80, 215, 120, 181,
	167, 32, 140, 66, 174, 39, 147, 59,
	113, 194, 86, 228, 120, 201, 93, 221,
	134, 53, 161, 19, 127, 46, 154, 26,
	80, 215, 120, 181, 73, 208, 100, 188,
	174, 39, 147, 59, 167, 32, 140, 66,
	120, 201, 93, 221, 113, 194, 86, 228,
	/* Pattern 5 */
	124, 137, 97, 110, 124, 137, 97, 110,
	29, 151, 83, 16, 29, 151, 83, 16,
	43, 164, 70, 56, 43, 164, 70, 56,
	191, 178, 218, 205, 191, 178, 218, 205,
	124, 137, 97, 110, 124, 137, 97, 110,
	29, 151, 83, 16, 29, 151, 83, 16,
	43, 164, 70, 56, 43, 164, 70, 56,
	191, 178, 218, 205, 191, 178, 218, 205,
	/* Pattern 6 */
	45, 155, 234, 237, 81, 165, 233, 236,
	194, 217, 240, 244, 200, 220, 240, 243,
	229, 235, 111, 175, 231, 235, 135, 185,
	238, 241, 206, 223, 238, 242, 211, 227,
	98, 170, 233, 236, 63, 160, 234, 237,
	203, 221, 239, 243, 197, 218, 240, 245,
	232, 235, 147, 189, 230, 235, 122, 180,
	238, 242, 214, 228, 238, 241, 208, 225,
};
// clang-format on

uint16_t ColourLinesToGrey(const uint8_t *source, uint8_t *destination, uint32_t colourLineBytes,
			   uint32_t lines)
{
	const uint32_t pixels = colourLineBytes == 0 ? 0 : (colourLineBytes - 1) / 3 + 1;
	for (uint32_t i = 0; i < lines; ++i) {
		const uint8_t *line = source + uint64_t(i) * colourLineBytes;
		/* A partial last pixel lacks bytes: they count as 0, and are not read. */
		auto byteAt = [&](uint32_t k) -> unsigned { return k < colourLineBytes ? line[k] : 0; };
		for (uint32_t x = 0; x < pixels; ++x) {
			const unsigned b0 = byteAt(3 * x);
			const unsigned b1 = byteAt(3 * x + 1);
			const unsigned b2 = byteAt(3 * x + 2);
			*destination++ = uint8_t((3 * b0 + 6 * b1 + b2) / 10);
		}
	}
	return uint16_t(lines);
}

void GreyLinesToLineArt(const uint8_t *source, uint8_t *destination, uint32_t outLineBytes,
			uint32_t sourceLineBytes, uint32_t lines)
{
	for (uint32_t i = 0; i < lines; ++i) {
		uint8_t *out = destination + uint64_t(i) * outLineBytes;
		for (uint32_t k = 0; k < outLineBytes; ++k)
			out[k] = 0;
		for (uint64_t j = 0; j < 8 * uint64_t(outLineBytes); ++j) {
			if (j >= sourceLineBytes)
				break; /* past the source line: a 0 bit, nothing read */
			if (source[uint64_t(i) * sourceLineBytes + j] < 128)
				out[j / 8] |= uint8_t(1u << (7 - j % 8));
		}
	}
}

void GreyLinesToHalftone(const uint8_t *source, uint8_t *destination, uint32_t outLineBytes,
			 uint32_t pixels, uint32_t lines, int32_t pattern)
{
	if (pattern < 1 || pattern > 6)
		pattern = 1;
	for (uint32_t i = 0; i < lines; ++i) {
		uint8_t *out = destination + uint64_t(i) * outLineBytes;
		for (uint32_t k = 0; k < outLineBytes; ++k)
			out[k] = 0;
		for (uint32_t j = 0; j < pixels; ++j) {
			if (j / 8 >= outLineBytes)
				break; /* the output line is full */
			const uint8_t threshold = halftoneTable[(pattern - 1) * 64 + (i % 8) * 8 + j % 8];
			if (source[uint64_t(i) * pixels + j] < threshold)
				out[j / 8] |= uint8_t(1u << (7 - j % 8));
		}
	}
}

} // namespace torvane::imaging::oracle
