// SPDX-License-Identifier: MIT
// The push-button wait that stays outstanding between polls (its state,
// ButtonReadPending among it, is kept in the driver state).
#pragma once

#include <cstdint>

namespace torvane::panel {

// Ends the outstanding wait, if any, so that the next poll starts a fresh
// one. Its handle and event are closed here rather than left open.
void abandonButtonWait();

// One poll, under the device lock its caller holds. Clears the 8 bytes of
// `report`; starts a wait when none is outstanding (then pauses, see below);
// when the wait has delivered, copies its bytes (at most 8) into `report` and
// ends it. Returns 1, or 0 with LastErrorCode 2023 when the event of a new
// wait could not be created. A wait that ends without bytes, cannot be
// opened or fails to start is closed at once and not reported.
int pollButtonWait(uint8_t report[8]);

// The pause after a new wait has been issued, 70 ms, which gives a press
// that is already waiting in the scanner the time to arrive. Tests shorten it.
uint32_t buttonWaitPauseMs();
void setButtonWaitPauseMs(uint32_t milliseconds);

} // namespace torvane::panel
