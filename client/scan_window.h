// SPDX-License-Identifier: MIT
// From a scan area, mode and resolution to the ScanParameter record the driver
// is given and the size of the image it delivers; and the tone curve.
#pragma once

#include <cstdint>
#include <string>

#include <torvane/torvane.h>

namespace torvane::client {

enum class ScanMode {
	LineArt,
	Halftone,
	Grey,
	Colour
};

// One axis and the other of the area, in 1/300 inch, already fitted to the scanner.
struct WindowRequest {
	ScanMode mode = ScanMode::Colour;
	uint32_t dpi = 300;
	uint32_t left = 0, top = 0, width = 0, length = 0;
	uint8_t colourFilter = 0;    // 0 none, 1..3 one channel
	uint8_t halftonePattern = 1; // 1..6, used in Halftone only
};

struct ScanWindow {
	ScanParameter parameter{};
	uint32_t pixels = 0; // per line
	uint32_t lines = 0;
	uint32_t bitsPerPixel = 0; // 1, 8 or 24
	uint32_t bytesPerLine = 0; // a 1-bit line is padded to a whole byte
	// The scanner scans in colour (grey without a colour filter, and halftone
	// made from it): tone curves go to channels 1 to 3.
	bool scannedInColour = false;
};

struct WindowResult {
	ScanWindow window;
	std::string error; // empty when the area holds an image at the resolution
};

// PixelNum and LineNum at the asked resolution (XRes = YRes), at any width:
// the driver pads each 1-bit line to a whole byte. The window the scanner is given
// covers exactly the pixels asked for: the driver crops the scanned lines
// with it, and its line art and halftone steps rely on lines of exactly
// PixelNum pixels.
WindowResult planWindow(const WindowRequest &request);

// The 256-entry tone curve sent with SetGammaTable: identity for gamma 1.
void buildGammaTable(double gamma, unsigned char table[256]);

} // namespace torvane::client
