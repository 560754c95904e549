// SPDX-License-Identifier: MIT
// Exports of the driver frame: InitializeDriver, TerminateDriver,
// ResetScanner (also exported as ResetPushButton and CheckPushButton) and
// DoCancel.

#include "torvane/torvane.h"

#include "driver/driver_state.h"
#include "engine/scan_engine.h"
#include "exports/export_lines.h"
#include "panel/button_wait.h"
#include "platform/platform.h"
#include "setup/scan_settings.h"
#include "transport/transport.h"

using namespace torvane;

extern "C" {

// Discovery runs on every call; the scan settings start afresh either way.
TORVANE_API int InitializeDriver(void)
{
	return driver::runLocked(exports::kInitializeDriverLines, [] {
		const int found = transport::FindScanner();
		if (found)
			driver::WriteDebugLog(driver::kMainLog, "Find New Device!", 16, 5);
		setup::scanSettings.workParam = {};
		return found;
	});
}

TORVANE_API int TerminateDriver(void)
{
	driver::logEntry(exports::kTerminateDriverLines);
	int result = driver::SeizeSYSControl();
	if (result)
		driver::releaseDeviceLock();
	// Also without the lock: the next ReadPushButton starts a fresh wait.
	panel::abandonButtonWait();
	// The buffers kept from scan to scan go with the driver's session.
	engine::releaseKeptScanBuffers();
	driver::logExit(exports::kTerminateDriverLines, result);
	return result;
}

// One function, three names: no argument is read and nothing is logged,
// locked, sent or changed.
TORVANE_API int ResetScanner(void)
{
	return 1;
}

TORVANE_API int ResetPushButton(void) __attribute__((alias("ResetScanner")));
TORVANE_API int CheckPushButton(void) __attribute__((alias("ResetScanner")));

// Takes no lock and logs nothing, so that a front end may call it from a
// signal handler; StopScan turns it into code 159.
TORVANE_API void DoCancel(void)
{
	driver::driverState.CancelRequested.store(1, std::memory_order_relaxed);
	// A caller stuck waiting for either lock gives up (162) instead of
	// holding the front end until the holder lets go.
	platform::cancelLockWaits();
}

} // extern "C"
