// SPDX-License-Identifier: MIT
// The device file around the command set: control codes, the button wait,
// unplug and replug, several scanners, and a clean shutdown.

#include <chrono>
#include <thread>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "raw_client.h"
#include "sim_fixture.h"

namespace torvane::simtest {

namespace {

constexpr uint32_t kSetTimeout = 0x8000202C;
constexpr uint32_t kGetDescriptor = 0x80002018;
constexpr uint32_t kWaitOnEvent = 0x80002008;

bool socketExists(const std::string &path)
{
	struct stat status {};
	return ::lstat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
}

} // namespace

class SimDeviceTest : public SimFixture
{
};

TEST_F(SimDeviceTest, DescriptorAndTimeoutControls)
{
	RawClient client(path());
	Reply descriptor = client.control(kGetDescriptor, std::vector<uint8_t>(8, 0));
	EXPECT_EQ(descriptor.result, 0u);
	// Vendor 0x2F1A, product 0x0735, release 0x0103, language 0x0409, LE.
	EXPECT_EQ(descriptor.data, (std::vector<uint8_t>{ 0x1A, 0x2F, 0x35, 0x07, 0x03, 0x01, 0x09, 0x04 }));

	Reply timeout = client.control(kSetTimeout, { 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0 });
	EXPECT_EQ(timeout.result, 0u);
	EXPECT_EQ(timeout.count, 0u);
	ASSERT_TRUE(scanner->timeouts());
	EXPECT_EQ(*scanner->timeouts(), (std::array<uint32_t, 3>{ 1, 2, 3 }));

	EXPECT_EQ(client.control(kSetTimeout, { 0, 0, 0, 0 }).result, 1u);
	Reply unknown = client.control(0x80002010);
	EXPECT_TRUE(unknown.received);
	EXPECT_EQ(unknown.result, 1u);

	// Any identity can be presented, e.g. an unsupported product.
	scanner->setUsbIdentity({ 0x2F1A, 0x0001, 0x0100, 0x0409 });
	EXPECT_EQ(client.control(kGetDescriptor).data,
		  (std::vector<uint8_t>{ 0x1A, 0x2F, 0x01, 0x00, 0x00, 0x01, 0x09, 0x04 }));
}

TEST_F(SimDeviceTest, UnknownOpClosesTheConnection)
{
	RawClient client(path());
	ASSERT_TRUE(client.sendRequest(9, {}));
	EXPECT_TRUE(client.closedByPeer(2000));
}

TEST_F(SimDeviceTest, ButtonWaitIsSilentUntilAPress)
{
	RawClient waiter(path());
	ASSERT_TRUE(waiter.sendRequest(3, { 0x08, 0x20, 0x00, 0x80 }));
	EXPECT_FALSE(waiter.readable(100));

	// Other exchanges go on meanwhile.
	EXPECT_EQ(exchange(path(), inquiryBlock(), 160).status, 0);
	EXPECT_FALSE(waiter.readable(0));

	ASSERT_TRUE(scanner->pressButton(std::vector<uint8_t>{ 0x05, 0x00 }));
	ASSERT_TRUE(waiter.readable(5000));
	Reply press = waiter.receiveDataReply();
	EXPECT_EQ(press.result, 0u);
	EXPECT_EQ(press.data, (std::vector<uint8_t>{ 0x05, 0x00 }));
	EXPECT_EQ(scanner->queuedPresses(), 0u);
}

TEST_F(SimDeviceTest, PressWithoutWaitIsQueued)
{
	ASSERT_TRUE(scanner->pressButton(std::vector<uint8_t>{ 0x07, 0x04 }));
	ASSERT_TRUE(scanner->pressButton(std::vector<uint8_t>{ 0x03 }));
	EXPECT_FALSE(scanner->pressButton(std::vector<uint8_t>(9, 1)));
	EXPECT_FALSE(scanner->pressButton(std::vector<uint8_t>{}));
	EXPECT_EQ(scanner->queuedPresses(), 2u);

	RawClient client(path());
	Reply first = client.control(kWaitOnEvent);
	EXPECT_EQ(first.data, (std::vector<uint8_t>{ 0x07, 0x04 }));
	Reply second = client.control(kWaitOnEvent);
	EXPECT_EQ(second.data, (std::vector<uint8_t>{ 0x03 }));

	// The queue keeps the newest 16.
	for (uint8_t i = 0; i < 20; ++i)
		scanner->pressButton(std::vector<uint8_t>{ i });
	EXPECT_EQ(scanner->queuedPresses(), 16u);
	EXPECT_EQ(client.control(kWaitOnEvent).data, std::vector<uint8_t>{ 4 });
}

TEST_F(SimDeviceTest, UnplugClosesEverythingAndReplugKeepsTheState)
{
	ASSERT_EQ(exchange(path(), send10Block(0xA2, 0, 2), 0, { 0, 30 }).status, 0);
	RawClient idle(path());
	RawClient waiter(path());
	ASSERT_TRUE(waiter.sendRequest(3, { 0x08, 0x20, 0x00, 0x80 }));
	EXPECT_FALSE(waiter.readable(20));

	ASSERT_TRUE(server.unplug(0));
	EXPECT_FALSE(socketExists(path(0)));
	EXPECT_TRUE(idle.closedByPeer(2000));
	EXPECT_TRUE(waiter.closedByPeer(2000));
	EXPECT_FALSE(RawClient(path(0)).connected());
	EXPECT_FALSE(server.unplug(0));

	std::string error;
	ASSERT_TRUE(server.plug(scanner, 3, &error)) << error;
	EXPECT_TRUE(socketExists(path(3)));
	EXPECT_EQ(exchange(path(3), inquiryBlock(), 160).status, 0);
	EXPECT_EQ(scanner->powerSaveTime(), 30);

	ASSERT_TRUE(server.replug(3, 7, &error)) << error;
	EXPECT_FALSE(socketExists(path(3)));
	EXPECT_EQ(exchange(path(7), inquiryBlock(), 160).status, 0);
	EXPECT_EQ(server.numbers(), std::vector<unsigned int>{ 7 });
	EXPECT_FALSE(server.replug(3, 4));
}

TEST_F(SimDeviceTest, TwoScannersAtOnce)
{
	ASSERT_TRUE(server.unplug(0));
	auto second = std::make_shared<sim::VirtualScanner>(sim::Model::KT918);
	ASSERT_TRUE(server.plug(scanner, 2));
	ASSERT_TRUE(server.plug(second, 5));
	std::string error;
	EXPECT_FALSE(server.plug(second, 2, &error));
	EXPECT_NE(error.find("taken"), std::string::npos);
	EXPECT_FALSE(server.plug(second, 6, &error));
	EXPECT_NE(error.find("already"), std::string::npos);

	EXPECT_EQ(RawClient(path(2)).control(kGetDescriptor).data[2], 0x35);
	EXPECT_EQ(RawClient(path(5)).control(kGetDescriptor).data[2], 0x18);
	EXPECT_EQ(server.scanner(5), second);
	EXPECT_FALSE(server.scanner(0));

	// Each scanner keeps its own state.
	ASSERT_EQ(exchange(path(5), send10Block(0xA9, 0, 2), 0, { 0x12, 0x34 }).status, 0);
	EXPECT_EQ(second->powerOffTime(), 0x1234);
	EXPECT_FALSE(scanner->powerOffTime());
	EXPECT_EQ(second->commandLog().size(), 1u);
	EXPECT_TRUE(scanner->commandLog().empty());
}

TEST_F(SimDeviceTest, StaleSocketIsReplacedAndOtherFilesKept)
{
	ASSERT_TRUE(server.unplug(0));
	{
		// A socket file left behind, as by a crashed server.
		sim::SimServer other(dir.path());
		ASSERT_TRUE(other.plug(std::make_shared<sim::VirtualScanner>(), 1));
	}
	ASSERT_TRUE(server.plug(scanner, 1));
	FILE *file = std::fopen(dir.file("usbscan9").c_str(), "w");
	ASSERT_NE(file, nullptr);
	std::fclose(file);
	std::string error;
	EXPECT_FALSE(server.plug(std::make_shared<sim::VirtualScanner>(), 9, &error));
	EXPECT_NE(error.find("not a socket"), std::string::npos);
}

TEST_F(SimDeviceTest, StopEndsWaitsStallsAndIdleConnections)
{
	WindowRequest request;
	request.bytesPerLine = 300;
	request.lineCount = 4;
	ASSERT_EQ(exchange(path(), setWindowBlock(), 0, windowBlock(request)).status, 0);
	ASSERT_EQ(exchange(path(), simpleBlock(0x1B, 0x80)).status, 0);
	scanner->addFault(sim::FaultRule::stallRead(0x28));

	RawClient idle(path());
	RawClient waiter(path());
	ASSERT_TRUE(waiter.sendRequest(3, { 0x08, 0x20, 0x00, 0x80 }));
	RawClient stalled(path());
	ASSERT_EQ(stalled.write(read10Block(0, 1200)).result, 0u);
	ASSERT_TRUE(stalled.sendRequest(2, { 0xB0, 0x04, 0, 0 }));
	EXPECT_FALSE(stalled.readable(20));

	const auto before = std::chrono::steady_clock::now();
	server.stop();
	EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
	EXPECT_TRUE(server.numbers().empty());
	EXPECT_TRUE(stalled.closedByPeer(1000));
	EXPECT_TRUE(scanner->commandLog().back().abandoned);
}

TEST_F(SimDeviceTest, FullSpeedAndUsbRate)
{
	EXPECT_EQ(sim::VirtualScanner().dataRate(), sim::VirtualScanner::kUsbDataRate);
	EXPECT_EQ(scanner->dataRate(), 0u);
	scanner->setFullSpeed(false);
	EXPECT_EQ(scanner->dataRate(), 40'000'000u);
}

} // namespace torvane::simtest
