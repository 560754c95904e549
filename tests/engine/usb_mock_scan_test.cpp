// SPDX-License-Identifier: MIT
// The whole driver on the real libusb, the virtual scanner on an emulated USB
// bus: a session's exchanges, whole A4 pages, StopScan of a stalled read,
// the button wait, an unplugged scanner and a device node without access.

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "emulated_usb.h"
#include "engine/scan_engine.h"
#include "platform/platform.h"
#include "scanner_session.h"
#include "transport/transport.h"

namespace torvane::engine::test {
namespace {

int32_t lastError()
{
	unsigned char s1, s2, s3;
	int32_t code = -1;
	GetScannerStatusEx(&s1, &s2, &s3, &code);
	return code;
}

class UsbMockScanTest : public ScanningTest
{
protected:
	void SetUp() override
	{
		ScanningTest::SetUp();
		if (HasFatalFailure())
			return;
		// The same scanner, now on USB: without a device folder the driver
		// looks for it there.
		unsetenv("TORVANE_DEVICE_DIR");
		bus = std::make_unique<emulated_usb::Bus>();
		emulated_usb::DeviceSpec other;
		other.productId = 0x0999; // of the vendor, but not supported: no number
		bus->plug(other);
		device = bus->plug(specOnPort(3, { 2 }));
	}

	void TearDown() override
	{
		ScanningTest::TearDown();
		TerminateDriver();
		bus.reset();
	}

	emulated_usb::DeviceSpec specOnPort(uint8_t busNumber, std::vector<uint8_t> ports) const
	{
		const sim::UsbIdentity identity = scanner->usbIdentity();
		emulated_usb::DeviceSpec spec;
		spec.vendorId = identity.vendorId;
		spec.productId = identity.productId;
		spec.release = identity.release;
		spec.bus = busNumber;
		spec.ports = std::move(ports);
		spec.scanner = scanner;
		return spec;
	}

	void findOnUsb()
	{
		ASSERT_EQ(InitializeDriver(), 1);
		ASSERT_EQ(transport::devicePath(), "\\\\.\\usbscan0");
		scanner->clearCommandLog();
	}

	std::vector<uint8_t> operationCodes() const
	{
		std::vector<uint8_t> codes;
		for (const sim::CommandRecord &command : commands())
			codes.push_back(command.operationCode());
		return codes;
	}

	// A whole page, compared byte for byte with the reference pipeline.
	void expectWholePage(const Request &request)
	{
		const ScanParameter parameter = parameterFor(request);
		std::vector<uint8_t> raw;
		const std::vector<uint8_t> image = scan(parameter, &raw);
		ASSERT_FALSE(raw.empty());
		const std::vector<uint8_t> expected = expectedImage(raw, imageBytesOf(parameter));
		ASSERT_EQ(image.size(), imageBytesOf(parameter));
		EXPECT_TRUE(std::equal(image.begin(), image.end(), expected.begin()));
	}

