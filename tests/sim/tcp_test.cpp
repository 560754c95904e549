// SPDX-License-Identifier: MIT
// The TCP listener: attach, the same scanner state as the Unix sockets,
// refusals, and unplug closing attached connections.

#include <array>
#include <chrono>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include "raw_client.h"
#include "sim_fixture.h"
#include "torvane_sim/tcp_listener.h"

namespace torvane::simtest {

namespace {

class SimTcpTest : public SimFixture
{
protected:
	void SetUp() override
	{
		SimFixture::SetUp();
		ASSERT_TRUE(listener.listen(0));
		ASSERT_NE(listener.port(), 0);
	}

	// Attaches `client` to usbscanN and returns the attach reply.
	Reply attach(RawClient &client, uint32_t number)
	{
		if (!client.connectTcp(listener.port(), number))
			return {};
		return client.receiveHeaderReply();
	}

	sim::TcpListener listener{ server };
};

} // namespace

TEST_F(SimTcpTest, AttachedConnectionSharesTheScannersState)
{
	const std::array<uint8_t, 3> sense{ 0x02, 0x04, 0x01 };
	scanner->addFault(sim::FaultRule::checkCondition(0x12, 0x02, 0x04, 0x01));
	RawClient tcp;
	const Reply attached = attach(tcp, 0);
	ASSERT_TRUE(attached.received);
	EXPECT_EQ(attached.result, 0u);
	EXPECT_EQ(attached.count, 0u);
	// The listener replies, then hands the connection over.
	for (int i = 0; i < 200 && server.connectionCount(0) == 0; ++i)
		std::this_thread::sleep_for(std::chrono::milliseconds(5));
	EXPECT_EQ(server.connectionCount(0), 1u);

	// INQUIRY over TCP ends in CHECK CONDITION; its sense is read on the
	// Unix socket, as a second connection of the same device.
	const Reply written = tcp.write(inquiryBlock());
	EXPECT_EQ(written.result, 0u);
	EXPECT_EQ(written.count, 10u);
	EXPECT_EQ(tcp.read(160).count, 160u);
	const Reply status = tcp.read(1);
	ASSERT_EQ(status.data.size(), 1u);
	EXPECT_EQ(status.data[0], 2);
	const Exchange request = exchange(path(), requestSenseBlock(), 22);
	ASSERT_TRUE(request.ok);
	EXPECT_EQ(request.dataIn[2], sense[0]);
	EXPECT_EQ(request.dataIn[12], sense[1]);
	EXPECT_EQ(request.dataIn[13], sense[2]);

	// With the fault spent, the inquiry data over TCP is that of the socket.
	ASSERT_EQ(tcp.write(inquiryBlock()).result, 0u);
	const Reply data = tcp.read(160);
	EXPECT_EQ(tcp.read(1).data, std::vector<uint8_t>{ 0 });
	EXPECT_EQ(data.data, exchange(path(), inquiryBlock(), 160).dataIn);

	const Reply descriptor = tcp.control(0x80002018);
	EXPECT_EQ(descriptor.result, 0u);
	EXPECT_EQ(descriptor.data.size(), 8u);
}

TEST_F(SimTcpTest, RefusesAnUnpluggedNumberAndAnotherFirstRequest)
{
	RawClient absent;
	const Reply refused = attach(absent, 3);
	ASSERT_TRUE(refused.received);
	EXPECT_EQ(refused.result, sim::kAttachNoSuchDevice);
	EXPECT_EQ(refused.count, 0u);
	EXPECT_TRUE(absent.closedByPeer(2000));

	// A READ as first request: closed without a reply, the scanner untouched.
	RawClient stranger;
	ASSERT_TRUE(stranger.connectTcp(listener.port(), std::nullopt));
	EXPECT_FALSE(stranger.read(16).received);
	EXPECT_EQ(server.connectionCount(0), 0u);
}

TEST_F(SimTcpTest, UnplugClosesAttachedConnectionsAndReplugServesAgain)
{
	RawClient tcp;
	ASSERT_EQ(attach(tcp, 0).result, 0u);
	ASSERT_TRUE(server.unplug(0));
	EXPECT_TRUE(tcp.closedByPeer(2000));
	RawClient during;
	EXPECT_EQ(attach(during, 0).result, sim::kAttachNoSuchDevice);

	ASSERT_TRUE(server.plug(scanner, 2));
	RawClient after;
	EXPECT_EQ(attach(after, 0).result, sim::kAttachNoSuchDevice);
	ASSERT_EQ(attach(after, 2).result, 0u);
	ASSERT_EQ(after.write(inquiryBlock()).count, 10u);
	EXPECT_EQ(after.read(160).count, 160u);
	EXPECT_EQ(after.read(1).data, std::vector<uint8_t>{ 0 });
}

} // namespace torvane::simtest
