// SPDX-License-Identifier: MIT
// The scanner's 128-byte non-volatile memory record: the fields that travel
// big-endian, the offsets the driver writes, and the records built from the
// caller's values.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace torvane::nvm {

inline constexpr size_t kNvmRecordSize = 128;

// The record as bytes. The driver and the front end hold it in host order;
// on the wire the fields of kNvmWireFields are big-endian.
using NvmBytes = std::array<uint8_t, kNvmRecordSize>;

// One multi-byte integer field of the record.
struct NvmField {
	uint8_t offset;
	uint8_t width; // 2 or 4
};

// Every integer field that is byte-swapped between wire and host order, on
// every read and on every write alike.
inline constexpr NvmField kNvmWireFields[] = {
	{ 0x00, 4 },
	{ 0x04, 4 },
	{ 0x08, 4 },
	{ 0x0C, 4 },
	{ 0x10, 2 }, // carried word 1
	{ 0x12, 2 }, // carried word 2
	{ 0x14, 2 }, // carried word 3
	{ 0x16, 2 }, // carried word 4
	{ 0x18, 2 }, // carried word 5
	{ 0x1A, 2 }, // carried word 6
	{ 0x1C, 2 }, // InitMonth, test word 1
	{ 0x1E, 2 }, // InitDay, test word 2
	{ 0x20, 2 }, // InitYear, test word 3
	{ 0x22, 2 }, // test word 4
	{ 0x24, 2 }, // test word 5
	{ 0x26, 2 }, // test word 6
	{ 0x28, 2 },
	{ 0x2A, 2 },
	{ 0x46, 2 },
	{ 0x49, 4 },
	{ 0x4D, 4 },
	{ 0x51, 4 },
};

// Offsets the driver reads or writes by name.
inline constexpr size_t kCarriedWords = 0x10;
inline constexpr size_t kCarriedWordsSize = 12;
inline constexpr size_t kInitMonth = 0x1C;
inline constexpr size_t kInitDay = 0x1E;
inline constexpr size_t kInitYear = 0x20;
inline constexpr size_t kTestWords = 0x1C; // six u16, 0x1C .. 0x26
inline constexpr size_t kTestWordCount = 6;
inline constexpr size_t kInitByte2C = 0x2C;
inline constexpr size_t kInitText = 0x2E;
inline constexpr size_t kInitTextSize = 24;
inline constexpr size_t kInitByte76 = 0x76;

// The NVM write qualifier of WriteNVMData, InitializeNVM and TestNVM.
inline constexpr uint16_t kNvmQualifierWhole = 0x0014;

// Wire order to host order after a read, and back before a write.
void toHostOrder(NvmBytes &record);
void toWireOrder(NvmBytes &record);

// A u16 in host order at `offset`.
uint16_t hostWord(const NvmBytes &record, size_t offset);
void setHostWord(NvmBytes &record, size_t offset, uint16_t value);

// ---------------------------------------------------------------------------
// InitializeNVM and CheckNVMData: the caller's NvmInitRecord (55 bytes used).

inline constexpr size_t kInitRecordUsed = 55;
inline constexpr size_t kInitRecordText = 4;
inline constexpr size_t kInitRecordByte47 = 47;
inline constexpr size_t kInitRecordByte54 = 54;

// The fresh record InitializeNVM writes: zero but for the six carried words
// of `stored`, the date, the caller's 24 text bytes and bytes 47 and 54 of
// the caller's record as far as its size field says they exist. `init` points
// to the caller's 55-byte record.
NvmBytes buildInitRecord(const uint8_t *init, const NvmBytes &stored, const platform::LocalTime &date);

// CheckNVMData's comparison: the caller's text up to and including its NUL,
// against the stored text. Both are 24 bytes; a text without a NUL compares
// all 24.
bool initTextMatches(const uint8_t *callerText, const NvmBytes &stored);

// TestNVM: the six test words set to 1 .. 6, and the check of a read-back.
void setTestWords(NvmBytes &record);
bool hasTestWords(const NvmBytes &record);

// ---------------------------------------------------------------------------
// SetNVRAMValue: what each kind writes and with which qualifier.

enum class NvmValueSource {
	Zero,	// 128 zero bytes; data and size are not used
	Data,	// the data from offset 0, the rest of the record zero
	Stored, // the stored record (read first) with the data placed at the offset
};

struct NvmValueKind {
	NvmValueSource source;
	uint8_t offset;
	uint16_t qualifier;
};

// Kinds 0 .. 10 in order; above 10 nothing is written.
inline constexpr NvmValueKind kNvmValueKinds[] = {
	/* 0 */ { NvmValueSource::Zero, 0x00, 0x0014 },
	/* 1 */ { NvmValueSource::Stored, 0x66, 0x0013 },
	/* 2 */ { NvmValueSource::Stored, 0x56, 0x0013 },
	/* 3 */ { NvmValueSource::Data, 0x00, 0x0011 },
	/* 4 */ { NvmValueSource::Data, 0x00, 0x0012 },
	/* 5 */ { NvmValueSource::Data, 0x00, 0x0013 },
	/* 6 */ { NvmValueSource::Data, 0x00, 0x0014 },
	/* 7 */ { NvmValueSource::Stored, 0x22, 0x0012 },
	/* 8 */ { NvmValueSource::Stored, 0x00, 0x0012 },
	/* 9 */ { NvmValueSource::Stored, 0x49, 0x0012 },
	/* 10 */ { NvmValueSource::Stored, 0x46, 0x0012 },
};

// The row of `kind`; null for a kind above 10.
const NvmValueKind *nvmValueKind(uint16_t kind);

// True when the data can be placed: it fits the record from the kind's
// offset, and it is not null unless it is empty. Kind 0 takes any data.
bool valueFits(const NvmValueKind &kind, const void *data, uint32_t size);

// Places the data (which must fit) into `record`: the stored record for
// Stored kinds; for the others `record` is cleared first.
void placeValue(NvmBytes &record, const NvmValueKind &kind, const void *data, uint32_t size);

} // namespace torvane::nvm
