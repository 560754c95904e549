// SPDX-License-Identifier: MIT
// The driver frame's process-wide state: configuration read at process attach,
// the last-error register and the cancel flag.
#pragma once

#include <atomic>
#include <cstdint>

#include "torvane/torvane.h"

namespace torvane::driver {

inline constexpr size_t kPathSize = 260;

// Highest log level written; 0 writes nothing (DEBUGLEVEL).
inline uint32_t DebugLevel = 0;
// SAVEPATH with "Image0.bmp" appended directly; the debug image file.
inline char DebugImagePath[kPathSize] = {};
// SAVEPATH as read at process attach: folder of the dumps.
inline char SavePath[kPathSize] = {};
// Full path of the library file itself (model check).
inline char LibraryPath[kPathSize] = {};
// 1 when the host program is vexmarch.exe: the read pipeline skips the model
// filters.
inline uint8_t RawTestMode = 0;

// The driver error code of the most recent failure. Atomic because the
// acquisition thread and the front end's threads both write it.
inline std::atomic<int32_t> LastErrorCode{ 0 };
// Set by DoCancel, read and cleared by StopScan.
inline std::atomic<uint8_t> CancelRequested{ 0 };

inline void setLastError(int32_t code)
{
	LastErrorCode.store(code, std::memory_order_relaxed);
}

inline int32_t lastError()
{
	return LastErrorCode.load(std::memory_order_relaxed);
}

// The driver error codes are the table of torvane.h (TORVANE_ERROR_*).
// To be removed: the former names, kept only until the scan engine uses the
// table's.
inline constexpr int32_t kErrorNoScanner = TORVANE_ERROR_NO_SCANNER;
inline constexpr int32_t kErrorNoMemory = TORVANE_ERROR_NO_MEMORY;
inline constexpr int32_t kErrorNoDevice = TORVANE_ERROR_NO_DEVICE;
inline constexpr int32_t kErrorNoImageData = TORVANE_ERROR_NO_IMAGE_DATA;
inline constexpr int32_t kErrorCancelled = TORVANE_ERROR_CANCELLED;
inline constexpr int32_t kErrorBusy = TORVANE_ERROR_BUSY;
inline constexpr int32_t kErrorInquiryFailed = TORVANE_ERROR_INQUIRY_FAILED;
inline constexpr int32_t kErrorWindow = TORVANE_ERROR_HARDWARE;
inline constexpr int32_t kErrorBadArgument = TORVANE_ERROR_ILLEGAL_REQUEST;
inline constexpr int32_t kErrorButtonEvent = TORVANE_ERROR_BUTTON_EVENT;
inline constexpr int32_t kErrorGeneral = TORVANE_ERROR_GENERAL;

// A failed export always leaves a code: when nothing below set one (a
// transfer that failed without sense data, a status other than CHECK
// CONDITION), the general code 2999. Returns `result`.
inline int keepFailureCode(int result)
{
	if (result == 0 && lastError() == 0)
		setLastError(kErrorGeneral);
	return result;
}

// Process attach: configuration, debug paths, device event, library path and
// raw test mode. Process detach: hands a held lock on and closes the event.
void processAttach();
void processDetach();

// True when `hostPath` names vexmarch.exe (file name compared case-insensitively).
bool isRawTestHost(const char *hostPath);

} // namespace torvane::driver
