// SPDX-License-Identifier: MIT
// Push buttons and power timers against a simulated scanner.

#include <dirent.h>

#include <array>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ability/inquiry.h"
#include "driver/device_lock.h"
#include "driver/driver_state.h"
#include "panel/button_wait.h"
#include "platform/platform.h"
#include "support/scanner_fixture.h"
#include "torvane/torvane.h"

using namespace torvane;
using sim::FaultRule;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes blockOf(const sim::CommandRecord &command)
{
	return Bytes(command.block.begin(), command.block.end());
}

template<typename T>
Bytes bytesOf(const T &record)
{
	Bytes bytes(sizeof(record));
	std::memcpy(bytes.data(), &record, sizeof(record));
	return bytes;
}

Bytes reportOf(std::initializer_list<uint8_t> head)
{
	Bytes bytes(16, 0);
	std::copy(head.begin(), head.end(), bytes.begin());
	return bytes;
}

// Open descriptors of this process.
size_t openDescriptors()
{
	size_t count = 0;
	DIR *directory = opendir("/proc/self/fd");
	if (!directory)
		return 0;
	while (dirent *entry = readdir(directory))
		count += entry->d_name[0] != '.';
	closedir(directory);
	return count;
}

// Conditions that other threads (the scanner's server) bring about are
// waited for, a bounded number of short sleeps.
template<typename Condition>
bool eventually(Condition condition)
{
	for (int i = 0; i < 4000; i++) {
		if (condition())
			return true;
		platform::sleepMs(1);
	}
	return condition();
}

class ButtonTest : public test::ScannerTest
{
protected:
	void SetUp() override
	{
		test::ScannerTest::SetUp();
		// The pause after a new wait is issued is not what these tests look at.
		panel::setButtonWaitPauseMs(0);
	}

	void TearDown() override
	{
		panel::abandonButtonWait();
		test::ScannerTest::TearDown();
	}

	// The connections the driver has open on the scanner: the button wait's.
	bool waitsOpen(size_t n)
	{
		return eventually([&] { return server->connectionCount(0) == n; });
	}

	// Polls until the report is not empty (a press delivered).
	Bytes pollForPress()
	{
		ButtonReport report{};
		eventually([&] {
			EXPECT_EQ(ReadPushButton(&report), 1);
			return report.Bytes[0] != 0;
		});
		return bytesOf(report);
	}
};

TEST_F(ButtonTest, InitialButtonWithTwoButtons)
{
	ButtonSetup setup;
	std::memset(&setup, 0xEE, sizeof(setup));
	ASSERT_EQ(InitialButton(&setup), 1);
	Bytes expected(24, 0);
	expected[0] = 3;
	expected[4] = 2;
	expected[6] = 4;
	EXPECT_EQ(bytesOf(setup), expected);

	const auto inquiry = scanner->inquiry();
	EXPECT_EQ(Bytes(driver::driverState.modelInquiry, driver::driverState.modelInquiry + 160), Bytes(inquiry.begin(), inquiry.end()));
	const auto log = commands();
	ASSERT_EQ(log.size(), 1u);
	EXPECT_EQ(blockOf(log[0]), (Bytes{ 0x12, 0, 0, 0, 0xA0, 0, 0, 0, 0, 0 }));
}

TEST_F(ButtonTest, InitialButtonWithoutButtons)
{
	scanner->editInquiry([](sim::InquiryData &d) { d[50] &= ~0x40; });
	ButtonSetup setup;
	std::memset(&setup, 0xEE, sizeof(setup));
	ASSERT_EQ(InitialButton(&setup), 1);
	EXPECT_EQ(bytesOf(setup), Bytes(24, 0));
}

TEST_F(ButtonTest, InitialButtonWhenTheInquiryFails)
{
	scanner->addFault(FaultRule::checkCondition(0x12, 0x4, 0x44, 0x00));
	ButtonSetup setup;
	std::memset(&setup, 0xEE, sizeof(setup));
	EXPECT_EQ(InitialButton(&setup), 0);
	EXPECT_EQ(driver::lastError(), 2999);
	EXPECT_EQ(bytesOf(setup), Bytes(24, 0));
}

