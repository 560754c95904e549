// SPDX-License-Identifier: MIT
// The scanner's 160-byte self-description and the values decoded from it
// that other subsystems use.
#pragma once

#include <cstddef>
#include <cstdint>

namespace torvane::ability {

inline constexpr size_t kInquirySize = 160;

// Filled by GetScannerAbility and GetScannerAbilityEx (cleared first).
extern uint8_t inquiryData[kInquirySize];
// Filled by InitializeScanner (not cleared first) and InitialButton (cleared
// first); the read pipeline's model test reads its product identification.
extern uint8_t modelInquiry[kInquirySize];

// Inquiry byte offsets read by several subsystems.
inline constexpr size_t kInquiryProductId = 16;     // 16 bytes, zero-padded
inline constexpr size_t kInquiryProductIdSize = 16;
inline constexpr size_t kInquiryFlags50 = 50;       // bit 6: push buttons
inline constexpr size_t kInquiryButtonCount = 92;

// The largest single image read, set to 524288 by every extended ability
// decoding; 0 until the first one.
inline constexpr uint32_t kMaxReadBlock = 524288;
extern uint32_t maxReadBlock;
// The scanner's width in pixels at 300 dpi (inquiry bytes 81-82).
extern uint32_t scannerWidth;

// Sends INQUIRY and reads the 160 bytes into `buffer`. 1 for status 0. Logs
// its entry and exit lines at level 2; takes no lock (its callers hold it).
int Inquiry(uint8_t *buffer);

} // namespace torvane::ability
