// SPDX-License-Identifier: MIT
// Device files of real scanners through the real libusb, against scanners on
// an emulated USB bus.

#include <gtest/gtest.h>

#include "emulated_usb.h"
#include "platform/posix/device_backends.h"
#include "torvane_sim/virtual_scanner.h"

using namespace torvane;
using namespace torvane::platform;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes descriptorOf(DeviceFile &file)
{
	Bytes record(8, 0xEE);
	uint32_t returned = 0;
	if (!file.control(kIoctlGetDeviceDescriptor, record.data(), 8, record.data(), 8, &returned))
		return {};
	record.resize(returned);
	return record;
}

TEST(UsbMockEnumeration, Smoke)
{
	unsetenv("TORVANE_DEVICE_DIR");
	emulated_usb::Bus bus;
	emulated_usb::DeviceSpec spec;
	spec.scanner = std::make_shared<sim::VirtualScanner>();
	bus.plug(spec);
	auto file = openUsbDeviceFile("\\\\.\\usbscan0");
	ASSERT_NE(file, nullptr);
	EXPECT_EQ(descriptorOf(*file), (Bytes{ 0x1A, 0x2F, 0x35, 0x07, 0x00, 0x01, 0x00, 0x00 }));
	const uint8_t inquiry[10] = { 0x12, 0, 0, 0, 0xA0, 0, 0, 0, 0, 0 };
	uint32_t count = 0;
	ASSERT_TRUE(file->write(inquiry, 10, &count));
	EXPECT_EQ(count, 10u);
	uint8_t data[160];
	ASSERT_TRUE(file->read(data, 160, &count));
	EXPECT_EQ(count, 160u);
	uint8_t status = 0xEE;
	ASSERT_TRUE(file->read(&status, 1, &count));
	EXPECT_EQ(status, 0);
	EXPECT_EQ(bus.stats(0).claimed, 1);
	file.reset();
	EXPECT_EQ(bus.stats(0).claimed, 0);
	for (auto &r : bus.stats(0).unknownRequests) printf("unknown %s\n", r.c_str());
}

} // namespace
