// SPDX-License-Identifier: MIT
// Driver error codes into TWAIN condition codes, in one table.

#include "twain/condition_codes.h"

#include <torvane/torvane.h>

namespace torvane::twain {

namespace {

struct CodeRow {
	int32_t driverError;
	TW_UINT16 conditionCode;
	TW_UINT16 deviceEvent = kNoDeviceEvent;
};

// Another program's scan or the device lock: the application may retry
// (TWCC_DENIED); a scanner that is missing, gone or unreachable is offline;
// the document feeder's conditions have codes of their own. An unplugged
// scanner is removed; one not found or not ready is offline.
constexpr CodeRow kCodes[] = {
	{ TORVANE_ERROR_BUSY, TWCC_DENIED },
	{ TORVANE_ERROR_NO_SCANNER, TWCC_CHECKDEVICEONLINE, TWDE_DEVICEOFFLINE },
	{ TORVANE_ERROR_NO_DEVICE, TWCC_CHECKDEVICEONLINE, TWDE_DEVICEOFFLINE },
	{ TORVANE_ERROR_DISCONNECTED, TWCC_CHECKDEVICEONLINE, TWDE_DEVICEREMOVED },
	{ TORVANE_ERROR_NOT_READY, TWCC_CHECKDEVICEONLINE, TWDE_DEVICEOFFLINE },
	{ TORVANE_ERROR_NO_MEMORY, TWCC_LOWMEMORY },
	{ TORVANE_ERROR_ILLEGAL_REQUEST, TWCC_BADVALUE },
	{ TORVANE_ERROR_FEEDER_EMPTY, TWCC_NOMEDIA },
	{ TORVANE_ERROR_COVER_OPEN, TWCC_INTERLOCK },
	{ TORVANE_ERROR_PAPER_JAM, TWCC_PAPERJAM, TWDE_PAPERJAM },
	{ TORVANE_ERROR_DOUBLE_FEED, TWCC_PAPERDOUBLEFEED, TWDE_PAPERDOUBLEFEED },
};

} // namespace

TW_UINT16 conditionCodeOf(int32_t driverError)
{
	if (driverError == 0)
		return TWCC_BUMMER; // a failure the driver gave no code for
	for (const CodeRow &row : kCodes)
		if (row.driverError == driverError)
			return row.conditionCode;
	return TWCC_OPERATIONERROR;
}

TW_UINT16 deviceEventOf(int32_t driverError)
{
	for (const CodeRow &row : kCodes)
		if (row.driverError == driverError)
			return row.deviceEvent;
	return kNoDeviceEvent;
}

} // namespace torvane::twain
