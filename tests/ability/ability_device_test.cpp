// SPDX-License-Identifier: MIT
// The ability calls and InitializeScanner against a simulated scanner: the
// commands sent, the records filled, and every failure path.

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ability/inquiry.h"
#include "driver/device_lock.h"
#include "driver/driver_state.h"
#include "support/scanner_fixture.h"
#include "torvane/torvane.h"
#include "transport/commands.h"

using namespace torvane;
using sim::FaultRule;

namespace {

using Bytes = std::vector<uint8_t>;

template<typename Record>
Bytes bytesOf(const Record &record)
{
	const auto *begin = reinterpret_cast<const uint8_t *>(&record);
	return Bytes(begin, begin + sizeof(record));
}

// An inquiry in which every flag bit the ability records read is set, and
// every value field is distinct.
sim::InquiryData everyBitInquiry()
{
	sim::InquiryData inquiry{};
	std::memcpy(&inquiry[8], "TORVANE ", 8);
	std::memcpy(&inquiry[16], "RM735", 5);
	std::memcpy(&inquiry[32], "2.01", 4);
	inquiry[36] = 0x20; // kind code 2
	inquiry[38] = 6;
	for (size_t byte : { 39, 50, 51, 52, 93, 94, 95, 128 })
		inquiry[byte] = 0xFF;
	const uint8_t resolutions[] = { 0x00, 0x96, 0x01, 0x2C, 0x02, 0x58, 0x04, 0xB0 };
	std::memcpy(&inquiry[40], resolutions, sizeof(resolutions));
	for (uint8_t i = 54; i <= 63; ++i)
		inquiry[i] = static_cast<uint8_t>(0xB0 + i - 54);
	inquiry[75] = 0x0A;
	inquiry[76] = 0x0B;
	inquiry[81] = 0x09; // 2550
	inquiry[82] = 0xF6;
	inquiry[83] = 0x0E; // 3800
	inquiry[84] = 0xD8;
	inquiry[87] = inquiry[88] = 0xFF;
	inquiry[89] = 0x12;
	inquiry[90] = 0x34;
	inquiry[92] = 2;
	inquiry[129] = 0x99;
	return inquiry;
}

class AbilityDeviceTest : public test::ScannerTest
{
protected:
	void SetUp() override
	{
		test::ScannerTest::SetUp();
		driver::setLockWaitMs(200);
	}
	std::vector<Bytes> blocks() const
	{
		std::vector<Bytes> result;
		for (const auto &command : commands())
			result.emplace_back(command.block.begin(), command.block.end());
		return result;
	}
	const Bytes kInquiryBlock{ 0x12, 0, 0, 0, 0xA0, 0, 0, 0, 0, 0 };
	const Bytes kNvmReadBlock{ 0x28, 0, 0x69, 0, 0x0A, 0x0D, 0, 0, 0x80, 0 };
};

TEST_F(AbilityDeviceTest, GetScannerAbilityFromTheScannersInquiry)
{
	scanner->setInquiry(everyBitInquiry());
	ScannerAbility ability;
	std::memset(&ability, 0x5A, sizeof(ability));
	ASSERT_EQ(GetScannerAbility(&ability), 1);
	EXPECT_EQ(blocks(), (std::vector<Bytes>{ kInquiryBlock, kNvmReadBlock }));

	Bytes expected(44, 0);
	std::memcpy(&expected[0], "RM735", 5);
	std::memcpy(&expected[8], "2.0", 3);
	expected[12] = 0x34; // 0x1234 little-endian
	expected[13] = 0x12;
	expected[14] = 0x58; // R3 = 600
	expected[15] = 0x02;
	expected[16] = 0xB0; // R4 = 1200
	expected[17] = 0x04;
	expected[18] = 136; // byte 60 = 0xB6: bit 6 clear
	expected[19] = 1;
	expected[20] = 0xB0; // kind code 2
	expected[21] = 0xB8; // byte 62
	expected[22] = 0xF6;
	expected[23] = 0x09;
	expected[24] = 0xCC; // 3800 - 12 = 3788 = 0x0ECC
	expected[25] = 0x0E;
	expected[31] = 0xB9; // byte 63
	// byte 50 bit 3 set: offsets 32 and 33 are 0
	EXPECT_EQ(bytesOf(ability), expected);
	EXPECT_EQ(std::memcmp(driver::driverState.inquiryData, everyBitInquiry().data(), 160), 0);
}

TEST_F(AbilityDeviceTest, GetScannerAbilityExWithEveryBitSet)
{
	scanner->setInquiry(everyBitInquiry());
	ScannerAbilityEx ability;
	std::memset(&ability, 0x5A, sizeof(ability));
	ASSERT_EQ(GetScannerAbilityEx(&ability), 1);
	EXPECT_EQ(blocks(), (std::vector<Bytes>{ kInquiryBlock, kNvmReadBlock }));

	EXPECT_EQ(std::string(ability.Vendor, 8), std::string("TORVANE\0", 8));
	EXPECT_EQ(std::string(ability.Product, 16), std::string("RM735\0\0\0\0\0\0\0\0\0\0\0", 16));
	EXPECT_EQ(std::string(ability.Revision, 4), "2.01");
	EXPECT_EQ(std::string(ability.Interface, 8), std::string("USB 2.0\0", 8));
	EXPECT_EQ(std::string(ability.Bus, 4), std::string("USB\0", 4));
	EXPECT_EQ(ability.CapabilityA, 0x3218000u | 0x10000000 | 0x800000 | 0x4000000 | 0x2 | 0x200 | 0x100 |
					       0x20000000 | 0x9 | 0x10 | 0x80 | 0x1000 | 0x2000 | 0x4000 | 0x400);
	EXPECT_EQ(ability.CapabilityB, 0x82418BF7u | 0x300000 | 0x78000000 | 0x2000);
	EXPECT_EQ(ability.CapabilityC, 0x0080 | 0x0020 | 0x0010);
	EXPECT_EQ(ability.CapabilityD, 0x40000u | 0x2 | 0x200 | 0x800 | 0x8 | 0x80 | 0x20 | 0x60 | 0x100 | 0x400 |
					       0x1000 | 0x10 | 0x800000 | 0x2000000);
	EXPECT_EQ(ability.CapabilityE,
		  0x800u | 0x1000 | 0x1 | 0x80000000 | 0x4 | 0x8 | 0x430 | 0x40 | 0x10 | 0x100 | 0x4000);
	EXPECT_EQ(ability.CapabilityF, 0xA00u);
	EXPECT_EQ(ability.ScanWidth, 2550);
	EXPECT_EQ(ability.ScanLength, 3788);
	EXPECT_EQ(ability.InquiryWord89, 0x1234);
	EXPECT_EQ(ability.Resolution[0], 150);
	EXPECT_EQ(ability.Resolution[3], 1200);
	EXPECT_EQ(ability.InquiryWord75, 0x0A0B);
	EXPECT_EQ(ability.ButtonCount, 2);
	EXPECT_EQ(ability.InquiryByte129, 0x99);
	EXPECT_EQ(ability.Reserved140[7], 0);
	EXPECT_EQ(driver::driverState.maxReadBlock, 524288u);
	EXPECT_EQ(driver::driverState.scannerWidth, 2550u);
}

TEST_F(AbilityDeviceTest, InquiryFailure)
{
	scanner->addFault(FaultRule::checkCondition(transport::kOpInquiry, 0x04, 0x44, 0x00));
	ScannerAbility ability;
	std::memset(&ability, 0x5A, sizeof(ability));
	EXPECT_EQ(GetScannerAbility(&ability), 0);
	EXPECT_EQ(driver::lastError(), 2999); // sense 04/44/00
	EXPECT_EQ(bytesOf(ability), Bytes(44, 0));
	// No NVM read after a failed inquiry.
	EXPECT_EQ(blocks(), (std::vector<Bytes>{ kInquiryBlock, { 0x03, 0, 0, 0, 0x16, 0, 0, 0, 0, 0 } }));

	scanner->addFault(FaultRule::statusByte(transport::kOpInquiry, 8));
	driver::setLastError(0);
	ScannerAbilityEx abilityEx;
	std::memset(&abilityEx, 0x5A, sizeof(abilityEx));
	EXPECT_EQ(GetScannerAbilityEx(&abilityEx), 0);
	EXPECT_EQ(driver::lastError(), 2999); // no sense data: the general code, never none
	EXPECT_EQ(bytesOf(abilityEx), Bytes(sizeof(abilityEx), 0x5A));
}

TEST_F(AbilityDeviceTest, NvmReadFailure)
{
	FaultRule nvmFault = FaultRule::checkCondition(transport::kOpRead10, 0x02, 0, 0);
	nvmFault.forDataType(transport::kReadNvm);
	scanner->addFault(nvmFault);
	ScannerAbility ability;
	std::memset(&ability, 0x5A, sizeof(ability));
	EXPECT_EQ(GetScannerAbility(&ability), 0);
	EXPECT_EQ(driver::lastError(), 2009);
	EXPECT_EQ(bytesOf(ability), Bytes(44, 0));

	// The extended record keeps what an earlier call put there.
	ScannerAbilityEx abilityEx{};
	ASSERT_EQ(GetScannerAbilityEx(&abilityEx), 1);
	const Bytes earlier = bytesOf(abilityEx);
	scanner->editInquiry([](sim::InquiryData &d) { d[81] = 0; d[82] = 10; });
	scanner->addFault(nvmFault);
	EXPECT_EQ(GetScannerAbilityEx(&abilityEx), 0);
	EXPECT_EQ(bytesOf(abilityEx), earlier);
	EXPECT_EQ(driver::driverState.maxReadBlock, 524288u);
	EXPECT_NE(driver::driverState.scannerWidth, 10u);
}

TEST_F(AbilityDeviceTest, MaxReadBlockIsZeroUntilTheFirstDecoding)
{
	EXPECT_EQ(driver::driverState.maxReadBlock, 0u);
	ScannerAbility ability{};
	ASSERT_EQ(GetScannerAbility(&ability), 1);
	EXPECT_EQ(driver::driverState.maxReadBlock, 0u);
}

TEST_F(AbilityDeviceTest, ConversionLinesAppearAtLevelFour)
{
	enableLogging(4);
	ScannerAbility ability{};
	ASSERT_EQ(GetScannerAbility(&ability), 1);
	EXPECT_EQ(test::readFile(logs.file("quorDll.txt")),
		  "\r\nIn   0 : GetScannerAbility :"
		  "\r\nIn   0 : SeizeSYSControl :\r\nOut  1 : SeizeSYSControl :"
		  "\r\nIn   0 : Inquiry :\r\nOut  1 : Inquiry : "
		  "\r\nIn   0 : InquiryToScannerAbility :\r\nOut  0 : InquiryToScannerAbility :"
		  "\r\nOut  1 : GetScannerAbility : ");
}

TEST_F(AbilityDeviceTest, ExtendedCallLinesAtLevelTwo)
{
	enableLogging(2);
	ScannerAbilityEx ability{};
	ASSERT_EQ(GetScannerAbilityEx(&ability), 1);
	EXPECT_EQ(test::readFile(logs.file("quorDll.txt")),
		  "\r\nIn   0 : GetScannerAbilityEx :\r\nIn   0 : Inquiry :\r\nOut  1 : Inquiry : "
		  "\r\nOut  1 : GetScannerAbilityEx :");
}

class ModelCheckTest : public AbilityDeviceTest
{
protected:
	void libraryAt(const char *path)
	{
		std::memset(driver::driverState.LibraryPath, 0, sizeof(driver::driverState.LibraryPath));
		std::strncpy(driver::driverState.LibraryPath, path, sizeof(driver::driverState.LibraryPath) - 1);
	}
};

TEST_F(ModelCheckTest, LibraryFileNames)
{
	const std::pair<const char *, int> cases[] = {
		{ "/usr/lib/torvane/RM735.so", 1 },
		{ "/usr/lib/torvane/RM735_x64.so", 1 },
		{ "/usr/lib/torvane/RM735.beta.so", 0 },
		{ "/usr/lib/torvane/KT918.so", 0 },
		{ "C:\\drivers\\RM735.dll", 1 },
	};
	for (auto [path, result] : cases) {
		libraryAt(path);
		driver::setLastError(0);
		EXPECT_EQ(InitializeScanner(), result) << path;
		EXPECT_EQ(driver::lastError(), result ? 0 : 129) << path;
	}
	EXPECT_EQ(std::string(reinterpret_cast<const char *>(&driver::driverState.modelInquiry[16])), "RM735");
}

TEST_F(ModelCheckTest, BlankPaddedProductIdDoesNotMatch)
{
	libraryAt("/usr/lib/RM735.so");
	scanner->editInquiry([](sim::InquiryData &d) { std::memcpy(&d[16], "RM735           ", 16); });
	EXPECT_EQ(InitializeScanner(), 0);
	EXPECT_EQ(driver::lastError(), 129);
}

TEST_F(ModelCheckTest, InquiryFailureGives174AndAMismatchReplacesIt)
{
	libraryAt("/usr/lib/RM735.so");
	ASSERT_EQ(InitializeScanner(), 1);
	// The block never reaches the scanner: modelInquiry keeps the earlier
	// answer, which still matches.
	scanner->addFault(FaultRule::failBlockWrite(transport::kOpInquiry));
	EXPECT_EQ(InitializeScanner(), 0);
	EXPECT_EQ(driver::lastError(), 174);

	libraryAt("/usr/lib/KT918.so");
	scanner->addFault(FaultRule::failBlockWrite(transport::kOpInquiry));
	EXPECT_EQ(InitializeScanner(), 0);
	EXPECT_EQ(driver::lastError(), 129);
}

TEST_F(ModelCheckTest, ModelInquiryIsNotClearedFirst)
{
	libraryAt("/usr/lib/RM735.so");
	std::memset(driver::driverState.modelInquiry, 0xAB, sizeof(driver::driverState.modelInquiry));
	scanner->addFault(FaultRule::failBlockWrite(transport::kOpInquiry));
	EXPECT_EQ(InitializeScanner(), 0);
	EXPECT_EQ(driver::driverState.modelInquiry[100], 0xAB);
	EXPECT_EQ(driver::lastError(), 129);
}

TEST_F(ModelCheckTest, ExitLineHasItsTrailingBlank)
{
	enableLogging(2);
	libraryAt("/usr/lib/RM735.so");
	ASSERT_EQ(InitializeScanner(), 1);
	EXPECT_EQ(test::readFile(logs.file("quorDll.txt")),
		  "\r\nIn   0 : InitializeScanner :\r\nIn   0 : Inquiry :\r\nOut  1 : Inquiry : "
		  "\r\nOut  1 : InitializeScanner : ");
}

} // namespace
