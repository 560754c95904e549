// SPDX-License-Identifier: MIT
// Device files of real scanners, against the libusb stand-in: which scanner a
// name opens, the pipes each call uses, the time-outs, the claim of the
// interface, the overlapped button wait, and the interrupt that StopScan
// uses to end a stalled read.

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "fake_usb.h"
#include "platform/posix/device_backends.h"
#include "platform/posix/io_interrupt.h"

using namespace torvane;
using namespace torvane::platform;
using namespace torvane::protocol;

namespace {

using Bytes = std::vector<uint8_t>;

fake_usb::Device scanner(uint16_t product, uint8_t bus, std::vector<uint8_t> ports)
{
	fake_usb::Device device;
	device.productId = product;
	device.bus = bus;
	device.ports = std::move(ports);
	return device;
}

Bytes descriptorOf(DeviceFile &file)
{
	Bytes record(8, 0xEE);
	uint32_t returned = 0;
	if (!file.control(kIoctlGetDeviceDescriptor, record.data(), 8, record.data(), 8, &returned))
		return {};
	record.resize(returned);
	return record;
}

TEST(UsbDeviceFile, EachNameOpensTheScannerOfItsNumber)
{
	fake_usb::attach({ scanner(0x0918, 2, { 1 }), scanner(0x0735, 1, { 3 }), scanner(0x0999, 1, { 1 }) });

	auto first = openUsbDeviceFile("\\\\.\\usbscan0");
	ASSERT_NE(first, nullptr);
	EXPECT_EQ(descriptorOf(*first), (Bytes{ 0x1A, 0x2F, 0x35, 0x07, 0x00, 0x01, 0x00, 0x00 }));
	auto second = openUsbDeviceFile("\\\\.\\usbscan1");
	ASSERT_NE(second, nullptr);
	EXPECT_EQ(descriptorOf(*second), (Bytes{ 0x1A, 0x2F, 0x18, 0x09, 0x00, 0x01, 0x00, 0x00 }));

	// The unsupported product has no device file; nothing beyond the last.
	EXPECT_EQ(openUsbDeviceFile("\\\\.\\usbscan2"), nullptr);
	EXPECT_EQ(openUsbButtonWait("\\\\.\\usbscan2"), nullptr);
	EXPECT_EQ(openUsbDeviceFile("\\\\.\\usbscanX"), nullptr);
	EXPECT_EQ(fake_usb::snapshot(2).opens, 0);
}

TEST(UsbDeviceFile, CommandsAndDataTravelOnTheBulkPipes)
{
	fake_usb::attach({ scanner(0x0735, 1, { 1 }) });
	auto file = openUsbDeviceFile("\\\\.\\usbscan0");
	ASSERT_NE(file, nullptr);

	const Bytes block = { 0x12, 0, 0, 0, 0x60, 0, 0, 0, 0, 0 };
	uint32_t written = 0;
	ASSERT_TRUE(file->write(block.data(), static_cast<uint32_t>(block.size()), &written));
	EXPECT_EQ(written, 10u);
	EXPECT_EQ(fake_usb::snapshot(0).written, (std::vector<Bytes>{ block }));

	fake_usb::with(0, [](fake_usb::Device &device) { device.bulkIn = { 1, 2, 3, 4, 5, 0 }; });
	uint8_t data[5] = {};
	uint32_t got = 0;
	ASSERT_TRUE(file->read(data, 5, &got));
	EXPECT_EQ(got, 5u);
	EXPECT_EQ(Bytes(data, data + 5), (Bytes{ 1, 2, 3, 4, 5 }));
	// A short packet ends a read early, with what came.
	uint8_t status[4] = {};
	ASSERT_TRUE(file->read(status, 4, &got));
	EXPECT_EQ(got, 1u);
	EXPECT_EQ(status[0], 0);

	// Nothing to move: no transfer at all.
	EXPECT_TRUE(file->read(data, 0, &got));
	EXPECT_TRUE(file->write(block.data(), 0, &written));
	EXPECT_EQ(fake_usb::snapshot(0).bulkTimeouts.size(), 3u);
}

TEST(UsbDeviceFile, TheTimeoutRecordSetsTheTransfersTimeouts)
{
	fake_usb::attach({ scanner(0x0735, 1, { 1 }) });
	auto file = openUsbDeviceFile("\\\\.\\usbscan0");
	ASSERT_NE(file, nullptr);
	uint8_t byte = 0;
	uint32_t count = 0;
	ASSERT_TRUE(file->write(&byte, 1, &count));

	// All zero, as discovery sends it: the defaults stay.
	const uint8_t zeros[12] = {};
	EXPECT_TRUE(file->control(kIoctlSetTimeout, zeros, sizeof(zeros), nullptr, 0, nullptr));
	ASSERT_TRUE(file->write(&byte, 1, &count));
	const uint8_t record[12] = { 3, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0 };
	EXPECT_TRUE(file->control(kIoctlSetTimeout, record, sizeof(record), nullptr, 0, nullptr));
	ASSERT_TRUE(file->write(&byte, 1, &count));
	fake_usb::with(0, [](fake_usb::Device &device) { device.bulkIn = { 7 }; });
	ASSERT_TRUE(file->read(&byte, 1, &count));
	EXPECT_EQ(fake_usb::snapshot(0).bulkTimeouts, (std::vector<int>{ 120000, 120000, 4000, 3000 }));

	// A short record, an unknown code and a short descriptor buffer fail.
	EXPECT_FALSE(file->control(kIoctlSetTimeout, record, 11, nullptr, 0, nullptr));
	EXPECT_FALSE(file->control(0x80002000, nullptr, 0, nullptr, 0, nullptr));
	uint8_t small[4] = {};
	uint32_t returned = 99;
	EXPECT_FALSE(file->control(kIoctlGetDeviceDescriptor, small, 4, small, 4, &returned));
	EXPECT_EQ(returned, 0u);
}

TEST(UsbDeviceFile, TheInterfaceIsClaimedOnceWhileAnyFileIsOpen)
{
	fake_usb::attach({ scanner(0x0735, 1, { 1 }) });
	{
		auto one = openUsbDeviceFile("\\\\.\\usbscan0");
		auto two = openUsbDeviceFile("\\\\.\\usbscan0");
		auto wait = openUsbButtonWait("\\\\.\\usbscan0");
		ASSERT_TRUE(one && two && wait);
		const fake_usb::Device device = fake_usb::snapshot(0);
		EXPECT_EQ(device.opens, 1);
		EXPECT_EQ(device.claimed, 1);
		EXPECT_EQ(device.totalClaims, 1);
	}
	// The interface is let go; libusb's handle stays open for the next file.
	fake_usb::Device device = fake_usb::snapshot(0);
	EXPECT_EQ(device.opens, 1);
	EXPECT_EQ(device.claimed, 0);

	// Claimed afresh by the next open.
	EXPECT_NE(openUsbDeviceFile("\\\\.\\usbscan0"), nullptr);
	device = fake_usb::snapshot(0);
	EXPECT_EQ(device.totalClaims, 2);
	EXPECT_EQ(device.claimed, 0);
}

TEST(UsbDeviceFile, AScannerHeldElsewhereDoesNotOpen)
{
	fake_usb::Device busy = scanner(0x0735, 1, { 1 });
	busy.refuseClaim = true;
	fake_usb::attach({ busy });
	EXPECT_EQ(openUsbDeviceFile("\\\\.\\usbscan0"), nullptr);
	EXPECT_EQ(fake_usb::snapshot(0).opens, 0); // the handle is closed again

	// Once free, it opens.
	fake_usb::with(0, [](fake_usb::Device &device) { device.refuseClaim = false; });
	EXPECT_NE(openUsbDeviceFile("\\\\.\\usbscan0"), nullptr);
}

TEST(UsbButtonWait, TheWaitStaysOutstandingBetweenPollsUntilAReportComes)
{
	fake_usb::attach({ scanner(0x0918, 1, { 1 }) });
	auto wait = openUsbButtonWait("\\\\.\\usbscan0");
	ASSERT_NE(wait, nullptr);
	ASSERT_EQ(wait->start(), ButtonWait::Start::Pending);
	uint8_t report[8] = {};
	uint32_t count = 99;
	EXPECT_EQ(wait->poll(report, &count), ButtonWait::Poll::Pending);
	EXPECT_EQ(wait->poll(report, &count), ButtonWait::Poll::Pending);
	EXPECT_EQ(count, 0u);
	EXPECT_EQ(fake_usb::pendingTransfers(), 1);

	fake_usb::with(0, [](fake_usb::Device &device) {
		device.interruptReports.push_back({ 0x02, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00 });
	});
	ASSERT_EQ(wait->poll(report, &count), ButtonWait::Poll::Delivered);
	EXPECT_EQ(count, 8u);
	EXPECT_EQ(Bytes(report, report + 8), (Bytes{ 0x02, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00 }));
	EXPECT_EQ(fake_usb::pendingTransfers(), 0);
}

TEST(UsbButtonWait, AnAbandonedWaitIsCancelledBeforeItsBufferGoes)
{
	fake_usb::attach({ scanner(0x0918, 1, { 1 }) });
	{
		auto wait = openUsbButtonWait("\\\\.\\usbscan0");
		ASSERT_NE(wait, nullptr);
		ASSERT_EQ(wait->start(), ButtonWait::Start::Pending);
		EXPECT_EQ(fake_usb::pendingTransfers(), 1);
	}
	// The stand-in aborts if a transfer is freed while still submitted.
	EXPECT_EQ(fake_usb::pendingTransfers(), 0);
	EXPECT_EQ(fake_usb::snapshot(0).claimed, 0);
}

TEST(UsbButtonWait, AScannerWithoutAnInterruptPipeCannotWait)
{
	fake_usb::Device plain = scanner(0x0735, 1, { 1 });
	plain.withInterruptPipe = false;
	fake_usb::attach({ plain });
	auto wait = openUsbButtonWait("\\\\.\\usbscan0");
	ASSERT_NE(wait, nullptr);
	EXPECT_EQ(wait->start(), ButtonWait::Start::Failed);
	uint8_t report[8];
	uint32_t count = 0;
	EXPECT_EQ(wait->poll(report, &count), ButtonWait::Poll::Ended);

	auto file = openUsbDeviceFile("\\\\.\\usbscan0");
	ASSERT_NE(file, nullptr);
	uint32_t returned = 0;
	EXPECT_FALSE(file->control(kIoctlWaitOnDeviceEvent, nullptr, 0, report, 8, &returned));
}

TEST(UsbDeviceFile, AnInterruptEndsAStalledReadAtOnceAndRefusesLaterOpens)
{
	fake_usb::attach({ scanner(0x0735, 1, { 1 }) });
	auto interrupt = createIoInterrupt();
	std::atomic<bool> reading{ false };
	std::atomic<bool> failed{ false };
	std::atomic<bool> reopened{ true };
	std::thread reader([&] {
		setThreadIoInterrupt(interrupt);
		auto file = openUsbDeviceFile("\\\\.\\usbscan0");
		if (!file)
			return;
		uint8_t data[64];
		uint32_t got = 0;
		reading = true;
		failed = !file->read(data, sizeof(data), &got); // the scanner sends nothing
		reopened = openUsbDeviceFile("\\\\.\\usbscan0") != nullptr;
		setThreadIoInterrupt(nullptr);
	});
	// The reader comes to its read and waits there.
	for (int i = 0; i < 10000 && (!reading || fake_usb::pendingTransfers() == 0); ++i)
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	EXPECT_EQ(fake_usb::pendingTransfers(), 1);
	triggerIoInterrupt(*interrupt);
	reader.join();
	EXPECT_TRUE(failed);
	EXPECT_FALSE(reopened);
	EXPECT_EQ(fake_usb::pendingTransfers(), 0);
	EXPECT_EQ(fake_usb::snapshot(0).claimed, 0);
}

} // namespace
