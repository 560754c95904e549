// SPDX-License-Identifier: MIT
// The device lock, the shared scan-busy flag and the call pattern of the
// locked exported functions.
#pragma once

#include <cstdint>

namespace torvane::driver {

// Takes the device lock: refused at once while a scan is busy anywhere on the
// machine, otherwise a wait of at most the lock wait (10000 ms) on the device
// event. Returns 1 when taken, 0 when not (LastErrorCode is then 162).
int SeizeSYSControl();

// Releases the lock taken by SeizeSYSControl (signals the device event).
void releaseDeviceLock();

// True while a lock taken in this process has not been released.
bool deviceLockHeldHere();

// The longest wait for the device lock, 10000 ms; tests shorten it.
uint32_t lockWaitMs();
void setLockWaitMs(uint32_t milliseconds);

// The scan-busy flag shared by every process that loads the library.
int32_t scanBusy();
void setScanBusy(int32_t value);
int32_t exchangeScanBusy(int32_t value);

} // namespace torvane::driver
