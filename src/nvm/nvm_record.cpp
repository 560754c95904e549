// SPDX-License-Identifier: MIT
// The NVM record's byte order and the records built for the maintenance
// functions.

#include "nvm/nvm_record.h"

#include <algorithm>
#include <cstring>

#include "torvane_protocol/byte_order.h"

namespace torvane::nvm {

using protocol::readBigEndian16;
using protocol::readBigEndian32;
using protocol::writeBigEndian16;
using protocol::writeBigEndian32;

// The fields are read and written through memcpy: several lie at odd offsets,
// and the host order is whatever the host's is.
void toHostOrder(NvmBytes &record)
{
	for (const NvmField &field : kNvmWireFields) {
		uint8_t *bytes = &record[field.offset];
		if (field.width == 2) {
			const uint16_t value = readBigEndian16(bytes);
			std::memcpy(bytes, &value, sizeof(value));
		} else {
			const uint32_t value = readBigEndian32(bytes);
			std::memcpy(bytes, &value, sizeof(value));
		}
	}
}

void toWireOrder(NvmBytes &record)
{
	for (const NvmField &field : kNvmWireFields) {
		uint8_t *bytes = &record[field.offset];
		if (field.width == 2) {
			uint16_t value;
			std::memcpy(&value, bytes, sizeof(value));
			writeBigEndian16(bytes, value);
		} else {
			uint32_t value;
			std::memcpy(&value, bytes, sizeof(value));
			writeBigEndian32(bytes, value);
		}
	}
}

uint16_t hostWord(const NvmBytes &record, size_t offset)
{
	uint16_t value;
	std::memcpy(&value, &record[offset], sizeof(value));
	return value;
}

void setHostWord(NvmBytes &record, size_t offset, uint16_t value)
{
	std::memcpy(&record[offset], &value, sizeof(value));
}

NvmBytes buildInitRecord(const uint8_t *init, const NvmBytes &stored, const platform::LocalTime &date)
{
	// Bytes 47 and 54 count only as far as the caller's size field reaches:
	// they come from a zeroed copy of at most 55 bytes of the record.
	uint32_t size;
	std::memcpy(&size, init, sizeof(size));
	uint8_t work[kInitRecordUsed] = {};
	std::memcpy(work, init, std::min<size_t>(size, kInitRecordUsed));

	NvmBytes record{};
	std::memcpy(&record[kCarriedWords], &stored[kCarriedWords], kCarriedWordsSize);
	setHostWord(record, kInitMonth, date.month);
	setHostWord(record, kInitDay, date.day);
	setHostWord(record, kInitYear, date.year);
	// The text is taken whatever the size says.
	std::memcpy(&record[kInitText], init + kInitRecordText, kInitTextSize);
	record[kInitByte2C] = work[kInitRecordByte47];
	record[kInitByte76] = work[kInitRecordByte54];
	return record;
}

bool initTextMatches(const uint8_t *callerText, const NvmBytes &stored)
{
	for (size_t i = 0; i < kInitTextSize; i++) {
		if (callerText[i] != stored[kInitText + i])
			return false;
		if (callerText[i] == 0)
			return true;
	}
	return true;
}

void setTestWords(NvmBytes &record)
{
	for (size_t i = 0; i < kTestWordCount; i++)
		setHostWord(record, kTestWords + 2 * i, static_cast<uint16_t>(i + 1));
}

bool hasTestWords(const NvmBytes &record)
{
	for (size_t i = 0; i < kTestWordCount; i++) {
		if (hostWord(record, kTestWords + 2 * i) != i + 1)
			return false;
	}
	return true;
}

const NvmValueKind *nvmValueKind(uint16_t kind)
{
	if (kind >= std::size(kNvmValueKinds))
		return nullptr;
	return &kNvmValueKinds[kind];
}

bool valueFits(const NvmValueKind &kind, const void *data, uint32_t size)
{
	if (kind.source == NvmValueSource::Zero)
		return true;
	if (size > kNvmRecordSize - kind.offset)
		return false;
	return data != nullptr || size == 0;
}

void placeValue(NvmBytes &record, const NvmValueKind &kind, const void *data, uint32_t size)
{
	if (kind.source != NvmValueSource::Stored)
		record.fill(0);
	if (kind.source == NvmValueSource::Zero || size == 0)
		return;
	std::memcpy(&record[kind.offset], data, size);
}

} // namespace torvane::nvm
