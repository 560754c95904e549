// SPDX-License-Identifier: MIT
// The settings derived from the front end's request: mode rewrite, flags,
// base resolution, zoom factors and line counts.

#include <cmath>
#include <cstring>

#include <gtest/gtest.h>

#include "setup/scan_parameter.h"
#include "setup/scan_settings.h"

using namespace torvane::setup;

namespace {

class ScanSettingsTest : public ::testing::Test
{
protected:
	void SetUp() override
	{
		scanSettings = {};
	}
	static ScanParameter request(uint8_t mode, uint8_t bits, uint8_t filter, uint16_t xres = 300)
	{
		ScanParameter p{};
		p.ScanMode = mode;
		p.BitPerPixel = bits;
		p.ColorFilter = filter;
		p.XRes = xres;
		p.YRes = xres;
		p.LineNum = 100;
		return p;
	}
	struct Outcome {
		uint8_t mode, bits, filter, lineArt, halftone, grey;
	};
	Outcome derive(const ScanParameter &p)
	{
		SetUp();
		deriveScanSettings(p, 2550);
		const ScanSettings &s = scanSettings;
		return { s.workParam.ScanMode, s.workParam.BitPerPixel, s.workParam.ColorFilter,
			 s.lineArtFromGrey, s.halftoneFromGrey, s.greyFromColour };
	}
};

void expectOutcome(const char *what, auto outcome, uint8_t mode, uint8_t bits, uint8_t filter, uint8_t lineArt,
		   uint8_t halftone, uint8_t grey)
{
	SCOPED_TRACE(what);
	EXPECT_EQ(outcome.mode, mode);
	EXPECT_EQ(outcome.bits, bits);
	EXPECT_EQ(outcome.filter, filter);
	EXPECT_EQ(outcome.lineArt, lineArt);
	EXPECT_EQ(outcome.halftone, halftone);
	EXPECT_EQ(outcome.grey, grey);
}

TEST_F(ScanSettingsTest, ModeRewriteForEachKindOfRequest)
{
	expectOutcome("line art, no filter", derive(request(0, 1, 0)), 2, 8, 1, 1, 0, 0);
	expectOutcome("line art, filter 3", derive(request(0, 1, 3)), 2, 8, 3, 1, 0, 0);
	expectOutcome("line art at 8 bits", derive(request(0, 8, 0)), 0, 8, 0, 0, 0, 0);
	expectOutcome("halftone, no filter", derive(request(1, 1, 0)), 4, 24, 0, 0, 1, 1);
	expectOutcome("halftone, filter 2", derive(request(1, 1, 2)), 2, 8, 2, 0, 1, 0);
	expectOutcome("halftone at 8 bits", derive(request(1, 8, 0)), 1, 8, 0, 0, 0, 0);
	expectOutcome("grey, filter 0", derive(request(2, 8, 0)), 4, 24, 0, 0, 0, 1);
	expectOutcome("grey, filter 2", derive(request(2, 8, 2)), 2, 8, 2, 0, 0, 0);
	expectOutcome("colour", derive(request(4, 24, 0)), 4, 24, 0, 0, 0, 0);
	expectOutcome("colour 48", derive(request(4, 48, 0)), 4, 48, 0, 0, 0, 0);
	expectOutcome("second colour mode", derive(request(6, 24, 0)), 6, 24, 0, 0, 0, 0);
	expectOutcome("unknown mode", derive(request(9, 1, 0)), 9, 1, 0, 0, 0, 0);
}

TEST_F(ScanSettingsTest, FlagsAccumulateUntilStopScanClearsThem)
{
	deriveScanSettings(request(0, 1, 0), 2550);
	deriveScanSettings(request(4, 24, 0), 2550);
	EXPECT_EQ(scanSettings.lineArtFromGrey, 1);
	EXPECT_EQ(scanSettings.halftoneFromGrey, 0);
	EXPECT_EQ(scanSettings.greyFromColour, 0);
}

TEST_F(ScanSettingsTest, BaseResolutionBoundary)
{
	deriveScanSettings(request(4, 24, 0, 300), 2550);
	EXPECT_EQ(scanSettings.workParam.XRes, 300);
	EXPECT_EQ(scanSettings.workParam.YRes, 300);
	EXPECT_EQ(scanSettings.workParam.PixelNum, 2550);
	EXPECT_EQ(scanSettings.userRequest.zoomToBase, 1.0);
	EXPECT_EQ(scanSettings.userRequest.zoomToUser, 1.0);

	deriveScanSettings(request(4, 24, 0, 301), 2550);
	EXPECT_EQ(scanSettings.workParam.XRes, 600);
	EXPECT_EQ(scanSettings.workParam.YRes, 600);
	EXPECT_EQ(scanSettings.workParam.PixelNum, 5100);
	EXPECT_EQ(scanSettings.userRequest.zoomToBase, 600.0 / 301.0);
	EXPECT_EQ(scanSettings.userRequest.zoomToUser, 301.0 / 600.0);
	EXPECT_EQ(scanSettings.userRequest.XRes, 301);
}

TEST_F(ScanSettingsTest, LineCounts)
{
	ScanParameter p = request(4, 24, 0, 200);
	p.LineNum = 1000;
	p.Length = 4000;
	deriveScanSettings(p, 2550);
	EXPECT_EQ(scanSettings.workParam.LineNum, 1512);
	EXPECT_EQ(scanSettings.workParam.Length, 4000 + 1512);

	p = request(4, 24, 0, 600);
	p.LineNum = 7;
	deriveScanSettings(p, 2550);
	EXPECT_EQ(scanSettings.workParam.LineNum, 16);

	EXPECT_EQ(scannerLineCount(0, 1.0), 12);
	EXPECT_EQ(scannerLineCount(3, 1.0), 12);
	EXPECT_EQ(scannerLineCount(4, 1.0), 16);
	// 1000 x 1.5 truncated; 3 x (600/7) = 257.14 truncated to 257.
	EXPECT_EQ(scannerLineCount(1000, 1.5), 1512);
	EXPECT_EQ(scannerLineCount(3, 600.0 / 7.0), 268);
}

TEST_F(ScanSettingsTest, LineCountsNeverWrapAround)
{
	EXPECT_EQ(scannerLineCount(65520, 1.0), 65532);
	EXPECT_EQ(scannerLineCount(65535, 1.0), 65532);
	EXPECT_EQ(scannerLineCount(65535, 600.0), 65532);

	ScanParameter p = request(4, 24, 0, 1);
	p.LineNum = 65535;
	p.Length = 60000;
	deriveScanSettings(p, 40000);
	EXPECT_EQ(scanSettings.workParam.LineNum, 65532);
	EXPECT_EQ(scanSettings.workParam.Length, 65535);
	EXPECT_EQ(scanSettings.workParam.PixelNum, 40000); // base 300
	EXPECT_TRUE(std::isfinite(scanSettings.userRequest.zoomToBase));

	p.XRes = 1200;
	deriveScanSettings(p, 40000);
	EXPECT_EQ(scanSettings.workParam.PixelNum, 65535); // 80000 does not fit 16 bits
}

TEST_F(ScanSettingsTest, RequestIsKeptWhereThePipelineNeedsIt)
{
	ScanParameter p = request(2, 8, 1, 150);
	p.Left = 100;
	p.Width = 1200;
	p.PixelNum = 600;
	p.Top = 12;
	p.HTPatternNo = 4;
	p.RExposure = 77;
	deriveScanSettings(p, 2550);
	EXPECT_EQ(scanSettings.workParam.Left, 0);
	EXPECT_EQ(scanSettings.userRequest.Left, 100);
	EXPECT_EQ(scanSettings.userRequest.Width, 1200);
	EXPECT_EQ(scanSettings.userRequest.PixelNum, 600);
	EXPECT_EQ(scanSettings.userRequest.XRes, 150);
	EXPECT_EQ(scanSettings.userRequest.zoomToUser, 0.5);
	EXPECT_EQ(scanSettings.userRequest.zoomToBase, 2.0);
	// Copied untouched.
	EXPECT_EQ(scanSettings.workParam.Top, 12);
	EXPECT_EQ(scanSettings.workParam.Width, 1200);
	EXPECT_EQ(scanSettings.workParam.HTPatternNo, 4);
	EXPECT_EQ(scanSettings.workParam.RExposure, 77);
}

} // namespace