TEST_F(ButtonTest, ADeliveredPressIsRewritten)
{
	ButtonReport report;
	std::memset(&report, 0xEE, sizeof(report));
	ASSERT_EQ(ReadPushButton(&report), 1);
	EXPECT_EQ(bytesOf(report), Bytes(16, 0));
	EXPECT_EQ(driver::driverState.ButtonReadPending, 1);

	const uint8_t press[] = { 0x05, 0x00 };
	ASSERT_TRUE(scanner->pressButton(press));
	EXPECT_EQ(pollForPress(), reportOf({ 0x81, 0x02, 0, 0, 0, 0, 0x01, 0 }));
	// The wait has ended and its connection is closed.
	EXPECT_EQ(driver::driverState.ButtonReadPending, 0);
	EXPECT_TRUE(waitsOpen(0));

	// The next poll starts a new wait, which takes the next press.
	const uint8_t other[] = { 0x07, 0x04, 0, 0, 0, 0, 0, 0x09 };
	ASSERT_TRUE(scanner->pressButton(other));
	EXPECT_EQ(pollForPress(), reportOf({ 0x81, 0x04, 0, 0, 0, 0, 0x01, 0x09 }));
	// No command exchange is involved.
	EXPECT_TRUE(commands().empty());
}

TEST_F(ButtonTest, PollsWithoutAPressKeepOneWait)
{
	ButtonReport report;
	for (int i = 0; i < 200; i++) {
		std::memset(&report, 0xEE, sizeof(report));
		ASSERT_EQ(ReadPushButton(&report), 1);
		ASSERT_EQ(bytesOf(report), Bytes(16, 0));
	}
	EXPECT_EQ(driver::driverState.ButtonReadPending, 1);
	EXPECT_TRUE(waitsOpen(1));
	// Still the one wait after more polls: no second connection appears.
	for (int i = 0; i < 200; i++)
		ASSERT_EQ(ReadPushButton(&report), 1);
	EXPECT_EQ(server->connectionCount(0), 1u);
}

TEST_F(ButtonTest, TerminateDriverMakesTheNextPollStartAFreshWait)
{
	ButtonReport report;
	ASSERT_EQ(ReadPushButton(&report), 1);
	ASSERT_TRUE(waitsOpen(1));

	EXPECT_EQ(TerminateDriver(), 1);
	EXPECT_EQ(driver::driverState.ButtonReadPending, 0);
	// The abandoned wait's connection is closed, not left open.
	EXPECT_TRUE(waitsOpen(0));

	// A press that arrives now waits in the scanner for the fresh wait.
	const uint8_t press[] = { 0x03 };
	ASSERT_TRUE(scanner->pressButton(press));
	EXPECT_EQ(scanner->queuedPresses(), 1u);
	EXPECT_EQ(pollForPress(), reportOf({ 0x81, 0x01, 0, 0, 0, 0, 0x01, 0 }));
	EXPECT_EQ(scanner->queuedPresses(), 0u);
}

TEST_F(ButtonTest, TerminateDriverDuringAScanStillResetsTheWait)
{
	ButtonReport report;
	ASSERT_EQ(ReadPushButton(&report), 1);
	ASSERT_TRUE(waitsOpen(1));
	driver::setScanBusy(1);
	EXPECT_EQ(TerminateDriver(), 0);
	EXPECT_EQ(driver::lastError(), TORVANE_ERROR_BUSY);
	EXPECT_EQ(driver::driverState.ButtonReadPending, 0);
	EXPECT_TRUE(waitsOpen(0));
}

