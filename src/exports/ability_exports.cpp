// SPDX-License-Identifier: MIT
// Exports of the ability and status family: GetScannerAbility,
// GetScannerAbilityEx, InitializeScanner, GetScannerStatus,
// GetScannerStatusEx and GetLightStatus.

#include "torvane/torvane.h"

#include "ability/ability_calls.h"
#include "driver/driver_state.h"
#include "exports/export_lines.h"

using namespace torvane;

namespace {

// A call without a record to fill does nothing but say so.
int refuseMissingRecord(const driver::CallLines &lines)
{
	driver::logEntry(lines);
	driver::setLastError(TORVANE_ERROR_GENERAL);
	driver::logExit(lines, 0);
	return 0;
}

} // namespace

extern "C" {

TORVANE_API int GetScannerAbility(ScannerAbility *ability)
{
	if (!ability)
		return refuseMissingRecord(exports::kGetScannerAbilityLines);
	ability::prepareScannerAbility(ability);
	return driver::runLocked(exports::kGetScannerAbilityLines,
				 [&] { return ability::readScannerAbility(ability); });
}

TORVANE_API int GetScannerAbilityEx(ScannerAbilityEx *ability)
{
	if (!ability)
		return refuseMissingRecord(exports::kGetScannerAbilityExLines);
	return driver::runLocked(exports::kGetScannerAbilityExLines,
				 [&] { return ability::readScannerAbilityEx(ability); });
}

TORVANE_API int InitializeScanner(void)
{
	return driver::runLocked(exports::kInitializeScannerLines, [] { return ability::initializeScanner(); });
}

// Takes no lock: the front end learns here why a locked call failed, also
// inside a scan cycle.
TORVANE_API int GetScannerStatus(unsigned char *status1, unsigned char *status2, unsigned char *status3,
				 unsigned char *errorCode)
{
	driver::logEntry(exports::kGetScannerStatusLines);
	ability::takeScannerStatus(status1, status2, status3, errorCode);
	driver::logExit(exports::kGetScannerStatusLines, 1);
	return 1;
}

// Takes no lock and so never signals the device event: a signal here could
// release a lock another caller holds.
TORVANE_API int GetScannerStatusEx(unsigned char *status1, unsigned char *status2, unsigned char *status3,
				   int32_t *errorCode)
{
	driver::logEntry(exports::kGetScannerStatusExLines);
	const int32_t handedOver = ability::takeScannerStatusEx(status1, status2, status3, errorCode);
	driver::logLine(driver::kMainLog, 2, exports::kGetScannerStatusExLines.exit, 1, handedOver);
	return 1;
}

TORVANE_API int GetLightStatus(void)
{
	driver::logEntry(exports::kGetLightStatusLines);
	driver::logExit(exports::kGetLightStatusLines, 1);
	return 1;
}

} // extern "C"
