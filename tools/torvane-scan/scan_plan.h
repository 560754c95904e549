// SPDX-License-Identifier: MIT
// From the user's scan settings and the scanner's size to the ScanParameter
// record the driver is given, and the geometry of the image it will deliver.
#pragma once

#include <cstdint>
#include <string>

#include <torvane/torvane.h>

#include "options.h"
#include "client/scan_window.h"

namespace torvane::scan {

// What the image file receives: the pixel layout the driver delivers.
enum class PixelKind {
	Colour,	 // 3 bytes per pixel, red, green, blue
	Grey,	 // 1 byte per pixel, 0 black
	Bilevel, // 1 bit per pixel, first pixel in the top bit, 1 black
};

struct ImageGeometry {
	uint32_t width = 0;  // pixels per line
	uint32_t height = 0; // lines
	PixelKind kind = PixelKind::Colour;
	uint32_t bytesPerLine = 0; // as the driver delivers them (a 1-bit line padded to a whole byte)
	uint32_t dpi = 0;

	uint64_t imageBytes() const { return uint64_t(bytesPerLine) * height; }
};

// The scanner's area, in 1/300 inch, from its ability record.
struct ScannerArea {
	uint32_t width = 0;
	uint32_t length = 0;
};

struct ScanPlan {
	ScanParameter parameter{};
	ImageGeometry image;
	// The scanner scans these modes in colour (grey without a colour filter,
	// and halftone made from it): its gamma tables go to channels 1 to 3.
	bool scannedInColour = false;
};

struct PlanResult {
	ScanPlan plan;
	std::string error; // empty when the settings fit the scanner
};

// One unit of the scan area: 1/300 inch.
inline constexpr double kUnitsPerInch = 300.0;
inline constexpr double kMillimetresPerInch = 25.4;
// The default length of a page: A4, 297 mm.
inline constexpr double kA4LengthMm = 297.0;

// Length in 1/300 inch, rounded to the nearest unit.
uint32_t toUnits(const Length &length);
double unitsToMillimetres(uint32_t units);

// Works out the ScanParameter for `options` on a scanner of `area`:
// Left/Top/Width/Length in 1/300 inch, PixelNum and LineNum at the asked
// resolution (XRes = YRes), ScanMode and BitPerPixel of the mode. 1-bit
// images have every pixel asked for, each line padded to a whole byte.
PlanResult planScan(const Options &options, const ScannerArea &area);

// The 256-entry tone curve sent with SetGammaTable: identity for gamma 1.
using client::buildGammaTable;

} // namespace torvane::scan
