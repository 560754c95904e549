// SPDX-License-Identifier: MIT
// The ability records, filled field by field from the inquiry data.

#include "ability/ability_records.h"

#include <cstring>

#include "ability/capability_words.h"
#include "ability/inquiry.h"
#include "driver/debug_log.h"
#include "driver/driver_state.h"
#include "torvane_protocol/byte_order.h"

namespace torvane::ability {

namespace {

constexpr uint8_t kAbilityCode = 136;
constexpr uint8_t kAbilityCodeAlternative = 137;
constexpr uint8_t kKindFlagsAlways = 0x90;
constexpr uint8_t kKindFlagsCode1 = 0x40;
constexpr uint8_t kKindFlagsCode2Or5 = 0x20;
// The front ends expect the scan length less this allowance.
constexpr uint16_t kScanLengthAllowance = 12;

void logFixed(const char *text)
{
	driver::WriteDebugLog(driver::kMainLog, text, static_cast<uint32_t>(std::strlen(text)), 4);
}

uint16_t inquiryWord(const uint8_t *inquiry, size_t offset)
{
	return protocol::readBigEndian16(&inquiry[offset]);
}

uint16_t scanLength(const uint8_t *inquiry)
{
	return static_cast<uint16_t>(inquiryWord(inquiry, kInquiryScanLength) - kScanLengthAllowance);
}

uint8_t kindFlags(const uint8_t *inquiry)
{
	const uint8_t kind = scannerKindCode(inquiry);
	uint8_t flags = kKindFlagsAlways;
	if (kind == 1)
		flags |= kKindFlagsCode1;
	else if (kind == 2 || kind == 5)
		flags |= kKindFlagsCode2Or5;
	return flags;
}

// The vendor name without its blank padding: blanks are cut from the end,
// the eighth byte is always the terminator.
void copyVendor(const uint8_t *inquiry, char (&vendor)[8])
{
	std::memcpy(vendor, &inquiry[kInquiryVendor], 7);
	vendor[7] = '\0';
	for (int i = 6; i >= 0 && vendor[i] == ' '; --i)
		vendor[i] = '\0';
}

} // namespace

uint16_t inquiryResolution(const uint8_t *inquiry, unsigned index)
{
	if (inquiry[kInquiryFlags39] & 0x20)
		return inquiryWord(inquiry, kInquiryR1 + 2 * index);
	return static_cast<uint16_t>(inquiry[kInquiryResolution] * 100);
}

void InquiryToScannerAbility(const uint8_t *inquiry, ScannerAbility *record)
{
	logFixed("In   0 : InquiryToScannerAbility :");

	std::memcpy(record->ProductName, &inquiry[kInquiryProductId], 7);
	record->ProductName[7] = '\0';
	std::memcpy(record->Revision, &inquiry[kInquiryRevision], 3);
	record->Revision[3] = '\0';
	record->InquiryWord89 = inquiryWord(inquiry, kInquiryWord89);
	record->FirstResolution = inquiryResolution(inquiry, 2);
	record->SecondResolution = inquiryResolution(inquiry, 3);
	record->AbilityCode = (inquiry[60] & 0x40) ? kAbilityCodeAlternative : kAbilityCode;
	record->AlwaysOne = 1;
	record->KindFlags = kindFlags(inquiry);
	record->InquiryByte62 = inquiry[62];
	record->ScanWidth = inquiryWord(inquiry, kInquiryScanWidth);
	record->ScanLength = scanLength(inquiry);
	record->InquiryByte63 = inquiry[63];
	const uint8_t areaFlag = (inquiry[kInquiryFlags50] & 0x08) ? 0 : 1;
	record->AreaFlag32 = areaFlag;
	record->AreaFlag33 = areaFlag;

	logFixed("Out  0 : InquiryToScannerAbility :");
}

void InquiryToScannerAbilityEx(const uint8_t *inquiry, ScannerAbilityEx *record)
{
	logFixed("In  0 : InquiryToScannerAbilityEx :");

	std::memset(record, 0, sizeof(*record));
	copyVendor(inquiry, record->Vendor);
	std::memcpy(record->Product, &inquiry[kInquiryProductId], kInquiryProductIdSize);
	std::memcpy(record->Revision, &inquiry[kInquiryRevision], 4);
	for (uint8_t i = 0; i < 5; ++i)
		record->Sequence[i] = static_cast<uint8_t>(i + 1);

	const CapabilityWords words = decodeCapabilityWords(inquiry);
	record->CapabilityA = words.A;
	record->CapabilityB = words.B;
	record->CapabilityC = words.C;
	record->CapabilityD = words.D;
	record->CapabilityE = words.E;
	record->CapabilityF = words.F;

	record->ScanWidth = inquiryWord(inquiry, kInquiryScanWidth);
	record->ScanLength = scanLength(inquiry);
	record->InquiryWord89 = inquiryWord(inquiry, kInquiryWord89);
	for (unsigned i = 0; i < 4; ++i)
		record->Resolution[i] = inquiryResolution(inquiry, i);
	record->InquiryByte62 = inquiry[62];
	record->InquiryByte60 = inquiry[60];
	record->InquiryByte61 = inquiry[61];
	record->AlwaysFive = 5;
	record->InquiryByte57 = inquiry[57];
	record->InquiryByte55 = inquiry[55];
	record->InquiryByte54 = inquiry[54];
	record->InquiryByte58 = inquiry[58];
	record->InquiryByte59 = inquiry[59];
	record->InquiryByte56 = inquiry[56];
	record->InquiryWord75 = inquiryWord(inquiry, kInquiryWord75);
	record->ButtonCount = inquiry[kInquiryButtonCount];
	record->InquiryByte129 = inquiry[129];

	driver::driverState.maxReadBlock = kMaxReadBlock;
	driver::driverState.scannerWidth = record->ScanWidth;

	logFixed("Out  0 : InquiryToScannerAbilityEx :");
}

} // namespace torvane::ability
