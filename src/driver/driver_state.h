// SPDX-License-Identifier: MIT
// The driver's process-wide state in one structure: the configuration read at
// process attach, the last-error register, the cancel flag, what the scanner
// said about itself, the last sense data and the outstanding button wait.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/platform.h"
#include "torvane/torvane.h"

#include "torvane/torvane.h"

namespace torvane::driver {

inline constexpr size_t kPathSize = 260;
// The scanner's self-description (INQUIRY data).
inline constexpr size_t kInquirySize = 160;
// Sense data of one REQUEST SENSE (standard fixed format).
inline constexpr size_t kSenseDataSize = 22;
// "\\.\usbscanN" and its terminating zero, with room to spare.
inline constexpr size_t kDevicePathSize = 30;

// Everything the driver keeps between calls, apart from the scan in progress
// (the engine's session, the settings of setup) and what the lock and the
// platform keep to themselves. "Front end" below means the threads that call
// the exports; the device lock and the scan-busy flag keep the locked calls
// apart from each other and from a running scan. The acquisition thread is
// the scan's own thread.
struct DriverState {
	// Configuration. Written by process attach, before any export can run,
	// and read by every thread afterwards, the acquisition thread included;
	// nothing writes it later (tests rewrite it between cases).

	// Highest log level written; 0 writes nothing (DEBUGLEVEL).
	uint32_t DebugLevel = 0;
	// SAVEPATH with "Image0.bmp" appended directly; the debug image file.
	char DebugImagePath[kPathSize] = {};
	// SAVEPATH as read at process attach: folder of the dumps.
	char SavePath[kPathSize] = {};
	// Full path of the library file itself (model check).
	char LibraryPath[kPathSize] = {};
	// 1 when the host program is vexmarch.exe: the read pipeline skips the
	// model filters.
	uint8_t RawTestMode = 0;

	// Registers that any thread may touch at any time, hence atomic.

	// The driver error code of the most recent failure: written by the front
	// end and by the acquisition thread, fetched and cleared by the status
	// calls.
	std::atomic<int32_t> LastErrorCode{ 0 };
	// Set by DoCancel (any thread, also a signal handler), read and cleared
	// by StopScan.
	std::atomic<uint8_t> CancelRequested{ 0 };

	// What the scanner said about itself. Written by front-end calls under the
	// device lock; read by front-end calls, with or without it (StartScan and
	// ReadScan run while the scan-busy flag keeps every writer out).

	// Filled by GetScannerAbility and GetScannerAbilityEx (cleared first).
	uint8_t inquiryData[kInquirySize] = {};
	// Filled by InitializeScanner (not cleared first) and InitialButton
	// (cleared first); the read pipeline's model test reads its product
	// identification.
	uint8_t modelInquiry[kInquirySize] = {};
	// The largest single image read, set to 524288 by every extended ability
	// decoding; 0 until the first one. Read by StartScan.
	uint32_t maxReadBlock = 0;
	// The scanner's width in pixels at 300 dpi, from the extended ability
	// decoding and again from SetScanParameter's own ability record.
	uint32_t scannerWidth = 0;
	// SetScanParameter's own extended ability record, refreshed on every call
	// before the lock is taken (filled under the lock by GetScannerAbilityEx,
	// its width read just after, outside it).
	ScannerAbilityEx ownAbilityEx = {};

	// Sense data of the last REQUEST SENSE. Written and decoded inside one
	// exchange, under the machine-wide exchange lock, by whichever thread
	// runs the exchange (the acquisition thread too).
	uint8_t SenseData[kSenseDataSize] = {};

	// The device file FindScanner found; every exchange opens it. Written by
	// FindScanner and read by the exchanges of any thread (the acquisition
	// thread too), both under devicePathMutex.
	std::mutex devicePathMutex;
	char DevicePath[kDevicePathSize] = {};
	// True once FindScanner has found a scanner in this process.
	std::atomic<bool> deviceFound{ false };
	// True once the device file found has vanished (the scanner unplugged or
	// switched off), until a device file is opened or found again. Set and
	// cleared by the exchanges and discovery of any thread.
	std::atomic<bool> deviceGone{ false };

