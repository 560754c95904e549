// SPDX-License-Identifier: MIT
// The driver's error codes as SANE 1.0 status values.
#pragma once

#include <cstdint>

#include <sane/sane.h>
#include <torvane/torvane.h>

namespace torvane::sane {

enum class CallSite {
	Open,
	Other
};

// Busy, cancelled, no memory; no scanner (INVAL at open); a device that could
// not be opened (ACCESS_DENIED at open); the paper positioning errors of the
// sense data (3001, 3002, 2008) a jam; not ready (2009: warming up), once
// sane_start has waited a little, busy; the document feeder's codes NO_DOCS
// (empty), JAMMED, COVER_OPEN and, for a double feed, an I/O error; anything
// else an I/O error.
SANE_Status statusForDriverError(int32_t code, CallSite site = CallSite::Other);

} // namespace torvane::sane
