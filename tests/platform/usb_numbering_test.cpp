// SPDX-License-Identifier: MIT
// Real scanners on POSIX: how they are numbered as \\.\usbscanN, the records
// their device files exchange, and what opens when no simulated scanner is
// configured.

#include <cstdlib>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/posix/usb_numbering.h"

using namespace torvane;
using namespace torvane::platform::usb;

namespace {

TEST(UsbNumbering, OnlyDeviceNamesCarryANumber)
{
	EXPECT_EQ(deviceNumberOf("\\\\.\\usbscan0"), 0u);
	EXPECT_EQ(deviceNumberOf("\\\\.\\usbscan12"), 12u);
	EXPECT_EQ(deviceNumberOf("usbscan7"), 7u);
	EXPECT_EQ(deviceNumberOf("\\\\.\\usbscan4294967295"), 4294967295u);

	EXPECT_FALSE(deviceNumberOf(nullptr));
	EXPECT_FALSE(deviceNumberOf(""));
	EXPECT_FALSE(deviceNumberOf("\\\\.\\usbscan"));
	EXPECT_FALSE(deviceNumberOf("\\\\.\\usbscan-1"));
	EXPECT_FALSE(deviceNumberOf("\\\\.\\usbscan1x"));
	EXPECT_FALSE(deviceNumberOf("\\\\.\\usbscan4294967296"));
	EXPECT_FALSE(deviceNumberOf("\\\\.\\usbprint0"));
	EXPECT_FALSE(deviceNumberOf("\\\\.\\USBSCAN0"));
}

TEST(UsbNumbering, SupportedScannersAreNumberedByBusAndPortPath)
{
	const std::vector<AttachedDevice> attached = {
		{ 0x2F1A, 0x0918, 2, { 1 } },	    // 0: KT918, bus 2
		{ 0x046D, 0xC52B, 1, { 1 } },	    // 1: another vendor's device
		{ 0x2F1A, 0x0735, 1, { 10 } },	    // 2: RM735, bus 1 port 10
		{ 0x2F1A, 0x0999, 1, { 3 } },	    // 3: an unsupported product of the vendor
		{ 0x2F1A, 0x0735, 1, { 2, 1 } },    // 4: RM735 behind the hub on port 2
		{ 0x2F1A, 0x0950, 1, { 2 } },	    // 5: KT950 on port 2 itself
		{ 0x2F1A, 0x0736, 1, { 2, 1, 4 } }, // 6: two hubs down
	};
	// Ports compare as paths: 2 < 2.1 < 2.1.4 < 10, and bus 1 before bus 2.
	EXPECT_EQ(scannerOrder(attached), (std::vector<size_t>{ 5, 4, 6, 2, 0 }));

	// The order of listing (plugging in) does not change the numbers.
	std::vector<AttachedDevice> reversed(attached.rbegin(), attached.rend());
	std::vector<size_t> order = scannerOrder(reversed);
	for (size_t &index : order)
		index = attached.size() - 1 - index;
	EXPECT_EQ(order, (std::vector<size_t>{ 5, 4, 6, 2, 0 }));

	EXPECT_TRUE(scannerOrder({}).empty());
	EXPECT_TRUE(scannerOrder({ { 0x2F1A, 0x0999, 1, { 1 } } }).empty());
}

TEST(UsbNumbering, TheDeviceDescriptorRecordIsFourLittleEndianWords)
{
	EXPECT_EQ(deviceDescriptorRecord(0x2F1A, 0x0735, 0x0102),
		  (std::array<uint8_t, 8>{ 0x1A, 0x2F, 0x35, 0x07, 0x02, 0x01, 0x00, 0x00 }));
	EXPECT_EQ(deviceDescriptorRecord(0xFFFF, 0x0001, 0xABCD),
		  (std::array<uint8_t, 8>{ 0xFF, 0xFF, 0x01, 0x00, 0xCD, 0xAB, 0x00, 0x00 }));
}

TEST(UsbNumbering, TheTimeoutRecordIsInSecondsAndZeroKeepsTheDefault)
{
	const uint8_t zeros[12] = {};
	std::optional<Timeouts> timeouts = timeoutsFromRecord(zeros, sizeof(zeros));
	ASSERT_TRUE(timeouts);
	EXPECT_EQ(timeouts->readMs, 120000u);
	EXPECT_EQ(timeouts->writeMs, 120000u);
	EXPECT_EQ(timeouts->eventMs, 0u);

	const uint8_t set[12] = { 5, 0, 0, 0, 0x2C, 0x01, 0, 0, 9, 0, 0, 0 };
	timeouts = timeoutsFromRecord(set, sizeof(set));
	ASSERT_TRUE(timeouts);
	EXPECT_EQ(timeouts->readMs, 5000u);
	EXPECT_EQ(timeouts->writeMs, 300000u);
	EXPECT_EQ(timeouts->eventMs, 9000u);

	// Seconds beyond what milliseconds can hold saturate instead of wrapping.
	const uint8_t huge[12] = { 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x45, 0x00, 1, 0, 0, 0 };
	timeouts = timeoutsFromRecord(huge, sizeof(huge));
	ASSERT_TRUE(timeouts);
	EXPECT_EQ(timeouts->readMs, 0xFFFFFFFFu);
	EXPECT_EQ(timeouts->writeMs, 0xFFFFFFFFu);
	EXPECT_EQ(timeouts->eventMs, 1000u);

	EXPECT_FALSE(timeoutsFromRecord(zeros, 11));
	EXPECT_FALSE(timeoutsFromRecord(nullptr, 12));
}

TEST(UsbDeviceFiles, WithoutADeviceFolderNamesGoToUsbAndOnlyScannersOpen)
{
	// An empty TORVANE_DEVICE_DIR counts as unset: no socket is tried under "/".
	setenv("TORVANE_DEVICE_DIR", "", 1);
	EXPECT_EQ(platform::openDeviceFile("\\\\.\\usbscan999"), nullptr);
	EXPECT_EQ(platform::openButtonWait("\\\\.\\usbscan999"), nullptr);
	EXPECT_EQ(platform::openDeviceFile("\\\\.\\usbscan"), nullptr);
	EXPECT_EQ(platform::openDeviceFile("/dev/null"), nullptr);
	unsetenv("TORVANE_DEVICE_DIR");
	EXPECT_EQ(platform::openDeviceFile("\\\\.\\usbscan999"), nullptr);
}

} // namespace
