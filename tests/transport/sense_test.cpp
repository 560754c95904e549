// SPDX-License-Identifier: MIT
// Translation of sense data into driver error codes, row by row.

#include <cstring>
#include <set>

#include <gtest/gtest.h>
#include <torvane/torvane.h>

#include "driver/driver_state.h"
#include "transport/transport.h"

using namespace torvane;
using namespace torvane::transport;

namespace {

struct Sense {
	uint8_t bytes[kSenseDataSize] = {};
	Sense(uint8_t response, uint8_t key, uint8_t asc = 0, uint8_t ascq = 0)
	{
		bytes[0] = response;
		bytes[2] = key;
		bytes[12] = asc;
		bytes[13] = ascq;
	}
};

int32_t decode(const Sense &sense)
{
	std::memcpy(driver::driverState.SenseData, sense.bytes, kSenseDataSize);
	driver::setLastError(-1);
	EXPECT_EQ(DecodeSense(), 1);
	return driver::lastError();
}

TEST(SenseDecoding, EverySenseKeyWithoutAdditionalSense)
{
	const int32_t expected[16] = { 2999, 0, 2009, 2004, 2004, 2005, 2004, 0, 0, 2004, 0, 2010, 0, 0, 0, 0 };
	for (uint8_t key = 0; key < 16; ++key) {
		EXPECT_EQ(decode(Sense(0x70, key)), expected[key]) << "key " << int(key);
		EXPECT_EQ(decode(Sense(0x7F, key)), expected[key]) << "vendor key " << int(key);
		// Only the low four bits of byte 2 are the key.
		EXPECT_EQ(decode(Sense(0x70, static_cast<uint8_t>(0xE0 | key))), expected[key]);
	}
}

TEST(SenseDecoding, EveryAdditionalSenseRowOverridesTheKey)
{
	const struct {
		uint16_t ascAscq;
		int32_t code;
	} rows[] = {
		{ 0x1502, 3001 },
		{ 0x1503, 3002 },
		{ 0x1504, 2008 },
		{ 0x1A00, 2005 },
		{ 0x2000, 2005 },
		{ 0x2600, 2005 },
		{ 0x2601, 2005 },
		{ 0x2602, 2005 },
		{ 0x2C02, 2005 },
		{ 0x3A00, 3011 },
		{ 0x3A02, 3012 },
		{ 0x3B05, 3013 },
		{ 0x3B80, 3014 },
		{ 0x4401, 3003 },
		{ 0x4402, 3004 },
		{ 0x4403, 3004 },
		{ 0x6000, 2007 },
		{ 0x6001, 3005 },
		{ 0x6002, 3006 },
		{ 0x6200, 2021 },
		{ 0x8001, 2013 },
		{ 0x8002, 2014 },
		{ 0x8003, 2015 },
		{ 0x8004, 2022 },
		{ 0x8005, 3101 },
		{ 0x8009, 2013 },
		{ 0x800A, 64001 },
		{ 0x800B, 64002 },
		{ 0x800C, 64003 },
		{ 0x8015, 2027 },
		{ 0x9000, 2001 },
		{ 0xA001, 2001 },
	};
	for (const auto &row : rows) {
		const uint8_t asc = static_cast<uint8_t>(row.ascAscq >> 8);
		const uint8_t ascq = static_cast<uint8_t>(row.ascAscq);
		// A key with its own code (NOT READY) and one giving 0 (RECOVERED ERROR).
		EXPECT_EQ(decode(Sense(0x70, 0x2, asc, ascq)), row.code) << std::hex << row.ascAscq;
		EXPECT_EQ(decode(Sense(0xF0, 0x1, asc, ascq)), row.code) << std::hex << row.ascAscq;
	}
}

TEST(SenseDecoding, UnlistedAdditionalSenseGives2999)
{
	const uint16_t unlisted[] = { 0x1501, 0x2400, 0x2900, 0x4300, 0x4400, 0x4700, 0x4900, 0x8006, 0x8007,
				      0x8008, 0x800D, 0x8010, 0x8014, 0x0001, 0xFFFF };
	for (uint16_t value : unlisted)
		EXPECT_EQ(decode(Sense(0x70, 0x5, static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value))),
			  2999)
			<< std::hex << value;
}

TEST(SenseDecoding, IllegalRequestWith2400Gives2999Not2005)
{
	EXPECT_EQ(decode(Sense(0x70, 0x5, 0x24, 0x00)), 2999);
}

TEST(SenseDecoding, NotReadyWithoutAdditionalSenseGives2009)
{
	EXPECT_EQ(decode(Sense(0x70, 0x2)), 2009);
}

TEST(SenseDecoding, OtherResponseCodesAreTheCodeItself)
{
	EXPECT_EQ(decode(Sense(0x71, 0x2, 0x60, 0x00)), 113);
	EXPECT_EQ(decode(Sense(0xF1, 0x2)), 113); // the valid bit is not part of the code
	EXPECT_EQ(decode(Sense(0x00, 0x0)), 0);
	EXPECT_EQ(decode(Sense(0x05, 0x4)), 5);
}

// The sense tables give no code outside the table of torvane.h, whose every
// code the front ends have words for.
TEST(SenseDecoding, EveryCodeIsInTheTableOfErrorCodes)
{
#define TORVANE_TEST_CODE(name, value) name,
	const std::set<int32_t> table = { TORVANE_ERROR_NONE, TORVANE_ERROR_CODES(TORVANE_TEST_CODE) };
#undef TORVANE_TEST_CODE
	EXPECT_EQ(table.count(senseToErrorCode(Sense(0x71, 0x2).bytes)), 1u); // deferred error
	for (uint8_t key = 0; key < 16; ++key)
		EXPECT_EQ(table.count(senseToErrorCode(Sense(0x70, key).bytes)), 1u) << "key " << int(key);
	for (uint32_t ascAscq = 1; ascAscq <= 0xFFFF; ++ascAscq) {
		const Sense sense(0x70, 0x4, static_cast<uint8_t>(ascAscq >> 8), static_cast<uint8_t>(ascAscq));
		ASSERT_EQ(table.count(senseToErrorCode(sense.bytes)), 1u) << std::hex << ascAscq;
	}
}

} // namespace
