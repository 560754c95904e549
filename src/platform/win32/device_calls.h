// SPDX-License-Identifier: MIT
// Win32: the system calls through which the device files reach the
// still-image USB driver.
//
// The library always uses the system's own functions. Test builds of the
// device files (TORVANE_DEVICE_HOOK) let a test program put its own functions
// in their place, so that \\.\usbscanN answers from a scanner model inside
// the test program; everything else (logs, registry, events) stays real.
#pragma once

#include <windows.h>

namespace torvane::platform {

struct DeviceCalls {
	decltype(&::CreateFileA) createFile;
	decltype(&::CloseHandle) closeHandle;
	decltype(&::ReadFile) readFile;
	decltype(&::WriteFile) writeFile;
	decltype(&::DeviceIoControl) deviceIoControl;
	decltype(&::GetOverlappedResult) getOverlappedResult;
	decltype(&::CancelIoEx) cancelIo;
};

// The calls in use.
const DeviceCalls &deviceCalls();

// The system's functions.
const DeviceCalls &systemDeviceCalls();

#if defined(TORVANE_DEVICE_HOOK)
// Replaces the calls; null goes back to the system's. `calls` must outlive
// every device file opened while it is in place.
void setDeviceCalls(const DeviceCalls *calls);
#endif

} // namespace torvane::platform
