// SPDX-License-Identifier: MIT
// The scanner's power-save and power-off timers.

#include "panel/power_timers.h"

#include "torvane_protocol/byte_order.h"
#include "transport/transport.h"

namespace torvane::panel {

TimerPayload timerPayload(int time)
{
	TimerPayload payload;
	protocol::writeBigEndian16(payload.data(), static_cast<uint16_t>(static_cast<uint32_t>(time) & 0xFFFFu));
	return payload;
}

int sendTimer(uint8_t dataType, const TimerPayload &payload)
{
	return transport::SendDataBlock(payload.data(), payload.size(), dataType, 0);
}

} // namespace torvane::panel
