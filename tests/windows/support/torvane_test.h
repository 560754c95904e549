// SPDX-License-Identifier: MIT
// The extra exports of torvane_test_driver.dll, the driver built for tests
// (never part of RM735.dll): a look at the driver frame's state, the device
// calls, the lock wait and the scan-busy flag.
#pragma once

#include <cstdint>

#include "platform/win32/device_calls.h"

extern "C" {

struct TorvaneTestState {
	uint32_t debugLevel;
	char savePath[260];
	char debugImagePath[260];
	char libraryPath[260];
	uint8_t rawTestMode;
	int32_t lastError;
	int32_t scanBusy;
	int32_t hasDeviceEvent;
};

using TorvaneTestGetStateCall = void (*)(TorvaneTestState *state);
// Null puts the system's calls back.
using TorvaneTestSetDeviceCallsCall = void (*)(const torvane::platform::DeviceCalls *calls);
using TorvaneTestSetLockWaitCall = void (*)(uint32_t milliseconds);
using TorvaneTestSetScanBusyCall = void (*)(int32_t value);

} // extern "C"
