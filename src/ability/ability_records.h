// SPDX-License-Identifier: MIT
// Decoding of the inquiry data into the two ability records the front end
// reads.
#pragma once

#include <cstdint>

#include "torvane/torvane.h"

namespace torvane::ability {

// Inquiry byte offsets the ability records read.
inline constexpr size_t kInquiryVendor = 8;	 // 8 ASCII, blank-padded
inline constexpr size_t kInquiryRevision = 32;	 // 4 ASCII
inline constexpr size_t kInquiryResolution = 38; // hundreds of dpi
inline constexpr size_t kInquiryFlags39 = 39;	 // bit 5: explicit R1-R4
inline constexpr size_t kInquiryR1 = 40;	 // R1..R4, 16-bit each
inline constexpr size_t kInquiryWord75 = 75;
inline constexpr size_t kInquiryScanWidth = 81;
inline constexpr size_t kInquiryScanLength = 83;
inline constexpr size_t kInquiryWord89 = 89;

// Fills the listed fields of `record` from 160 bytes of inquiry data; the
// others keep their contents (the caller has cleared the record). Logs its
// fixed entry and exit lines at level 4.
void InquiryToScannerAbility(const uint8_t *inquiry, ScannerAbility *record);

// Clears `record` and fills it from 160 bytes of inquiry data (all but the
// two interface names, which GetScannerAbilityEx adds); sets maxReadBlock
// and scannerWidth. Logs its fixed entry and exit lines at level 4.
void InquiryToScannerAbilityEx(const uint8_t *inquiry, ScannerAbilityEx *record);

// Resolution value `index` (0..3 for R1..R4): the explicit value when
// inquiry byte 39 bit 5 is set, else inquiry byte 38 x 100.
uint16_t inquiryResolution(const uint8_t *inquiry, unsigned index);

} // namespace torvane::ability
