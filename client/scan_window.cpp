// SPDX-License-Identifier: MIT
// From a scan area, mode and resolution to the ScanParameter record the driver
// is given and the size of the image it delivers; and the tone curve.

#include "client/scan_window.h"

#include <algorithm>
#include <cmath>

namespace torvane::client {

namespace {

// How the driver is asked for each mode: ScanMode and BitPerPixel.
struct ModeRow {
	ScanMode mode;
	uint8_t scanMode;
	uint8_t bitPerPixel;
};

constexpr ModeRow kModes[] = {
	{ ScanMode::LineArt, 0, 1 },
	{ ScanMode::Halftone, 1, 1 },
	{ ScanMode::Grey, 2, 8 },
	{ ScanMode::Colour, 4, 24 },
};

const ModeRow &modeRow(ScanMode mode)
{
	for (const auto &row : kModes)
		if (row.mode == mode)
			return row;
	return kModes[3];
}

uint32_t ceilDiv(uint64_t a, uint64_t b)
{
	return static_cast<uint32_t>((a + b - 1) / b);
}

} // namespace

WindowResult planWindow(const WindowRequest &request)
{
	WindowResult result;
	const ModeRow &mode = modeRow(request.mode);
	const uint32_t dpi = request.dpi;
	const uint32_t pixels = static_cast<uint32_t>(uint64_t(request.width) * dpi / 300);
	const uint32_t lines = static_cast<uint32_t>(uint64_t(request.length) * dpi / 300);
	if (pixels == 0 || lines == 0) {
		result.error = std::string("the area is too small for one ") + (pixels == 0 ? "pixel" : "line") + " at " +
			       std::to_string(dpi) + " dpi";
		return result;
	}
	if (pixels > 0xFFFF || lines > 0xFFFF) {
		result.error = "the area is too large for " + std::to_string(dpi) + " dpi (at most 65535 pixels each way)";
		return result;
	}

	ScanParameter &p = result.window.parameter;
	p.Left = static_cast<uint16_t>(request.left);
	p.Top = static_cast<uint16_t>(request.top);
	p.Width = static_cast<uint16_t>(ceilDiv(uint64_t(pixels) * 300, dpi));
	p.Length = static_cast<uint16_t>(ceilDiv(uint64_t(lines) * 300, dpi));
	p.PixelNum = static_cast<uint16_t>(pixels);
	p.LineNum = static_cast<uint16_t>(lines);
	p.ScanMode = mode.scanMode;
	p.BitPerPixel = mode.bitPerPixel;
	p.HTPatternNo = request.mode == ScanMode::Halftone ? request.halftonePattern : 0;
	p.ColorFilter = request.colourFilter;
	p.XRes = static_cast<uint16_t>(dpi);
	p.YRes = static_cast<uint16_t>(dpi);
	p.byPagesThisJob = 1;

	ScanWindow &window = result.window;
	window.pixels = pixels;
	window.lines = lines;
	window.bitsPerPixel = mode.bitPerPixel;
	// A 1-bit line ends in a whole byte: the bits past the last pixel are padding.
	window.bytesPerLine = mode.bitPerPixel == 1 ? (pixels + 7) / 8 : pixels * (mode.bitPerPixel / 8);
	window.scannedInColour = request.mode == ScanMode::Colour ||
				 ((request.mode == ScanMode::Grey || request.mode == ScanMode::Halftone) &&
				  request.colourFilter == 0);
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

} // namespace torvane::client
