// SPDX-License-Identifier: MIT
// The platform seam: every service of the operating system the driver uses.
//
// The subsystems never call Win32 or POSIX directly. Each operation below has
// two implementations: the Win32 call the driver was designed around (win32/)
// and its POSIX equivalent (posix/), in files of the same names: config.cpp
// (configuration), shared_state.cpp (device event, scan-busy flag),
// system.cpp (files, threads, time, work memory, paths) and the device files
// (win32/device_file.cpp; posix/device_files.cpp choosing between
// device_socket.cpp and usb_device.cpp). The comment of each operation says
// what it returns and which guarantees it gives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "torvane_protocol/control_codes.h"

namespace torvane::platform {

// ---------------------------------------------------------------------------
// Configuration: HKLM\SOFTWARE\Torvane\TWAIN\ on Windows; on POSIX the text
// file named by TORVANE_REGISTRY (default /etc/torvane/twain.conf).
// Both see the store as it is at every call, and keep what they read until
// the store changes, so that a log line does not read it all again. On POSIX
// only a regular file of at most 4 MiB is read (anything else is a missing
// key, and is never waited for); on Windows a value of more than 4 MiB is a
// missing value, and the values are kept until the key's last-write time
// changes. A store changed within the last 2 s is read afresh at every call
// (its time stamps are coarse).

// A 4-byte number value; nullopt when the key or the value is missing.
std::optional<uint32_t> readConfigNumber(const char *name);

// A text value of at most `size` bytes including its terminator. Returns false
// (and leaves `out` untouched) when the key or the value is missing. A longer
// value is cut so that it always fits with its terminator.
bool readConfigText(const char *name, char *out, size_t size);

// Process detach: gives back the memory of the values kept (a call still
// inside, or one after, reads the store afresh).
void releaseConfigValues();

// ---------------------------------------------------------------------------
// The machine-wide device event (auto-reset, created signalled: signalled
// means the device lock is free) and the shared scan-busy flag.

// Process attach: creates or opens the event and maps the shared flag.
// Returns false when neither could be done; the driver then runs with no event
// (every wait fails) and a process-local flag.
bool openDeviceEvent();

// Process detach: closes the event. The driver frame first signals it itself
// when this process still holds the lock, and only then, so that a lock held
// by another process is never released from here.
void closeDeviceEvent();

bool hasDeviceEvent();

enum class WaitResult {
	Signalled,
	TimedOut,
	Failed,
	Cancelled,
	GaveUp
};

// How often a wait asks its `giveUp`.
inline constexpr uint32_t kGiveUpLookMs = 100;

// Waits for the event for at most `timeoutMs`; a successful wait resets it.
// A holder whose process has ended (or replaced itself with exec) is noticed
// and the event handed on; a cancelLockWaits() during the wait ends it
// (Cancelled). `giveUp`, when given, is asked every kGiveUpLookMs while the
// wait goes on, with no lock of the platform held; its true ends the wait
// (GaveUp) without the event.
WaitResult waitDeviceEvent(uint32_t timeoutMs, bool (*giveUp)() = nullptr);

// Signals the event (releases the device lock).
void signalDeviceEvent();

// The 32-bit scan-busy flag shared by every process that loads the library.
// Never null: falls back to a process-local flag when no shared one exists.
// A plain look at the flag; who set it is asked with scanBusyOwner().
int32_t *scanBusyFlag();

// The flag belongs to the process that set it and ends with it, however that
// process ends (exec included): a flag whose owner has gone reads as clear
// and is cleared by the look. A forked child never owns its parent's flag.
// A flag set with no owner recorded (a plain store) belongs to another
// process.
enum class BusyOwner {
	Nobody,
	ThisProcess,
	OtherProcess
};
BusyOwner scanBusyOwner();
// Stores `value`, making this process the owner when it is not 0, and
// returns the value it replaced.
int32_t exchangeScanBusyFlag(int32_t value);
// Sets the flag for this process unless another process that still runs
// owns it. True when this process owns it now.
bool claimScanBusyFlag();

// A second machine-wide lock, re-entrant within one thread, held for the
// length of one command exchange so that exchanges never interleave on the
// device. Callers get their turns in the order they asked (a thread that
// releases and asks again queues behind those already waiting). A holder
// whose process ends, however it ends, hands it on. The wait ends after
// `timeoutMs`, on cancelLockWaits(), and on the interrupt of the calling
// thread's device I/O; only Taken must be followed by unlockExchange().
enum class LockResult {
	Taken,
	TimedOut,
	Cancelled
};
LockResult lockExchange(uint32_t timeoutMs);
void unlockExchange();

// Ends every wait for either lock that this process has under way (DoCancel).
// Async-signal-safe.
void cancelLockWaits();

// ---------------------------------------------------------------------------
// Device files (\\.\usbscanN). On POSIX with TORVANE_DEVICE_DIR set they are
// Unix stream sockets served by a (simulated) scanner; otherwise the N-th
// supported scanner attached to USB, through libusb. The control codes and
// their records are those of torvane_protocol/control_codes.h.

class DeviceFile
{
public:
	virtual ~DeviceFile() = default;

