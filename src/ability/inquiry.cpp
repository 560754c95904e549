// SPDX-License-Identifier: MIT
// INQUIRY and the two inquiry buffers.

#include "ability/inquiry.h"

#include "driver/debug_log.h"
#include "transport/commands.h"
#include "transport/transport.h"

namespace torvane::ability {

int Inquiry(uint8_t *buffer)
{
	driver::logLine(driver::kMainLog, 2, "In   %d : Inquiry :", 0);
	const transport::CommandBlock block = transport::inquiryBlock();
	const int result = transport::SendCommand(block.data(), buffer, transport::kInquiryLength, 0);
	driver::logLine(driver::kMainLog, 2, "Out  %d : Inquiry : ", result);
	return result;
}

} // namespace torvane::ability
