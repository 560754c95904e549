// SPDX-License-Identifier: MIT
// Device discovery: the first supported scanner among the still-image device
// files \\.\usbscan0 .. \\.\usbscan126.

#include "transport/transport.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "driver/debug_log.h"
#include "driver/driver_state.h"
#include "platform/platform.h"
#include "transport/supported_devices.h"

namespace torvane::transport {

namespace {

constexpr int kDeviceNames = 127;

std::mutex devicePathMutex;
char DevicePath[kDevicePathSize] = {};

uint16_t littleEndian16(const uint8_t *bytes)
{
	return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

// Asks an open device for its USB identity; false when it cannot be read.
bool isSupportedScanner(platform::DeviceFile &device)
{
	// All-zero time-outs: read, write and event. The outcome does not matter.
	uint8_t timeouts[12] = {};
	device.control(platform::kIoctlSetTimeout, timeouts, sizeof(timeouts), nullptr, 0, nullptr);

	uint8_t descriptor[8] = {};
	uint32_t returned = 0;
	if (!device.control(platform::kIoctlGetDeviceDescriptor, descriptor, sizeof(descriptor), descriptor,
			    sizeof(descriptor), &returned) ||
	    returned < 4)
		return false;
	return isSupportedDevice(littleEndian16(descriptor), littleEndian16(descriptor + 2));
}

} // namespace

std::string devicePath()
{
	std::lock_guard<std::mutex> guard(devicePathMutex);
	return DevicePath;
}

void setDevicePath(const char *path)
{
	std::lock_guard<std::mutex> guard(devicePathMutex);
	std::snprintf(DevicePath, sizeof(DevicePath), "%s", path);
}

int FindScanner()
{
	driver::logLine(driver::kMainLog, 3, "In   %d : FindScanner :", 0);
	int result = 0;
	for (int n = 0; n < kDeviceNames && !result; ++n) {
		char name[kDevicePathSize];
		std::snprintf(name, sizeof(name), "\\\\.\\usbscan%d", n);
		// The device file is closed again before the next name, found or not.
		auto device = platform::openDeviceFile(name);
		if (device && isSupportedScanner(*device)) {
			setDevicePath(name);
			result = 1;
		}
	}
	if (!result)
		driver::setLastError(driver::kErrorNoScanner);
	driver::logLine(driver::kMainLog, 3, "Out  %d : FindScanner :", result);
	return result;
}

} // namespace torvane::transport
