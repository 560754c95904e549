// SPDX-License-Identifier: MIT
// Fault injection through the socket, and fault rules written as text.

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "raw_client.h"
#include "sim_fixture.h"
#include "torvane_sim/fault_text.h"

namespace torvane::simtest {

using sim::FaultKind;
using sim::FaultRule;
using sim::makeSense;

class SimFaultTest : public SimFixture
{
protected:
	// A window and a running scan of `lines` colour lines.
	void startScan(uint32_t lines = 16)
	{
		WindowRequest request;
		request.bytesPerLine = 2550 * 3;
		request.lineCount = lines;
		ASSERT_EQ(exchange(path(), setWindowBlock(), 0, windowBlock(request)).status, 0);
		ASSERT_EQ(exchange(path(), simpleBlock(0x16)).status, 0);
		ASSERT_EQ(exchange(path(), simpleBlock(0x1B, 0x80)).status, 0);
	}

	std::vector<uint8_t> senseNow() { return exchange(path(), requestSenseBlock(), 22).dataIn; }

	bool waitForConnections(size_t count)
	{
		for (int i = 0; i < 2000; ++i) {
			if (server.connectionCount(0) == count)
				return true;
			std::this_thread::sleep_for(std::chrono::milliseconds(1));
		}
		return false;
	}
};

TEST_F(SimFaultTest, CheckConditionSenseComesOnASecondConnection)
{
	const auto sense = makeSense(0x02, 0x04, 0x01);
	scanner->addFault(FaultRule::checkCondition(0x12, sense));

	RawClient first(path());
	ASSERT_EQ(first.write(inquiryBlock()).result, 0u);
	Reply data = first.read(160);
	EXPECT_EQ(data.data, std::vector<uint8_t>(160, 0));
	Reply status = first.read(1);
	ASSERT_EQ(status.count, 1u);
	EXPECT_EQ(status.data[0], 2);

	// REQUEST SENSE while the first connection is still open.
	Exchange request = exchange(path(), requestSenseBlock(), 22);
	ASSERT_TRUE(request.ok);
	EXPECT_EQ(request.status, 0);
	EXPECT_EQ(request.dataIn, std::vector<uint8_t>(sense.begin(), sense.end()));

	// The rule fired once: the next INQUIRY succeeds.
	EXPECT_EQ(exchange(path(), inquiryBlock(), 160).status, 0);
	EXPECT_TRUE(scanner->faults().empty());
}

TEST_F(SimFaultTest, FullSenseBytesAndDataTypeMatching)
{
	sim::SenseData sense{};
	for (size_t i = 0; i < sense.size(); ++i)
		sense[i] = static_cast<uint8_t>(0x71 + i);
	scanner->addFault(FaultRule::checkCondition(0x28, sense).forDataType(0x69).times(2));

	// Another data type of the same operation code is not struck.
	EXPECT_EQ(exchange(path(), read10Block(0x60, 32), 32).status, 0);
	for (int i = 0; i < 2; ++i) {
		EXPECT_EQ(exchange(path(), read10Block(0x69, 128), 128).status, 2);
		EXPECT_EQ(senseNow(), std::vector<uint8_t>(sense.begin(), sense.end()));
	}
	EXPECT_EQ(exchange(path(), read10Block(0x69, 128), 128).status, 0);
}

TEST_F(SimFaultTest, OtherStatusByteCarriesNoSenseAndNoEffect)
{
	scanner->addFault(FaultRule::statusByte(0x2A, 8).forDataType(0xA2));
	Exchange busy = exchange(path(), send10Block(0xA2, 0, 2), 0, { 0x01, 0x02 });
	ASSERT_TRUE(busy.ok);
	EXPECT_EQ(busy.status, 8);
	EXPECT_FALSE(scanner->powerSaveTime());
	EXPECT_EQ(senseNow()[2], 0);

	EXPECT_EQ(exchange(path(), send10Block(0xA2, 0, 2), 0, { 0x01, 0x02 }).status, 0);
	EXPECT_EQ(scanner->powerSaveTime(), 0x0102);
}

TEST_F(SimFaultTest, FailedTransfersOnEachPhase)
{
	// Block write.
	scanner->addFault(FaultRule::failBlockWrite(0x12));
	{
		RawClient client(path());
		EXPECT_EQ(client.write(inquiryBlock()).result, 1u);
		EXPECT_EQ(client.write(inquiryBlock()).result, 0u); // fired once
	}
	// Data in: the first data READ fails and the exchange is dropped.
	scanner->addFault(FaultRule::failDataPhase(0x28).forDataType(0x69));
	{
		RawClient client(path());
		ASSERT_EQ(client.write(read10Block(0x69, 128)).result, 0u);
		Reply reply = client.read(128);
		EXPECT_TRUE(reply.received);
		EXPECT_EQ(reply.result, 1u);
		EXPECT_EQ(reply.count, 0u);
		EXPECT_EQ(client.read(1).result, 1u); // no status follows
	}
	// Data out.
	scanner->addFault(FaultRule::failDataPhase(0x2A));
	{
		RawClient client(path());
		ASSERT_EQ(client.write(send10Block(0xA9, 0, 2)).result, 0u);
		EXPECT_EQ(client.write({ 0, 5 }).result, 1u);
		EXPECT_FALSE(scanner->powerOffTime());
	}
	// Status read.
	scanner->addFault(FaultRule::failStatusRead(0x16));
	{
		RawClient client(path());
		ASSERT_EQ(client.write(simpleBlock(0x16)).result, 0u);
		EXPECT_EQ(client.read(1).result, 1u);
	}
	EXPECT_TRUE(exchange(path(), inquiryBlock(), 160).ok);
	const auto log = scanner->commandLog();
	ASSERT_EQ(log.size(), 6u);
	EXPECT_TRUE(log[0].abandoned); // the failed block write is logged too
	EXPECT_TRUE(log[2].abandoned);
	EXPECT_TRUE(log[3].abandoned);
	EXPECT_TRUE(log[4].abandoned);
	EXPECT_FALSE(log[5].abandoned);
}

TEST_F(SimFaultTest, ShortAndEmptyReads)
{
	scanner->addFault(FaultRule::shortReads(0x12, 64));
	Exchange limited = exchange(path(), inquiryBlock(), 160);
	ASSERT_TRUE(limited.ok);
	EXPECT_EQ(limited.reads, 3u); // 64 + 64 + 32
	const auto inquiry = scanner->inquiry();
	EXPECT_EQ(limited.dataIn, std::vector<uint8_t>(inquiry.begin(), inquiry.end()));

	scanner->addFault(FaultRule::emptyReads(0x12).times(3));
	RawClient client(path());
	ASSERT_EQ(client.write(inquiryBlock()).result, 0u);
	for (int i = 0; i < 3; ++i) {
		Reply empty = client.read(160);
		EXPECT_EQ(empty.result, 0u);
		EXPECT_EQ(empty.count, 0u);
	}
	EXPECT_EQ(client.read(160).count, 160u);
}

TEST_F(SimFaultTest, StalledImageReadWaitsForRelease)
{
	startScan();
	scanner->addFault(FaultRule::stallRead(0x28).forDataType(0x00));
	RawClient client(path());
	ASSERT_EQ(client.write(read10Block(0x00, 7650)).result, 0u);
	ASSERT_TRUE(client.sendRequest(2, { 0xE2, 0x1D, 0, 0 })); // max 7650
	EXPECT_FALSE(client.readable(100));
	scanner->releaseStalls();
	ASSERT_TRUE(client.readable(5000));
	Reply data = client.receiveDataReply();
	EXPECT_EQ(data.result, 0u);
	EXPECT_EQ(data.count, 7650u);
	const auto image = scanner->rawImage();
	EXPECT_EQ(data.data, std::vector<uint8_t>(image.begin(), image.begin() + 7650));
}

TEST_F(SimFaultTest, ShutdownFreesAStalledRead)
{
	startScan();
	scanner->addFault(FaultRule::stallRead(0x28).forDataType(0x00).always());
	RawClient client(path());
	ASSERT_EQ(client.write(read10Block(0x00, 7650)).result, 0u);
	ASSERT_TRUE(client.sendRequest(2, { 0xE2, 0x1D, 0, 0 }));
	EXPECT_FALSE(client.readable(50));
	ASSERT_EQ(server.connectionCount(0), 1u);

	// The driver interrupts the acquisition by shutting its socket down.
	client.shutdownBoth();
	EXPECT_TRUE(waitForConnections(0));
	EXPECT_TRUE(scanner->commandLog().back().abandoned);

	// The scanner takes the next command at once.
	EXPECT_EQ(exchange(path(), simpleBlock(0x17, 3)).status, 0);
	EXPECT_EQ(scanner->lastReleaseMode(), 3);
}

TEST_F(SimFaultTest, RequestSenseItselfFails)
{
	scanner->addFault(FaultRule::checkCondition(0x12, 0x05, 0x24, 0x00));
	scanner->addFault(FaultRule::checkCondition(0x03, 0x04, 0x44, 0x00));
	EXPECT_EQ(exchange(path(), inquiryBlock(), 160).status, 2);
	Exchange failed = exchange(path(), requestSenseBlock(), 22);
	ASSERT_TRUE(failed.ok);
	EXPECT_EQ(failed.status, 2);
	// The failing REQUEST SENSE left its own sense behind.
	const auto sense = makeSense(0x04, 0x44, 0x00);
	EXPECT_EQ(senseNow(), std::vector<uint8_t>(sense.begin(), sense.end()));
}

TEST_F(SimFaultTest, ClearFaultsRemovesRulesAndReleasesStalls)
{
	scanner->addFault(FaultRule::checkCondition(0x12, 5, 0x20, 0).always());
	const int id = scanner->addFault(FaultRule::statusByte(0x16, 8));
	EXPECT_EQ(scanner->faults().size(), 2u);
	scanner->removeFault(id);
	ASSERT_EQ(scanner->faults().size(), 1u);
	EXPECT_EQ(scanner->faults()[0].count, FaultRule::kAlways);
	EXPECT_EQ(exchange(path(), inquiryBlock(), 160).status, 2);
	EXPECT_EQ(exchange(path(), inquiryBlock(), 160).status, 2);
	scanner->clearFaults();
	EXPECT_EQ(exchange(path(), inquiryBlock(), 160).status, 0);
}

TEST(SimFaultSpecTest, ParsesEveryKind)
{
	auto check = sim::parseFaultRule("check,op=0x12,sense=02/04/01,count=3");
	ASSERT_TRUE(check);
	EXPECT_EQ(check->kind, FaultKind::CheckCondition);
	EXPECT_EQ(check->operationCode, 0x12);
	EXPECT_FALSE(check->dataType);
	EXPECT_EQ(check->count, 3);
	EXPECT_EQ(check->sense, makeSense(2, 4, 1));

	auto status = sim::parseFaultRule("status,op=42,type=0x81,status=8,count=always");
	ASSERT_TRUE(status);
	EXPECT_EQ(status->kind, FaultKind::Status);
	EXPECT_EQ(status->operationCode, 42);
	EXPECT_EQ(status->dataType, 0x81);
	EXPECT_EQ(status->status, 8);
	EXPECT_EQ(status->count, FaultRule::kAlways);

	auto full = sim::parseFaultRule("check,op=3,sense=F0000500000000"
					"0E"
					"00000000"
					"24"
					"000000000000000000");
	ASSERT_TRUE(full);
	EXPECT_EQ(full->sense[0], 0xF0);
	EXPECT_EQ(full->sense[12], 0x24);

	auto shortRule = sim::parseFaultRule("short,op=0x28,type=0,bytes=4096");
	ASSERT_TRUE(shortRule);
	EXPECT_EQ(shortRule->kind, FaultKind::ShortRead);
	EXPECT_EQ(shortRule->dataType, 0);
	EXPECT_EQ(shortRule->maxBytes, 4096u);

	const std::pair<const char *, FaultKind> others[] = {
		{ "fail-block,op=1", FaultKind::FailBlockWrite },
		{ "fail-data,op=1", FaultKind::FailDataPhase },
		{ "fail-status,op=1", FaultKind::FailStatusRead },
		{ "empty,op=1", FaultKind::EmptyRead },
		{ "stall,op=1", FaultKind::StallRead },
	};
	for (const auto &[text, kind] : others) {
		auto rule = sim::parseFaultRule(text);
		ASSERT_TRUE(rule) << text;
		EXPECT_EQ(rule->kind, kind);
		EXPECT_EQ(rule->count, 1);
	}
}

TEST(SimFaultSpecTest, RejectsBadRules)
{
	for (const char *text : { "", "boom,op=1", "check,op=0x12", "stall", "stall,op=0x100", "stall,op=1,type=x",
				  "check,op=1,sense=10/00/00", "check,op=1,sense=05/24", "short,op=1,bytes=0",
				  "stall,op=1,count=0", "stall,op=1,colour=red", "stall,op=1,count" }) {
		std::string error;
		EXPECT_FALSE(sim::parseFaultRule(text, &error)) << text;
		EXPECT_FALSE(error.empty()) << text;
	}
	EXPECT_EQ(sim::parseHexBytes("07,04 ff"), (std::vector<uint8_t>{ 0x07, 0x04, 0xFF }));
	EXPECT_FALSE(sim::parseHexBytes("7"));
	EXPECT_FALSE(sim::parseHexBytes("0g"));
	EXPECT_EQ(sim::parseNumber("0x2F1A", 0xFFFF), 0x2F1Au);
	EXPECT_FALSE(sim::parseNumber("70000", 0xFFFF));
	EXPECT_FALSE(sim::parseNumber("12a"));
}

} // namespace torvane::simtest
