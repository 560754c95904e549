// SPDX-License-Identifier: MIT
// The push-button records: the set-up record decoded from the inquiry data
// and the rewriting of the scanner's button report.
#pragma once

#include <cstddef>
#include <cstdint>

#include "torvane/torvane.h"

namespace torvane::panel {

inline constexpr size_t kButtonReportBytes = 8;

// Inquiry byte 50 bit 6: the scanner has push buttons.
inline constexpr uint8_t kHasButtonsFlag = 0x40;

// The set-up record of a scanner with these inquiry data: 3, the button
// count and 4 when it has push buttons, otherwise all zero.
ButtonSetup buttonSetupFrom(const uint8_t *inquiry);

// The scanner's code in byte 0 and the button number it stands for.
struct ButtonCode {
	uint8_t code;
	uint8_t button;
};

inline constexpr ButtonCode kButtonCodes[] = {
	{ 3, 1 },
	{ 5, 2 },
	{ 6, 3 },
};

// Rewrites the delivered bytes in place: a known code in byte 0 sets the
// button number in byte 1 (other codes leave byte 1 as delivered); a non-zero
// byte 1 then makes byte 0 0x81 and byte 6 1.
void rewriteButtonReport(uint8_t report[kButtonReportBytes]);

} // namespace torvane::panel
