// SPDX-License-Identifier: MIT
// The two kinds of device file behind \\.\usbscanN on POSIX: Unix stream
// sockets served by a (simulated) scanner when TORVANE_DEVICE_DIR is set,
// real scanners through libusb otherwise.

#pragma once

#include <memory>

#include "platform/platform.h"

namespace torvane::platform {

bool socketDevicesConfigured();
std::unique_ptr<DeviceFile> openSocketDeviceFile(const char *name);
std::unique_ptr<ButtonWait> openSocketButtonWait(const char *name);

std::unique_ptr<DeviceFile> openUsbDeviceFile(const char *name);
std::unique_ptr<ButtonWait> openUsbButtonWait(const char *name);
// True when a supported scanner is on the bus, seen in the device list only
// (no device opened, no interface claimed).
bool usbScannerListed();

// The device names \\.\usbscan0 .. \\.\usbscan126.
inline constexpr int kScannerNames = 127;

} // namespace torvane::platform
