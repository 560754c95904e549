// SPDX-License-Identifier: MIT
// Whole scans through the USB device files: the virtual scanner behind the
// libusb stand-in instead of a socket, so discovery, every command exchange,
// the acquisition thread's reads, the interrupt of a stalled read and the
// button wait all run through the libusb backend.

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <span>

#include <gtest/gtest.h>

#include "../platform/fake_usb.h"
#include "engine/chunk_ring.h"
#include "engine/scan_engine.h"
#include "platform/platform.h"
#include "scanner_session.h"
#include "transport/transport.h"

namespace torvane::engine::test {
namespace {

// The virtual scanner's device side on the stand-in's pipes: one connection
// per libusb handle, as the device sees one per open device file.
class ScannerOnUsb : public fake_usb::Peer
{
public:
	explicit ScannerOnUsb(std::shared_ptr<sim::VirtualScanner> scanner) : scanner_(std::move(scanner)) {}

	void opened() override { connection_ = scanner_->openConnection(); }
	void closed() override { scanner_->closeConnection(connection_); }

	bool write(const uint8_t *data, uint32_t length, uint32_t *accepted) override
	{
		const sim::WriteReply reply = scanner_->write(connection_, std::span<const uint8_t>(data, length));
		*accepted = reply.count;
		return reply.result == 0;
	}

	Read read(uint8_t *data, uint32_t max, uint32_t *got) override
	{
		const sim::ReadReply reply = scanner_->read(connection_, max);
		if (reply.stalled)
			return Read::NotYet;
		*got = std::min(reply.length, max);
		if (*got)
			std::memcpy(data, reply.data(), *got);
		return reply.result == 0 ? Read::Done : Read::Failed;
	}

	bool report(uint8_t *data, uint32_t max, uint32_t *got) override
	{
		std::array<uint8_t, sim::kButtonReportLength> press {};
		uint32_t count = 0;
		if (!scanner_->takeButtonPress(press, count))
			return false;
		*got = std::min<uint32_t>({ count, max, static_cast<uint32_t>(press.size()) });
		std::memcpy(data, press.data(), *got);
		return true;
	}

private:
	std::shared_ptr<sim::VirtualScanner> scanner_;
	uint64_t connection_ = 0;
};

class UsbScanTest : public ScanningTest
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
		const sim::UsbIdentity identity = scanner->usbIdentity();
		fake_usb::Device other;
		other.productId = 0x0999; // of the vendor, but not supported: no number
		fake_usb::Device device;
		device.vendorId = identity.vendorId;
		device.productId = identity.productId;
		device.release = identity.release;
		device.bus = 3;
		device.peer = std::make_shared<ScannerOnUsb>(scanner);
		fake_usb::attach({ other, device });
		ASSERT_EQ(InitializeDriver(), 1);
		ASSERT_EQ(transport::devicePath(), "\\\\.\\usbscan0");
		scanner->clearCommandLog();
	}

	void TearDown() override
	{
		ScanningTest::TearDown();
		fake_usb::attach({});
	}
};

TEST_F(UsbScanTest, AColourPageArrivesWholeThroughTheBulkPipes)
{
	const uint32_t claimsBefore = static_cast<uint32_t>(fake_usb::snapshot(1).totalClaims);
	const ScanParameter parameter = parameterFor({ .xres = 200, .length = 60 });
	std::vector<uint8_t> raw;
	const std::vector<uint8_t> image = scan(parameter, &raw, 7777);
	ASSERT_FALSE(raw.empty());
	const std::vector<uint8_t> expected = expectedImage(raw, imageBytesOf(parameter));
	ASSERT_EQ(image.size(), expected.size());
	EXPECT_TRUE(image == expected);

	// Every exchange opened the scanner's device file on USB and let it go.
	const fake_usb::Device device = fake_usb::snapshot(1);
	EXPECT_GT(static_cast<uint32_t>(device.totalClaims), claimsBefore + 3);
	EXPECT_EQ(device.claimed, 0);
	EXPECT_EQ(device.opens, 0);
	EXPECT_EQ(fake_usb::snapshot(0).totalClaims, 0);
}

TEST_F(UsbScanTest, StopScanEndsAStalledReadOnUsbAndTheScannerStaysUsable)
{
	const ScanParameter parameter = parameterFor({ .xres = 600, .mode = 2, .colorFilter = 2, .length = 40 });
	ASSERT_EQ(SetScanParameter(&parameter), 1);
	scanner->addFault(sim::FaultRule::stallRead(0x28).forDataType(0x00));
	ASSERT_EQ(StartScan(), 1);
	// The acquisition thread comes to the image read and waits there.
	for (int i = 0; i < 1000 && fake_usb::pendingTransfers() == 0; ++i)
		platform::sleepMs(10);
	EXPECT_EQ(fake_usb::pendingTransfers(), 1);
	EXPECT_EQ(StopScan(), 1);
	EXPECT_FALSE(chunkRing);
	EXPECT_FALSE(acquireThread);
	EXPECT_EQ(fake_usb::pendingTransfers(), 0);
	EXPECT_FALSE(scanner->reserved());

	scanner->clearFaults();
	std::vector<uint8_t> raw;
	const std::vector<uint8_t> image = scan(parameterFor({ .xres = 600, .mode = 2, .colorFilter = 2, .length = 20 }),
						&raw);
	ASSERT_FALSE(image.empty());
	EXPECT_TRUE(std::equal(image.begin(), image.end(), raw.begin()));
	EXPECT_EQ(fake_usb::snapshot(1).claimed, 0);
}

TEST_F(UsbScanTest, AButtonPressComesThroughTheInterruptPipe)
{
	ButtonReport report;
	std::memset(&report, 0xEE, sizeof(report));
	ASSERT_EQ(ReadPushButton(&report), 1); // nothing pressed: the wait stays out
	EXPECT_EQ(std::vector<uint8_t>(report.Bytes, report.Bytes + 8), std::vector<uint8_t>(8, 0));
	EXPECT_EQ(fake_usb::pendingTransfers(), 1);
	EXPECT_EQ(fake_usb::snapshot(1).claimed, 1);

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
	// The wait has ended and let the scanner go.
	EXPECT_EQ(fake_usb::pendingTransfers(), 0);
	EXPECT_EQ(fake_usb::snapshot(1).claimed, 0);
}

} // namespace
} // namespace torvane::engine::test
