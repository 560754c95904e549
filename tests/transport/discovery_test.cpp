// SPDX-License-Identifier: MIT
// Device discovery and InitializeDriver against simulated scanners.

#include <gtest/gtest.h>

#include "driver/debug_log.h"
#include "driver/device_lock.h"
#include "driver/driver_state.h"
#include "platform/platform.h"
#include "setup/scan_settings.h"
#include "support/scanner_fixture.h"
#include "torvane/torvane.h"
#include "transport/commands.h"
#include "transport/transport.h"

using namespace torvane;

namespace {

class DiscoveryTest : public ::testing::Test
{
protected:
	void SetUp() override
	{
		setenv("TORVANE_DEVICE_DIR", devices.path().c_str(), 1);
		server = std::make_unique<sim::SimServer>(devices.path());
		test::removeConfig();
		test::attachDriver();
	}
	void TearDown() override
	{
		test::detachDriver();
		server.reset();
	}
	std::shared_ptr<sim::VirtualScanner> plug(unsigned int number, uint16_t productId = 0x0735)
	{
		auto scanner = std::make_shared<sim::VirtualScanner>();
		scanner->setUsbIdentity({ 0x2F1A, productId, 0x0100, 0x0409 });
		EXPECT_TRUE(server->plug(scanner, number));
		return scanner;
	}

