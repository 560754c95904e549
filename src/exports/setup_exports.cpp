// SPDX-License-Identifier: MIT
// Exports of the scan setup: SetScanParameter and SetGammaTable.

#include "torvane/torvane.h"

#include "driver/call_pattern.h"
#include "driver/driver_state.h"
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
	GetScannerAbilityEx(&driver::driverState.ownAbilityEx);
	setup::takeScannerWidthFromOwnAbility();
	const int result = driver::withDeviceLock([&] { return setup::applyScanParameter(parameter); });
	driver::logExit(exports::kSetScanParameterLines, result);
	return result;
}

// No device lock and no look at ScanBusy: a gamma table may be sent inside a
// scan cycle too.
TORVANE_API int SetGammaTable(const unsigned char *table, unsigned char channel)
{
	driver::logEntry(exports::kSetGammaTableLines);
	const int result = setup::sendGammaTable(table, channel);
	driver::logExit(exports::kSetGammaTableLines, result);
	return result;
}

} // extern "C"
