// SPDX-License-Identifier: MIT
// Device files of real scanners through the real libusb, against scanners on
// an emulated USB bus: numbering by bus and port, packets, halted pipes,
// time-outs, unplugging and the detach of a kernel driver.

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "emulated_usb.h"
#include "platform/posix/device_backends.h"
#include "torvane_sim/virtual_scanner.h"

using namespace torvane;
using namespace torvane::platform;
using namespace torvane::protocol;

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint8_t kInquiry[10] = { 0x12, 0, 0, 0, 0xA0, 0, 0, 0, 0, 0 };

class UsbMock : public ::testing::Test
{
protected:
	void SetUp() override { unsetenv("TORVANE_DEVICE_DIR"); }

	size_t plug(uint16_t product, uint8_t busNumber, std::vector<uint8_t> ports,
		    std::shared_ptr<sim::VirtualScanner> served = std::make_shared<sim::VirtualScanner>())
	{
		emulated_usb::DeviceSpec spec;
		spec.productId = product;
		spec.bus = busNumber;
		spec.ports = std::move(ports);
		spec.scanner = std::move(served);
		return bus.plug(spec);
	}

	// The fixture's scanner on bus 1, port 1, its device file open.
	void plugAndOpen()
	{
		device = plug(0x0735, 1, { 1 }, scanner);
		file = openUsbDeviceFile("\\\\.\\usbscan0");
		ASSERT_NE(file, nullptr);
	}

	emulated_usb::Bus bus;
	std::shared_ptr<sim::VirtualScanner> scanner = std::make_shared<sim::VirtualScanner>();
	size_t device = 0;
	std::unique_ptr<DeviceFile> file;
};

uint16_t productOf(const char *name)
{
	auto file = openUsbDeviceFile(name);
	if (!file)
		return 0;
	uint8_t record[8] = {};
	uint32_t returned = 0;
	if (!file->control(kIoctlGetDeviceDescriptor, record, 8, record, 8, &returned) || returned != 8)
		return 0;
	return static_cast<uint16_t>(record[2] | record[3] << 8);
}

std::vector<uint16_t> numbering()
{
	std::vector<uint16_t> products;
	for (const char *name : { "\\\\.\\usbscan0", "\\\\.\\usbscan1", "\\\\.\\usbscan2", "\\\\.\\usbscan3" })
		products.push_back(productOf(name));
	return products;
}

// INQUIRY written; `length` bytes asked for; true when the read succeeded.
bool inquiryRead(DeviceFile &file, uint32_t length, uint32_t *got)
{
	uint32_t written = 0;
	Bytes data(length);
	return file.write(kInquiry, 10, &written) && written == 10 && file.read(data.data(), length, got);
}

// A whole INQUIRY exchange: 160 bytes and a GOOD status.
bool inquiryWorks(DeviceFile &file)
{
	uint32_t got = 0;
	uint8_t status = 0xEE;
	return inquiryRead(file, 160, &got) && got == 160 && file.read(&status, 1, &got) && got == 1 && status == 0;
}

TEST_F(UsbMock, EnumerationNumbersScannersByBusThenPortWhateverThePluggingOrder)
{
	emulated_usb::DeviceSpec mouse;
	mouse.vendorId = 0x046D;
	mouse.productId = 0xC077;
	mouse.ports = { 2 };
	bus.plug(mouse);
	plug(0x0999, 1, { 4 }); // the vendor's, but not a supported product

	plug(0x0735, 1, { 3 });
	EXPECT_EQ(numbering(), (std::vector<uint16_t>{ 0x0735, 0, 0, 0 }));
	plug(0x0918, 2, { 1 });
	EXPECT_EQ(numbering(), (std::vector<uint16_t>{ 0x0735, 0x0918, 0, 0 }));
	// Behind a hub on a lower port of bus 1: first from now on.
	plug(0x0740, 1, { 1, 2 });
	EXPECT_EQ(numbering(), (std::vector<uint16_t>{ 0x0740, 0x0735, 0x0918, 0 }));
	EXPECT_EQ(bus.stats(0).clients, 0);
	EXPECT_EQ(bus.stats(1).clients, 0);
	EXPECT_EQ(bus.stats(3).claimed, 0);
}

