// SPDX-License-Identifier: MIT
// The settings SetScanParameter leaves for the scan engine: what the scanner
// is told (workParam), what the front end asked for (userRequest), and the
// conversions the read pipeline makes between the two.
#pragma once

#include <cstdint>

#include "torvane/torvane.h"

namespace torvane::setup {

struct UserRequest {
	uint16_t Width;
	uint16_t PixelNum; // pixels per line delivered to the front end
	uint16_t Left;	   // the read pipeline crops with it (1/300 inch)
	double zoomToUser; // requested resolution / base resolution
	double zoomToBase; // base resolution / requested resolution
	uint16_t XRes;	   // requested resolution
};

// Written by SetScanParameter (under the device lock) and InitializeDriver,
// read by StartScan when it plans the scan; only StopScan clears the
// conversion flags. The front end's threads alone touch it, one call at a
// time: the acquisition thread never reads it.
struct ScanSettings {
	// The working copy of the scan parameters as sent to the scanner.
	// Cleared by InitializeDriver.
	ScanParameter workParam;
	UserRequest userRequest;
	// Conversion flags: set by SetScanParameter, cleared only by StopScan.
	uint8_t lineArtFromGrey;
	uint8_t halftoneFromGrey;
	uint8_t greyFromColour;
};

extern ScanSettings scanSettings;

// The end of a scan: the conversions it asked for no longer hold (StopScan).
void endScanConversions();

} // namespace torvane::setup
