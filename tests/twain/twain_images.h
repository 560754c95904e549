// SPDX-License-Identifier: MIT
// The images of a TWAIN transfer put back into the layout ReadScan delivers,
// and ReadScan's own image of the same settings, for the tests to compare.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/scan_window.h"
#include "twain_app.h"

namespace torvane::twaintest {

uint32_t get32(const uint8_t *at);

// The rows of a packed DIB, top-down, unpadded, RGB: what ReadScan gave,
// when the DIB is right. Its header, palette and padding are checked.
std::vector<uint8_t> rowsOfDib(const uint8_t *dib, const client::ScanWindow &window, uint32_t dpi);

// One image by memory transfer in strips of `stripRows` rows, each strip
// checked; the rows as they came (1-bit rows in the source's flavour).
std::vector<uint8_t> memoryImage(TwainApp &app, const client::ScanWindow &window, uint32_t stripRows);

// What a lone ReadScan through the driver DLL `dll` delivers for `request`
// (the tone curve of gamma 1.0, as the source sends by default).
std::vector<uint8_t> readScanImage(const std::string &dll, const client::WindowRequest &request);

} // namespace torvane::twaintest
