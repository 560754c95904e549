// SPDX-License-Identifier: MIT
// Win32 device files \\.\usbscanN: the calls the driver makes to the
// still-image USB driver, seen from a scripted device behind them.

#include <cstring>
#include <vector>

#include <windows.h>

#include <gtest/gtest.h>

#include "driver/driver_state.h"
#include "platform/platform.h"
#include "platform/win32/device_calls.h"
#include "support/fake_device_calls.h"
#include "transport/commands.h"
#include "torvane_protocol/supported_devices.h"
#include "transport/transport.h"

using namespace torvane;
using namespace torvane::wintest;

namespace {

constexpr uint16_t kVendor = protocol::kSupportedVendorId;
constexpr uint16_t kRM735 = 0x0735;

class DeviceFiles : public ::testing::Test
{
protected:
	void SetUp() override { platform::setDeviceCalls(installFakeDevices(&devices)); }
	void TearDown() override { platform::setDeviceCalls(nullptr); }

	ScriptedDeviceSet devices;
};

TEST_F(DeviceFiles, SynchronousFilesAreOpenedSharedExistingAndWithoutFlags)
{
	auto shared = devices.add(0, kVendor, kRM735);
	shared->replies = { { 0xAA, 0xBB, 0xCC } };
	{
		auto device = platform::openDeviceFile("\\\\.\\usbscan0");
		ASSERT_NE(device, nullptr);
		uint32_t count = 0;
		const uint8_t block[10] = { 0x12 };
		ASSERT_TRUE(device->write(block, 10, &count));
		EXPECT_EQ(count, 10u);
		uint8_t data[8] = {};
		ASSERT_TRUE(device->read(data, sizeof(data), &count));
		EXPECT_EQ(count, 3u);
		EXPECT_EQ(data[2], 0xCC);

		uint8_t descriptor[8] = {};
		ASSERT_TRUE(device->control(protocol::kIoctlGetDeviceDescriptor, descriptor, 8, descriptor, 8, &count));
		EXPECT_EQ(count, 8u);
		EXPECT_EQ(descriptor[0] | descriptor[1] << 8, kVendor);
		EXPECT_FALSE(device->control(0x12345678, nullptr, 0, nullptr, 0, &count));
	}
	EXPECT_EQ(platform::openDeviceFile("\\\\.\\usbscan1"), nullptr);

	const DeviceCallLog log = fakeDeviceLog();
	ASSERT_EQ(log.creates.size(), 2u);
	EXPECT_EQ(log.creates[0].name, "\\\\.\\usbscan0");
	EXPECT_EQ(log.creates[0].access, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
	EXPECT_EQ(log.creates[0].share, static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE));
	EXPECT_EQ(log.creates[0].disposition, static_cast<DWORD>(OPEN_EXISTING));
	EXPECT_EQ(log.creates[0].flags, 0u);
	EXPECT_EQ(log.closes, 1u);
	EXPECT_EQ(log.openHandles, 0u);
}

TEST_F(DeviceFiles, DiscoveryTakesTheFirstSupportedScannerAndClosesEveryFile)
{
	devices.add(1, kVendor, 0x0999); // the vendor's, not supported
	devices.add(3, 0x1234, kRM735);	 // another vendor
	devices.add(4, kVendor, 0x0918);
	devices.add(6, kVendor, kRM735);
	ASSERT_EQ(transport::FindScanner(), 1);
	EXPECT_EQ(transport::devicePath(), "\\\\.\\usbscan4");

	const DeviceCallLog log = fakeDeviceLog();
	ASSERT_EQ(log.creates.size(), 5u);
	EXPECT_EQ(log.creates[4].name, "\\\\.\\usbscan4");
	EXPECT_EQ(log.openHandles, 0u);
	// Per device: all-zero time-outs (12 bytes in), then the descriptor
	// (8 bytes, the same buffer in and out).
	ASSERT_EQ(log.controls.size(), 6u);
	for (size_t i = 0; i < log.controls.size(); i += 2) {
		EXPECT_EQ(log.controls[i].code, 0x8000202Cu);
		EXPECT_EQ(log.controls[i].inLength, 12u);
		EXPECT_EQ(log.controls[i].outLength, 0u);
		EXPECT_EQ(log.controls[i + 1].code, 0x80002018u);
		EXPECT_EQ(log.controls[i + 1].inLength, 8u);
		EXPECT_EQ(log.controls[i + 1].outLength, 8u);
		EXPECT_TRUE(log.controls[i + 1].inSameAsOut);
		EXPECT_FALSE(log.controls[i + 1].overlapped);
	}
}

TEST_F(DeviceFiles, DiscoveryTriesExactlyTheNames0To126)
{
	devices.add(127, kVendor, kRM735);
	driver::setLastError(0);
	EXPECT_EQ(transport::FindScanner(), 0);
	EXPECT_EQ(driver::lastError(), 129);
	const DeviceCallLog log = fakeDeviceLog();
	ASSERT_EQ(log.creates.size(), 127u);
	for (size_t n = 0; n < log.creates.size(); ++n)
		EXPECT_EQ(log.creates[n].name, "\\\\.\\usbscan" + std::to_string(n));
}

TEST_F(DeviceFiles, AnExchangeReadsItsDataInPiecesAndSenseOnASecondFile)
{
	auto shared = devices.add(0, kVendor, kRM735);
	shared->readPiece = 5;
	std::vector<uint8_t> inquiry(32);
	for (size_t i = 0; i < inquiry.size(); ++i)
		inquiry[i] = static_cast<uint8_t>(i * 7);
	std::vector<uint8_t> reply = inquiry;
	reply.push_back(0); // GOOD
	std::vector<uint8_t> sense(22, 0);
	sense[0] = 0x70;
	sense[2] = 0x05;
	sense[12] = 0x24;
	sense.push_back(0); // GOOD after the sense data
	shared->replies = { reply, { 2 }, sense };
	transport::setDevicePath("\\\\.\\usbscan0");

	const transport::CommandBlock block = transport::inquiryBlock();
	std::vector<uint8_t> buffer(32);
	ASSERT_EQ(transport::SendCommand(block.data(), buffer.data(), 32, 0), 1);
	EXPECT_EQ(buffer, inquiry);
	EXPECT_EQ(fakeDeviceLog().mostOpenHandles, 1u);

	// CHECK CONDITION: REQUEST SENSE opens the device a second time while
	// the first file is still open; ILLEGAL REQUEST with 0x2400 gives 2999.
	ASSERT_EQ(transport::SendCommand(block.data(), buffer.data(), 0, 0), 0);
	EXPECT_EQ(driver::lastError(), 2999);
	const DeviceCallLog log = fakeDeviceLog();
	EXPECT_EQ(log.mostOpenHandles, 2u);
	EXPECT_EQ(log.openHandles, 0u);
	ASSERT_EQ(shared->written.size(), 30u);
	EXPECT_EQ(shared->written[20], 0x03);
	EXPECT_EQ(shared->written[24], 22);
}

TEST_F(DeviceFiles, AnExchangeWithoutTheDeviceFailsWith155AfterOneDiscovery)
{
	transport::setDevicePath("\\\\.\\usbscan9");
	const transport::CommandBlock block = transport::inquiryBlock();
	EXPECT_EQ(transport::SendCommand(block.data(), nullptr, 0, 0), 0);
	EXPECT_EQ(driver::lastError(), 155);
	EXPECT_EQ(fakeDeviceLog().creates.size(), 1u + 127u);
}

class ButtonWaits : public DeviceFiles
{
protected:
	void SetUp() override
	{
		DeviceFiles::SetUp();
		button = devices.add(0, kVendor, kRM735);
	}