	// Where the scan engine stands (driver/scan_state.h): the state in the
	// low byte and the scan number above it, so that the acquisition
	// thread's compare-exchange names both at once. StartScan and StopScan
	// move it on the front end's thread, the acquisition thread once, when
	// it returns.
	std::atomic<uint64_t> scanStateWord{ 0 };

	// The push-button wait that stays outstanding between polls. Polls run
	// under the device lock, but TerminateDriver abandons the wait also when
	// it did not get the lock: all three members are used only while
	// buttonWaitMutex is held.
	std::mutex buttonWaitMutex;
	// The outstanding wait (or one that completed when it was issued); null
	// whenever no wait exists, so that no handle or event outlives its wait.
	// A wait still open when the library is unloaded is closed then.
	std::unique_ptr<platform::ButtonWait> buttonWait;
	// 1 while a button wait is outstanding.
	int32_t ButtonReadPending = 0;

	// The configuration and the two registers as a fresh load of the library
	// has them, so that a test can attach again as if loaded anew.
	void resetConfigurationAndRegisters()
	{
		DebugLevel = 0;
		std::memset(DebugImagePath, 0, sizeof(DebugImagePath));
		std::memset(SavePath, 0, sizeof(SavePath));
		std::memset(LibraryPath, 0, sizeof(LibraryPath));
		RawTestMode = 0;
		LastErrorCode = 0;
		CancelRequested = 0;
		deviceFound = false;
		deviceGone = false;
	}
};

// The one instance: the C interface has no handle to carry another. A
// variable, not a function with a static inside: no guard on access, which
// matters to DoCancel in a signal handler. Inline, so every file sees this
// same object. Where the standard mutex is constexpr (Linux) it is complete
// before any code runs; elsewhere (mingw) the runtime constructs it, with the
// library's other static objects, before the loader's attach call.
inline DriverState driverState;

// Codes that tell of the caller or of this process, not of the scanner: a
// vanished scanner does not replace them.
inline bool tellsOfTheCaller(int32_t code)
{
	return code == TORVANE_ERROR_NONE || code == TORVANE_ERROR_BUSY || code == TORVANE_ERROR_CANCELLED ||
	       code == TORVANE_ERROR_NO_MEMORY || code == TORVANE_ERROR_ILLEGAL_REQUEST ||
	       code == TORVANE_ERROR_BUTTON_EVENT;
}

// While the scanner found has vanished, a failure of any layer is reported as
// the disconnect it comes from: the layers above the exchange see only a read
// without data, a window not taken or a model that does not match, and would
// name a fault the scanner does not have.
inline void setLastError(int32_t code)
{
	if (!tellsOfTheCaller(code) && driverState.deviceGone.load(std::memory_order_relaxed))
		code = TORVANE_ERROR_DISCONNECTED;
	driverState.LastErrorCode.store(code, std::memory_order_relaxed);
}

inline int32_t lastError()
{
	return driverState.LastErrorCode.load(std::memory_order_relaxed);
}

// The driver error codes are the table of torvane.h (TORVANE_ERROR_*).

// A failed export always leaves a code: when nothing below set one (a
// transfer that failed without sense data, a status other than CHECK
// CONDITION), the general code 2999. Returns `result`.
inline int keepFailureCode(int result)
{
	if (result == 0 && lastError() == 0)
		setLastError(TORVANE_ERROR_GENERAL);
	return result;
}

// Process attach: configuration, debug paths, device event, library path and
// raw test mode. Process detach: hands a held lock on and closes the event.
void processAttach();
void processDetach();

// True when `hostPath` names vexmarch.exe (file name compared case-insensitively).
bool isRawTestHost(const char *hostPath);

} // namespace torvane::driver
