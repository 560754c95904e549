// SPDX-License-Identifier: MIT
// The status calls, and the ability calls refused while a scan is busy: no
// scanner is needed for either.

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "driver/device_lock.h"
#include "driver/driver_state.h"
#include "support/test_environment.h"
#include "torvane/torvane.h"

using namespace torvane;

namespace {

class StatusTest : public ::testing::Test
{
protected:
	void SetUp() override
	{
		test::configureLogging(2, dir.path() + "/");
		test::attachDriver();
		driver::setScanBusy(0);
	}
	void TearDown() override
	{
		driver::setScanBusy(0);
		test::detachDriver();
	}
	std::string mainLog() { return test::readFile(dir.file("quorDll.txt")); }
	test::TempDir dir;
};

TEST_F(StatusTest, GetScannerStatusHandsOverTheLowByteAndClears)
{
	driver::setLastError(2004);
	uint8_t s1 = 9, s2 = 9, s3 = 9, code = 0;
	EXPECT_EQ(GetScannerStatus(&s1, &s2, &s3, &code), 1);
	EXPECT_EQ(code, 212);
	EXPECT_EQ(s1, 0);
	EXPECT_EQ(s2, 0);
	EXPECT_EQ(s3, 0);
	EXPECT_EQ(driver::lastError(), 0);
	EXPECT_EQ(GetScannerStatus(&s1, &s2, &s3, &code), 1);
	EXPECT_EQ(code, 0);
	EXPECT_EQ(mainLog(), "\r\nIn   0 : GetScannerStatus :\r\nOut  1 : GetScannerStatus :"
			     "\r\nIn   0 : GetScannerStatus :\r\nOut  1 : GetScannerStatus :");
}

TEST_F(StatusTest, GetScannerStatusExHandsOverTheWholeCodeAndClears)
{
	driver::setLastError(2004);
	uint8_t s1 = 9, s2 = 9, s3 = 9;
	int32_t code = 0;
	EXPECT_EQ(GetScannerStatusEx(&s1, &s2, &s3, &code), 1);
	EXPECT_EQ(code, 2004);
	EXPECT_EQ(s1 | s2 | s3, 0);
	EXPECT_EQ(driver::lastError(), 0);
	EXPECT_EQ(GetScannerStatusEx(&s1, &s2, &s3, &code), 1);
	EXPECT_EQ(code, 0);
	EXPECT_EQ(mainLog(), "\r\nIn   0 : GetScannerStatusEx :\r\nOut  1 : GetScannerStatusEx : 2004"
			     "\r\nIn   0 : GetScannerStatusEx :\r\nOut  1 : GetScannerStatusEx : 0");
}

TEST_F(StatusTest, StatusCallsSurviveMissingPointers)
{
	driver::setLastError(155);
	EXPECT_EQ(GetScannerStatus(nullptr, nullptr, nullptr, nullptr), 1);
	// Nowhere to hand the code to: it stays for the next call.
	EXPECT_EQ(driver::lastError(), 155);
	EXPECT_EQ(GetScannerStatusEx(nullptr, nullptr, nullptr, nullptr), 1);
	EXPECT_EQ(driver::lastError(), 155);
	int32_t code = 0;
	EXPECT_EQ(GetScannerStatusEx(nullptr, nullptr, nullptr, &code), 1);
	EXPECT_EQ(code, 155);
}

TEST_F(StatusTest, GetScannerStatusExLeavesAnotherCallersLockAlone)
{
	driver::setLockWaitMs(50);
	ASSERT_EQ(driver::SeizeSYSControl(), 1);
	int32_t code = 0;
	uint8_t s = 0;
	EXPECT_EQ(GetScannerStatusEx(&s, &s, &s, &code), 1);
	// The lock is still taken: a second taker times out.
	EXPECT_EQ(driver::SeizeSYSControl(), 0);
	driver::releaseDeviceLock();
	EXPECT_EQ(driver::SeizeSYSControl(), 1);
	driver::releaseDeviceLock();
}

TEST_F(StatusTest, StatusCallsWorkInsideAScanCycle)
{
	driver::setScanBusy(1);
	driver::setLastError(2999);
	int32_t code = 0;
	uint8_t s = 0;
	EXPECT_EQ(GetScannerStatusEx(&s, &s, &s, &code), 1);
	EXPECT_EQ(code, 2999);
	EXPECT_EQ(GetLightStatus(), 1);
}

TEST_F(StatusTest, GetLightStatusOnlyLogs)
{
	driver::setLastError(5);
	EXPECT_EQ(GetLightStatus(), 1);
	EXPECT_EQ(driver::lastError(), 5);
	EXPECT_EQ(mainLog(), "\r\nIn   0 : GetLightStatus :\r\nOut  1 : GetLightStatus :");
}

TEST_F(StatusTest, LockedCallsAreRefusedAtOnceWhileAScanIsBusy)
{
	driver::setScanBusy(1);

	ScannerAbility ability;
	std::memset(&ability, 0x5A, sizeof(ability));
	EXPECT_EQ(GetScannerAbility(&ability), 0);
	EXPECT_EQ(driver::lastError(), 162);
	EXPECT_EQ(std::vector<uint8_t>(reinterpret_cast<uint8_t *>(&ability),
				       reinterpret_cast<uint8_t *>(&ability) + sizeof(ability)),
		  std::vector<uint8_t>(sizeof(ability), 0));

	driver::setLastError(0);
	ScannerAbilityEx abilityEx;
	std::memset(&abilityEx, 0x5A, sizeof(abilityEx));
	EXPECT_EQ(GetScannerAbilityEx(&abilityEx), 0);
	EXPECT_EQ(driver::lastError(), 162);
	EXPECT_EQ(std::vector<uint8_t>(reinterpret_cast<uint8_t *>(&abilityEx),
				       reinterpret_cast<uint8_t *>(&abilityEx) + sizeof(abilityEx)),
		  std::vector<uint8_t>(sizeof(abilityEx), 0x5A));

	driver::setLastError(0);
	EXPECT_EQ(InitializeScanner(), 0);
	EXPECT_EQ(driver::lastError(), 162);

	EXPECT_EQ(mainLog(), "\r\nIn   0 : GetScannerAbility :\r\nOut  0 : GetScannerAbility : "
			     "\r\nIn   0 : GetScannerAbilityEx :\r\nOut  0 : GetScannerAbilityEx :"
			     "\r\nIn   0 : InitializeScanner :\r\nOut  0 : InitializeScanner : ");
}

TEST_F(StatusTest, AbilityCallsWithoutARecordFail)
{
	EXPECT_EQ(GetScannerAbility(nullptr), 0);
	EXPECT_EQ(driver::lastError(), 2999);
	driver::setLastError(0);
	EXPECT_EQ(GetScannerAbilityEx(nullptr), 0);
	EXPECT_EQ(driver::lastError(), 2999);
}

} // namespace
