// SPDX-License-Identifier: MIT
// POSIX: which kind of device file \\.\usbscanN names. The choice is made at
// every open, so a test or a front end may set TORVANE_DEVICE_DIR at any time.

#include "platform/posix/device_backends.h"

#include <string>
#include <utility>

#include "platform/posix/io_interrupt.h"

namespace torvane::platform {

std::unique_ptr<DeviceFile> openDeviceFile(const char *name)
{
	return socketDevicesConfigured() ? openSocketDeviceFile(name) : openUsbDeviceFile(name);
}

bool deviceFilePresent(const char *name)
{
	// The probe is not the thread's I/O: it opens outside the interrupt.
	std::shared_ptr<IoInterrupt> interrupt = currentIoInterrupt();
	setThreadIoInterrupt(nullptr);
	const bool present = openDeviceFile(name) != nullptr;
	setThreadIoInterrupt(std::move(interrupt));
	return present;
}

bool scannerAttached()
{
	if (!socketDevicesConfigured())
		return usbScannerListed();
	// A connection that sends nothing reaches no scanner's command state.
	for (int n = 0; n < kScannerNames; ++n) {
		const std::string name = "\\\\.\\usbscan" + std::to_string(n);
		if (deviceFilePresent(name.c_str()))
			return true;
	}
	return false;
}

std::unique_ptr<ButtonWait> openButtonWait(const char *name)
{
	return socketDevicesConfigured() ? openSocketButtonWait(name) : openUsbButtonWait(name);
}

} // namespace torvane::platform
