// SPDX-License-Identifier: MIT
// The driver's error codes as SANE 1.0 status values.

#include "sane_status.h"

#include "client/batch.h"

namespace torvane::sane {

namespace {

// The document feeder's reasons; SANE 1.0 has no status for a double feed.
SANE_Status statusForFeeder(client::FeederReport report)
{
	switch (report) {
	case client::FeederReport::Empty:
		return SANE_STATUS_NO_DOCS;
	case client::FeederReport::PaperJam:
		return SANE_STATUS_JAMMED;
	case client::FeederReport::CoverOpen:
		return SANE_STATUS_COVER_OPEN;
	case client::FeederReport::DoubleFeed:
	case client::FeederReport::None:
		break;
	}
	return SANE_STATUS_IO_ERROR;
}

} // namespace

SANE_Status statusForDriverError(int32_t code, CallSite site)
{
	if (const client::FeederReport report = client::feederReportOf(code); report != client::FeederReport::None)
		return statusForFeeder(report);
	switch (code) {
	case TORVANE_ERROR_BUSY:
	case TORVANE_ERROR_NOT_READY:
		return SANE_STATUS_DEVICE_BUSY;
	case TORVANE_ERROR_CANCELLED:
		return SANE_STATUS_CANCELLED;
	case TORVANE_ERROR_NO_MEMORY:
		return SANE_STATUS_NO_MEM;
	case TORVANE_ERROR_NO_SCANNER:
		return site == CallSite::Open ? SANE_STATUS_INVAL : SANE_STATUS_IO_ERROR;
	case TORVANE_ERROR_NO_DEVICE:
		// The scanner was found, but its device could not be opened.
		return site == CallSite::Open ? SANE_STATUS_ACCESS_DENIED : SANE_STATUS_IO_ERROR;
	case TORVANE_ERROR_SENSE_1504:
	case TORVANE_ERROR_POSITIONING_READ:
	case TORVANE_ERROR_SENSE_1503:
		// The sense data report a positioning error of the paper.
		return SANE_STATUS_JAMMED;
	default:
		return SANE_STATUS_IO_ERROR;
	}
}

} // namespace torvane::sane
