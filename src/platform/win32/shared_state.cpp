// SPDX-License-Identifier: MIT
// Win32: the machine-wide device event, the scan-busy flag in a data section
// shared by every process that loads the library, and the exchange lock.

#include "platform/win32/shared_state.h"

#include <atomic>
#include <string>

#include <windows.h>

#include "platform/platform.h"

namespace torvane::platform {

// The linker maps .shared into every process that loads this image as one
// and the same memory, so ScanBusy starts at 0 with the first process and
// then lives for as long as any process has the library loaded.
int32_t ScanBusy __attribute__((section(".shared"), shared)) = 0;
// The process that set ScanBusy: its id and its creation time (an id alone
// may be reused once its process has ended). 0 when no owner is recorded.
uint32_t ScanBusyOwnerId __attribute__((section(".shared"), shared)) = 0;
uint64_t ScanBusyOwnerStart __attribute__((section(".shared"), shared)) = 0;

namespace {

// Guards ScanBusy and its owner while they are looked at and changed
// together; held for a few instructions. A holder that ends leaves it
// abandoned, which the next wait takes over.
HANDLE busyMutex = nullptr;
constexpr const char *kBusySuffix = "_busy";

constexpr DWORD kEventAllAccess = 0x1FFFFF;

HANDLE DeviceEvent = nullptr;
HANDLE exchangeMutex = nullptr;

using IsWow64ProcessCall = BOOL(WINAPI *)(HANDLE, PBOOL);

// Asks IsWow64Process about this process, looked up at run time: it is
// missing on the oldest systems.
const char *chooseDeviceEventName()
{
	HMODULE kernel = GetModuleHandleA("kernel32");
	FARPROC address = kernel ? GetProcAddress(kernel, "IsWow64Process") : nullptr;
	if (!address)
		return deviceEventNameFor(false, FALSE);
	auto isWow64Process = reinterpret_cast<IsWow64ProcessCall>(reinterpret_cast<void *>(address));
	BOOL wow64 = FALSE;
	if (!isWow64Process(GetCurrentProcess(), &wow64))
		return deviceEventNameFor(false, FALSE);
	return deviceEventNameFor(true, wow64);
}

// The exchange lock of a process that has no named one: process-wide at
// least, re-entrant like a mutex.
CRITICAL_SECTION &localExchangeLock()
{
	static CRITICAL_SECTION *section = [] {
		static CRITICAL_SECTION storage;
		InitializeCriticalSection(&storage);
		return &storage;
	}();
	return *section;
}

} // namespace

const char *deviceEventNameFor(bool queried, int answer)
{
	return queried && answer == TRUE ? kDeviceEventNameWow64 : kDeviceEventName;
}

bool openDeviceEvent()
{
	// Every user of the machine may use the event and the mutex: the
	// security descriptor carries no access list at all.
	SECURITY_DESCRIPTOR descriptor;
	InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
	SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
	SECURITY_ATTRIBUTES attributes{ sizeof(attributes), &descriptor, FALSE };

	if (DeviceEvent) {
		CloseHandle(DeviceEvent);
		DeviceEvent = nullptr;
	}
	const char *name = chooseDeviceEventName();
	// Automatic reset, created signalled (the lock is free). A second process
	// gets a handle to the event the first one created.
	DeviceEvent = CreateEventA(&attributes, FALSE, TRUE, name);
	if (!DeviceEvent)
		DeviceEvent = OpenEventA(kEventAllAccess, FALSE, name);

	if (!exchangeMutex) {
		const std::string mutexName = std::string(name) + kExchangeSuffix;
		exchangeMutex = CreateMutexA(&attributes, FALSE, mutexName.c_str());
		if (!exchangeMutex)
			exchangeMutex = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, mutexName.c_str());
	}
	if (!busyMutex) {
		const std::string mutexName = std::string(name) + kBusySuffix;
		busyMutex = CreateMutexA(&attributes, FALSE, mutexName.c_str());
		if (!busyMutex)
			busyMutex = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, mutexName.c_str());
	}
	return DeviceEvent != nullptr;
}

void closeDeviceEvent()
{
	// The device lock (signalling) is the driver frame's business: it hands
	// on a lock this process holds before it gets here.
	if (DeviceEvent) {
		CloseHandle(DeviceEvent);
		DeviceEvent = nullptr;
	}
	if (exchangeMutex) {
		CloseHandle(exchangeMutex);
		exchangeMutex = nullptr;
	}
	if (busyMutex) {
		CloseHandle(busyMutex);
		busyMutex = nullptr;
	}
}

bool hasDeviceEvent()
{
	return DeviceEvent != nullptr;
}

namespace {

// DoCancel bumps it; a lock wait that sees it change ends.
std::atomic<uint32_t> cancelEpoch{ 0 };
constexpr DWORD kWaitSliceMs = 10;

// Waits for `object` in short slices so that a cancel ends the wait, and
// asks `giveUp` (when given) every kGiveUpLookMs. WAIT_ABANDONED (a mutex
// whose owner ended) counts as taken.
WaitResult waitCancellable(HANDLE object, uint32_t timeoutMs, bool (*giveUp)() = nullptr)
{
	const uint32_t epoch = cancelEpoch.load();
	const DWORD start = GetTickCount();
	DWORD lastLook = start;
	for (;;) {
		const DWORD elapsed = GetTickCount() - start;
		const DWORD left = elapsed >= timeoutMs ? 0 : timeoutMs - elapsed;
		switch (WaitForSingleObject(object, left < kWaitSliceMs ? left : kWaitSliceMs)) {
		case WAIT_OBJECT_0:
		case WAIT_ABANDONED:
			return WaitResult::Signalled;
		case WAIT_TIMEOUT:
			break;
		default:
			return WaitResult::Failed;
		}
		if (cancelEpoch.load() != epoch)
			return WaitResult::Cancelled;
		if (left == 0)
			return WaitResult::TimedOut;
		if (giveUp && GetTickCount() - lastLook >= kGiveUpLookMs) {
			lastLook = GetTickCount();
			if (giveUp())
				return WaitResult::GaveUp;
		}
	}
}

} // namespace

