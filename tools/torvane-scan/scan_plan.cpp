// SPDX-License-Identifier: MIT
// From the user's scan settings and the scanner's size to the ScanParameter
// record the driver is given, and the geometry of the image it will deliver.

#include "scan_plan.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace torvane::scan {

namespace {

constexpr client::ScanMode scanModeOf(ColourMode mode)
{
	switch (mode) {
	case ColourMode::LineArt:
		return client::ScanMode::LineArt;
	case ColourMode::Halftone:
		return client::ScanMode::Halftone;
	case ColourMode::Grey:
		return client::ScanMode::Grey;
	case ColourMode::Colour:
		break;
	}
	return client::ScanMode::Colour;
}

std::string millimetres(uint32_t units)
{
	char text[32];
	std::snprintf(text, sizeof(text), "%.1f mm", unitsToMillimetres(units));
	return text;
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

	const client::WindowResult window = client::planWindow(client::WindowRequest{
		scanModeOf(options.mode), options.resolution, left, top, width, length,
		static_cast<uint8_t>(options.filter), static_cast<uint8_t>(options.halftonePattern) });
	if (!window.error.empty()) {
		result.error = window.error;
		return result;
	}

	result.plan.parameter = window.window.parameter;
	ImageGeometry &image = result.plan.image;
	image.width = window.window.pixels;
	image.height = window.window.lines;
	image.kind = window.window.bitsPerPixel == 1   ? PixelKind::Bilevel
		     : window.window.bitsPerPixel == 8 ? PixelKind::Grey
						       : PixelKind::Colour;
	image.dpi = options.resolution;
	image.bytesPerLine = window.window.bytesPerLine;
	result.plan.scannedInColour = window.window.scannedInColour;
	return result;
}

} // namespace torvane::scan
