// SPDX-License-Identifier: MIT
// Exports of the scan engine: StartScan, ReadScan and StopScan. None of them
// takes the device lock; ScanBusy keeps the locked calls out for the scan.

#include "torvane/torvane.h"

#include "driver/debug_log.h"
#include "driver/driver_state.h"
#include "engine/scan_engine.h"
#include "exports/export_lines.h"

using namespace torvane;

extern "C" {

TORVANE_API int StartScan(void)
{
	driver::logEntry(exports::kStartScanLines);
	const engine::StartResult start = engine::startScan();
	if (start.logExit)
		driver::logExit(exports::kStartScanLines, start.result);
	return driver::keepFailureCode(start.result);
}

// A failing call writes no exit line.
TORVANE_API int ReadScan(void *, unsigned char *buffer, uint32_t length)
{
	driver::logEntry(exports::kReadScanLines);
	const int result = engine::readScan(buffer, length);
	if (result)
		driver::logLine(driver::kMainLog, 2, exports::kReadScanLines.exit, result, static_cast<int>(length));
	return driver::keepFailureCode(result);
}

TORVANE_API int StopScan(void)
{
	driver::logEntry(exports::kStopScanLines);
	const int result = engine::stopScan();
	driver::logExit(exports::kStopScanLines, result);
	return result;
}

} // extern "C"