	// Writes `length` bytes; `written` receives the count accepted.
	virtual bool write(const void *data, uint32_t length, uint32_t *written) = 0;
	// Reads at most `length` bytes; `got` receives the count delivered (may be 0).
	virtual bool read(void *data, uint32_t length, uint32_t *got) = 0;
	// A synchronous device control request.
	virtual bool control(uint32_t code, const void *in, uint32_t inLength,
			     void *out, uint32_t outLength, uint32_t *returned) = 0;
};

// Opens a device file for synchronous use (read/write access, shared, existing
// only). Returns null when it cannot be opened.
std::unique_ptr<DeviceFile> openDeviceFile(const char *name);

// True when the device file `name` can be opened now: it is opened and closed
// again at once, also by a thread whose device I/O has been interrupted (an
// interrupted thread opens nothing, but its scanner may well be there).
bool deviceFilePresent(const char *name);

// True when a device file of a scanner is there now, looked for without
// taking the scanner from the process that uses it (no USB interface is
// claimed, nothing is sent): a process waiting for its turn asks it while
// another process scans.
bool scannerAttached();

// The overlapped wait on the scanner's interrupt pipe (push buttons). One
// object is one wait: its own handle on the device and its own event.
class ButtonWait
{
public:
	enum class Start {
		Pending,
		Completed,
		Failed,
		NoEvent
	};
	enum class Poll {
		Pending,
		Delivered,
		Ended
	};

	virtual ~ButtonWait() = default;
	// Issues the wait with an 8-byte output buffer. NoEvent when the event of
	// the wait could not be created.
	virtual Start start() = 0;
	// Asks without waiting whether the wait has completed. Delivered: the
	// bytes (at most 8) are in `report` and their number in `count`. Ended: the
	// wait completed without bytes or failed (the device went away).
	virtual Poll poll(uint8_t report[8], uint32_t *count) = 0;
};

// Opens `name` for overlapped use. Null when the device file cannot be opened.
std::unique_ptr<ButtonWait> openButtonWait(const char *name);

// Device I/O of a thread that another thread may have to interrupt. While a
// thread has an interrupt set, every device file it opens is registered with
// it; trigger() makes all of that thread's pending and later device I/O fail
// at once (on Windows: its synchronous I/O is cancelled and later transfers
// fail).
class IoInterrupt;
std::shared_ptr<IoInterrupt> createIoInterrupt();
void setThreadIoInterrupt(std::shared_ptr<IoInterrupt> interrupt);
void triggerIoInterrupt(IoInterrupt &interrupt);

// ---------------------------------------------------------------------------
// Files for logs and dumps.

class File
{
public:
	virtual ~File() = default;
	virtual bool write(const void *data, size_t length) = 0;
	virtual bool seek(uint64_t offset) = 0;
	virtual bool seekToEnd() = 0;
};

// The three opens below take only a regular file of its own: a symbolic link
// (a reparse point on Windows), a FIFO or pipe, a device, a folder or a file
// with a second hard link is refused (null) without waiting and without
// changing it, so that a log folder others can write to never redirects or
// stalls the driver.
//
// Opens for writing, shared with other writers, creating it when missing and
// keeping its contents. Null on failure.
std::unique_ptr<File> openFileForAppend(const char *path);
// Creates the file anew, empty ("wb"). Null on failure.
std::unique_ptr<File> createFile(const char *path);
// Opens an existing file for reading and writing ("r+b"). Null on failure.
std::unique_ptr<File> openExistingFile(const char *path);
bool deleteFile(const char *path);
bool fileExists(const char *path);

// ---------------------------------------------------------------------------
// Threads.

class Thread;
using ThreadEntry = void (*)(void *context);

// Frees a handle object without touching its thread (no wait, no close):
// what a std::unique_ptr<Thread> does when it goes, since only the platform
// knows the type. Give a handle up with closeThread.
void destroyThreadHandle(Thread *thread);

// Starts a thread at once; null when it cannot be created.
std::unique_ptr<Thread> createThread(ThreadEntry entry, void *context);
// Raises the calling thread to the highest priority the platform grants.
void raiseThreadPriority();
// Waits for the thread to end, at most `timeoutMs`. True when it has ended.
bool waitThread(Thread &thread, uint32_t timeoutMs);
// Ends the thread by force where the platform can; returns false where it
// cannot (POSIX), in which case the caller must not free what the thread uses.
bool terminateThread(Thread &thread);
// Releases the handle. A thread that still runs is detached.
void closeThread(std::unique_ptr<Thread> thread);

// ---------------------------------------------------------------------------
// Time.

// Milliseconds since some start; wraps around after 49.7 days. Differences are
// taken unsigned.
uint32_t tickCount();
void sleepMs(uint32_t milliseconds);

struct LocalTime {
	uint16_t year;
	uint16_t month;
	uint16_t day;
	uint16_t hour;
	uint16_t minute;
	uint16_t second;
};
LocalTime localTime();

// ---------------------------------------------------------------------------
// Work memory: zero-initialised blocks (movable global memory on Windows, kept
// locked while in use). Null on failure.
void *allocateWorkMemory(size_t bytes);
void freeWorkMemory(void *block);

// Maps the whole pages of a fresh block in at once, writable, so that the
// scan's first writes into it take no page fault each (a fault per page costs
// far more than one request for them all). The block's bytes do not change.
// False where nothing was done: the first writes then fault the pages in.
bool prefaultMemory(void *block, size_t bytes);

// ---------------------------------------------------------------------------
// Paths.

// Full path of the host program's executable.
std::string hostProgramPath();
// Full path of the library file itself, as the loader knows it.
std::string libraryPath();

} // namespace torvane::platform

// Thread is the platform's own type: a handle held outside the platform is
// freed through destroyThreadHandle.
template<>
struct std::default_delete<torvane::platform::Thread> {
	void operator()(torvane::platform::Thread *thread) const { torvane::platform::destroyThreadHandle(thread); }
};
