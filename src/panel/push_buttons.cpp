// SPDX-License-Identifier: MIT
// InitialButton and ReadPushButton: the scanner's push buttons.

#include "panel/push_buttons.h"

#include <cstring>

#include "ability/inquiry.h"
#include "driver/call_pattern.h"
#include "driver/driver_state.h"
#include "panel/button_report.h"
#include "panel/button_wait.h"

namespace torvane::panel {

int readButtonSetup(ButtonSetup &setup)
{
	setup = {};
	std::memset(driver::driverState.modelInquiry, 0, sizeof(driver::driverState.modelInquiry));
	return driver::withDeviceLock([&] {
		const int result = ability::Inquiry(driver::driverState.modelInquiry);
		if (result)
			setup = buttonSetupFrom(driver::driverState.modelInquiry);
		return result;
	});
}

int readPushButton(ButtonReport &report)
{
	// A refused lock leaves the report as cleared here.
	report = {};
	return driver::withDeviceLock([&] {
		const int polled = pollButtonWait(report.Bytes);
		rewriteButtonReport(report.Bytes);
		return polled;
	});
}

} // namespace torvane::panel
