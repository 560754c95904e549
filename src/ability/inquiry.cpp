// SPDX-License-Identifier: MIT
// INQUIRY and the two inquiry buffers.

#include "ability/inquiry.h"

#include "driver/debug_log.h"
#include "transport/commands.h"
#include "transport/transport.h"

namespace torvane::ability {

uint8_t inquiryData[kInquirySize] = {};
uint8_t modelInquiry[kInquirySize] = {};
uint32_t maxReadBlock = 0;
uint32_t scannerWidth = 0;

int Inquiry(uint8_t *buffer)
{
	driver::logLine(driver::kMainLog, 2, "In   %d : Inquiry :", 0);
	const transport::CommandBlock block = transport::inquiryBlock();
	const int result = transport::SendCommand(block.data(), buffer, transport::kInquiryLength, 0);
	driver::logLine(driver::kMainLog, 2, "Out  %d : Inquiry : ", result);
	return result;
}

} // namespace torvane::ability