TEST_F(ButtonTest, AWaitEndedByTheDeviceGoingAwayIsStartedAfresh)
{
	ButtonReport report;
	ASSERT_EQ(ReadPushButton(&report), 1);
	ASSERT_TRUE(waitsOpen(1));
	ASSERT_TRUE(server->unplug(0));

	// The ended wait is noticed and closed, and the scanner found gone: the
	// poll fails with 156 (a front end waiting for a press hears of the
	// unplug instead of waiting for ever), with an empty report.
	driver::setLastError(0);
	int polled = 1;
	for (int i = 0; i < 100 && polled; i++) {
		polled = ReadPushButton(&report);
		ASSERT_EQ(bytesOf(report), Bytes(16, 0));
		if (polled)
			std::this_thread::sleep_for(std::chrono::milliseconds(5));
	}
	EXPECT_EQ(polled, 0);
	EXPECT_EQ(driver::lastError(), TORVANE_ERROR_DISCONNECTED);
	EXPECT_EQ(driver::driverState.ButtonReadPending, 0);
	EXPECT_EQ(ReadPushButton(&report), 0);
	EXPECT_EQ(driver::lastError(), TORVANE_ERROR_DISCONNECTED);

	ASSERT_TRUE(server->plug(scanner, 0));
	const uint8_t press[] = { 0x06 };
	ASSERT_TRUE(scanner->pressButton(press));
	EXPECT_EQ(pollForPress(), reportOf({ 0x81, 0x03, 0, 0, 0, 0, 0x01, 0 }));
}

TEST_F(ButtonTest, NoDescriptorLeaksOverManyPolls)
{
	ButtonReport report;
	ASSERT_EQ(ReadPushButton(&report), 1);
	ASSERT_TRUE(waitsOpen(1));
	const size_t before = openDescriptors();
	ASSERT_GT(before, 0u);

	const uint8_t press[] = { 0x05 };
	int delivered = 0;
	for (int i = 0; i < 10000; i++) {
		// Every thousandth poll a press ends the wait and the next poll
		// starts a new one.
		if (i % 1000 == 999) {
			ASSERT_TRUE(scanner->pressButton(press));
		}
		ASSERT_EQ(ReadPushButton(&report), 1);
		delivered += report.Bytes[0] == 0x81;
	}
	// Presses not yet seen by a poll are collected; then one wait stays.
	while (delivered < 10 && eventually([&] {
		       ReadPushButton(&report);
		       return report.Bytes[0] == 0x81;
	       }))
		delivered++;
	EXPECT_EQ(delivered, 10);
	ASSERT_EQ(ReadPushButton(&report), 1);
	ASSERT_TRUE(waitsOpen(1));
	// The simulator runs in this process and closes its side of finished
	// connections a moment later, so the count may also drop below the
	// first one; a leak of ten waits would leave it well above.
	EXPECT_TRUE(eventually([&] { return openDescriptors() <= before; }))
		<< openDescriptors() << " descriptors open, " << before << " before";
}

TEST_F(ButtonTest, NullRecordsAreRefused)
{
	EXPECT_EQ(InitialButton(nullptr), 0);
	EXPECT_EQ(driver::lastError(), TORVANE_ERROR_ILLEGAL_REQUEST);
	driver::setLastError(0);
	EXPECT_EQ(ReadPushButton(nullptr), 0);
	EXPECT_EQ(driver::lastError(), TORVANE_ERROR_ILLEGAL_REQUEST);
	EXPECT_EQ(driver::driverState.ButtonReadPending, 0);
	EXPECT_TRUE(commands().empty());
}

// --- Power timers ---------------------------------------------------------------

using TimerTest = test::ScannerTest;

TEST_F(TimerTest, PowerSaveTime)
{
	ASSERT_EQ(SetPowerSaveTime(15), 1);
	const auto log = commands();
	ASSERT_EQ(log.size(), 1u);
	EXPECT_EQ(blockOf(log[0]), (Bytes{ 0x2A, 0, 0xA2, 0, 0, 0, 0, 0, 0x02, 0 }));
	EXPECT_EQ(log[0].dataOut, (Bytes{ 0x00, 0x0F }));
	EXPECT_EQ(scanner->powerSaveTime(), 15);
}