	void press(std::vector<uint8_t> bytes)
	{
		std::lock_guard<std::mutex> guard(button->mutex);
		std::memcpy(button->event, bytes.data(), bytes.size());
		button->eventResult = static_cast<int>(bytes.size());
	}

	std::shared_ptr<ScriptedDevice::Shared> button;
};

TEST_F(ButtonWaits, AWaitIsAnOverlappedRequestOnItsOwnSystemFile)
{
	auto wait = platform::openButtonWait("\\\\.\\usbscan0");
	ASSERT_NE(wait, nullptr);
	ASSERT_EQ(wait->start(), platform::ButtonWait::Start::Pending);

	DeviceCallLog log = fakeDeviceLog();
	ASSERT_EQ(log.creates.size(), 1u);
	EXPECT_EQ(log.creates[0].access, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
	EXPECT_EQ(log.creates[0].share, static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE));
	EXPECT_EQ(log.creates[0].disposition, static_cast<DWORD>(OPEN_EXISTING));
	EXPECT_EQ(log.creates[0].flags, static_cast<DWORD>(FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_SYSTEM));
	ASSERT_EQ(log.controls.size(), 1u);
	EXPECT_EQ(log.controls[0].code, 0x80002008u);
	EXPECT_EQ(log.controls[0].inLength, 0u);
	EXPECT_EQ(log.controls[0].outLength, 8u);
	EXPECT_TRUE(log.controls[0].overlapped);
	// Its own event: manual reset, created not signalled.
	ASSERT_NE(log.lastWaitEvent, nullptr);
	EXPECT_EQ(WaitForSingleObject(log.lastWaitEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));

	uint8_t report[8];
	std::memset(report, 0xEE, sizeof(report));
	uint32_t count = 99;
	EXPECT_EQ(wait->poll(report, &count), platform::ButtonWait::Poll::Pending);
	EXPECT_EQ(count, 0u);
	EXPECT_EQ(wait->poll(report, &count), platform::ButtonWait::Poll::Pending);

	press({ 0x05, 0x00, 0x11 });
	ASSERT_EQ(wait->poll(report, &count), platform::ButtonWait::Poll::Delivered);
	EXPECT_EQ(count, 3u);
	EXPECT_EQ(report[0], 0x05);
	EXPECT_EQ(report[2], 0x11);
	EXPECT_EQ(report[3], 0xEE); // only the delivered bytes are copied
	// Manual reset: still signalled after a wait on it.
	EXPECT_EQ(WaitForSingleObject(log.lastWaitEvent, 0), WAIT_OBJECT_0);
	EXPECT_EQ(WaitForSingleObject(log.lastWaitEvent, 0), WAIT_OBJECT_0);

	// One object is one wait: it has ended.
	EXPECT_EQ(wait->poll(report, &count), platform::ButtonWait::Poll::Ended);
	wait.reset();
	log = fakeDeviceLog();
	EXPECT_EQ(log.cancels, 0u);
	EXPECT_EQ(log.openHandles, 0u);
}

TEST_F(ButtonWaits, AWaitThatCompletesAtOnceIsCollectedByThePoll)
{
	button->waitStart = FakeConnection::WaitStart::Immediate;
	press({ 0x07, 0x04, 0, 0, 0, 0, 0, 0, 0x99 }); // nine bytes: eight are kept
	auto wait = platform::openButtonWait("\\\\.\\usbscan0");
	ASSERT_NE(wait, nullptr);
	ASSERT_EQ(wait->start(), platform::ButtonWait::Start::Completed);
	uint8_t report[8] = {};
	uint32_t count = 0;
	ASSERT_EQ(wait->poll(report, &count), platform::ButtonWait::Poll::Delivered);
	EXPECT_EQ(count, 8u);
	EXPECT_EQ(report[1], 0x04);
}

TEST_F(ButtonWaits, FailuresEndTheWait)
{
	button->waitStart = FakeConnection::WaitStart::Failed;
	auto wait = platform::openButtonWait("\\\\.\\usbscan0");
	ASSERT_NE(wait, nullptr);
	EXPECT_EQ(wait->start(), platform::ButtonWait::Start::Failed);
	uint8_t report[8] = {};
	uint32_t count = 0;
	EXPECT_EQ(wait->poll(report, &count), platform::ButtonWait::Poll::Ended);

	// Completed without bytes, and the device gone during the wait.
	button->waitStart = FakeConnection::WaitStart::Pending;
	for (int result : { 0, FakeConnection::kFailed }) {
		auto next = platform::openButtonWait("\\\\.\\usbscan0");
		ASSERT_EQ(next->start(), platform::ButtonWait::Start::Pending);
		button->eventResult = result;
		EXPECT_EQ(next->poll(report, &count), platform::ButtonWait::Poll::Ended);
		EXPECT_EQ(count, 0u);
		button->eventResult = FakeConnection::kNotYet;
	}
	EXPECT_EQ(platform::openButtonWait("\\\\.\\usbscan3"), nullptr);
}

TEST_F(ButtonWaits, AnOutstandingWaitIsCancelledAndHasEndedBeforeItsBuffersGo)
{
	auto wait = platform::openButtonWait("\\\\.\\usbscan0");
	ASSERT_EQ(wait->start(), platform::ButtonWait::Start::Pending);
	wait.reset();
	const DeviceCallLog log = fakeDeviceLog();
	EXPECT_EQ(log.cancels, 1u);
	EXPECT_EQ(log.waitingResults, 1u);
	EXPECT_EQ(log.openHandles, 0u);
}

} // namespace
