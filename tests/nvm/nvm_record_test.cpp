// SPDX-License-Identifier: MIT
// The NVM record without a scanner: byte order, the record InitializeNVM
// builds and the text comparison. What the functions send is checked on the
// wire in nvm_device_test.cpp.

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
		{ 0, 0, 0 },
		{ 40, 0, 0 },
		{ 47, 0, 0 },
		{ 48, 0xA7, 0 },
		{ 54, 0xA7, 0 },
		{ 55, 0xA7, 0xB6 },
		{ 56, 0xA7, 0xB6 },
		{ 0xFFFFFFFF, 0xA7, 0xB6 },
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

} // namespace
