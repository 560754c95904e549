// SPDX-License-Identifier: MIT
// The command blocks: ten bytes, operation code first, lengths and
// qualifiers big-endian, every byte not named zero.

#include "transport/commands.h"

#include "torvane_protocol/byte_order.h"

namespace torvane::transport {

using protocol::writeBigEndian16;
using protocol::writeBigEndian24;

namespace {

CommandBlock blockWith(uint8_t operationCode)
{
	CommandBlock block{};
	block[0] = operationCode;
	return block;
}

} // namespace

CommandBlock requestSenseBlock()
{
	CommandBlock block = blockWith(kOpRequestSense);
	block[4] = kSenseLength;
	return block;
}

CommandBlock inquiryBlock()
{
	CommandBlock block = blockWith(kOpInquiry);
	block[4] = kInquiryLength;
	return block;
}

CommandBlock reserveUnitBlock()
{
	return blockWith(kOpReserveUnit);
}

CommandBlock releaseUnitBlock(uint8_t mode)
{
	CommandBlock block = blockWith(kOpReleaseUnit);
	block[5] = mode;
	return block;
}

CommandBlock scanBlock()
{
	CommandBlock block = blockWith(kOpScan);
	block[5] = 0x80;
	return block;
}

CommandBlock setWindowBlock()
{
	CommandBlock block = blockWith(kOpSetWindow);
	writeBigEndian24(&block[6], kWindowBlockLength);
	return block;
}

CommandBlock read10Block(uint8_t dataType, uint32_t length)
{
	CommandBlock block = blockWith(kOpRead10);
	block[2] = dataType;
	writeBigEndian16(&block[4], kReadQualifier);
	writeBigEndian24(&block[6], length);
	return block;
}

CommandBlock send10Block(uint8_t dataType, uint16_t qualifier, uint32_t length)
{
	CommandBlock block = blockWith(kOpSend10);
	block[2] = dataType;
	writeBigEndian16(&block[4], qualifier);
	writeBigEndian24(&block[6], length);
	return block;
}

} // namespace torvane::transport
