// SPDX-License-Identifier: MIT
// The ScanParameter torvane-scan gives the driver, and the image it expects.

#include <gtest/gtest.h>

#include "scan_plan.h"

namespace torvane::scan {
namespace {

// A legal-size scanner: 8.5 x 14 inch at 300 dpi.
constexpr ScannerArea kLegal{ 2550, 4200 };

Options scanOptions(ColourMode mode, unsigned dpi)
{
	Options options;
	options.output = "page.png";
	options.mode = mode;
	options.resolution = dpi;
	return options;
}

Length mm(double value)
{
	return Length{ value, LengthUnit::Millimetre };
}

Length in(double value)
{
	return Length{ value, LengthUnit::Inch };
}

TEST(ScanPlan, ColourDefaultsToTheWholeWidthAndAnA4Length)
{
	const PlanResult r = planScan(scanOptions(ColourMode::Colour, 150), kLegal);
	ASSERT_EQ(r.error, "");
	const ScanParameter &p = r.plan.parameter;
	EXPECT_EQ(p.Left, 0);
	EXPECT_EQ(p.Top, 0);
	EXPECT_EQ(p.Width, 2550);
	EXPECT_EQ(p.Length, 3508); // 297 mm
	EXPECT_EQ(p.PixelNum, 1275);
	EXPECT_EQ(p.LineNum, 1754);
	EXPECT_EQ(p.ScanMode, 4);
	EXPECT_EQ(p.BitPerPixel, 24);
	EXPECT_EQ(p.ColorFilter, 0);
	EXPECT_EQ(p.HTPatternNo, 0);
	EXPECT_EQ(p.XRes, 150);
	EXPECT_EQ(p.YRes, 150);
	EXPECT_EQ(p.byPagesThisJob, 1);
	EXPECT_EQ(p.ExtScanParam, 0);
	EXPECT_EQ(r.plan.image.width, 1275u);
	EXPECT_EQ(r.plan.image.height, 1754u);
	EXPECT_EQ(r.plan.image.bytesPerLine, 3825u);
	EXPECT_EQ(r.plan.image.imageBytes(), 3825ull * 1754);
	EXPECT_EQ(r.plan.image.kind, PixelKind::Colour);
	EXPECT_TRUE(r.plan.scannedInColour);
}

TEST(ScanPlan, LineArtLinesHaveEveryPixelPaddedToAWholeByte)
{
	Options options = scanOptions(ColourMode::LineArt, 300);
	options.left = mm(10);	 // 118 units
	options.width = mm(100); // 1181 units: 1181 pixels in 148 bytes
	const PlanResult r = planScan(options, kLegal);
	ASSERT_EQ(r.error, "");
	const ScanParameter &p = r.plan.parameter;
	EXPECT_EQ(p.Left, 118);
	EXPECT_EQ(p.PixelNum, 1181);
	// The window covers exactly the pixels asked for.
	EXPECT_EQ(p.Width, 1181);
	EXPECT_EQ(p.ScanMode, 0);
	EXPECT_EQ(p.BitPerPixel, 1);
	EXPECT_EQ(p.ColorFilter, 0);
	EXPECT_EQ(r.plan.image.bytesPerLine, 148u);
	EXPECT_EQ(r.plan.image.kind, PixelKind::Bilevel);
	EXPECT_FALSE(r.plan.scannedInColour); // the driver scans line art on one channel
}

TEST(ScanPlan, HalftoneInInches)
{
	Options options = scanOptions(ColourMode::Halftone, 200);
	options.halftonePattern = 3;
	options.left = in(1);
	options.top = in(0.5);
	options.width = in(2);
	options.length = in(3);
	const PlanResult r = planScan(options, kLegal);
	ASSERT_EQ(r.error, "");
	const ScanParameter &p = r.plan.parameter;
	EXPECT_EQ(p.Left, 300);
	EXPECT_EQ(p.Top, 150);
	EXPECT_EQ(p.Width, 600);
	EXPECT_EQ(p.Length, 900);
	EXPECT_EQ(p.PixelNum, 400);
	EXPECT_EQ(p.LineNum, 600);
	EXPECT_EQ(p.ScanMode, 1);
	EXPECT_EQ(p.BitPerPixel, 1);
	EXPECT_EQ(p.HTPatternNo, 3);
	EXPECT_EQ(r.plan.image.bytesPerLine, 50u);
	EXPECT_TRUE(r.plan.scannedInColour); // halftone without a filter is scanned in colour
}

TEST(ScanPlan, GreyWithAFilterAtAResolutionThatDoesNotDivideTheWidth)
{
	Options options = scanOptions(ColourMode::Grey, 75);
	options.filter = ColourFilter::Red;
	const PlanResult r = planScan(options, kLegal);
	ASSERT_EQ(r.error, "");
	const ScanParameter &p = r.plan.parameter;
	EXPECT_EQ(p.PixelNum, 637); // 637.5 pixels: whole ones only
	EXPECT_EQ(p.Width, 2548);   // exactly 637 pixels at 75 dpi
	EXPECT_EQ(p.LineNum, 877);
	EXPECT_EQ(p.Length, 3508);
	EXPECT_EQ(p.ScanMode, 2);
	EXPECT_EQ(p.BitPerPixel, 8);
	EXPECT_EQ(p.ColorFilter, 1);
	EXPECT_EQ(r.plan.image.bytesPerLine, 637u);
	EXPECT_FALSE(r.plan.scannedInColour);

	options.filter = ColourFilter::None;
	EXPECT_TRUE(planScan(options, kLegal).plan.scannedInColour);
}

TEST(ScanPlan, HighestResolution)
{
	Options options = scanOptions(ColourMode::Colour, 1200);
	options.width = in(1);
	const PlanResult r = planScan(options, kLegal);
	ASSERT_EQ(r.error, "");
	EXPECT_EQ(r.plan.parameter.PixelNum, 1200);
	EXPECT_EQ(r.plan.parameter.Width, 300);
	EXPECT_EQ(r.plan.parameter.LineNum, 14032);
	EXPECT_EQ(r.plan.parameter.Length, 3508);
	EXPECT_EQ(r.plan.parameter.XRes, 1200);
}

TEST(ScanPlan, DefaultLengthStopsAtTheScannersEnd)
{
	Options options = scanOptions(ColourMode::Grey, 300);
	options.top = mm(300); // 3543 units; 657 left of the scanner's 4200
	const PlanResult r = planScan(options, kLegal);
	ASSERT_EQ(r.error, "");
	EXPECT_EQ(r.plan.parameter.Top, 3543);
	EXPECT_EQ(r.plan.parameter.Length, 657);

	// A scanner shorter than A4 scans its whole length.
	EXPECT_EQ(planScan(scanOptions(ColourMode::Grey, 300), ScannerArea{ 2550, 3000 }).plan.parameter.Length, 3000);
}

TEST(ScanPlan, AreaOutsideTheScannerIsRefused)
{
	Options options = scanOptions(ColourMode::Colour, 300);
	options.left = mm(216);
	EXPECT_EQ(planScan(options, kLegal).error, "--left 216.0 mm lies outside the scanner, whose width is 215.9 mm");

	options.left = mm(100);
	options.width = mm(150);
	EXPECT_EQ(planScan(options, kLegal).error,
		  "the area (--left 100.0 mm and --width 150.0 mm) goes beyond the scanner's width of 215.9 mm");

	options = scanOptions(ColourMode::Colour, 300);
	options.length = mm(400);
	EXPECT_EQ(planScan(options, kLegal).error,
		  "the area (--top 0.0 mm and --length 400.0 mm) goes beyond the scanner's length of 355.6 mm");

	options = scanOptions(ColourMode::Colour, 300);
	options.top = in(14);
	EXPECT_EQ(planScan(options, kLegal).error, "--top 355.6 mm lies outside the scanner, whose length is 355.6 mm");

	EXPECT_EQ(planScan(scanOptions(ColourMode::Colour, 300), ScannerArea{ 0, 0 }).error,
		  "the scanner reports no scan area");
}

TEST(ScanPlan, OneUnitBeyondTheEdgeIsARoundingAndIsCut)
{
	Options options = scanOptions(ColourMode::Colour, 300);
	options.width = mm(216); // 2551 units on a scanner of 2550
	const PlanResult r = planScan(options, kLegal);
	ASSERT_EQ(r.error, "");
	EXPECT_EQ(r.plan.parameter.Width, 2550);
	EXPECT_EQ(r.plan.parameter.PixelNum, 2550);
}

TEST(ScanPlan, TooSmallOrContradictorySettings)
{
	Options options = scanOptions(ColourMode::LineArt, 50);
	options.width = mm(0.5); // 6 units: 1 pixel at 50 dpi, in a byte of its own
	const PlanResult onePixel = planScan(options, kLegal);
	ASSERT_EQ(onePixel.error, "");
	EXPECT_EQ(onePixel.plan.parameter.PixelNum, 1);
	EXPECT_EQ(onePixel.plan.image.bytesPerLine, 1u);
	options.width = mm(0.4); // 5 units: no pixel at 50 dpi
	EXPECT_EQ(planScan(options, kLegal).error, "the area is too small for one pixel at 50 dpi");

	options = scanOptions(ColourMode::Grey, 50);
	options.length = mm(0.05); // 1 unit: no line at 50 dpi
	EXPECT_EQ(planScan(options, kLegal).error, "the area is too small for one line at 50 dpi");

	options = scanOptions(ColourMode::Grey, 300);
	options.width = mm(0.01);
	EXPECT_EQ(planScan(options, kLegal).error, "--width is less than 1/300 inch");

	options = scanOptions(ColourMode::Colour, 300);
	options.filter = ColourFilter::Blue;
	EXPECT_EQ(planScan(options, kLegal).error, "--filter applies to gray, lineart and halftone scans, not to color");
}

TEST(ScanPlan, LengthConversion)
{
	EXPECT_EQ(toUnits(mm(25.4)), 300u);
	EXPECT_EQ(toUnits(in(8.5)), 2550u);
	EXPECT_EQ(toUnits(mm(297)), 3508u);
	EXPECT_EQ(toUnits(in(1e12)), 1000000000u); // absurd values stay bounded
	EXPECT_DOUBLE_EQ(unitsToMillimetres(300), 25.4);
}

TEST(ScanPlan, GammaTables)
{
	unsigned char table[256];
	buildGammaTable(1.0, table);
	for (int i = 0; i < 256; ++i)
		ASSERT_EQ(table[i], i);

	buildGammaTable(2.2, table);
	EXPECT_EQ(table[0], 0);
	EXPECT_EQ(table[64], 136);
	EXPECT_EQ(table[128], 186);
	EXPECT_EQ(table[255], 255);

	buildGammaTable(0.5, table);
	EXPECT_EQ(table[128], 64);
}

} // namespace
} // namespace torvane::scan
