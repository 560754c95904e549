// SPDX-License-Identifier: MIT
// POSIX: which kind of device file \\.\usbscanN names. The choice is made at
// every open, so a test or a front end may set TORVANE_DEVICE_DIR at any time.

#include "platform/posix/device_backends.h"

namespace torvane::platform {

std::unique_ptr<DeviceFile> openDeviceFile(const char *name)
{
	return socketDevicesConfigured() ? openSocketDeviceFile(name) : openUsbDeviceFile(name);
}

std::unique_ptr<ButtonWait> openButtonWait(const char *name)
{
	return socketDevicesConfigured() ? openSocketButtonWait(name) : openUsbButtonWait(name);
}

} // namespace torvane::platform
