// SPDX-License-Identifier: MIT
// The scanner's 160-byte self-description and the values decoded from it
// that other subsystems use.
#pragma once

#include <cstddef>
#include <cstdint>

#include "driver/driver_state.h"

namespace torvane::ability {

// The two copies of the inquiry data are driverState.inquiryData and
// driverState.modelInquiry; the size is the driver state's.
using driver::kInquirySize;

// Inquiry byte offsets read by several subsystems.
inline constexpr size_t kInquiryProductId = 16; // 16 bytes, zero-padded
inline constexpr size_t kInquiryProductIdSize = 16;
inline constexpr size_t kInquiryFlags50 = 50; // bit 6: push buttons
inline constexpr size_t kInquiryButtonCount = 92;

// The largest single image read, which every extended ability decoding puts
// in driverState.maxReadBlock (with the scanner's width, inquiry bytes 81-82,
// in driverState.scannerWidth).
inline constexpr uint32_t kMaxReadBlock = 524288;

// Sends INQUIRY and reads the 160 bytes into `buffer`. 1 for status 0. Logs
// its entry and exit lines at level 2; takes no lock (its callers hold it).
int Inquiry(uint8_t *buffer);

} // namespace torvane::ability