WaitResult waitDeviceEvent(uint32_t timeoutMs, bool (*giveUp)())
{
	if (!DeviceEvent)
		return WaitResult::Failed;
	return waitCancellable(DeviceEvent, timeoutMs, giveUp);
}

void cancelLockWaits()
{
	cancelEpoch.fetch_add(1);
}

void signalDeviceEvent()
{
	if (DeviceEvent)
		SetEvent(DeviceEvent);
}

int32_t *scanBusyFlag()
{
	return &ScanBusy;
}

namespace {

uint64_t creationTimeOf(HANDLE process)
{
	FILETIME created{}, exited{}, kernel{}, user{};
	if (!GetProcessTimes(process, &created, &exited, &kernel, &user))
		return 0;
	return (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

// True while the process that recorded itself as the owner still runs. A
// process that cannot be opened for another reason than its absence (one of
// another user) is taken to run: a flag is never taken away on a guess.
bool ownerRuns(uint32_t id, uint64_t start)
{
	if (id == GetCurrentProcessId())
		return true;
	HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | SYNCHRONIZE, FALSE, id);
	if (!process)
		return GetLastError() != ERROR_INVALID_PARAMETER;
	const bool runs = WaitForSingleObject(process, 0) == WAIT_TIMEOUT && creationTimeOf(process) == start;
	CloseHandle(process);
	return runs;
}

class BusyGuard
{
public:
	BusyGuard()
	{
		const DWORD waited = busyMutex ? WaitForSingleObject(busyMutex, INFINITE) : WAIT_FAILED;
		held_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
	}
	~BusyGuard()
	{
		if (held_)
			ReleaseMutex(busyMutex);
	}
	BusyGuard(const BusyGuard &) = delete;
	BusyGuard &operator=(const BusyGuard &) = delete;

private:
	bool held_;
};

// With the guard held: the owner now, clearing a flag whose owner has gone.
BusyOwner ownerNow()
{
	if (InterlockedCompareExchange(reinterpret_cast<volatile LONG *>(&ScanBusy), 0, 0) == 0)
		return BusyOwner::Nobody;
	if (ScanBusyOwnerId == 0)
		return BusyOwner::OtherProcess;
	if (ScanBusyOwnerId == GetCurrentProcessId() && ScanBusyOwnerStart == creationTimeOf(GetCurrentProcess()))
		return BusyOwner::ThisProcess;
	if (ownerRuns(ScanBusyOwnerId, ScanBusyOwnerStart))
		return BusyOwner::OtherProcess;
	InterlockedExchange(reinterpret_cast<volatile LONG *>(&ScanBusy), 0);
	ScanBusyOwnerId = 0;
	ScanBusyOwnerStart = 0;
	return BusyOwner::Nobody;
}

int32_t setBusy(int32_t value)
{
	const LONG old = InterlockedExchange(reinterpret_cast<volatile LONG *>(&ScanBusy), value);
	ScanBusyOwnerId = value != 0 ? GetCurrentProcessId() : 0;
	ScanBusyOwnerStart = value != 0 ? creationTimeOf(GetCurrentProcess()) : 0;
	return old;
}

} // namespace

BusyOwner scanBusyOwner()
{
	const BusyGuard guard;
	return ownerNow();
}

int32_t exchangeScanBusyFlag(int32_t value)
{
	const BusyGuard guard;
	return setBusy(value);
}

bool claimScanBusyFlag()
{
	const BusyGuard guard;
	if (ownerNow() == BusyOwner::OtherProcess)
		return false;
	setBusy(1);
	return true;
}

namespace {
// What this thread locked on its outermost lockExchange(), so that the
// matching unlock releases the same object even if the named mutex came or
// went in between.
thread_local int exchangeDepth = 0;
thread_local HANDLE exchangeHeld = nullptr;
} // namespace

LockResult lockExchange(uint32_t timeoutMs)
{
	HANDLE mutex = exchangeDepth == 0 ? exchangeMutex : exchangeHeld;
	if (!mutex) {
		EnterCriticalSection(&localExchangeLock());
	} else {
		// A thread that ended while it held the mutex (a forced end of the
		// acquisition thread, a crashed process) leaves it abandoned: the
		// wait then still hands it over, and the exchange goes on.
		switch (waitCancellable(mutex, timeoutMs)) {
		case WaitResult::Signalled:
			break;
		case WaitResult::Cancelled:
			return LockResult::Cancelled;
		default:
			return LockResult::TimedOut;
		}
	}
	if (exchangeDepth++ == 0)
		exchangeHeld = mutex;
	return LockResult::Taken;
}

void unlockExchange()
{
	if (exchangeDepth == 0)
		return;
	if (exchangeHeld)
		ReleaseMutex(exchangeHeld);
	else
		LeaveCriticalSection(&localExchangeLock());
	--exchangeDepth;
}

} // namespace torvane::platform
