// SPDX-License-Identifier: MIT
// Exports of the scan setup: SetScanParameter and SetGammaTable.

#include "torvane/torvane.h"

#include "driver/call_pattern.h"
#include "driver/driver_state.h"
#include "engine/scan_session.h"
#include "exports/export_lines.h"
#include "setup/gamma_table.h"
#include "setup/scan_parameter.h"

using namespace torvane;

extern "C" {

// The scanner's width comes from a fresh extended ability call, made before
// the lock is taken (the lock is not re-entrant). Getting the lock opens the
// scan cycle, which only StopScan closes.
TORVANE_API int SetScanParameter(const ScanParameter *parameter)
{
	driver::logEntry(exports::kSetScanParameterLines);
	// Not beside another thread's StartScan, ReadScan or StopScan, which use
	// the settings this call changes.
	const engine::ScanCallTurn turn;
	if (!turn.taken()) {
		driver::logExit(exports::kSetScanParameterLines, 0);
		return 0;
	}
	GetScannerAbilityEx(&driver::driverState.ownAbilityEx);
	setup::takeScannerWidthFromOwnAbility();
	const int result = driver::withDeviceLock([&] { return setup::applyScanParameter(parameter); });
	driver::logExit(exports::kSetScanParameterLines, result);
	return result;
}

// Inside this process's own scan cycle a gamma table goes out at once, with
// no device lock. Outside it the table takes the lock like any other call:
// it must never reach the scanner in another process's scan cycle (refused
// with 162), nor between the commands of another process's locked call.
TORVANE_API int SetGammaTable(const unsigned char *table, unsigned char channel)
{
	driver::logEntry(exports::kSetGammaTableLines);
	const auto send = [&] { return setup::sendGammaTable(table, channel); };
	const int result = driver::scanBusyHere() ? send() : driver::withDeviceLock(send);
	driver::logExit(exports::kSetGammaTableLines, result);
	return result;
}

} // extern "C"
