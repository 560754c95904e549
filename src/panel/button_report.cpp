// SPDX-License-Identifier: MIT
// The push-button records.

#include "panel/button_report.h"

#include "ability/inquiry.h"

namespace torvane::panel {

namespace {

inline constexpr uint32_t kSetupHasButtons = 3;
inline constexpr uint16_t kSetupReportSize = 4;
inline constexpr uint8_t kReportPressed = 0x81;

} // namespace

ButtonSetup buttonSetupFrom(const uint8_t *inquiry)
{
	ButtonSetup setup{};
	if (inquiry[ability::kInquiryFlags50] & kHasButtonsFlag) {
		setup.HasButtons = kSetupHasButtons;
		setup.ButtonCount = inquiry[ability::kInquiryButtonCount];
		setup.ReportSize = kSetupReportSize;
	}
	return setup;
}

void rewriteButtonReport(uint8_t report[kButtonReportBytes])
{
	for (const ButtonCode &entry : kButtonCodes) {
		if (report[0] == entry.code) {
			report[1] = entry.button;
			break;
		}
	}
	if (report[1] != 0) {
		report[0] = kReportPressed;
		report[6] = 1;
	}
}

} // namespace torvane::panel
