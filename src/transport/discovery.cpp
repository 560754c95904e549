// SPDX-License-Identifier: MIT
// Device discovery: the first supported scanner among the still-image device
// files \\.\usbscan0 .. \\.\usbscan126.

#include "transport/transport.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "driver/debug_log.h"
#include "driver/driver_state.h"
#include "platform/platform.h"
#include "torvane_protocol/control_codes.h"
#include "torvane_protocol/supported_devices.h"

namespace torvane::transport {

namespace {

constexpr int kDeviceNames = 127;

// Asks an open device for its USB identity; false when it cannot be read.
bool isSupportedScanner(platform::DeviceFile &device)
{
	// All-zero time-outs: read, write and event. The outcome does not matter.
	uint8_t timeouts[protocol::kTimeoutRecordLength] = {};
	device.control(protocol::kIoctlSetTimeout, timeouts, sizeof(timeouts), nullptr, 0, nullptr);

	std::array<uint8_t, protocol::kDeviceDescriptorLength> record{};
	uint32_t returned = 0;
	if (!device.control(protocol::kIoctlGetDeviceDescriptor, record.data(), record.size(), record.data(),
			    record.size(), &returned) ||
	    returned < 4)
		return false;
	const protocol::DeviceDescriptor descriptor = protocol::decodeDeviceDescriptor(record);
	return protocol::isSupportedDevice(descriptor.vendorId, descriptor.productId);
}

} // namespace

std::string devicePath()
{
	std::lock_guard<std::mutex> guard(driver::driverState.devicePathMutex);
	return driver::driverState.DevicePath;
}

void setDevicePath(const char *path)
{
	std::lock_guard<std::mutex> guard(driver::driverState.devicePathMutex);
	std::snprintf(driver::driverState.DevicePath, sizeof(driver::driverState.DevicePath), "%s", path);
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
	if (result) {
		driver::driverState.deviceFound.store(true, std::memory_order_relaxed);
		driver::driverState.deviceGone.store(false, std::memory_order_relaxed);
	} else {
		// A search that finds nothing says so (129), also after an unplug;
		// an exchange with the scanner it had found calls that a disconnect.
		driver::setLastError(TORVANE_ERROR_NO_SCANNER);
	}
	driver::logLine(driver::kMainLog, 3, "Out  %d : FindScanner :", result);
	return result;
}

} // namespace torvane::transport