	std::unique_ptr<emulated_usb::Bus> bus;
	size_t device = 0;
};

TEST_F(UsbMockScanTest, ASessionCarriesEveryExchangeDataStatusAndSense)
{
	findOnUsb();
	ScannerAbility basic{};
	ASSERT_EQ(GetScannerAbility(&basic), 1);
	ScannerAbilityEx ability{};
	ASSERT_EQ(GetScannerAbilityEx(&ability), 1);
	NvmRecord record{};
	ASSERT_EQ(ReadNVMData(&record), 1);
	record.Block66[2] ^= 0x5A; // byte 0x68
	ASSERT_EQ(WriteNVMData(&record), 1);
	EXPECT_EQ(scanner->nvm()[0x68], record.Block66[2]);
	EXPECT_EQ(SetPowerSaveTime(15), 1);
	EXPECT_EQ(scanner->powerSaveTime(), 15);
	EXPECT_EQ(operationCodes(), (std::vector<uint8_t>{ 0x12, 0x28, 0x12, 0x28, 0x28, 0x2A, 0x2A }));

	// CHECK CONDITION: REQUEST SENSE on a second file, its data decoded.
	scanner->addFault(sim::FaultRule::checkCondition(0x12, 0x5, 0x24, 0x00));
	scanner->clearCommandLog();
	EXPECT_EQ(GetScannerAbility(&basic), 0);
	EXPECT_EQ(operationCodes(), (std::vector<uint8_t>{ 0x12, 0x03 }));
	EXPECT_EQ(lastError(), 2999);
	// Reading the code cleared it. Another status byte fails the command with
	// no sense data: the failed export still leaves the general code.
	EXPECT_EQ(lastError(), 0);
	scanner->addFault(sim::FaultRule::statusByte(0x12, 8));
	EXPECT_EQ(GetScannerAbility(&basic), 0);
	EXPECT_EQ(lastError(), 2999);
	EXPECT_EQ(bus->stats(device).claimed, 0);
	EXPECT_TRUE(bus->stats(device).unknownRequests.empty());
}

constexpr uint16_t kA4Length = 3508; // 297 mm at 300 dpi

TEST_F(UsbMockScanTest, AnA4PageInColourArrivesByteExact)
{
	findOnUsb();
	expectWholePage({ .xres = 300, .mode = 4, .bitsPerPixel = 24, .length = kA4Length });
	// Let go between exchanges; libusb's handle stays open for the next.
	EXPECT_EQ(bus->stats(device).claimed, 0);
	EXPECT_EQ(bus->stats(device).clients, 1);
}

TEST_F(UsbMockScanTest, AnA4PageInLineArtArrivesByteExact)
{
	findOnUsb();
	expectWholePage({ .xres = 300, .mode = 0, .bitsPerPixel = 1, .length = kA4Length });
	EXPECT_EQ(bus->stats(device).claimed, 0);
}

TEST_F(UsbMockScanTest, StopScanEndsAStalledImageReadAndTheScannerStaysUsable)
{
	findOnUsb();
	const ScanParameter parameter = parameterFor({ .xres = 600, .mode = 2, .colorFilter = 2, .length = 40 });
	ASSERT_EQ(SetScanParameter(&parameter), 1);
	scanner->addFault(sim::FaultRule::stallRead(0x28).forDataType(0x00));
	const size_t earlier = bus->stats(device).bulkInLengths.size();
	ASSERT_EQ(StartScan(), 1);
	ASSERT_TRUE(bus->waitForWithheldRead(device, earlier + 2)); // after RESERVE UNIT's and SCAN's status
	EXPECT_EQ(StopScan(), 1);
	EXPECT_EQ(bus->stats(device).flying, 0);
	EXPECT_EQ(bus->stats(device).discarded, 1);
	EXPECT_FALSE(scanner->reserved());

	scanner->clearFaults();
	expectWholePage({ .xres = 600, .mode = 2, .colorFilter = 2, .length = 20 });
	EXPECT_EQ(bus->stats(device).claimed, 0);
}

TEST_F(UsbMockScanTest, AButtonPressComesOnTheInterruptPipeAndTerminateDriverCancelsTheWait)
{
	findOnUsb();
	ButtonReport report;
	ASSERT_EQ(ReadPushButton(&report), 1); // nothing pressed: the wait stays out
	EXPECT_EQ(bus->stats(device).flying, 1);
	EXPECT_EQ(bus->stats(device).claimed, 1);
	const uint8_t press[] = { 0x05, 0x00 };
	ASSERT_TRUE(scanner->pressButton(press));
	bool seen = false;
	for (int poll = 0; poll < 1000 && !seen; ++poll) {
		ASSERT_EQ(ReadPushButton(&report), 1);
		seen = report.Bytes[0] != 0;
		if (!seen)
			platform::sleepMs(2);
	}
	ASSERT_TRUE(seen);
	EXPECT_EQ(std::vector<uint8_t>(report.Bytes, report.Bytes + 8),
		  (std::vector<uint8_t>{ 0x81, 0x02, 0, 0, 0, 0, 0x01, 0 }));
	EXPECT_EQ(bus->stats(device).claimed, 0);

	// A new wait, abandoned by TerminateDriver: its URB is cancelled and
	// the interface let go.
	ASSERT_EQ(ReadPushButton(&report), 1);
	EXPECT_EQ(bus->stats(device).flying, 1);
	EXPECT_EQ(TerminateDriver(), 1);
	EXPECT_EQ(bus->stats(device).flying, 0);
	EXPECT_EQ(bus->stats(device).discarded, 1);
	EXPECT_EQ(bus->stats(device).claimed, 0);
}

TEST_F(UsbMockScanTest, AnUnpluggedScannerFailsPromptlyAndIsFoundAgainOnItsNewPort)
{
	findOnUsb();
	scanner->addFault(sim::FaultRule::stallRead(0x28).forDataType(0x69));
	std::atomic<bool> done{ false };
	int result = -1;
	const size_t earlier = bus->stats(device).bulkInLengths.size();
	std::thread reader([&] {
		NvmRecord record{};
		result = ReadNVMData(&record); // the scanner withholds the data
		done = true;
	});
	EXPECT_TRUE(bus->waitForWithheldRead(device, earlier));
	bus->unplug(device);
	// Ended by the unplug, long before the read's time-out of 120 s.
	for (int i = 0; i < 1000 && !done; ++i)
		platform::sleepMs(10);
	EXPECT_TRUE(done);
	reader.join();
	EXPECT_EQ(result, 0);
	// The device file cannot be opened, nor another found: the scanner
	// found was disconnected.
	ScannerAbility basic{};
	EXPECT_EQ(GetScannerAbility(&basic), 0);
	EXPECT_EQ(lastError(), TORVANE_ERROR_DISCONNECTED);

	scanner->clearFaults();
	bus->plug(specOnPort(1, { 4 }));
	EXPECT_EQ(GetScannerAbility(&basic), 1);
}

TEST_F(UsbMockScanTest, ADeviceNodeWithoutAccessIsNoScannerAndTheLogSaysWhy)
{
	bus->unplug(device);
	emulated_usb::DeviceSpec locked = specOnPort(1, { 5 });
	locked.nodeMode = 0; // not even its owner
	const size_t node = bus->plug(locked);
	emulated_usb::dropFileAccessOverride();
	enableLogging(3);
	EXPECT_EQ(InitializeDriver(), 0);
	EXPECT_EQ(lastError(), 129);
	EXPECT_EQ(bus->stats(node).clients, 0);
	EXPECT_NE(torvane::test::readFile(logs.file("quorDll.txt"))
			  .find("USB scanner 2F1A:0735 on bus 1: no access to its device node (LIBUSB_ERROR_ACCESS); "
				"a udev rule must give the user read and write access, e.g. through the scanner group"),
		  std::string::npos);
}

} // namespace
} // namespace torvane::engine::test
