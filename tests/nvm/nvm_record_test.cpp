// SPDX-License-Identifier: MIT
// The NVM record without a scanner: byte order, the record InitializeNVM
// builds, the text comparison, the test words and the SetNVRAMValue kinds.

#include <cstring>

#include <gtest/gtest.h>

#include "nvm/nvm_record.h"
#include "torvane/torvane.h"

using namespace torvane;
using namespace torvane::nvm;

namespace {

// Packed fields are read through a copy: a reference to one may be misaligned.
template<typename T>
T value(T field)
{
	return field;
}

NvmRecord asRecord(const NvmBytes &bytes)
{
	NvmRecord record;
	std::memcpy(&record, bytes.data(), sizeof(record));
	return record;
}

// A wire record whose every byte differs: byte i holds i.
NvmBytes countingRecord()
{
	NvmBytes bytes;
	for (size_t i = 0; i < bytes.size(); i++)
		bytes[i] = static_cast<uint8_t>(i);
	return bytes;
}

// A caller's NvmInitRecord as the front end lays it out.
struct InitBytes {
	uint8_t bytes[kInitRecordUsed] = {};

	InitBytes(uint32_t size, const char *text, uint8_t byte47, uint8_t byte54)
	{
		std::memcpy(bytes, &size, sizeof(size));
		std::strncpy(reinterpret_cast<char *>(bytes + 4), text, 24);
		bytes[47] = byte47;
		bytes[54] = byte54;
	}
};

TEST(NvmByteOrder, BigEndianFieldsReadInHostOrder)
{
	const NvmRecord host = [] {
		NvmBytes bytes = countingRecord();
		toHostOrder(bytes);
		return asRecord(bytes);
	}();
	EXPECT_EQ(value(host.Long00), 0x00010203u);
	EXPECT_EQ(value(host.Long04), 0x04050607u);
	EXPECT_EQ(value(host.Long08), 0x08090A0Bu);
	EXPECT_EQ(value(host.Long0C), 0x0C0D0E0Fu);
	EXPECT_EQ(value(host.CarriedWords[0]), 0x1011);
	EXPECT_EQ(value(host.CarriedWords[5]), 0x1A1B);
	EXPECT_EQ(value(host.InitMonth), 0x1C1D);
	EXPECT_EQ(value(host.InitYear), 0x2021);
	EXPECT_EQ(value(host.TestWord6), 0x2627);
	EXPECT_EQ(value(host.Word2A), 0x2A2B);
	EXPECT_EQ(value(host.Word46), 0x4647);
	EXPECT_EQ(value(host.Long49), 0x494A4B4Cu);
	EXPECT_EQ(value(host.Long4D), 0x4D4E4F50u);
	EXPECT_EQ(value(host.Long51), 0x51525354u);
}

TEST(NvmByteOrder, SingleBytesAndBlocksTravelUnchanged)
{
	NvmBytes bytes = countingRecord();
	toHostOrder(bytes);
	for (size_t i = 0x2C; i < 0x46; i++)
		EXPECT_EQ(bytes[i], i) << "offset " << i;
	EXPECT_EQ(bytes[0x48], 0x48);
	for (size_t i = 0x55; i < 0x80; i++)
		EXPECT_EQ(bytes[i], i) << "offset " << i;
}

TEST(NvmByteOrder, OddOffsetFields)
{
	NvmBytes bytes{};
	bytes[0x46] = 0x01;
	bytes[0x47] = 0x02;
	bytes[0x49] = 0x00;
	bytes[0x4A] = 0x00;
	bytes[0x4B] = 0x01;
	bytes[0x4C] = 0x00;
	toHostOrder(bytes);
	EXPECT_EQ(value(asRecord(bytes).Word46), 0x0102);
	EXPECT_EQ(value(asRecord(bytes).Long49), 256u);
}

TEST(NvmByteOrder, WireOrderUndoesHostOrder)
{
	const NvmBytes wire = countingRecord();
	NvmBytes bytes = wire;
	toHostOrder(bytes);
	EXPECT_NE(bytes, wire);
	toWireOrder(bytes);
	EXPECT_EQ(bytes, wire);

	// And a host value goes out big-endian.
	NvmBytes host{};
	const uint32_t value = 0x11223344;
	std::memcpy(&host[0x51], &value, sizeof(value));
	toWireOrder(host);
	EXPECT_EQ(host[0x51], 0x11);
	EXPECT_EQ(host[0x52], 0x22);
	EXPECT_EQ(host[0x53], 0x33);
	EXPECT_EQ(host[0x54], 0x44);
}

TEST(NvmInitRecord, DateTextAndCarriedWords)
{
	NvmBytes stored;
	stored.fill(0xEE);
	for (size_t i = 0; i < 6; i++)
		setHostWord(stored, kCarriedWords + 2 * i, static_cast<uint16_t>(0x1100 + i));
	const InitBytes init(55, "Front office", 0x47, 0x54);
	const platform::LocalTime date{ 2026, 12, 7, 23, 59, 58 };

	const NvmBytes fresh = buildInitRecord(init.bytes, stored, date);
	const NvmRecord record = asRecord(fresh);
	EXPECT_EQ(value(record.InitMonth), 12);
	EXPECT_EQ(value(record.InitDay), 7);
	EXPECT_EQ(value(record.InitYear), 2026);
	for (size_t i = 0; i < 6; i++)
		EXPECT_EQ(value(record.CarriedWords[i]), 0x1100 + i);
	EXPECT_EQ(std::memcmp(record.InitText, "Front office\0\0\0\0\0\0\0\0\0\0\0\0", 24), 0);
	EXPECT_EQ(value(record.Byte2C), 0x47);
	EXPECT_EQ(value(record.Byte76), 0x54);

	// Everything else is zero, also where the stored record held 0xEE.
	NvmBytes expected{};
	std::memcpy(&expected[kCarriedWords], &stored[kCarriedWords], kCarriedWordsSize);
	setHostWord(expected, kInitMonth, 12);
	setHostWord(expected, kInitDay, 7);
	setHostWord(expected, kInitYear, 2026);
	std::memcpy(&expected[kInitText], "Front office", 12);
	expected[0x2C] = 0x47;
	expected[0x76] = 0x54;
	EXPECT_EQ(fresh, expected);
}

TEST(NvmInitRecord, SizeDecidesBytes47And54ButNotTheText)
{
	const NvmBytes stored{};
	const platform::LocalTime date{ 2026, 1, 2, 0, 0, 0 };
	struct Case {
		uint32_t size;
		uint8_t byte2C;
		uint8_t byte76;
	};
	const Case cases[] = {
		{ 0, 0, 0 },      { 40, 0, 0 },     { 47, 0, 0 },      { 48, 0xA7, 0 },
		{ 54, 0xA7, 0 },  { 55, 0xA7, 0xB6 }, { 56, 0xA7, 0xB6 }, { 0xFFFFFFFF, 0xA7, 0xB6 },
	};
	for (const Case &c : cases) {
		const InitBytes init(c.size, "abc", 0xA7, 0xB6);
		const NvmRecord record = asRecord(buildInitRecord(init.bytes, stored, date));
		EXPECT_EQ(value(record.Byte2C), c.byte2C) << "size " << c.size;
		EXPECT_EQ(value(record.Byte76), c.byte76) << "size " << c.size;
		EXPECT_STREQ(record.InitText, "abc") << "size " << c.size;
	}
}

TEST(NvmInitText, ComparedUpToAndIncludingTheTerminator)
{
	auto storedWith = [](const char *text, size_t length) {
		NvmBytes stored{};
		std::memcpy(&stored[kInitText], text, length);
		return stored;
	};
	const uint8_t office[24] = "Office\0x";

	EXPECT_TRUE(initTextMatches(office, storedWith("Office\0y", 8)));
	EXPECT_FALSE(initTextMatches(office, storedWith("Offices", 7)));
	EXPECT_FALSE(initTextMatches(office, storedWith("Offica", 6)));
	EXPECT_FALSE(initTextMatches(office, NvmBytes{}));

	// An empty text matches an empty stored text only.
	const uint8_t empty[24] = {};
	EXPECT_TRUE(initTextMatches(empty, NvmBytes{}));
	EXPECT_FALSE(initTextMatches(empty, storedWith("A", 1)));

	// A text of 24 characters without a terminator compares all 24 bytes and
	// no further.
	uint8_t full[24];
	std::memset(full, 'Z', sizeof(full));
	NvmBytes stored = storedWith("ZZZZZZZZZZZZZZZZZZZZZZZZ", 24);
	stored[kInitText + 24] = 'Q';
	EXPECT_TRUE(initTextMatches(full, stored));
	stored[kInitText + 23] = 'Y';
	EXPECT_FALSE(initTextMatches(full, stored));
}

TEST(NvmTestWords, SetAndRecognised)
{
	NvmBytes record;
	record.fill(0x55);
	EXPECT_FALSE(hasTestWords(record));
	setTestWords(record);
	EXPECT_TRUE(hasTestWords(record));
	const NvmRecord words = asRecord(record);
	EXPECT_EQ(value(words.InitMonth), 1);
	EXPECT_EQ(value(words.InitDay), 2);
	EXPECT_EQ(value(words.InitYear), 3);
	EXPECT_EQ(value(words.TestWord4), 4);
	EXPECT_EQ(value(words.TestWord5), 5);
	EXPECT_EQ(value(words.TestWord6), 6);
	// Nothing outside the six words changes.
	EXPECT_EQ(record[0x1B], 0x55);
	EXPECT_EQ(record[0x28], 0x55);

	setHostWord(record, 0x24, 7);
	EXPECT_FALSE(hasTestWords(record));
}

TEST(NvmValueKinds, OffsetSourceAndQualifierOfEachKind)
{
	struct Row {
		uint16_t kind;
		NvmValueSource source;
		uint8_t offset;
		uint16_t qualifier;
	};
	const Row rows[] = {
		{ 0, NvmValueSource::Zero, 0x00, 0x14 },    { 1, NvmValueSource::Stored, 0x66, 0x13 },
		{ 2, NvmValueSource::Stored, 0x56, 0x13 },  { 3, NvmValueSource::Data, 0x00, 0x11 },
		{ 4, NvmValueSource::Data, 0x00, 0x12 },    { 5, NvmValueSource::Data, 0x00, 0x13 },
		{ 6, NvmValueSource::Data, 0x00, 0x14 },    { 7, NvmValueSource::Stored, 0x22, 0x12 },
		{ 8, NvmValueSource::Stored, 0x00, 0x12 },  { 9, NvmValueSource::Stored, 0x49, 0x12 },
		{ 10, NvmValueSource::Stored, 0x46, 0x12 },
	};
	for (const Row &row : rows) {
		const NvmValueKind *kind = nvmValueKind(row.kind);
		ASSERT_NE(kind, nullptr) << "kind " << row.kind;
		EXPECT_EQ(kind->source, row.source) << "kind " << row.kind;
		EXPECT_EQ(kind->offset, row.offset) << "kind " << row.kind;
		EXPECT_EQ(kind->qualifier, row.qualifier) << "kind " << row.kind;
	}
	EXPECT_EQ(nvmValueKind(11), nullptr);
	EXPECT_EQ(nvmValueKind(12), nullptr);
	EXPECT_EQ(nvmValueKind(0xFFFF), nullptr);
}

TEST(NvmValueKinds, DataMustFitFromItsOffset)
{
	const uint8_t data[130] = {};
	EXPECT_TRUE(valueFits(*nvmValueKind(3), data, 128));
	EXPECT_FALSE(valueFits(*nvmValueKind(3), data, 129));
	EXPECT_TRUE(valueFits(*nvmValueKind(1), data, 128 - 0x66));
	EXPECT_FALSE(valueFits(*nvmValueKind(1), data, 128 - 0x66 + 1));
	EXPECT_TRUE(valueFits(*nvmValueKind(9), data, 128 - 0x49));
	EXPECT_FALSE(valueFits(*nvmValueKind(9), data, 128 - 0x49 + 1));
	EXPECT_FALSE(valueFits(*nvmValueKind(8), data, 0xFFFFFFFF));
	// Null data only when there is nothing to take from it.
	EXPECT_TRUE(valueFits(*nvmValueKind(10), nullptr, 0));
	EXPECT_FALSE(valueFits(*nvmValueKind(10), nullptr, 2));
	// Kind 0 uses neither data nor size.
	EXPECT_TRUE(valueFits(*nvmValueKind(0), nullptr, 0xFFFFFFFF));
}

TEST(NvmValueKinds, PlacingData)
{
	NvmBytes stored;
	stored.fill(0xEE);
	const uint8_t data[4] = { 1, 2, 3, 4 };

	NvmBytes record = stored;
	placeValue(record, *nvmValueKind(9), data, 4);
	NvmBytes expected = stored;
	std::memcpy(&expected[0x49], data, 4);
	EXPECT_EQ(record, expected);

	// The data kinds start from zero: the rest of the record is zero.
	record = stored;
	placeValue(record, *nvmValueKind(4), data, 3);
	expected.fill(0);
	std::memcpy(&expected[0], data, 3);
	EXPECT_EQ(record, expected);

	record = stored;
	placeValue(record, *nvmValueKind(0), data, 4);
	EXPECT_EQ(record, NvmBytes{});

	// Data that reaches the last byte of the record.
	uint8_t tail[26];
	std::memset(tail, 0x77, sizeof(tail));
	record = stored;
	placeValue(record, *nvmValueKind(1), tail, sizeof(tail));
	EXPECT_EQ(record[0x65], 0xEE);
	EXPECT_EQ(record[0x66], 0x77);
	EXPECT_EQ(record[0x7F], 0x77);
}

} // namespace
