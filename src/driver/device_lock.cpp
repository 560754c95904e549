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

// Whether this process has seen a scanner (found it, or seen it in a look
// below): only then can one have gone. The last look and when it was taken:
// under contention refusals come one after another, and a look opens device
// files. Threads race on these harmlessly: a look at most kGiveUpLookMs old
// is as good as a new one.
std::atomic<bool> scannerSeen{ false };
std::atomic<bool> looked{ false };
std::atomic<uint32_t> lastLookTick{ 0 };
std::atomic<bool> goneAtLastLook{ false };

// True when the scanner has gone while this process waits for it or is
// refused it: no scanner is attached any more, although one was. The
// process that holds the lock or the scan may not notice for a long time
// (it is stopped, or busy with other work), and a waiter that is told
// "busy" would only ask again.
bool scannerVanished()
{
	const uint32_t now = platform::tickCount();
	if (looked.load() && now - lastLookTick.load() < platform::kGiveUpLookMs)
		return goneAtLastLook.load();
	const bool attached = platform::scannerAttached();
	if (attached)
		scannerSeen.store(true);
	const bool gone = !attached && (scannerSeen.load() || driverState.deviceFound.load());
	goneAtLastLook.store(gone);
	lastLookTick.store(now);
	looked.store(true);
	return gone;
}

// A refused caller is told the scanner is busy, or that it has gone.
int32_t refusal()
{
	return scannerVanished() ? TORVANE_ERROR_DISCONNECTED : TORVANE_ERROR_BUSY;
}

// The look at ScanBusy before the wait spares a wait that could only end in
// a refusal; the look after it is the one that counts. A caller that waited
// while the holder set ScanBusy inside SetScanParameter gets the lock once
// that holder lets go, in the middle of its scan cycle: it must hand the
// lock back rather than send its commands into the running scan. The wait
// ends early when the scanner goes away. Returns 0 when the lock is taken,
// else the code of the refusal.
int32_t takeLockOutsideScans()
{
	if (scanBusyAnywhere())
		return refusal();
	switch (platform::waitDeviceEvent(lockWait.load(), scannerVanished)) {
	case platform::WaitResult::Signalled:
		break;
	case platform::WaitResult::GaveUp:
		return TORVANE_ERROR_DISCONNECTED;
	default:
		return TORVANE_ERROR_BUSY;
	}
	if (!scanBusyAnywhere())
		return TORVANE_ERROR_NONE;
	platform::signalDeviceEvent();
	return refusal();
}

} // namespace

int SeizeSYSControl()
{
	logLine(kMainLog, 3, "In   %d : SeizeSYSControl :", 0);
	int result = 0;
	const int32_t refused = takeLockOutsideScans();
	if (refused == TORVANE_ERROR_NONE) {
		heldHere.store(true);
		result = 1;
	} else {
		if (refused == TORVANE_ERROR_DISCONNECTED)
			driverState.deviceGone.store(true, std::memory_order_relaxed);
		setLastError(refused);
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
