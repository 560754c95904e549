// SPDX-License-Identifier: MIT
// The command blocks, byte for byte.

#include <gtest/gtest.h>

#include "torvane_protocol/byte_order.h"
#include "transport/commands.h"

using namespace torvane::protocol;
using namespace torvane::transport;

namespace {

using Bytes = CommandBlock;

TEST(CommandBlocks, FixedBlocks)
{
	EXPECT_EQ(requestSenseBlock(), (Bytes{ 0x03, 0, 0, 0, 0x16, 0, 0, 0, 0, 0 }));
	EXPECT_EQ(inquiryBlock(), (Bytes{ 0x12, 0, 0, 0, 0xA0, 0, 0, 0, 0, 0 }));
	EXPECT_EQ(reserveUnitBlock(), (Bytes{ 0x16, 0, 0, 0, 0, 0, 0, 0, 0, 0 }));
	EXPECT_EQ(releaseUnitBlock(0), (Bytes{ 0x17, 0, 0, 0, 0, 0, 0, 0, 0, 0 }));
	EXPECT_EQ(releaseUnitBlock(3), (Bytes{ 0x17, 0, 0, 0, 0, 3, 0, 0, 0, 0 }));
	EXPECT_EQ(scanBlock(), (Bytes{ 0x1B, 0, 0, 0, 0, 0x80, 0, 0, 0, 0 }));
	EXPECT_EQ(setWindowBlock(), (Bytes{ 0x24, 0, 0, 0, 0, 0, 0, 0, 0x4F, 0 }));
}

TEST(CommandBlocks, ReadBlocksCarryTheQualifierAndA24BitLength)
{
	EXPECT_EQ(read10Block(kReadNvm, 128), (Bytes{ 0x28, 0, 0x69, 0, 0x0A, 0x0D, 0, 0, 0x80, 0 }));
	EXPECT_EQ(read10Block(kReadWindow, 32), (Bytes{ 0x28, 0, 0x60, 0, 0x0A, 0x0D, 0, 0, 0x20, 0 }));
	EXPECT_EQ(read10Block(kReadCalibration, 495360), (Bytes{ 0x28, 0, 0x62, 0, 0x0A, 0x0D, 0x07, 0x8F, 0x00, 0 }));
	EXPECT_EQ(read10Block(kReadCalibration, 990720), (Bytes{ 0x28, 0, 0x62, 0, 0x0A, 0x0D, 0x0F, 0x1E, 0x00, 0 }));
	EXPECT_EQ(read10Block(kReadImageData, 524288), (Bytes{ 0x28, 0, 0x00, 0, 0x0A, 0x0D, 0x08, 0x00, 0x00, 0 }));
	// Only the low 24 bits of a length are sent.
	EXPECT_EQ(read10Block(kReadImageData, 0x12345678), (Bytes{ 0x28, 0, 0, 0, 0x0A, 0x0D, 0x34, 0x56, 0x78, 0 }));
}

TEST(CommandBlocks, SendBlocksCarryQualifierAndLength)
{
	EXPECT_EQ(send10Block(kSendGamma, 2, 512), (Bytes{ 0x2A, 0, 0x81, 0, 0, 2, 0x00, 0x02, 0x00, 0 }));
	EXPECT_EQ(send10Block(kSendNvm, 0x0014, 128), (Bytes{ 0x2A, 0, 0x85, 0, 0, 0x14, 0, 0, 0x80, 0 }));
	EXPECT_EQ(send10Block(kSendPowerSaveTime, 0, 2), (Bytes{ 0x2A, 0, 0xA2, 0, 0, 0, 0, 0, 2, 0 }));
	EXPECT_EQ(send10Block(kSendPowerOffTime, 0xBEEF, 2), (Bytes{ 0x2A, 0, 0xA9, 0, 0xBE, 0xEF, 0, 0, 2, 0 }));
}

TEST(ByteOrder, SwapsAndBigEndianFields)
{
	static_assert(swap16(0x0102) == 0x0201);
	static_assert(swap32(0x01020304) == 0x04030201);
	uint8_t bytes[4] = {};
	writeBigEndian32(bytes, 0x00000100);
	EXPECT_EQ(readBigEndian32(bytes), 256u);
	EXPECT_EQ(bytes[2], 0x01);
	writeBigEndian16(bytes, 0x0102);
	EXPECT_EQ(readBigEndian16(bytes), 0x0102);
	EXPECT_EQ(bytes[0], 0x01);
}

} // namespace
