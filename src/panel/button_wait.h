// SPDX-License-Identifier: MIT
// The push-button wait that stays outstanding between polls.
#pragma once

#include <cstdint>

namespace torvane::panel {

// 1 while a button wait is outstanding.
extern int32_t ButtonReadPending;

// Ends the outstanding wait, if any, so that the next poll starts a fresh
// one. Its handle and event are closed here rather than left open.
void abandonButtonWait();

} // namespace torvane::panel
