// SPDX-License-Identifier: MIT
// Whole scans through the exports, for every kind of request: the bytes a
// front end receives equal the raw image the scanner sent, worked by the
// plain reference routines.

#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ability/inquiry.h"
#include "driver/driver_state.h"
#include "scanner_session.h"
#include "torvane/torvane.h"

namespace torvane::engine::test {
namespace {

struct ScanCase {
	const char *name;
	Request request;
	bool rawTestMode = false;
};

// Named in the test list by its name, not its bytes.
void PrintTo(const ScanCase &scanCase, std::ostream *out)
{
	*out << scanCase.name;
}

class WholeScanTest : public ScanningTest, public ::testing::WithParamInterface<ScanCase>
{
};

TEST_P(WholeScanTest, DeliversTheWorkedRawImage)
{
	driver::driverState.RawTestMode = GetParam().rawTestMode ? 1 : 0;
	const ScanParameter parameter = parameterFor(GetParam().request);
	std::vector<uint8_t> raw;
	// Odd pieces, so that requests end inside chunks and span them.
	const std::vector<uint8_t> image = scan(parameter, &raw, 7777);
	ASSERT_FALSE(raw.empty());
	const std::vector<uint8_t> expected = expectedImage(raw, imageBytesOf(parameter));
	ASSERT_EQ(image.size(), expected.size());
	EXPECT_TRUE(image == expected) << "first difference at byte "
				       << (std::mismatch(image.begin(), image.end(), expected.begin()).first -
					   image.begin());
}

// A window of 2 inches starting 1/3 inch from the left edge.
constexpr uint16_t kLeft = 100;
constexpr uint16_t kWidth = 600;

const ScanCase kCases[] = {
	{ "Colour300WithModelFilters", { .xres = 300 } },
	{ "Colour300WithModelFiltersNarrow", { .xres = 300, .left = kLeft, .width = kWidth } },
	{ "Colour300RawTestMode", { .xres = 300 }, true },
	{ "Colour301", { .xres = 301, .length = 40 } },
	{ "Colour600", { .xres = 600, .length = 40 } },
	{ "Colour600Narrow", { .xres = 600, .left = kLeft, .width = kWidth, .length = 40 } },
	{ "Colour150", { .xres = 150 } },
	{ "Colour100BoxAveraging", { .xres = 100, .length = 150 } },
	{ "Colour200", { .xres = 200 } },
	{ "Colour200Narrow", { .xres = 200, .left = kLeft, .width = kWidth } },
	{ "Colour1200", { .xres = 1200, .width = 300, .length = 20 } },
	{ "Colour1200Narrow", { .xres = 1200, .left = kLeft, .width = 200, .length = 20 } },
	{ "Colour49NoCrop", { .xres = 49, .left = kLeft, .width = kWidth, .length = 300 } },
	{ "Grey300FromColour", { .xres = 300, .mode = 2, .bitsPerPixel = 8 } },
	{ "Grey300GreenChannel", { .xres = 300, .mode = 2, .bitsPerPixel = 8, .colorFilter = 2 } },
	{ "Grey200FromColour", { .xres = 200, .mode = 2, .bitsPerPixel = 8 } },
	{ "Grey200RedChannelNarrow",
	  { .xres = 200, .mode = 2, .bitsPerPixel = 8, .colorFilter = 1, .left = kLeft, .width = kWidth } },
	{ "Grey600FromColourNarrow",
	  { .xres = 600, .mode = 2, .bitsPerPixel = 8, .left = kLeft, .width = kWidth, .length = 40 } },
	{ "LineArt300", { .xres = 300, .mode = 0, .bitsPerPixel = 1 } },
	{ "LineArt150", { .xres = 150, .mode = 0, .bitsPerPixel = 1 } },
	{ "LineArt150Narrow", { .xres = 150, .mode = 0, .bitsPerPixel = 1, .left = kLeft, .width = kWidth } },
	{ "Halftone200Pattern1", { .xres = 200, .mode = 1, .bitsPerPixel = 1, .pattern = 1 } },
	{ "Halftone200Pattern2", { .xres = 200, .mode = 1, .bitsPerPixel = 1, .pattern = 2 } },
	{ "Halftone200Pattern3", { .xres = 200, .mode = 1, .bitsPerPixel = 1, .pattern = 3 } },
	{ "Halftone200Pattern4", { .xres = 200, .mode = 1, .bitsPerPixel = 1, .pattern = 4 } },
	{ "Halftone200Pattern5", { .xres = 200, .mode = 1, .bitsPerPixel = 1, .pattern = 5 } },
	{ "Halftone200Pattern6", { .xres = 200, .mode = 1, .bitsPerPixel = 1, .pattern = 6 } },
	{ "Halftone300BlueChannelNarrow",
	  { .xres = 300, .mode = 1, .bitsPerPixel = 1, .colorFilter = 3, .pattern = 4, .left = kLeft, .width = kWidth } },
	{ "Halftone300FromColour", { .xres = 300, .mode = 1, .bitsPerPixel = 1, .pattern = 2 } },
	// 1-bit lines whose width is not a multiple of 8: 1202 pixels.
	{ "LineArtOddWidth", { .xres = 300, .mode = 0, .bitsPerPixel = 1, .width = 601 } },
	{ "HalftoneOddWidth", { .xres = 200, .mode = 1, .bitsPerPixel = 1, .pattern = 3, .width = 601, .pixelNum = 401 } },
};

INSTANTIATE_TEST_SUITE_P(Requests, WholeScanTest, ::testing::ValuesIn(kCases),
			 [](const ::testing::TestParamInfo<ScanCase> &info) { return std::string(info.param.name); });

using ModelFilterTest = ScanningTest;

// The model test reads six bytes: the five characters and a zero byte.
TEST_F(ModelFilterTest, AProductIdFollowedByASpaceGetsNoModelFilters)
{
	driver::driverState.modelInquiry[ability::kInquiryProductId + 5] = ' ';
	const ScanParameter parameter = parameterFor({ .xres = 300 });
	std::vector<uint8_t> raw;
	const std::vector<uint8_t> image = scan(parameter, &raw);
	// At 300 dpi over the full width nothing else changes the raw image.
	raw.resize(image.size());
	EXPECT_TRUE(image == raw);
}

TEST_F(ModelFilterTest, TheFiltersChangeTheImageOfAFilteredModel)
{
	const ScanParameter parameter = parameterFor({ .xres = 300 });
	std::vector<uint8_t> raw;
	const std::vector<uint8_t> image = scan(parameter, &raw);
	raw.resize(image.size());
	EXPECT_FALSE(image == raw);
}

} // namespace
} // namespace torvane::engine::test
