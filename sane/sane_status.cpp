// SPDX-License-Identifier: MIT
// The driver's error codes as SANE 1.0 status values.

#include "sane_status.h"

#include "client/driver_session.h"

namespace torvane::sane {

SANE_Status statusForDriverError(int32_t code, CallSite site)
{
	switch (code) {
	case client::kErrorBusy:
	case kErrorNotReady:
		return SANE_STATUS_DEVICE_BUSY;
	case client::kErrorCancelled:
		return SANE_STATUS_CANCELLED;
	case client::kErrorNoMemory:
		return SANE_STATUS_NO_MEM;
	case client::kErrorNoScanner:
		return site == CallSite::Open ? SANE_STATUS_INVAL : SANE_STATUS_IO_ERROR;
	case 155:
		// The scanner was found, but its device could not be opened.
		return site == CallSite::Open ? SANE_STATUS_ACCESS_DENIED : SANE_STATUS_IO_ERROR;
	case 2008:
	case 3001:
	case 3002:
		// The sense data report a positioning error of the paper.
		return SANE_STATUS_JAMMED;
	default:
		return SANE_STATUS_IO_ERROR;
	}
}

} // namespace torvane::sane
