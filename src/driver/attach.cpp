// SPDX-License-Identifier: MIT
// Process attach and detach: the driver's whole configuration is read here,
// once per process.

#include <cstring>
#include <string>

#include "driver/device_lock.h"
#include "driver/driver_state.h"
#include "platform/platform.h"

namespace torvane::driver {

namespace {

constexpr const char *kDebugImageName = "Image0.bmp";
constexpr const char *kRawTestHost = "vexmarch.exe";

void copyBounded(char (&target)[kPathSize], const std::string &text)
{
	const size_t length = text.size() < kPathSize - 1 ? text.size() : kPathSize - 1;
	std::memcpy(target, text.data(), length);
	target[length] = '\0';
}

void readConfiguration()
{
	if (auto level = platform::readConfigNumber("DEBUGLEVEL"))
		driverState.DebugLevel = *level;

	char saved[kPathSize] = {};
	platform::readConfigText("SAVEPATH", saved, sizeof(saved));
	std::memcpy(driverState.SavePath, saved, sizeof(driverState.SavePath));

	// SAVEPATH is a plain prefix: no separator is inserted. A folder too long
	// to take the file name leaves the debug image path empty (no dump)
	// rather than a cut name somewhere else.
	const size_t length = std::strlen(saved);
	if (length + std::strlen(kDebugImageName) + 1 <= kPathSize) {
		std::memcpy(driverState.DebugImagePath, saved, length);
		std::memcpy(driverState.DebugImagePath + length, kDebugImageName, std::strlen(kDebugImageName) + 1);
	} else {
		driverState.DebugImagePath[0] = '\0';
	}
}

} // namespace

bool isRawTestHost(const char *hostPath)
{
	const char *name = std::strrchr(hostPath, '\\');
	const char *slash = std::strrchr(hostPath, '/');
	if (!name || (slash && slash > name))
		name = slash;
	name = name ? name + 1 : hostPath;

	const size_t length = std::strlen(name);
	if (length != std::strlen(kRawTestHost))
		return false;
	for (size_t i = 0; i < length; ++i) {
		char c = name[i];
		if (c >= 'A' && c <= 'Z')
			c = static_cast<char>(c - 'A' + 'a');
		if (c != kRawTestHost[i])
			return false;
	}
	return true;
}

void processAttach()
{
	readConfiguration();

	// A second attach first gives up the old event, as a fresh load would.
	if (platform::hasDeviceEvent()) {
		if (deviceLockHeldHere())
			releaseDeviceLock();
		platform::closeDeviceEvent();
	}
	platform::openDeviceEvent();

	copyBounded(driverState.LibraryPath, platform::libraryPath());
	if (isRawTestHost(platform::hostProgramPath().c_str()))
		driverState.RawTestMode = 1;
}

void processDetach()
{
	platform::releaseConfigValues();
	if (!platform::hasDeviceEvent())
		return;
	// Hand on a lock this process still holds. A lock held by another process
	// is left alone: signalling it would let a third caller in beside it.
	if (deviceLockHeldHere())
		releaseDeviceLock();
	platform::closeDeviceEvent();
}

} // namespace torvane::driver
