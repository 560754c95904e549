// SPDX-License-Identifier: MIT
// The device lock and the scan-busy flag shared between processes (the call
// pattern built on them is in call_pattern.h).
#pragma once

#include <cstdint>

namespace torvane::driver {

// Takes the device lock: refused at once while a scan is busy anywhere on the
// machine, otherwise a wait of at most lockWaitMs() on the platform's device
// event, which DoCancel ends early (platform.h's waitDeviceEvent says how a
// holder whose process has ended is treated). ScanBusy is looked at again
// once the wait has succeeded: set by then, the lock is handed back and the
// call refused. Returns 1 when taken, 0 when not (LastErrorCode is then 162,
// or 156 when no scanner is attached any more: the wait ends within about
// 100 ms of an unplug, whoever holds the lock or the scan).
int SeizeSYSControl();

// Releases the lock taken by SeizeSYSControl (signals the device event).
void releaseDeviceLock();

// True while a lock taken in this process has not been released (process
// detach then hands it on).
bool deviceLockHeldHere();

// The longest wait for the device lock and for the exchange lock of every
// command exchange, 10000 ms; tests shorten it.
uint32_t lockWaitMs();
void setLockWaitMs(uint32_t milliseconds);

// The scan-busy flag shared by every process that loads the library (a flag
// of this process alone when the platform could not share one). scanBusy is
// a plain look; setting the flag makes this process its owner, and it ends
// with this process (platform.h's scanBusyOwner).
int32_t scanBusy();
void setScanBusy(int32_t value);
int32_t exchangeScanBusy(int32_t value);
// True while another process that still runs owns the flag: its scan, which
// nothing of this process may reach.
bool scanBusyElsewhere();
// True while this process owns the flag: its own scan cycle.
bool scanBusyHere();
// Sets the flag for this process unless another process's scan holds it.
bool claimScanBusy();

} // namespace torvane::driver
