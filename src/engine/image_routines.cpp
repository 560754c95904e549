// SPDX-License-Identifier: MIT
// The image routines with the arguments the read pipeline passes them.

#include "engine/image_routines.h"

#include <cstring>

#include "ability/inquiry.h"
#include "driver/driver_state.h"
#include "imaging/conversions.h"
#include "imaging/filters.h"
#include "imaging/resample.h"

namespace torvane::engine {

namespace {

// The four filters' kernels, in row order; only SharpenGreyPixels reads its
// kernel, but each filter is given one.
constexpr int8_t kBlendKernel[9] = { 1, 1, 1, 1, 1, 1, 1, 1, 1 };
constexpr int8_t kNeutraliseKernel[9] = { 1, 1, 1, 1, 16, 1, 1, 1, 1 };
constexpr int8_t kSharpenKernel[9] = { 0, -1, 0, 0, 7, 0, 0, -1, 0 };
constexpr int8_t kReddishKernel[9] = { 0, 0, 0, 0, 1, 0, 0, 0, 0 };
constexpr int16_t kFilterWindow = 3;

} // namespace

bool isFilteredModel()
{
	const uint8_t *product = driver::driverState.modelInquiry + ability::kInquiryProductId;
	// Six bytes: the five characters and a zero byte; a space does not match.
	return std::memcmp(product, "RM735", 6) == 0 || std::memcmp(product, "KT918", 6) == 0;
}

uint32_t applyModelFilters(const uint8_t *source, uint8_t *image, uint16_t pixelsPerLine, uint32_t lines,
			   uint8_t bitsPerPixel)
{
	// One pass for the four filters; the kernels of the others are not read.
	static_assert(kBlendKernel[0] == 1 && kNeutraliseKernel[4] == 16 && kReddishKernel[4] == 1);
	return imaging::FilterChunkInOnePass(source, image, pixelsPerLine, static_cast<uint16_t>(lines), bitsPerPixel,
					     kSharpenKernel, kFilterWindow);
}

uint32_t resample(const uint8_t *source, uint32_t sourcePixels, uint32_t lines, uint8_t *destination,
		  uint32_t destPixels, double factor, uint8_t bitsPerPixel)
{
	return imaging::ResampleLines(source, sourcePixels, static_cast<int32_t>(lines), destination, destPixels,
				      factor, factor, bitsPerPixel);
}

uint32_t colourToGrey(const uint8_t *source, uint8_t *destination, uint32_t colourLineBytes, uint32_t lines)
{
	return imaging::ColourLinesToGrey(source, destination, colourLineBytes, lines);
}

void greyToLineArt(const uint8_t *source, uint8_t *destination, uint32_t outLineBytes, uint32_t sourceLineBytes,
		   uint32_t lines)
{
	imaging::GreyLinesToLineArt(source, destination, outLineBytes, sourceLineBytes, lines);
}

void greyToHalftone(const uint8_t *source, uint8_t *destination, uint32_t outLineBytes, uint32_t pixels,
		    uint32_t lines, int32_t pattern)
{
	imaging::GreyLinesToHalftone(source, destination, outLineBytes, pixels, lines, pattern);
}

void releaseResampler()
{
	imaging::ResampleLines(nullptr, 0, 0, nullptr, 0, 0.0, 0.0, 0);
}

void releaseModelFilters()
{
	imaging::BlendChannelLines(nullptr, 0, 0, 0, nullptr, 0);
	imaging::NeutraliseGreyPixels(nullptr, 0, 0, 0, nullptr, 0);
	imaging::SharpenGreyPixels(nullptr, 0, 0, 0, nullptr, 0);
	imaging::AdjustReddishPixels(nullptr, 0, 0, 0, nullptr, 0);
}

} // namespace torvane::engine