TEST_F(TimerTest, PowerOffTimeSendsTheLow16Bits)
{
	ASSERT_EQ(SendPowerOffTime(0x12345), 1);
	ASSERT_EQ(SendPowerOffTime(65535), 1);
	const auto log = commands();
	ASSERT_EQ(log.size(), 2u);
	EXPECT_EQ(blockOf(log[0]), (Bytes{ 0x2A, 0, 0xA9, 0, 0, 0, 0, 0, 0x02, 0 }));
	EXPECT_EQ(log[0].dataOut, (Bytes{ 0x23, 0x45 }));
	EXPECT_EQ(log[1].dataOut, (Bytes{ 0xFF, 0xFF }));
	EXPECT_EQ(scanner->powerOffTime(), 65535);
}

TEST_F(TimerTest, FailuresLeaveTheirCodes)
{
	scanner->addFault(FaultRule::checkCondition(0x2A, 0x5, 0x1A, 0x00).forDataType(0xA2));
	EXPECT_EQ(SetPowerSaveTime(15), 0);
	EXPECT_EQ(driver::lastError(), 2005);
	EXPECT_FALSE(scanner->powerSaveTime().has_value());

	ASSERT_TRUE(server->unplug(0));
	EXPECT_EQ(SendPowerOffTime(1), 0);
	EXPECT_EQ(driver::lastError(), TORVANE_ERROR_DISCONNECTED);
}

// --- Lock and log lines -----------------------------------------------------------

TEST_F(ButtonTest, EveryFunctionIsRefusedDuringAScan)
{
	driver::setScanBusy(1);
	std::memset(driver::driverState.modelInquiry, 0xEE, sizeof(driver::driverState.modelInquiry));
	ButtonSetup setup;
	std::memset(&setup, 0xEE, sizeof(setup));
	EXPECT_EQ(InitialButton(&setup), 0);
	EXPECT_EQ(driver::lastError(), TORVANE_ERROR_BUSY);
	// Both are cleared before the lock is asked for.
	EXPECT_EQ(bytesOf(setup), Bytes(24, 0));
	EXPECT_EQ(Bytes(driver::driverState.modelInquiry, driver::driverState.modelInquiry + 160), Bytes(160, 0));

	driver::setLastError(0);
	ButtonReport report;
	std::memset(&report, 0xEE, sizeof(report));
	EXPECT_EQ(ReadPushButton(&report), 0);
	EXPECT_EQ(driver::lastError(), TORVANE_ERROR_BUSY);
	EXPECT_EQ(bytesOf(report), Bytes(16, 0));
	EXPECT_EQ(driver::driverState.ButtonReadPending, 0);

	driver::setLastError(0);
	EXPECT_EQ(SetPowerSaveTime(15), 0);
	EXPECT_EQ(driver::lastError(), TORVANE_ERROR_BUSY);
	driver::setLastError(0);
	EXPECT_EQ(SendPowerOffTime(15), 0);
	EXPECT_EQ(driver::lastError(), TORVANE_ERROR_BUSY);

	EXPECT_TRUE(commands().empty());
	EXPECT_TRUE(waitsOpen(0));
	EXPECT_FALSE(scanner->powerSaveTime().has_value());
	EXPECT_FALSE(scanner->powerOffTime().has_value());
}

TEST_F(ButtonTest, LogLines)
{
	enableLogging(2);
	ButtonSetup setup;
	ButtonReport report;
	ASSERT_EQ(InitialButton(&setup), 1);
	ASSERT_EQ(ReadPushButton(&report), 1);
	ASSERT_EQ(SetPowerSaveTime(30), 1);
	ASSERT_EQ(SendPowerOffTime(60), 1);
	EXPECT_EQ(test::readFile(logs.file("quorDll.txt")),
		  "\r\nInitialButton In:: 0\r\nIn   0 : Inquiry :\r\nOut  1 : Inquiry : \r\nInitialButton Out:: 1"
		  "\r\nReadPushButton In:: 0\r\nReadPushButton Out:: 1"
		  "\r\nIn   0 : SetPowerSaveTime :\r\nOut  1 : SetPowerSaveTime :"
		  "\r\nIn   0 : SendPowerOffTime :\r\nOut  1 : SendPowerOffTime :");
}

} // namespace
