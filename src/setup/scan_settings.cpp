// SPDX-License-Identifier: MIT
// The settings SetScanParameter leaves for the scan engine.

#include "setup/scan_settings.h"

namespace torvane::setup {

ScanParameter workParam = {};
UserRequest userRequest = {};
uint8_t lineArtFromGrey = 0;
uint8_t halftoneFromGrey = 0;
uint8_t greyFromColour = 0;

} // namespace torvane::setup
