// SPDX-License-Identifier: MIT
// SetScanParameter: the parameter log, the settings derived from the front
// end's request, and the window sent to the scanner.
#pragma once

#include <cstdint>

#include "torvane/torvane.h"

namespace torvane::setup {

// Takes the scanner's width from SetScanParameter's own extended ability
// record (driverState.ownAbilityEx), refreshed on every call before the lock
// is taken.
void takeScannerWidthFromOwnAbility();

// The resolution the scanner is driven at: 300 up to 300 dpi, else 600.
uint16_t baseResolution(uint16_t xres);

// The scanner's line count for `lineNum` lines at the requested resolution:
// the lines at base resolution rounded down to a multiple of 4, plus 12.
// Saturates at 65532 instead of wrapping around 16 bits.
uint16_t scannerLineCount(uint16_t lineNum, double zoomToBase);

// Writes the scanner width, the start marker with `logTime`, the 36 field
// lines, the end marker and an empty record to quorParam.txt at level 2.
void logScanParameter(const ScanParameter &parameter, uint32_t width);

// Fills workParam, userRequest and the conversion flags from the caller's
// record and `width` (scannerWidth). `parameter.XRes` must not be 0.
void deriveScanSettings(const ScanParameter &parameter, uint32_t width);

// The work of SetScanParameter under the device lock: refuses a missing
// record or an XRes of 0 with 2004 before the scan cycle opens; otherwise sets
// ScanBusy, logs, derives, sends the window, reads it back and runs the
// calibration dump. Any failure after ScanBusy is set ends in 2004.
int applyScanParameter(const ScanParameter *parameter);

} // namespace torvane::setup
