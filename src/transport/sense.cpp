// SPDX-License-Identifier: MIT
// Translation of sense data into driver error codes.

#include "transport/transport.h"

#include <array>

#include "driver/driver_state.h"

namespace torvane::transport {

namespace {

// Driver error code of each sense key 0x0 .. 0xF.
constexpr std::array<int32_t, 16> kSenseKeyCodes = {
	2999, // 0x0 NO SENSE
	0,    // 0x1 RECOVERED ERROR
	2009, // 0x2 NOT READY
	2004, // 0x3 MEDIUM ERROR
	2004, // 0x4 HARDWARE ERROR
	2005, // 0x5 ILLEGAL REQUEST
	2004, // 0x6 UNIT ATTENTION
	0,    // 0x7 DATA PROTECT
	0,    // 0x8 BLANK CHECK
	2004, // 0x9 vendor-specific
	0,    // 0xA COPY ABORTED
	2010, // 0xB ABORTED COMMAND
	0,    // 0xC
	0,    // 0xD
	0,    // 0xE
	0,    // 0xF
};

struct AdditionalSense {
	uint16_t ascAscq;
	int32_t code;
};

// Additional sense code and qualifier (ASC * 256 + ASCQ): when not zero, it
// alone decides the driver error code; values not listed give 2999.
constexpr std::array<AdditionalSense, 28> kAdditionalSenseCodes = { {
	{ 0x1502, 3001 }, // positioning error detected by read of medium
	{ 0x1503, 3002 },
	{ 0x1504, 2008 },
	{ 0x1A00, 2005 }, // parameter list length error
	{ 0x2000, 2005 }, // invalid command operation code
	{ 0x2600, 2005 }, // invalid field in parameter list
	{ 0x2601, 2005 }, // parameter not supported
	{ 0x2602, 2005 }, // parameter value invalid
	{ 0x2C02, 2005 }, // invalid combination of windows specified
	{ 0x4401, 3003 },
	{ 0x4402, 3004 },
	{ 0x4403, 3004 },
	{ 0x6000, 2007 }, // lamp failure
	{ 0x6001, 3005 },
	{ 0x6002, 3006 },
	{ 0x6200, 2021 }, // scan head positioning error
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
} };

constexpr int32_t kUnlistedAdditionalSense = 2999;

} // namespace

int32_t senseToErrorCode(const uint8_t sense[kSenseDataSize])
{
	const int32_t responseCode = sense[0] & 0x7F;
	// Only current (0x70) and vendor-specific (0x7F) sense data carry a key;
	// any other response code is itself the driver error code.
	if (responseCode != 0x70 && responseCode != 0x7F)
		return responseCode;

	const uint16_t ascAscq = static_cast<uint16_t>(sense[12] << 8 | sense[13]);
	if (ascAscq == 0)
		return kSenseKeyCodes[sense[2] & 0x0F];
	for (const auto &entry : kAdditionalSenseCodes)
		if (entry.ascAscq == ascAscq)
			return entry.code;
	return kUnlistedAdditionalSense;
}

int DecodeSense()
{
	driver::setLastError(senseToErrorCode(driver::driverState.SenseData));
	return 1;
}

} // namespace torvane::transport