	test::TempDir devices;
	std::unique_ptr<sim::SimServer> server;
};

TEST_F(DiscoveryTest, TheFirstSupportedDeviceInNameOrderWins)
{
	plug(5);
	plug(2);
	EXPECT_EQ(transport::FindScanner(), 1);
	EXPECT_EQ(transport::devicePath(), "\\\\.\\usbscan2");
}

TEST_F(DiscoveryTest, AWrongProductIsSkippedAndItsFileClosed)
{
	auto other = plug(1, 0x9999);
	auto wrongVendor = std::make_shared<sim::VirtualScanner>();
	wrongVendor->setUsbIdentity({ 0x1234, 0x0735, 0, 0 });
	ASSERT_TRUE(server->plug(wrongVendor, 2));
	plug(7, 0x0918);
	EXPECT_EQ(transport::FindScanner(), 1);
	EXPECT_EQ(transport::devicePath(), "\\\\.\\usbscan7");
	// The server notices a closed connection a moment later.
	for (int i = 0; i < 200 && server->connectionCount(1) + server->connectionCount(2) + server->connectionCount(7) > 0; ++i)
		platform::sleepMs(5);
	EXPECT_EQ(server->connectionCount(1), 0u);
	EXPECT_EQ(server->connectionCount(2), 0u);
	EXPECT_EQ(server->connectionCount(7), 0u);
	// Each candidate got the all-zero time-outs first.
	ASSERT_TRUE(other->timeouts().has_value());
	EXPECT_EQ(*other->timeouts(), (std::array<uint32_t, 3>{ 0, 0, 0 }));
}

TEST_F(DiscoveryTest, Usbscan127IsNeverFound)
{
	plug(127);
	driver::setLastError(0);
	EXPECT_EQ(transport::FindScanner(), 0);
	EXPECT_EQ(driver::lastError(), 129);
	plug(126);
	EXPECT_EQ(transport::FindScanner(), 1);
	EXPECT_EQ(transport::devicePath(), "\\\\.\\usbscan126");
}

TEST_F(DiscoveryTest, NoScannerGives129AndKeepsTheEarlierName)
{
	plug(3);
	ASSERT_EQ(InitializeDriver(), 1);
	server->unplug(3);
	driver::setLastError(0);
	EXPECT_EQ(InitializeDriver(), 0);
	EXPECT_EQ(driver::lastError(), 129);
	EXPECT_EQ(transport::devicePath(), "\\\\.\\usbscan3");
}

TEST_F(DiscoveryTest, InitializeDriverClearsTheScanSettingsFoundOrNot)
{
	setup::scanSettings.workParam.XRes = 600;
	EXPECT_EQ(InitializeDriver(), 0);
	EXPECT_EQ(setup::scanSettings.workParam.XRes, 0);
	plug(0);
	setup::scanSettings.workParam.PixelNum = 5100;
	EXPECT_EQ(InitializeDriver(), 1);
	EXPECT_EQ(setup::scanSettings.workParam.PixelNum, 0);
}

TEST_F(DiscoveryTest, InitializeDriverDuringAScanFailsWith162)
{
	plug(0);
	driver::setScanBusy(1);
	EXPECT_EQ(InitializeDriver(), 0);
	EXPECT_EQ(driver::lastError(), 162);
	driver::setScanBusy(0);
}

TEST_F(DiscoveryTest, ACommandAfterReplugRediscoversTheScanner)
{
	auto scanner = plug(1);
	ASSERT_EQ(InitializeDriver(), 1);
	ASSERT_TRUE(server->replug(1, 4));
	const auto block = transport::inquiryBlock();
	uint8_t inquiry[160] = {};
	EXPECT_EQ(transport::SendCommand(block.data(), inquiry, 160, 0), 1);
	EXPECT_EQ(transport::devicePath(), "\\\\.\\usbscan4");
	EXPECT_EQ(std::string(reinterpret_cast<char *>(inquiry + 16)), "RM735");
}

TEST_F(DiscoveryTest, ACommandWithNoScannerLeftFailsWith156Disconnected)
{
	plug(1);
	ASSERT_EQ(InitializeDriver(), 1);
	server->unplug(1);
	const auto block = transport::reserveUnitBlock();
	EXPECT_EQ(transport::SendCommand(block.data(), nullptr, 0, 0), 0);
	EXPECT_EQ(driver::lastError(), TORVANE_ERROR_DISCONNECTED);
	// What the layers above set after it names the disconnect too, until
	// the scanner is back.
	driver::setLastError(TORVANE_ERROR_NO_IMAGE_DATA);
	EXPECT_EQ(driver::lastError(), TORVANE_ERROR_DISCONNECTED);
	driver::setLastError(TORVANE_ERROR_BUSY);
	EXPECT_EQ(driver::lastError(), TORVANE_ERROR_BUSY);
	plug(2);
	EXPECT_EQ(transport::SendCommand(block.data(), nullptr, 0, 0), 1);
	driver::setLastError(TORVANE_ERROR_NO_IMAGE_DATA);
	EXPECT_EQ(driver::lastError(), TORVANE_ERROR_NO_IMAGE_DATA);
}

// A device file named but never found by a search is no scanner that went
// away: 155.
TEST_F(DiscoveryTest, ACommandWithoutAScannerEverFoundFailsWith155)
{
	transport::setDevicePath("\\\\.\\usbscan9");
	const auto block = transport::reserveUnitBlock();
	EXPECT_EQ(transport::SendCommand(block.data(), nullptr, 0, 0), 0);
	EXPECT_EQ(driver::lastError(), TORVANE_ERROR_NO_DEVICE);
}

TEST_F(DiscoveryTest, LogLinesAtLevelsTwoThreeAndFive)
{
	test::TempDir logs;
	plug(0);
	for (uint32_t level : { 2u, 3u, 5u }) {
		test::configureLogging(level, logs.path() + "/");
		test::attachDriver();
		std::remove(logs.file("quorDll.txt").c_str());
		ASSERT_EQ(InitializeDriver(), 1);
		std::string expected = "\r\nIn   0 : InitializeDriver :";
		if (level >= 3)
			expected += "\r\nIn   0 : SeizeSYSControl :\r\nOut  1 : SeizeSYSControl :"
				    "\r\nIn   0 : FindScanner :\r\nOut  1 : FindScanner :";
		if (level >= 5)
			expected += "\r\nFind New Device!";
		expected += "\r\nOut  1 : InitializeDriver :";
		EXPECT_EQ(test::readFile(logs.file("quorDll.txt")), expected) << "level " << level;
	}
}

} // namespace
