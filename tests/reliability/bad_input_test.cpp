// SPDX-License-Identifier: MIT
// Bad input from the caller: null and misaligned records, absurd scan
// parameters, every gamma channel value, odd ReadScan sizes and calls in
// every wrong order. Never a crash, a hang or an overrun (run under ASan and
// UBSan); failures come with a code.

#include <cstring>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "campaign_common.h"
#include "driver/driver_state.h"
#include "support/scanner_fixture.h"
#include "torvane/torvane.h"

using namespace torvane;

namespace {

class BadInputTest : public test::ScannerTest
{
protected:
	void SetUp() override
	{
		alarm(120); // a hang ends the test process
		ScannerTest::SetUp();
	}
	void TearDown() override
	{
		StopScan();
		ScannerTest::TearDown();
		alarm(0);
	}

	// A small valid grey scan; tests change one field of it.
	static ScanParameter validScan() { return test::smallGreyScan(100, 60); }

	// 0 results must come with a code; the code is taken (and cleared).
	static void expectFailureHasCode(int result, const char *what)
	{
		int32_t code = 0;
		unsigned char s1, s2, s3;
		GetScannerStatusEx(&s1, &s2, &s3, &code);
		EXPECT_TRUE(result != 0 || code != 0) << what;
	}
};

TEST_F(BadInputTest, NullRecordsAreRefused)
{
	expectFailureHasCode(GetScannerAbility(nullptr), "GetScannerAbility");
	expectFailureHasCode(GetScannerAbilityEx(nullptr), "GetScannerAbilityEx");
	expectFailureHasCode(SetScanParameter(nullptr), "SetScanParameter");
	StopScan();
	expectFailureHasCode(SetGammaTable(nullptr, 0), "SetGammaTable");
	expectFailureHasCode(ReadNVMData(nullptr), "ReadNVMData");
	expectFailureHasCode(WriteNVMData(nullptr), "WriteNVMData");
	expectFailureHasCode(InitializeNVM(nullptr), "InitializeNVM");
	expectFailureHasCode(CheckNVMData(nullptr), "CheckNVMData");
	expectFailureHasCode(InitialButton(nullptr), "InitialButton");
	expectFailureHasCode(ReadPushButton(nullptr), "ReadPushButton");
	for (uint16_t kind = 0; kind <= 12; ++kind)
		expectFailureHasCode(SetNVRAMValue(nullptr, 128, kind), "SetNVRAMValue");
	EXPECT_EQ(GetScannerStatus(nullptr, nullptr, nullptr, nullptr), 1);
	EXPECT_EQ(GetScannerStatusEx(nullptr, nullptr, nullptr, nullptr), 1);
	expectFailureHasCode(ReadScan(nullptr, nullptr, 16), "ReadScan");
}

TEST_F(BadInputTest, MisalignedRecordsAreReadAndFilledInPlace)
{
	alignas(8) unsigned char buffer[1024] = {};
	unsigned char *odd = buffer + 1;
	EXPECT_EQ(GetScannerAbility(reinterpret_cast<ScannerAbility *>(odd)), 1);
	EXPECT_EQ(GetScannerAbilityEx(reinterpret_cast<ScannerAbilityEx *>(odd)), 1);
	EXPECT_EQ(ReadNVMData(reinterpret_cast<NvmRecord *>(odd)), 1);
	EXPECT_EQ(WriteNVMData(reinterpret_cast<NvmRecord *>(odd)), 1);
	EXPECT_EQ(InitialButton(reinterpret_cast<ButtonSetup *>(odd)), 1);
	EXPECT_EQ(ReadPushButton(reinterpret_cast<ButtonReport *>(odd)), 1);
	const ScanParameter valid = validScan();
	std::memcpy(odd, &valid, sizeof(valid));
	EXPECT_EQ(SetScanParameter(reinterpret_cast<ScanParameter *>(odd)), 1);
	EXPECT_EQ(StartScan(), 1);
	EXPECT_EQ(ReadScan(nullptr, odd, 333), 1);
	EXPECT_EQ(StopScan(), 1);
}

// Every 16-bit word of the record at 0, 0x8000 (negative where signed) and
// 0xFFFF, one at a time: refused with a code, or a scan that starts, reads
// and stops.
TEST_F(BadInputTest, AbsurdScanParametersNeverCrashOrHang)
{
	unsigned char piece[4096];
	for (size_t offset = 0; offset < sizeof(ScanParameter); offset += 2) {
		for (uint16_t value : { 0x0000, 0x8000, 0xFFFF }) {
			ScanParameter p = validScan();
			std::memcpy(reinterpret_cast<unsigned char *>(&p) + offset, &value, 2);
			const int set = SetScanParameter(&p);
			expectFailureHasCode(set, "SetScanParameter");
			if (set && StartScan())
				ReadScan(nullptr, piece, sizeof(piece));
			StopScan();
		}
	}
}

TEST_F(BadInputTest, GammaTablesOfEveryChannelValue)
{
	std::vector<unsigned char> table(4096, 0x5A);
	for (int channel = 0; channel < 256; ++channel)
		expectFailureHasCode(SetGammaTable(table.data(), static_cast<unsigned char>(channel)), "SetGammaTable");
}

TEST_F(BadInputTest, ReadScanOfZeroOneAndTwoGigabytes)
{
	const ScanParameter p = validScan();
	ASSERT_EQ(SetScanParameter(&p), 1);
	ASSERT_EQ(StartScan(), 1);
	unsigned char one[1];
	expectFailureHasCode(ReadScan(nullptr, one, 0), "ReadScan 0");
	EXPECT_EQ(ReadScan(nullptr, one, 1), 1);
	// Far more than the image: a bounded wait, then a code, and no byte
	// written past the image (the buffer is reserved, not backed).
	const size_t huge = size_t{ 1 } << 31;
	void *buffer = mmap(nullptr, huge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
	ASSERT_NE(buffer, MAP_FAILED);
	expectFailureHasCode(ReadScan(nullptr, static_cast<unsigned char *>(buffer), static_cast<uint32_t>(huge)),
			     "ReadScan 2^31");
	munmap(buffer, huge);
	StopScan();
}

TEST_F(BadInputTest, CallsInEveryWrongOrder)
{
	unsigned char piece[512];
	const ScanParameter p = validScan();
	expectFailureHasCode(ReadScan(nullptr, piece, sizeof(piece)), "ReadScan before StartScan");
	expectFailureHasCode(StartScan(), "StartScan without SetScanParameter");
	StopScan();
	StopScan();
	ASSERT_EQ(SetScanParameter(&p), 1);
	expectFailureHasCode(SetScanParameter(&p), "SetScanParameter twice");
	EXPECT_EQ(StartScan(), 1);
	expectFailureHasCode(StartScan(), "StartScan twice");
	ReadScan(nullptr, piece, sizeof(piece));
	expectFailureHasCode(TerminateDriver(), "TerminateDriver mid-scan");
	StopScan();
	expectFailureHasCode(ReadScan(nullptr, piece, sizeof(piece)), "ReadScan after StopScan");
	StopScan();
	// The scanner still works.
	ASSERT_EQ(SetScanParameter(&p), 1);
	ASSERT_EQ(StartScan(), 1);
	EXPECT_EQ(ReadScan(nullptr, piece, sizeof(piece)), 1);
	EXPECT_EQ(StopScan(), 1);
}

} // namespace