TEST_F(UsbMock, EnumerationFindsAScannerReplugggedOnAnotherPort)
{
	auto moved = std::make_shared<sim::VirtualScanner>();
	const size_t first = plug(0x0735, 1, { 1 }, moved);
	plug(0x0918, 1, { 2 });
	EXPECT_EQ(numbering(), (std::vector<uint16_t>{ 0x0735, 0x0918, 0, 0 }));

	bus.unplug(first);
	EXPECT_EQ(numbering(), (std::vector<uint16_t>{ 0x0918, 0, 0, 0 }));
	const size_t again = plug(0x0735, 3, { 2 }, moved);
	EXPECT_EQ(numbering(), (std::vector<uint16_t>{ 0x0918, 0x0735, 0, 0 }));
	auto file = openUsbDeviceFile("\\\\.\\usbscan1");
	ASSERT_NE(file, nullptr);
	EXPECT_TRUE(inquiryWorks(*file));
	EXPECT_EQ(bus.stats(again).claimed, 1);
}

TEST_F(UsbMock, ExchangeReadsEndAtShortAndZeroLengthPackets)
{
	plugAndOpen();

	// The scanner sends the inquiry data in short packets of 100 bytes.
	scanner->addFault(sim::FaultRule::shortReads(0x12, 100));
	uint32_t got = 0;
	ASSERT_TRUE(inquiryRead(*file, 160, &got));
	EXPECT_EQ(got, 100u);
	uint8_t rest[60];
	ASSERT_TRUE(file->read(rest, 60, &got));
	EXPECT_EQ(got, 60u);
	uint8_t status = 0xEE;
	ASSERT_TRUE(file->read(&status, 1, &got));
	EXPECT_EQ(status, 0);

	// A zero-length packet ends a read that delivers nothing.
	scanner->addFault(sim::FaultRule::emptyReads(0x12));
	ASSERT_TRUE(inquiryRead(*file, 160, &got));
	EXPECT_EQ(got, 0u);
	uint8_t data[160];
	ASSERT_TRUE(file->read(data, 160, &got));
	EXPECT_EQ(got, 160u);
	ASSERT_TRUE(file->read(&status, 1, &got));

	// Every read was one URB of the length asked for.
	EXPECT_EQ(bus.stats(device).bulkInLengths, (std::vector<uint32_t>{ 160, 60, 1, 160, 160, 1 }));
}

TEST_F(UsbMock, ExchangeSplitIntoUrbsEndsAtAShortPacketAndLosesNoByte)
{
	// Without scatter-gather libusb splits a read into URBs of 16 KB; a
	// short packet in the middle ends the read with what came, and the
	// kernel cancels the URBs behind it.
	emulated_usb::DeviceSpec spec;
	spec.scanner = std::make_shared<sim::VirtualScanner>();
	spec.scatterGather = false;
	const size_t device = bus.plug(spec);
	auto file = openUsbDeviceFile("\\\\.\\usbscan0");
	ASSERT_NE(file, nullptr);
	spec.scanner->addFault(sim::FaultRule::shortReads(0x28, 10000));
	constexpr uint32_t kLength = 495360;
	const uint8_t calibrationRead[10] = { 0x28, 0, 0x62, 0, 0x0A, 0x0D, 0x07, 0x8F, 0x00, 0 };
	uint32_t count = 0;
	ASSERT_TRUE(file->write(calibrationRead, 10, &count));
	Bytes data(kLength);
	std::vector<uint32_t> pieces;
	for (uint32_t total = 0; total < kLength && pieces.size() < 60; total += count) {
		ASSERT_TRUE(file->read(data.data() + total, kLength - total, &count));
		pieces.push_back(count);
	}
	std::vector<uint32_t> expected(49, 10000);
	expected.push_back(kLength - 49 * 10000);
	EXPECT_EQ(pieces, expected);
	EXPECT_TRUE(data == sim::VirtualScanner::calibrationData(kLength));
	uint8_t status = 0xEE;
	ASSERT_TRUE(file->read(&status, 1, &count));
	EXPECT_EQ(status, 0);
	// The first read: 30 URBs of 16 KB and one of the rest.
	const std::vector<uint32_t> lengths = bus.stats(device).bulkInLengths;
	ASSERT_GE(lengths.size(), 31u);
	EXPECT_EQ(std::vector<uint32_t>(lengths.begin(), lengths.begin() + 31),
		  [] {
			  std::vector<uint32_t> urbs(30, 16384);
			  urbs.push_back(kLength - 30 * 16384);
			  return urbs;
		  }());
	EXPECT_EQ(bus.stats(device).flying, 0);
}

