// SPDX-License-Identifier: MIT
// The device lock: the platform's machine-wide auto-reset event, signalled
// when free, and the scan-busy flag the platform shares.

#include "driver/device_lock.h"

#include <atomic>

#include "driver/debug_log.h"
#include "driver/driver_state.h"
#include "platform/platform.h"

namespace torvane::driver {

namespace {

// The lock's own bookkeeping, reached only through the functions below and
// so kept here rather than in the driver state. Atomic: any front-end thread
// takes and releases the lock (and tests set the wait) while others read.
// heldHere is also read by process detach, which on Linux runs after the
// destructors of the library's objects.
std::atomic<uint32_t> lockWait{ 10000 };
std::atomic<bool> heldHere{ false };

std::atomic_ref<int32_t> busyFlag()
{
	return std::atomic_ref<int32_t>(*platform::scanBusyFlag());
}

bool scanBusyAnywhere()
{
	return platform::scanBusyOwner() != platform::BusyOwner::Nobody;
}

// The look at ScanBusy before the wait spares a wait that could only end in
// a refusal; the look after it is the one that counts. A caller that waited
// while the holder set ScanBusy inside SetScanParameter gets the lock once
// that holder lets go, in the middle of its scan cycle: it must hand the
// lock back rather than send its commands into the running scan.
bool takeLockOutsideScans()
{
	if (scanBusyAnywhere() || platform::waitDeviceEvent(lockWait.load()) != platform::WaitResult::Signalled)
		return false;
	if (!scanBusyAnywhere())
		return true;
	platform::signalDeviceEvent();
	return false;
}

} // namespace

int SeizeSYSControl()
{
	logLine(kMainLog, 3, "In   %d : SeizeSYSControl :", 0);
	int result = 0;
	if (takeLockOutsideScans()) {
		heldHere.store(true);
		result = 1;
	} else {
		setLastError(TORVANE_ERROR_BUSY);
	}
	logLine(kMainLog, 3, "Out  %d : SeizeSYSControl :", result);
	return result;
}

void releaseDeviceLock()
{
	heldHere.store(false);
	platform::signalDeviceEvent();
}

bool deviceLockHeldHere()
{
	return heldHere.load();
}

uint32_t lockWaitMs()
{
	return lockWait.load();
}

void setLockWaitMs(uint32_t milliseconds)
{
	lockWait.store(milliseconds);
}

int32_t scanBusy()
{
	return busyFlag().load(std::memory_order_relaxed);
}

void setScanBusy(int32_t value)
{
	platform::exchangeScanBusyFlag(value);
}

int32_t exchangeScanBusy(int32_t value)
{
	return platform::exchangeScanBusyFlag(value);
}

bool scanBusyElsewhere()
{
	return platform::scanBusyOwner() == platform::BusyOwner::OtherProcess;
}

bool scanBusyHere()
{
	return platform::scanBusyOwner() == platform::BusyOwner::ThisProcess;
}

bool claimScanBusy()
{
	return platform::claimScanBusyFlag();
}

} // namespace torvane::driver
