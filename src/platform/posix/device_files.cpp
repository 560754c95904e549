// SPDX-License-Identifier: MIT
// POSIX: which kind of device file \\.\usbscanN names. The choice is made at
// every open, so a test or a front end may set TORVANE_DEVICE_DIR at any time.

#include "platform/posix/device_backends.h"

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

std::unique_ptr<ButtonWait> openButtonWait(const char *name)
{
	return socketDevicesConfigured() ? openSocketButtonWait(name) : openUsbButtonWait(name);
}

} // namespace torvane::platform
