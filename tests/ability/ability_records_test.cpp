// SPDX-License-Identifier: MIT
// The two ability records decoded from crafted inquiry data, byte for byte,
// and every capability bit.

#include <array>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "ability/ability_records.h"
#include "ability/capability_words.h"
#include "ability/inquiry.h"
#include "driver/driver_state.h"
#include "support/test_environment.h"

using namespace torvane;
using namespace torvane::ability;

namespace {

using Inquiry = std::array<uint8_t, kInquirySize>;

void put16(Inquiry &inquiry, size_t offset, uint16_t value)
{
	inquiry[offset] = static_cast<uint8_t>(value >> 8);
	inquiry[offset + 1] = static_cast<uint8_t>(value);
}

void putText(Inquiry &inquiry, size_t offset, const char *text)
{
	std::memcpy(&inquiry[offset], text, std::strlen(text));
}

// Expected records are written byte by byte, little-endian, at the offsets the
// front ends read.
template<size_t N>
struct Expected {
	std::array<uint8_t, N> bytes{};
	void u8(size_t offset, uint8_t value) { bytes[offset] = value; }
	void u16(size_t offset, uint16_t value)
	{
		bytes[offset] = static_cast<uint8_t>(value);
		bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
	}
	void u32(size_t offset, uint32_t value)
	{
		for (size_t i = 0; i < 4; ++i)
			bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
	}
	void text(size_t offset, const char *value) { std::memcpy(&bytes[offset], value, std::strlen(value)); }
};

template<typename Record>
std::vector<uint8_t> bytesOf(const Record &record)
{
	const auto *begin = reinterpret_cast<const uint8_t *>(&record);
	return std::vector<uint8_t>(begin, begin + sizeof(record));
}

template<size_t N>
std::vector<uint8_t> bytesOf(const Expected<N> &expected)
{
	return std::vector<uint8_t>(expected.bytes.begin(), expected.bytes.end());
}

// An inquiry in which every byte the records read has a distinct value.
Inquiry craftedInquiry()
{
	Inquiry inquiry{};
	for (size_t i = 0; i < 8; ++i)
		inquiry[i] = 0xEE; // the standard header is not read
	putText(inquiry, 8, "TORV    ");
	putText(inquiry, 16, "RM735-DUPLEX");
	putText(inquiry, 32, "1.23");
	inquiry[36] = 0x10; // kind code 1
	inquiry[38] = 6;
	inquiry[39] = 0x20; // explicit resolutions
	put16(inquiry, 40, 150);
	put16(inquiry, 42, 300);
	put16(inquiry, 44, 600);
	put16(inquiry, 46, 1200);
	for (uint8_t i = 54; i <= 63; ++i)
		inquiry[i] = static_cast<uint8_t>(0xA0 + i - 54);
	put16(inquiry, 75, 0x1234);
	put16(inquiry, 81, 2550);
	put16(inquiry, 83, 3508);
	put16(inquiry, 89, 0xBEEF);
	inquiry[92] = 4;
	inquiry[129] = 0x77;
	return inquiry;
}

class AbilityRecordTest : public ::testing::Test
{
protected:
	void SetUp() override
	{
		test::removeConfig();
		test::attachDriver();
		driver::driverState.maxReadBlock = 0;
		driver::driverState.scannerWidth = 0;
	}
	ScannerAbility basic(const Inquiry &inquiry)
	{
		ScannerAbility record{};
		InquiryToScannerAbility(inquiry.data(), &record);
		return record;
	}
	ScannerAbilityEx extended(const Inquiry &inquiry)
	{
		ScannerAbilityEx record;
		std::memset(&record, 0x5A, sizeof(record));
		InquiryToScannerAbilityEx(inquiry.data(), &record);
		return record;
	}
};

TEST_F(AbilityRecordTest, BasicRecordIsByteExact)
{
	Expected<44> expected;
	expected.text(0, "RM735-D");
	expected.text(8, "1.2");
	expected.u16(12, 0xBEEF);
	expected.u16(14, 600);	// R3
	expected.u16(16, 1200); // R4
	expected.u8(18, 136);	// byte 60 = 0xA6: bit 6 clear
	expected.u8(19, 1);
	expected.u8(20, 0xD0); // kind code 1
	expected.u8(21, 0xA8); // byte 62
	expected.u16(22, 2550);
	expected.u16(24, 3496);
	expected.u8(31, 0xA9); // byte 63
	expected.u8(32, 1);
	expected.u8(33, 1);
	EXPECT_EQ(bytesOf(basic(craftedInquiry())), bytesOf(expected));
}

TEST_F(AbilityRecordTest, BasicRecordFieldRules)
{
	Inquiry inquiry{};
	inquiry[38] = 6; // byte 39 bit 5 clear: one resolution for both fields
	put16(inquiry, 83, 0x0005);
	inquiry[50] = 0x08;
	inquiry[60] = 0x40;
	ScannerAbility record = basic(inquiry);
	EXPECT_EQ(record.AbilityCode, 137);
	inquiry[60] = 0xBF;
	record = basic(inquiry);
	EXPECT_EQ(record.FirstResolution, 600);
	EXPECT_EQ(record.SecondResolution, 600);
	EXPECT_EQ(record.ScanLength, 0xFFF9);
	EXPECT_EQ(record.AbilityCode, 136);
	EXPECT_EQ(record.AreaFlag32, 0);
	EXPECT_EQ(record.AreaFlag33, 0);

	const std::pair<uint8_t, uint8_t> kinds[] = {
		{ 0, 0x90 },
		{ 1, 0xD0 },
		{ 2, 0xB0 },
		{ 3, 0x90 },
		{ 4, 0x90 },
		{ 5, 0xB0 },
		{ 6, 0x90 },
		{ 7, 0x90 },
	};
	for (auto [kind, flags] : kinds) {
		// Bits outside 4-6 of byte 36 do not belong to the kind code.
		inquiry[36] = static_cast<uint8_t>(kind << 4 | 0x8F);
		EXPECT_EQ(basic(inquiry).KindFlags, flags) << "kind code " << int(kind);
	}
}

TEST_F(AbilityRecordTest, BasicRecordKeepsFieldsItDoesNotFill)
{
	ScannerAbility record;
	std::memset(&record, 0x33, sizeof(record));
	const Inquiry inquiry = craftedInquiry();
	InquiryToScannerAbility(inquiry.data(), &record);
	EXPECT_EQ(record.Reserved26, 0x3333);
	EXPECT_EQ(record.Reserved30, 0x33);
	EXPECT_EQ(record.Reserved34[9], 0x33);
	EXPECT_EQ(record.ProductName[7], '\0');
	EXPECT_EQ(record.Revision[3], '\0');
}

TEST_F(AbilityRecordTest, ExtendedRecordIsByteExact)
{
	Expected<148> expected;
	expected.text(0, "TORV");
	expected.text(12, "RM735-DUPLEX");
	expected.text(32, "1.23");
	for (uint8_t i = 0; i < 5; ++i)
		expected.u8(60 + i, i + 1);
	// Flag bytes all 0 apart from 39 bit 5 and kind code 1.
	expected.u32(68, 0x37D8005);
	expected.u32(72, 0x83418BF7);
	expected.u16(80, 2550);
	expected.u16(82, 3496);
	expected.u16(88, 0xBEEF);
	expected.u16(90, 150);
	expected.u16(92, 300);
	expected.u16(94, 600);
	expected.u16(96, 1200);
	expected.u16(98, 0x00C0);
	expected.u16(100, 0xA8); // byte 62
	expected.u8(104, 0xA6);	 // byte 60
	expected.u8(105, 0xA7);	 // byte 61
	expected.u8(106, 5);
	expected.u8(108, 0xA3); // byte 57
	expected.u8(109, 0xA1); // byte 55
	expected.u8(110, 0xA0); // byte 54
	expected.u8(111, 0xA4); // byte 58
	expected.u8(112, 0xA5); // byte 59
	expected.u8(113, 0xA2); // byte 56
	expected.u32(116, 0x40000);
	expected.u32(120, 0x800);
	expected.u16(128, 0x1234);
	expected.u8(130, 4);
	expected.u8(134, 0x77);
	expected.u32(136, 0xA00);
	EXPECT_EQ(bytesOf(extended(craftedInquiry())), bytesOf(expected));
	EXPECT_EQ(driver::driverState.maxReadBlock, 524288u);
	EXPECT_EQ(driver::driverState.scannerWidth, 2550u);
}

TEST_F(AbilityRecordTest, ExtendedRecordOneResolutionForAllFour)
{
	Inquiry inquiry{};
	inquiry[38] = 3;
	put16(inquiry, 40, 1111); // ignored without byte 39 bit 5
	put16(inquiry, 83, 0x0005);
	const ScannerAbilityEx record = extended(inquiry);
	for (int i = 0; i < 4; ++i)
		EXPECT_EQ(record.Resolution[i], 300);
	EXPECT_EQ(record.ScanLength, 0xFFF9);
}

TEST_F(AbilityRecordTest, VendorLosesItsTrailingBlanks)
{
	auto vendorOf = [this](const char *vendor) {
		Inquiry inquiry{};
		putText(inquiry, 8, vendor);
		const ScannerAbilityEx record = extended(inquiry);
		return std::vector<uint8_t>(record.Vendor, record.Vendor + 8);
	};
	EXPECT_EQ(vendorOf("ABC     "), (std::vector<uint8_t>{ 'A', 'B', 'C', 0, 0, 0, 0, 0 }));
	EXPECT_EQ(vendorOf("        "), std::vector<uint8_t>(8, 0));
	// Inner blanks stay; the eighth character is never copied.
	EXPECT_EQ(vendorOf("A B CDEF"), (std::vector<uint8_t>{ 'A', ' ', 'B', ' ', 'C', 'D', 'E', 0 }));
}

TEST_F(AbilityRecordTest, ProductKeepsAllSixteenBytes)
{
	Inquiry inquiry{};
	putText(inquiry, 16, "ABCDEFGHIJKLMNOP");
	const ScannerAbilityEx record = extended(inquiry);
	EXPECT_EQ(std::string(record.Product, 16), "ABCDEFGHIJKLMNOP");
	EXPECT_EQ(std::vector<uint8_t>(record.Reserved28, record.Reserved28 + 4), std::vector<uint8_t>(4, 0));
	EXPECT_EQ(std::string(basic(inquiry).ProductName), "ABCDEFG");
}

// The capability words of an inquiry whose flag bytes are all zero.
constexpr uint32_t kA = 0x37D8005;
constexpr uint32_t kB = 0x83418BF7;
constexpr uint32_t kC = 0x0080;
constexpr uint32_t kD = 0x40000;
constexpr uint32_t kE = 0x800;

TEST_F(AbilityRecordTest, AllZeroFlagsGiveTheBaseWords)
{
	const CapabilityWords words = decodeCapabilityWords(Inquiry{}.data());
	EXPECT_EQ(words.A, kA);
	EXPECT_EQ(words.B, kB);
	EXPECT_EQ(words.C, kC);
	EXPECT_EQ(words.D, kD);
	EXPECT_EQ(words.E, kE);
	EXPECT_EQ(words.F, 0xA00u);
}

struct BitCase {
	size_t byte;
	uint8_t value;
	uint32_t A, B, C, D, E;
};

// One row per inquiry condition: the byte value set (everything else 0) and
// the five words expected.
const BitCase kBitCases[] = {
	{ 39, 0x80, kA & ~0x5u, kB & ~0x1000000u, kC, kD, kE },
	{ 39, 0x40, kA & ~0x100000u, kB, kC, kD, kE },
	{ 39, 0x10, kA, kB, kC, kD | 0x2, kE },
	{ 39, 0x01, kA, kB, kC, kD | 0x200, kE },
	{ 39, 0x02, kA, kB, kC, kD | 0x200, kE },
	{ 50, 0x80, kA | 0x10000000, kB | 0x300000, kC, kD, kE },
	{ 50, 0x40, kA | 0x800000, kB | 0x78000000, kC, kD, kE },
	{ 50, 0x10, kA, kB | 0x2000, kC, kD | 0x2, kE },
	{ 50, 0x08, kA & ~0x4C0000u, kB, kC, kD, kE },
	{ 50, 0x01, kA | 0x4000000, kB, kC, kD, kE },
	{ 51, 0x80, kA | 0x2, kB, kC, kD, kE },
	{ 51, 0x40, kA | 0x200, kB, kC, kD, kE },
	{ 51, 0x20, kA | 0x100, kB, kC, kD, kE },
	{ 51, 0x10, kA | 0x20000000, kB, kC, kD, kE },
	{ 51, 0x08, kA | 0x9, kB, kC, kD, kE },
	{ 51, 0x02, kA, kB, kC, kD | 0x800, kE | 0x1000 },
	{ 51, 0x01, kA, kB, kC, kD | 0x8, kE },
	{ 52, 0x80, kA | 0x10, kB, kC, kD, kE },
	{ 52, 0x40, kA | 0x80, kB, kC, kD, kE },
	{ 52, 0x10, kA | 0x1000, kB, kC, kD, kE | 0x1 },
	{ 52, 0x08, kA | 0x2000, kB, kC, kD, kE },
	{ 52, 0x02, kA | 0x4000, kB, kC, kD, kE | 0x80000000 },
	{ 52, 0x01, kA, kB, kC, kD | 0x80, kE | 0x4 },
	{ 93, 0x80, kA, kB, kC, kD | 0x20, kE | 0x8 },
	{ 93, 0x20, kA | 0x10, kB, kC, kD, kE },
	{ 93, 0x10, kA, kB, kC, kD, kE | 0x430 },
	{ 93, 0x08, kA, kB, kC, kD | 0x60, kE | 0x40 },
	{ 93, 0x04, kA, kB, kC, kD | 0x100, kE },
	{ 93, 0x02, kA, kB, kC, kD | 0x400, kE | 0x10 },
	{ 93, 0x01, kA, kB, kC, kD | 0x1000, kE },
	{ 94, 0x40, kA, kB, kC, kD | 0x10, kE },
	{ 94, 0x02, kA, kB, kC, kD, kE | 0x100 },
	{ 95, 0x40, kA, kB, kC, kD, kE | 0x4000 },
	{ 128, 0x40, kA, kB, kC | 0x10, kD | 0x800000, kE },
	{ 128, 0x20, kA, kB, kC, kD | 0x2000000, kE },
	{ 36, 0x10, kA, kB, kC | 0x40, kD, kE },
	{ 36, 0x20, kA, kB, kC | 0x20, kD, kE },
	{ 36, 0x50, kA, kB, kC | 0x20, kD, kE },
	{ 36, 0x30, kA, kB, kC, kD, kE },
	// Bits that feed no word.
	{ 39, 0x24, kA, kB, kC, kD, kE },
	{ 50, 0x26, kA, kB, kC, kD, kE },
	{ 51, 0x04, kA, kB, kC, kD, kE },
	{ 52, 0x24, kA, kB, kC, kD, kE },
	{ 93, 0x40, kA, kB, kC, kD, kE },
	{ 94, 0xBD, kA, kB, kC, kD, kE },
	{ 95, 0xBF, kA, kB, kC, kD, kE },
	{ 128, 0x9F, kA, kB, kC, kD, kE },
};

TEST_F(AbilityRecordTest, EveryCapabilityBit)
{
	for (const BitCase &row : kBitCases) {
		Inquiry inquiry{};
		inquiry[row.byte] = row.value;
		const ScannerAbilityEx record = extended(inquiry);
		SCOPED_TRACE(::testing::Message() << "byte " << row.byte << " = 0x" << std::hex << int(row.value));
		EXPECT_EQ(record.CapabilityA, row.A);
		EXPECT_EQ(record.CapabilityB, row.B);
		EXPECT_EQ(record.CapabilityC, row.C);
		EXPECT_EQ(record.CapabilityD, row.D);
		EXPECT_EQ(record.CapabilityE, row.E);
		EXPECT_EQ(record.CapabilityF, 0xA00u);
	}
}

TEST_F(AbilityRecordTest, BothBytes87And88MustBe0xFF)
{
	Inquiry inquiry{};
	inquiry[87] = 0xFF;
	EXPECT_EQ(extended(inquiry).CapabilityA, kA);
	inquiry[87] = 0;
	inquiry[88] = 0xFF;
	EXPECT_EQ(extended(inquiry).CapabilityA, kA);
	inquiry[87] = 0xFF;
	EXPECT_EQ(extended(inquiry).CapabilityA, kA | 0x400);
}

TEST_F(AbilityRecordTest, EveryFlagSetAtOnce)
{
	Inquiry inquiry{};
	for (size_t byte : { 39, 50, 51, 52, 93, 94, 95, 128 })
		inquiry[byte] = 0xFF;
	inquiry[36] = 0x50;
	inquiry[87] = inquiry[88] = 0xFF;
	const CapabilityWords words = decodeCapabilityWords(inquiry.data());
	EXPECT_EQ(words.A, 0x3218000u | 0x10000000 | 0x800000 | 0x4000000 | 0x2 | 0x200 | 0x100 | 0x20000000 | 0x9 |
				   0x10 | 0x80 | 0x1000 | 0x2000 | 0x4000 | 0x400);
	EXPECT_EQ(words.B, 0x82418BF7u | 0x300000 | 0x78000000 | 0x2000);
	EXPECT_EQ(words.C, 0x0080 | 0x0020 | 0x0010);
	EXPECT_EQ(words.D, 0x40000u | 0x2 | 0x200 | 0x800 | 0x8 | 0x80 | 0x20 | 0x60 | 0x100 | 0x400 | 0x1000 | 0x10 |
				   0x800000 | 0x2000000);
	EXPECT_EQ(words.E, 0x800u | 0x1000 | 0x1 | 0x80000000 | 0x4 | 0x8 | 0x430 | 0x40 | 0x10 | 0x100 | 0x4000);
}

TEST(AbilityConversionLog, FixedLinesAtLevelFour)
{
	test::TempDir dir;
	test::configureLogging(4, dir.path() + "/");
	test::attachDriver();
	const Inquiry inquiry{};
	ScannerAbility basicRecord{};
	ScannerAbilityEx extendedRecord{};
	InquiryToScannerAbility(inquiry.data(), &basicRecord);
	InquiryToScannerAbilityEx(inquiry.data(), &extendedRecord);
	EXPECT_EQ(test::readFile(dir.file("quorDll.txt")),
		  "\r\nIn   0 : InquiryToScannerAbility :\r\nOut  0 : InquiryToScannerAbility :"
		  "\r\nIn  0 : InquiryToScannerAbilityEx :\r\nOut  0 : InquiryToScannerAbilityEx :");

	test::configureLogging(3, dir.path() + "/");
	test::attachDriver();
	std::remove(dir.file("quorDll.txt").c_str());
	InquiryToScannerAbilityEx(inquiry.data(), &extendedRecord);
	EXPECT_FALSE(test::exists(dir.file("quorDll.txt")));
}

} // namespace
