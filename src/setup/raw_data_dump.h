// SPDX-License-Identifier: MIT
// The calibration raw-data dump: at debug level 7 and above every
// SetScanParameter reads the scanner's calibration data into a file.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace torvane::setup {

inline constexpr uint32_t kRawDumpLevel = 7;
inline constexpr uint32_t kRawDataSize300 = 2580 * 96 * 2;  // 495360
inline constexpr uint32_t kRawDataSize600 = 2580 * 192 * 2; // 990720

// The bytes read for a base resolution (workParam.XRes).
uint32_t rawDataSize(uint16_t xres);

// "2580_96_1_%d%d%d_Rawdata.raw" or "2580_192_1_..." with hour, minute and
// second.
std::string rawDataFileName(uint16_t xres, const platform::LocalTime &time);

// 1 when the level is below 7 or the file was written; otherwise the result
// of the read (0 also when the buffer could not be had: nothing is read).
int DumpRawData();

} // namespace torvane::setup
