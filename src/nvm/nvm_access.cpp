// SPDX-License-Identifier: MIT
// Reading and writing the NVM record on the scanner, and the maintenance
// functions built on them.

#include "nvm/nvm_access.h"

#include <cstring>

#include "driver/call_pattern.h"
#include "driver/driver_state.h"
#include "platform/platform.h"
#include "torvane/torvane.h"
#include "transport/commands.h"
#include "transport/transport.h"

namespace torvane::nvm {

namespace {

int writeRecord(const NvmBytes &record, uint16_t qualifier)
{
	NvmBytes wire = record;
	toWireOrder(wire);
	return transport::SendDataBlock(wire.data(), kNvmRecordSize, transport::kSendNvm, qualifier);
}

// The stored record through the exported ReadNVMData, so that its own log
// lines appear between those of the caller. The record stays all zero when
// the lock is refused.
int readStoredRecord(NvmBytes &record)
{
	NvmRecord stored{};
	const int result = ReadNVMData(&stored);
	std::memcpy(record.data(), &stored, kNvmRecordSize);
	return result;
}

} // namespace

int ReadNvmRecord(NvmBytes &record)
{
	const transport::CommandBlock block = transport::read10Block(transport::kReadNvm, kNvmRecordSize);
	const int result = transport::SendCommand(block.data(), record.data(), kNvmRecordSize, 0);
	toHostOrder(record);
	return result;
}

int WriteNvmRecord(const NvmBytes &record)
{
	return writeRecord(record, kNvmQualifierWhole);
}

int SendNvmRecord(const NvmBytes &record, uint16_t qualifier)
{
	return driver::withDeviceLock([&] { return writeRecord(record, qualifier); });
}

int readNvmData(NvmBytes &record)
{
	record.fill(0);
	return ReadNvmRecord(record);
}

int initializeNvm(const uint8_t *init)
{
	// Also over a record that cannot be read: this is what writes a fresh
	// one. The carried words are then zero.
	NvmBytes stored{};
	readStoredRecord(stored);
	const NvmBytes fresh = buildInitRecord(init, stored, platform::localTime());
	return driver::withDeviceLock([&] { return WriteNvmRecord(fresh); });
}

int testNvm()
{
	NvmBytes saved{};
	if (!readStoredRecord(saved))
		return 0;

	NvmBytes test = saved;
	setTestWords(test);
	if (!driver::withDeviceLock([&] { return WriteNvmRecord(test); }))
		return 0;

	// A read-back that fails compares as a difference.
	NvmBytes readBack{};
	readStoredRecord(readBack);
	const bool stored = hasTestWords(readBack);

	// The saved record goes back in either case, so that the test words never
	// stay in the memory.
	const int restored = driver::withDeviceLock([&] { return WriteNvmRecord(saved); });
	if (!stored && restored)
		driver::setLastError(TORVANE_ERROR_GENERAL);
	return restored;
}

int checkNvmData(const uint8_t *init)
{
	NvmBytes stored{};
	const int result = readStoredRecord(stored);
	// Without a record there is nothing to compare: the read's own code
	// stands rather than a mismatch against zeros.
	if (result && !initTextMatches(init + kInitRecordText, stored))
		driver::setLastError(TORVANE_ERROR_GENERAL);
	return result;
}

int setNvramValue(const void *data, uint32_t size, uint16_t kind)
{
	const NvmValueKind *row = nvmValueKind(kind);
	if (!row || !valueFits(*row, data, size)) {
		driver::setLastError(TORVANE_ERROR_ILLEGAL_REQUEST);
		return 0;
	}

	NvmBytes record{};
	// A value is never placed into a record that was not read: that would
	// replace the stored values with zeros.
	if (row->source == NvmValueSource::Stored && !readStoredRecord(record))
		return 0;
	placeValue(record, *row, data, size);
	return SendNvmRecord(record, row->qualifier);
}

} // namespace torvane::nvm
