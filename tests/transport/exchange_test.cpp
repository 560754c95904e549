// SPDX-License-Identifier: MIT
// The command exchange against a simulated scanner: blocks as the device
// receives them, data phases, status bytes and REQUEST SENSE.

#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "driver/driver_state.h"
#include "support/scanner_fixture.h"
#include "transport/commands.h"
#include "transport/transport.h"

using namespace torvane;
using namespace torvane::transport;
using sim::FaultRule;

namespace {

using Bytes = std::vector<uint8_t>;

class ExchangeTest : public test::ScannerTest
{
protected:
	int inquire(uint8_t *buffer) { return SendCommand(inquiryBlock().data(), buffer, kInquiryLength, 0); }

	size_t countOf(uint8_t operationCode) const
	{
		size_t n = 0;
		for (const auto &command : commands())
			n += command.operationCode() == operationCode;
		return n;
	}
};

TEST_F(ExchangeTest, EveryBlockArrivesAsBuiltWithItsDataPhase)
{
	uint8_t buffer[512] = {};
	EXPECT_EQ(SendCommand(reserveUnitBlock().data(), nullptr, 0, 0), 1);
	EXPECT_EQ(SendCommand(releaseUnitBlock(3).data(), nullptr, 0, 0), 1);
	EXPECT_EQ(SendCommand(read10Block(kReadNvm, 128).data(), buffer, 128, 0), 1);
	for (int i = 0; i < 256; ++i)
		buffer[2 * i + 1] = static_cast<uint8_t>(i);
	EXPECT_EQ(SendDataBlock(buffer, 512, kSendGamma, 2), 1);

	const auto log = commands();
	ASSERT_EQ(log.size(), 4u);
	EXPECT_EQ(Bytes(log[0].block.begin(), log[0].block.end()), (Bytes{ 0x16, 0, 0, 0, 0, 0, 0, 0, 0, 0 }));
	EXPECT_EQ(Bytes(log[1].block.begin(), log[1].block.end()), (Bytes{ 0x17, 0, 0, 0, 0, 3, 0, 0, 0, 0 }));
	EXPECT_EQ(Bytes(log[2].block.begin(), log[2].block.end()), (Bytes{ 0x28, 0, 0x69, 0, 0x0A, 0x0D, 0, 0, 0x80, 0 }));
	EXPECT_EQ(log[2].dataInLength, 128u);
	EXPECT_EQ(Bytes(log[3].block.begin(), log[3].block.end()), (Bytes{ 0x2A, 0, 0x81, 0, 0, 2, 0x00, 0x02, 0x00, 0 }));
	EXPECT_EQ(log[3].dataOut, Bytes(buffer, buffer + 512));
	for (const auto &command : log)
		EXPECT_EQ(command.status, 0);
	EXPECT_EQ(scanner->gammaTable(2)->at(511), 255);

	// SCAN without a window is refused by the scanner, but its block arrives as built.
	clearCommands();
	SendCommand(scanBlock().data(), nullptr, 0, 0);
	const auto scanLog = commands();
	ASSERT_FALSE(scanLog.empty());
	EXPECT_EQ(Bytes(scanLog[0].block.begin(), scanLog[0].block.end()), (Bytes{ 0x1B, 0, 0, 0, 0, 0x80, 0, 0, 0, 0 }));
}

TEST_F(ExchangeTest, DataInIsGatheredAcrossShortReads)
{
	uint8_t whole[160] = {};
	ASSERT_EQ(inquire(whole), 1);
	scanner->addFault(FaultRule::shortReads(kOpInquiry, 7));
	uint8_t pieces[160] = {};
	EXPECT_EQ(inquire(pieces), 1);
	EXPECT_EQ(std::memcmp(whole, pieces, sizeof(whole)), 0);
}

TEST_F(ExchangeTest, AnEmptyReadIsToleratedButEmptyReadsDoNotSpin)
{
	uint8_t inquiry[160] = {};
	scanner->addFault(FaultRule::emptyReads(kOpInquiry).times(kMaxEmptyReads - 1));
	EXPECT_EQ(inquire(inquiry), 1);
	EXPECT_STREQ(reinterpret_cast<char *>(inquiry + 16), "RM735");

	scanner->addFault(FaultRule::emptyReads(kOpInquiry).always());
	driver::setLastError(42);
	EXPECT_EQ(inquire(inquiry), 0);
	EXPECT_EQ(driver::lastError(), 42);
}

TEST_F(ExchangeTest, CheckConditionRequestsSenseOnASecondConnection)
{
	scanner->addFault(FaultRule::checkCondition(kOpScan, 0x2, 0x00, 0x00));
	driver::setLastError(0);
	EXPECT_EQ(SendCommand(scanBlock().data(), nullptr, 0, 0), 0);
	EXPECT_EQ(driver::lastError(), 2009);
	const auto log = commands();
	ASSERT_EQ(log.size(), 2u);
	EXPECT_EQ(log[0].status, 2);
	EXPECT_EQ(Bytes(log[1].block.begin(), log[1].block.end()), (Bytes{ 0x03, 0, 0, 0, 0x16, 0, 0, 0, 0, 0 }));
	EXPECT_EQ(log[1].dataInLength, 22u);
	EXPECT_NE(log[0].connection, log[1].connection);
	EXPECT_EQ(driver::driverState.SenseData[2], 0x2);
}

TEST_F(ExchangeTest, AdditionalSenseOverridesTheKey)
{
	scanner->addFault(FaultRule::checkCondition(kOpReserveUnit, 0x5, 0x24, 0x00));
	EXPECT_EQ(SendCommand(reserveUnitBlock().data(), nullptr, 0, 0), 0);
	EXPECT_EQ(driver::lastError(), 2999);
}

TEST_F(ExchangeTest, RequestSenseIsNotRecursive)
{
	scanner->addFault(FaultRule::checkCondition(kOpScan, 0x4, 0x00, 0x00));
	scanner->addFault(FaultRule::checkCondition(kOpRequestSense, 0x4, 0x00, 0x00).always());
	driver::setLastError(77);
	EXPECT_EQ(SendCommand(scanBlock().data(), nullptr, 0, 0), 0);
	EXPECT_EQ(countOf(kOpRequestSense), 1u);
	EXPECT_EQ(driver::lastError(), 77);

	// REQUEST SENSE sent as a command of its own is not followed by another.
	clearCommands();
	uint8_t sense[22];
	EXPECT_EQ(SendCommand(requestSenseBlock().data(), sense, 22, 0), 0);
	EXPECT_EQ(countOf(kOpRequestSense), 1u);
}

TEST_F(ExchangeTest, OtherStatusBytesFailWithTheCodeUnchanged)
{
	scanner->addFault(FaultRule::statusByte(kOpReserveUnit, 8));
	driver::setLastError(31);
	EXPECT_EQ(SendCommand(reserveUnitBlock().data(), nullptr, 0, 0), 0);
	EXPECT_EQ(driver::lastError(), 31);
	EXPECT_EQ(countOf(kOpRequestSense), 0u);
}

TEST_F(ExchangeTest, FailedTransfersFailWithTheCodeUnchanged)
{
	uint8_t inquiry[160];
	for (auto rule : { FaultRule::failBlockWrite(kOpInquiry), FaultRule::failDataPhase(kOpInquiry),
			   FaultRule::failStatusRead(kOpInquiry) }) {
		scanner->addFault(rule);
		driver::setLastError(31);
		EXPECT_EQ(inquire(inquiry), 0);
		EXPECT_EQ(driver::lastError(), 31);
	}
	EXPECT_EQ(countOf(kOpRequestSense), 0u);
	// The next exchange starts cleanly on a new connection.
	EXPECT_EQ(inquire(inquiry), 1);
}

TEST_F(ExchangeTest, ConcurrentExchangesNeverInterleave)
{
	std::atomic<int> failures{ 0 };
	auto worker = [&] {
		uint8_t inquiry[160];
		for (int i = 0; i < 150; ++i)
			if (inquire(inquiry) != 1 || std::strcmp(reinterpret_cast<char *>(inquiry + 16), "RM735") != 0)
				++failures;
	};
	std::thread a(worker), b(worker);
	a.join();
	b.join();
	EXPECT_EQ(failures.load(), 0);
	for (const auto &command : commands())
		EXPECT_FALSE(command.abandoned);
}

} // namespace
