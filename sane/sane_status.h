// SPDX-License-Identifier: MIT
// The driver's error codes as SANE 1.0 status values.
#pragma once

#include <cstdint>

#include <sane/sane.h>

namespace torvane::sane {

// 2009: the scanner is not ready (warming up); sane_start waits a little.
inline constexpr int32_t kErrorNotReady = 2009;

enum class CallSite { Open, Other };

// 162 busy, 159 cancelled, 152 no memory; 129 no scanner (INVAL at open);
// 155 the device could not be opened (ACCESS_DENIED at open); the paper
// positioning errors of the sense data (3001, 3002, 2008) a jam; 2009 not
// ready, once sane_start has waited, busy; anything else an I/O error.
SANE_Status statusForDriverError(int32_t code, CallSite site = CallSite::Other);

} // namespace torvane::sane
