// SPDX-License-Identifier: MIT
// The scanner's power-save and power-off timers.
#pragma once

#include <array>
#include <cstdint>

namespace torvane::panel {

// The 2-byte payload: the low 16 bits of the time, big-endian. The value is
// the scanner's and is not checked.
using TimerPayload = std::array<uint8_t, 2>;
TimerPayload timerPayload(int time);

// Sends the payload with SEND(10), qualifier 0, under no lock of its own.
// `dataType` is transport::kSendPowerSaveTime or kSendPowerOffTime.
int sendTimer(uint8_t dataType, const TimerPayload &payload);

} // namespace torvane::panel
