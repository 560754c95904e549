// SPDX-License-Identifier: MIT
// From the user's scan settings and the scanner's size to the ScanParameter
// record the driver is given, and the geometry of the image it will deliver.

#include "scan_plan.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace torvane::scan {

namespace {

// How the driver is asked for each mode: ScanMode and BitPerPixel.
struct ModeRow {
	ColourMode mode;
	uint8_t scanMode;
	uint8_t bitPerPixel;
	PixelKind kind;
	const char *name;
};

constexpr ModeRow kModes[] = {
	{ ColourMode::LineArt, 0, 1, PixelKind::Bilevel, "line art" },
	{ ColourMode::Halftone, 1, 1, PixelKind::Bilevel, "halftone" },
	{ ColourMode::Grey, 2, 8, PixelKind::Grey, "gray" },
	{ ColourMode::Colour, 4, 24, PixelKind::Colour, "color" },
};

const ModeRow &modeRow(ColourMode mode)
{
	for (const auto &row : kModes)
		if (row.mode == mode)
			return row;
	return kModes[3];
}

std::string millimetres(uint32_t units)
{
	char text[32];
	std::snprintf(text, sizeof(text), "%.1f mm", unitsToMillimetres(units));
	return text;
}

uint32_t ceilDiv(uint64_t a, uint64_t b)
{
	return static_cast<uint32_t>((a + b - 1) / b);
}

// One edge and one extent along an axis of `size` units. A given extent may
// go past the edge of the scanner by one unit (a rounding of the user's
// number); it is then cut to the scanner.
std::string fitAxis(const char *edgeName, const char *extentName, const std::optional<Length> &edge,
		    const std::optional<Length> &extent, uint32_t size, uint32_t defaultExtent,
		    uint32_t *edgeOut, uint32_t *extentOut)
{
	const uint32_t start = edge ? toUnits(*edge) : 0;
	if (start >= size)
		return std::string("--") + edgeName + " " + millimetres(start) +
		       " lies outside the scanner, whose " + (std::string(extentName) == "width" ? "width" : "length") +
		       " is " + millimetres(size);
	uint32_t count = extent ? toUnits(*extent) : std::min(defaultExtent, size - start);
	if (count == 0)
		return std::string("--") + extentName + " is less than 1/300 inch";
	if (uint64_t(start) + count > size) {
		if (extent && uint64_t(start) + count - size > 1)
			return std::string("the area (--") + edgeName + " " + millimetres(start) + " and --" +
			       extentName + " " + millimetres(count) + ") goes beyond the scanner's " + extentName +
			       " of " + millimetres(size);
		count = size - start;
	}
	*edgeOut = start;
	*extentOut = count;
	return {};
}

} // namespace

uint32_t toUnits(const Length &length)
{
	const double inches = length.unit == LengthUnit::Inch ? length.value : length.value / kMillimetresPerInch;
	const double units = std::round(inches * kUnitsPerInch);
	if (!(units >= 0))
		return 0;
	return units > 1e9 ? 1000000000u : static_cast<uint32_t>(units);
}

double unitsToMillimetres(uint32_t units)
{
	return units * kMillimetresPerInch / kUnitsPerInch;
}

PlanResult planScan(const Options &options, const ScannerArea &area)
{
	PlanResult result;
	if (area.width == 0 || area.length == 0) {
		result.error = "the scanner reports no scan area";
		return result;
	}
	if (options.mode == ColourMode::Colour && options.filter != ColourFilter::None) {
		result.error = "--filter applies to gray, lineart and halftone scans, not to color";
		return result;
	}

	uint32_t left = 0, width = 0, top = 0, length = 0;
	const uint32_t a4 = toUnits(Length{ kA4LengthMm, LengthUnit::Millimetre });
	result.error = fitAxis("left", "width", options.left, options.width, area.width, area.width, &left, &width);
	if (result.error.empty())
		result.error = fitAxis("top", "length", options.top, options.length, area.length, a4, &top, &length);
	if (!result.error.empty())
		return result;

	const ModeRow &mode = modeRow(options.mode);
	const uint32_t dpi = options.resolution;
	uint32_t pixels = static_cast<uint32_t>(uint64_t(width) * dpi / 300);
	if (mode.bitPerPixel == 1)
		pixels &= ~7u; // whole bytes per line
	const uint32_t lines = static_cast<uint32_t>(uint64_t(length) * dpi / 300);
	if (pixels == 0 || lines == 0) {
		result.error = std::string("the area is too small for one ") + (pixels == 0 ? (mode.bitPerPixel == 1 ? "byte of 8 pixels" : "pixel") : "line") +
			       " at " + std::to_string(dpi) + " dpi";
		return result;
	}
	if (pixels > 0xFFFF || lines > 0xFFFF) {
		result.error = "the area is too large for " + std::to_string(dpi) + " dpi (at most 65535 pixels each way)";
		return result;
	}

	// The window the scanner is given covers exactly the pixels asked for:
	// the driver crops the scanned lines with it, and its line art and
	// halftone steps rely on lines of exactly PixelNum pixels.
	width = ceilDiv(uint64_t(pixels) * 300, dpi);
	length = ceilDiv(uint64_t(lines) * 300, dpi);

	ScanParameter &p = result.plan.parameter;
	p.Left = static_cast<uint16_t>(left);
	p.Top = static_cast<uint16_t>(top);
	p.Width = static_cast<uint16_t>(width);
	p.Length = static_cast<uint16_t>(length);
	p.PixelNum = static_cast<uint16_t>(pixels);
	p.LineNum = static_cast<uint16_t>(lines);
	p.ScanMode = mode.scanMode;
	p.BitPerPixel = mode.bitPerPixel;
	p.HTPatternNo = options.mode == ColourMode::Halftone ? static_cast<uint8_t>(options.halftonePattern) : 0;
	p.ColorFilter = static_cast<uint8_t>(options.filter);
	p.XRes = static_cast<uint16_t>(dpi);
	p.YRes = static_cast<uint16_t>(dpi);
	p.byPagesThisJob = 1;

	ImageGeometry &image = result.plan.image;
	image.width = pixels;
	image.height = lines;
	image.kind = mode.kind;
	image.dpi = dpi;
	image.bytesPerLine = mode.bitPerPixel == 1 ? pixels / 8 : pixels * (mode.bitPerPixel / 8);

	result.plan.scannedInColour = options.mode == ColourMode::Colour ||
				      ((options.mode == ColourMode::Grey || options.mode == ColourMode::Halftone) &&
				       options.filter == ColourFilter::None);
	return result;
}

void buildGammaTable(double gamma, unsigned char table[256])
{
	for (int i = 0; i < 256; ++i) {
		if (gamma == 1.0) {
			table[i] = static_cast<unsigned char>(i);
			continue;
		}
		const double value = 255.0 * std::pow(i / 255.0, 1.0 / gamma);
		table[i] = static_cast<unsigned char>(std::clamp(std::lround(value), 0L, 255L));
	}
}

} // namespace torvane::scan
