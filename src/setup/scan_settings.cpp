// SPDX-License-Identifier: MIT
// The settings SetScanParameter leaves for the scan engine.

#include "setup/scan_settings.h"

namespace torvane::setup {

ScanSettings scanSettings = {};

void endScanConversions()
{
	scanSettings.greyFromColour = 0;
	scanSettings.lineArtFromGrey = 0;
	scanSettings.halftoneFromGrey = 0;
}

} // namespace torvane::setup
