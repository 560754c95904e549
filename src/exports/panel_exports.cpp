// SPDX-License-Identifier: MIT
// Exports of the buttons and power timers: InitialButton, ReadPushButton,
// SetPowerSaveTime and SendPowerOffTime.

#include "torvane/torvane.h"

#include "exports/export_helpers.h"
#include "exports/export_lines.h"
#include "panel/power_timers.h"
#include "panel/push_buttons.h"
#include "transport/commands.h"

using namespace torvane;

namespace {

// The payload is formed before the lock is asked for; nothing is sent when
// the lock is refused.
int sendTimer(const driver::CallLines &lines, uint8_t dataType, int time)
{
	const panel::TimerPayload payload = panel::timerPayload(time);
	return driver::runLocked(lines, [&] { return panel::sendTimer(dataType, payload); });
}

} // namespace

extern "C" {

TORVANE_API int InitialButton(ButtonSetup *setup)
{
	if (!setup)
		return exports::refuseBadArgument(exports::kInitialButtonLines);
	return exports::runWithLines(exports::kInitialButtonLines, [&] { return panel::readButtonSetup(*setup); });
}

TORVANE_API int ReadPushButton(ButtonReport *report)
{
	if (!report)
		return exports::refuseBadArgument(exports::kReadPushButtonLines);
	return exports::runWithLines(exports::kReadPushButtonLines, [&] { return panel::readPushButton(*report); });
}

TORVANE_API int SetPowerSaveTime(int time)
{
	return sendTimer(exports::kSetPowerSaveTimeLines, transport::kSendPowerSaveTime, time);
}

TORVANE_API int SendPowerOffTime(int time)
{
	return sendTimer(exports::kSendPowerOffTimeLines, transport::kSendPowerOffTime, time);
}

} // extern "C"
