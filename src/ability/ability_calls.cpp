// SPDX-License-Identifier: MIT
// GetScannerAbility, GetScannerAbilityEx, InitializeScanner and the status
// calls, without their entry and exit lines.

#include "ability/ability_calls.h"

#include <cstring>

#include "ability/ability_records.h"
#include "ability/inquiry.h"
#include "ability/model_name.h"
#include "driver/driver_state.h"
#include "transport/commands.h"
#include "transport/transport.h"

namespace torvane::ability {

namespace {

// The NVM read both ability calls send after the inquiry: its data are
// thrown away, only a good status counts.
int readNvmScratch()
{
	uint8_t scratch[transport::kNvmRecordLength] = {};
	const transport::CommandBlock block =
		transport::read10Block(transport::kReadNvm, transport::kNvmRecordLength);
	return transport::SendCommand(block.data(), scratch, transport::kNvmRecordLength, 0);
}

void setStatusBytes(uint8_t *status1, uint8_t *status2, uint8_t *status3)
{
	for (uint8_t *status : { status1, status2, status3 }) {
		if (status)
			*status = 0;
	}
}

int32_t takeLastError()
{
	return driver::driverState.LastErrorCode.exchange(0);
}

} // namespace

void prepareScannerAbility(ScannerAbility *record)
{
	std::memset(record, 0, sizeof(*record));
}

int readScannerAbility(ScannerAbility *record)
{
	// inquiryData is cleared here, under the device lock, and not before the
	// lock is taken: a second thread of the process may be filling it.
	std::memset(driver::driverState.inquiryData, 0, sizeof(driver::driverState.inquiryData));
	if (!Inquiry(driver::driverState.inquiryData))
		return 0;
	if (!readNvmScratch())
		return 0;
	InquiryToScannerAbility(driver::driverState.inquiryData, record);
	return 1;
}

int readScannerAbilityEx(ScannerAbilityEx *record)
{
	std::memset(driver::driverState.inquiryData, 0, sizeof(driver::driverState.inquiryData));
	if (!Inquiry(driver::driverState.inquiryData))
		return 0;
	if (!readNvmScratch())
		return 0;
	InquiryToScannerAbilityEx(driver::driverState.inquiryData, record);
	// The terminators come from the clearing in the decoding.
	std::memcpy(record->Interface, "USB 2.0", 7);
	std::memcpy(record->Bus, "USB", 3);
	return 1;
}

int initializeScanner()
{
	const int inquired = Inquiry(driver::driverState.modelInquiry);
	// A failed inquiry leaves whatever the buffer held; the check runs anyway
	// and a mismatch is the code the front end sees.
	const bool matched = MatchModelName(&driver::driverState.modelInquiry[kInquiryProductId]);
	int result = 1;
	if (!inquired) {
		driver::setLastError(TORVANE_ERROR_INQUIRY_FAILED);
		result = 0;
	}
	if (!matched) {
		driver::setLastError(TORVANE_ERROR_NO_SCANNER);
		result = 0;
	}
	return result;
}

void takeScannerStatus(uint8_t *status1, uint8_t *status2, uint8_t *status3, uint8_t *errorCode)
{
	setStatusBytes(status1, status2, status3);
	if (errorCode)
		*errorCode = static_cast<uint8_t>(takeLastError() & 0xFF);
}

int32_t takeScannerStatusEx(uint8_t *status1, uint8_t *status2, uint8_t *status3, int32_t *errorCode)
{
	setStatusBytes(status1, status2, status3);
	if (!errorCode)
		return 0;
	*errorCode = takeLastError();
	return *errorCode;
}

} // namespace torvane::ability