TEST_F(UsbMock, PipesAHaltedPipeFailsOneTransferAndIsClearedForTheNext)
{
	plugAndOpen();

	bus.haltEndpoint(device, emulated_usb::kBulkIn);
	uint32_t got = 0;
	EXPECT_FALSE(inquiryRead(*file, 160, &got));
	EXPECT_EQ(bus.stats(device).clearHalts, 1);
	EXPECT_TRUE(inquiryWorks(*file));

	bus.haltEndpoint(device, emulated_usb::kBulkOut);
	uint32_t written = 0;
	EXPECT_FALSE(file->write(kInquiry, 10, &written));
	EXPECT_EQ(bus.stats(device).clearHalts, 2);
	EXPECT_TRUE(inquiryWorks(*file));

	// A data phase the scanner fails is a STALL of its pipe, recovered alike.
	scanner->addFault(sim::FaultRule::failDataPhase(0x12));
	EXPECT_FALSE(inquiryRead(*file, 160, &got));
	EXPECT_EQ(bus.stats(device).clearHalts, 3);
	EXPECT_TRUE(inquiryWorks(*file));
}

TEST_F(UsbMock, PipesAReadTimesOutAfterTheTimeoutRecordsSeconds)
{
	plugAndOpen();
	const uint8_t record[12] = { 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0 };
	ASSERT_TRUE(file->control(kIoctlSetTimeout, record, sizeof(record), nullptr, 0, nullptr));

	scanner->addFault(sim::FaultRule::stallRead(0x12));
	uint32_t got = 99;
	const auto start = std::chrono::steady_clock::now();
	EXPECT_FALSE(inquiryRead(*file, 160, &got));
	const auto waited = std::chrono::steady_clock::now() - start;
	EXPECT_EQ(got, 0u);
	// libusb cancelled the URB when its second was up.
	EXPECT_EQ(bus.stats(device).discarded, 1);
	EXPECT_EQ(bus.stats(device).flying, 0);
	EXPECT_GE(waited, std::chrono::milliseconds(900));
	// As the driver does after a failed exchange: the next one on a new file.
	scanner->clearFaults();
	file.reset();
	file = openUsbDeviceFile("\\\\.\\usbscan0");
	ASSERT_NE(file, nullptr);
	EXPECT_TRUE(inquiryWorks(*file));
}

TEST_F(UsbMock, UnplugEndsATransferInFlightAndEveryLaterCallFailsAtOnce)
{
	plugAndOpen();
	scanner->addFault(sim::FaultRule::stallRead(0x12));

	std::atomic<bool> done{ false };
	bool failed = false;
	std::thread reader([&] {
		uint32_t got = 0;
		failed = !inquiryRead(*file, 160, &got); // waits: the scanner sends nothing
		done = true;
	});
	EXPECT_TRUE(bus.waitForWithheldRead(device, 0));
	bus.unplug(device);
	// Ended by the unplug, long before the 120 s time-out of the read.
	for (int i = 0; i < 10000 && !done; ++i)
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	EXPECT_TRUE(done);
	reader.join();
	EXPECT_TRUE(failed);

	uint32_t count = 0;
	uint8_t byte = 0;
	EXPECT_FALSE(file->write(kInquiry, 10, &count));
	EXPECT_FALSE(file->read(&byte, 1, &count));
	uint8_t record[8];
	EXPECT_FALSE(file->control(kIoctlGetDeviceDescriptor, record, 8, record, 8, &count));
	EXPECT_EQ(openUsbDeviceFile("\\\\.\\usbscan0"), nullptr);

	// Back on the same port while the dead file is still open: a new file
	// reaches the new device, not the dead handle.
	const size_t again = plug(0x0735, 1, { 1 }, scanner);
	scanner->clearFaults();
	auto fresh = openUsbDeviceFile("\\\\.\\usbscan0");
	ASSERT_NE(fresh, nullptr);
	EXPECT_TRUE(inquiryWorks(*fresh));
	EXPECT_EQ(bus.stats(again).claimed, 1);
}

TEST_F(UsbMock, ClaimABoundKernelDriverIsDetachedWhileTheFileIsOpen)
{
	emulated_usb::DeviceSpec spec;
	spec.scanner = std::make_shared<sim::VirtualScanner>();
	spec.kernelDriver = "usblp";
	const size_t device = bus.plug(spec);
	{
		auto file = openUsbDeviceFile("\\\\.\\usbscan0");
		ASSERT_NE(file, nullptr);
		EXPECT_TRUE(inquiryWorks(*file));
		EXPECT_EQ(bus.stats(device).detaches, 1);
		EXPECT_EQ(bus.stats(device).reattaches, 0);
	}
	const emulated_usb::DeviceStats stats = bus.stats(device);
	EXPECT_EQ(stats.reattaches, 1);
	EXPECT_EQ(stats.claimed, 0);
	EXPECT_TRUE(stats.unknownRequests.empty());
}

} // namespace
