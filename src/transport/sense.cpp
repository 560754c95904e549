// SPDX-License-Identifier: MIT
// Translation of sense data into driver error codes.

#include "transport/transport.h"

#include <array>

#include "driver/driver_state.h"

namespace torvane::transport {

namespace {

// Driver error code of each sense key 0x0 .. 0xF.
constexpr std::array<int32_t, 16> kSenseKeyCodes = {
	TORVANE_ERROR_GENERAL,	       // 0x0 NO SENSE
	TORVANE_ERROR_NONE,	       // 0x1 RECOVERED ERROR
	TORVANE_ERROR_NOT_READY,       // 0x2 NOT READY
	TORVANE_ERROR_HARDWARE,	       // 0x3 MEDIUM ERROR
	TORVANE_ERROR_HARDWARE,	       // 0x4 HARDWARE ERROR
	TORVANE_ERROR_ILLEGAL_REQUEST, // 0x5 ILLEGAL REQUEST
	TORVANE_ERROR_HARDWARE,	       // 0x6 UNIT ATTENTION
	TORVANE_ERROR_NONE,	       // 0x7 DATA PROTECT
	TORVANE_ERROR_NONE,	       // 0x8 BLANK CHECK
	TORVANE_ERROR_HARDWARE,	       // 0x9 vendor-specific
	TORVANE_ERROR_NONE,	       // 0xA COPY ABORTED
	TORVANE_ERROR_ABORTED,	       // 0xB ABORTED COMMAND
	TORVANE_ERROR_NONE,	       // 0xC
	TORVANE_ERROR_NONE,	       // 0xD
	TORVANE_ERROR_NONE,	       // 0xE
	TORVANE_ERROR_NONE,	       // 0xF
};

struct AdditionalSense {
	uint16_t ascAscq;
	int32_t code;
};

// Additional sense code and qualifier (ASC * 256 + ASCQ): when not zero, it
// alone decides the driver error code; values not listed give the general one.
constexpr std::array<AdditionalSense, 32> kAdditionalSenseCodes = { {
	{ 0x1502, TORVANE_ERROR_POSITIONING_READ }, // positioning error detected by read of medium
	{ 0x1503, TORVANE_ERROR_SENSE_1503 },
	{ 0x1504, TORVANE_ERROR_SENSE_1504 },
	{ 0x1A00, TORVANE_ERROR_ILLEGAL_REQUEST }, // parameter list length error
	{ 0x2000, TORVANE_ERROR_ILLEGAL_REQUEST }, // invalid command operation code
	{ 0x2600, TORVANE_ERROR_ILLEGAL_REQUEST }, // invalid field in parameter list
	{ 0x2601, TORVANE_ERROR_ILLEGAL_REQUEST }, // parameter not supported
	{ 0x2602, TORVANE_ERROR_ILLEGAL_REQUEST }, // parameter value invalid
	{ 0x2C02, TORVANE_ERROR_ILLEGAL_REQUEST }, // invalid combination of windows specified
	{ 0x3A00, TORVANE_ERROR_FEEDER_EMPTY },	   // medium not present
	{ 0x3A02, TORVANE_ERROR_COVER_OPEN },	   // medium not present, tray (cover) open
	{ 0x3B05, TORVANE_ERROR_PAPER_JAM },	   // paper jam
	{ 0x3B80, TORVANE_ERROR_DOUBLE_FEED },	   // two sheets fed at once
	{ 0x4401, TORVANE_ERROR_SENSE_4401 },
	{ 0x4402, TORVANE_ERROR_SENSE_4402 },
	{ 0x4403, TORVANE_ERROR_SENSE_4402 },
	{ 0x6000, TORVANE_ERROR_LAMP }, // lamp failure
	{ 0x6001, TORVANE_ERROR_SENSE_6001 },
	{ 0x6002, TORVANE_ERROR_SENSE_6002 },
	{ 0x6200, TORVANE_ERROR_HEAD_POSITIONING }, // scan head positioning error
	{ 0x8001, TORVANE_ERROR_SENSE_8001 },
	{ 0x8002, TORVANE_ERROR_SENSE_8002 },
	{ 0x8003, TORVANE_ERROR_SENSE_8003 },
	{ 0x8004, TORVANE_ERROR_SENSE_8004 },
	{ 0x8005, TORVANE_ERROR_SENSE_8005 },
	{ 0x8009, TORVANE_ERROR_SENSE_8001 },
	{ 0x800A, TORVANE_ERROR_SENSE_800A },
	{ 0x800B, TORVANE_ERROR_SENSE_800B },
	{ 0x800C, TORVANE_ERROR_SENSE_800C },
	{ 0x8015, TORVANE_ERROR_SENSE_8015 },
	{ 0x9000, TORVANE_ERROR_INTERNAL_FAULT },
	{ 0xA001, TORVANE_ERROR_INTERNAL_FAULT },
} };

constexpr int32_t kUnlistedAdditionalSense = TORVANE_ERROR_GENERAL;

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
