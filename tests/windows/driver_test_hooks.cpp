// SPDX-License-Identifier: MIT
// The test exports of torvane_test_driver.dll (see support/torvane_test.h).

#include <cstring>

#include "driver/device_lock.h"
#include "driver/driver_state.h"
#include "platform/platform.h"
#include "support/torvane_test.h"

using namespace torvane;

extern "C" {

void TorvaneTestGetState(TorvaneTestState *state)
{
	std::memset(state, 0, sizeof(*state));
	state->debugLevel = driver::driverState.DebugLevel;
	std::memcpy(state->savePath, driver::driverState.SavePath, sizeof(state->savePath));
	std::memcpy(state->debugImagePath, driver::driverState.DebugImagePath, sizeof(state->debugImagePath));
	std::memcpy(state->libraryPath, driver::driverState.LibraryPath, sizeof(state->libraryPath));
	state->rawTestMode = driver::driverState.RawTestMode;
	state->lastError = driver::lastError();
	state->scanBusy = driver::scanBusy();
	state->hasDeviceEvent = platform::hasDeviceEvent() ? 1 : 0;
}

void TorvaneTestSetDeviceCalls(const platform::DeviceCalls *calls)
{
	platform::setDeviceCalls(calls);
}

void TorvaneTestSetLockWait(uint32_t milliseconds)
{
	driver::setLockWaitMs(milliseconds);
}

void TorvaneTestSetScanBusy(int32_t value)
{
	driver::setScanBusy(value);
}

} // extern "C"
