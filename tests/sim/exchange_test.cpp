// SPDX-License-Identifier: MIT
// The exchange as the scanner serves it: block, data phase, status byte,
// REQUEST SENSE, refused commands, abandoned exchanges and the command log.

#include <gtest/gtest.h>

#include "raw_client.h"
#include "sim_fixture.h"

namespace torvane::simtest {

using sim::makeSense;

namespace {

std::vector<uint8_t> bytesOf(const std::string &text)
{
	return { text.begin(), text.end() };
}

std::vector<uint8_t> slice(const std::vector<uint8_t> &bytes, size_t first, size_t count)
{
	return { bytes.begin() + first, bytes.begin() + first + count };
}

} // namespace

class SimExchangeTest : public SimFixture
{
};

TEST_F(SimExchangeTest, InquiryDescribesTheModel)
{
	Exchange rm735 = exchange(path(), inquiryBlock(), 160);
	ASSERT_TRUE(rm735.ok);
	EXPECT_EQ(rm735.status, 0);
	const auto &d = rm735.dataIn;
	ASSERT_EQ(d.size(), 160u);
	EXPECT_EQ(slice(d, 8, 8), bytesOf("TORVANE "));
	EXPECT_EQ(slice(d, 16, 16), bytesOf(std::string("RM735") + std::string(11, '\0')));
	EXPECT_EQ(slice(d, 32, 4), bytesOf("1.03"));
	EXPECT_EQ(d[38], 6);
	EXPECT_EQ(d[39] & 0x20, 0x20);
	EXPECT_EQ(slice(d, 40, 8), (std::vector<uint8_t>{ 0x01, 0x2C, 0x02, 0x58, 0x01, 0x2C, 0x02, 0x58 }));
	EXPECT_EQ(d[50] & 0x40, 0x40); // push buttons
	EXPECT_EQ(d[92], 2);
	EXPECT_EQ(slice(d, 81, 2), (std::vector<uint8_t>{ 0x09, 0xF6 })); // 2550 pixels
	EXPECT_GE(d[83] << 8 | d[84], 3508);

	// A KT918 has no buttons and names itself.
	auto kt918 = std::make_shared<sim::VirtualScanner>(sim::Model::KT918);
	ASSERT_TRUE(server.plug(kt918, 1));
	Exchange other = exchange(path(1), inquiryBlock(), 160);
	ASSERT_TRUE(other.ok);
	EXPECT_EQ(slice(other.dataIn, 16, 6), bytesOf(std::string("KT918") + '\0'));
	EXPECT_EQ(other.dataIn[50] & 0x40, 0);
	EXPECT_EQ(other.dataIn[92], 0);
}

TEST_F(SimExchangeTest, InquiryBytesAreWritableByTests)
{
	scanner->editInquiry([](sim::InquiryData &data) {
		data[50] &= ~0x40;
		data[60] = 0x40;
	});
	Exchange result = exchange(path(), inquiryBlock(), 160);
	ASSERT_TRUE(result.ok);
	EXPECT_EQ(result.dataIn[50] & 0x40, 0);
	EXPECT_EQ(result.dataIn[60], 0x40);
	EXPECT_EQ(scanner->inquiry()[60], 0x40);
}

TEST_F(SimExchangeTest, DataInArrivesAcrossShortReads)
{
	Exchange result = exchange(path(), inquiryBlock(), 160, {}, 7);
	ASSERT_TRUE(result.ok);
	EXPECT_EQ(result.reads, 23u); // 22 reads of 7, one of 6
	EXPECT_EQ(result.dataIn, exchange(path(), inquiryBlock(), 160).dataIn);

	// A READ never returns more than asked for, and the status only comes
	// after the data.
	RawClient client(path());
	ASSERT_EQ(client.write(inquiryBlock()).result, 0u);
	Reply first = client.read(100);
	EXPECT_EQ(first.count, 100u);
	Reply rest = client.read(1000);
	EXPECT_EQ(rest.count, 60u);
	Reply status = client.read(1000);
	EXPECT_EQ(status.result, 0u);
	ASSERT_EQ(status.count, 1u);
	EXPECT_EQ(status.data[0], 0);
	// Nothing is pending after the status byte.
	EXPECT_NE(client.read(10).result, 0u);
}

TEST_F(SimExchangeTest, DataOutIsAcceptedThenTheStatus)
{
	std::vector<uint8_t> gamma(512);
	for (size_t i = 0; i < gamma.size(); ++i)
		gamma[i] = static_cast<uint8_t>(i % 2 ? i / 2 : 0);
	RawClient client(path());
	Reply block = client.write(send10Block(0x81, 1, 512));
	EXPECT_EQ(block.result, 0u);
	EXPECT_EQ(block.count, 10u);
	Reply data = client.write(gamma);
	EXPECT_EQ(data.result, 0u);
	EXPECT_EQ(data.count, 512u);
	Reply status = client.read(1);
	ASSERT_EQ(status.count, 1u);
	EXPECT_EQ(status.data[0], 0);

	const auto stored = scanner->gammaTable(1);
	ASSERT_TRUE(stored);
	EXPECT_EQ(std::vector<uint8_t>(stored->begin(), stored->end()), gamma);
	EXPECT_FALSE(scanner->gammaTable(0));
}

TEST_F(SimExchangeTest, CommandLogKeepsBlocksDataAndStatus)
{
	ASSERT_TRUE(exchange(path(), inquiryBlock(), 160).ok);
	ASSERT_TRUE(exchange(path(), send10Block(0xA2, 0, 2), 0, { 0x00, 0x0F }).ok);
	ASSERT_TRUE(exchange(path(), simpleBlock(0x99)).ok);

	const auto log = scanner->commandLog();
	ASSERT_EQ(log.size(), 3u);
	EXPECT_EQ(std::vector<uint8_t>(log[0].block.begin(), log[0].block.end()), inquiryBlock());
	EXPECT_EQ(log[0].dataInLength, 160u);
	EXPECT_EQ(log[0].dataInSent, 160u);
	EXPECT_EQ(log[0].status, 0);
	EXPECT_EQ(std::vector<uint8_t>(log[1].block.begin(), log[1].block.end()),
		  (std::vector<uint8_t>{ 0x2A, 0, 0xA2, 0, 0, 0, 0, 0, 2, 0 }));
	EXPECT_EQ(log[1].dataOut, (std::vector<uint8_t>{ 0x00, 0x0F }));
	EXPECT_EQ(log[2].operationCode(), 0x99);
	EXPECT_EQ(log[2].status, 2);
	EXPECT_FALSE(log[2].abandoned);
	EXPECT_EQ(scanner->powerSaveTime(), 15);

	scanner->clearCommandLog();
	EXPECT_TRUE(scanner->commandLog().empty());
	ASSERT_TRUE(exchange(path(), inquiryBlock(), 160).ok);
	EXPECT_EQ(scanner->commandLog().size(), 1u);
}

TEST_F(SimExchangeTest, RefusedCommandsCarrySense)
{
	struct Case {
		std::vector<uint8_t> block;
		uint32_t dataIn;
		std::vector<uint8_t> dataOut;
		uint8_t key, asc, ascq;
	};
	const std::vector<Case> cases = {
		{ simpleBlock(0x99), 0, {}, 0x05, 0x20, 0x00 },				       // unknown operation code
		{ read10Block(0x69, 128, 0x0000), 128, {}, 0x05, 0x24, 0x00 },		       // qualifier missing
		{ read10Block(0x42, 16), 16, {}, 0x05, 0x24, 0x00 },			       // unknown data type
		{ read10Block(0x00, 4096), 4096, {}, 0x05, 0x2C, 0x00 },		       // image before SCAN
		{ simpleBlock(0x1B, 0x80), 0, {}, 0x05, 0x2C, 0x00 },			       // SCAN without window
		{ send10Block(0x81, 3, 512), 0, std::vector<uint8_t>(512), 0x05, 0x24, 0x00 }, // gamma 3
		{ send10Block(0x81, 0, 256), 0, std::vector<uint8_t>(256), 0x05, 0x1A, 0x00 },
		{ send10Block(0xA9, 0, 3), 0, { 1, 2, 3 }, 0x05, 0x1A, 0x00 },
		{ send10Block(0x77, 0, 4), 0, { 1, 2, 3, 4 }, 0x05, 0x24, 0x00 },
		{ setWindowBlock(40), 0, std::vector<uint8_t>(40), 0x05, 0x1A, 0x00 },
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(static_cast<int>(c.block[0]));
		Exchange result = exchange(path(), c.block, c.dataIn, c.dataOut);
		ASSERT_TRUE(result.ok);
		EXPECT_EQ(result.status, 2);
		EXPECT_EQ(result.dataIn, std::vector<uint8_t>(c.dataIn, 0)); // zero-filled data phase
		Exchange sense = exchange(path(), requestSenseBlock(), 22);
		ASSERT_TRUE(sense.ok);
		EXPECT_EQ(sense.status, 0);
		const auto expected = makeSense(c.key, c.asc, c.ascq);
		EXPECT_EQ(sense.dataIn, std::vector<uint8_t>(expected.begin(), expected.end()));
	}
	EXPECT_FALSE(scanner->gammaTable(0));
	EXPECT_FALSE(scanner->powerOffTime());
}

TEST_F(SimExchangeTest, SenseIsReportedOnceThenNoSense)
{
	ASSERT_EQ(exchange(path(), simpleBlock(0x99)).status, 2);
	Exchange first = exchange(path(), requestSenseBlock(), 22);
	EXPECT_EQ(first.dataIn[2], 0x05);
	Exchange second = exchange(path(), requestSenseBlock(), 22);
	const auto none = makeSense(0, 0, 0);
	EXPECT_EQ(second.dataIn, std::vector<uint8_t>(none.begin(), none.end()));

	// A command that completes clears the sense of an earlier failure.
	ASSERT_EQ(exchange(path(), simpleBlock(0x99)).status, 2);
	ASSERT_EQ(exchange(path(), inquiryBlock(), 160).status, 0);
	EXPECT_EQ(exchange(path(), requestSenseBlock(), 22).dataIn[2], 0);

	// An allocation length above 22 is padded with zeros.
	std::vector<uint8_t> block = requestSenseBlock();
	block[4] = 30;
	Exchange padded = exchange(path(), block, 30);
	ASSERT_TRUE(padded.ok);
	EXPECT_EQ(padded.dataIn.size(), 30u);
}

TEST_F(SimExchangeTest, ClosingMidExchangeAbandonsIt)
{
	{
		RawClient client(path());
		ASSERT_EQ(client.write(inquiryBlock()).result, 0u);
		ASSERT_EQ(client.read(50).count, 50u);
	}
	// The server notices the close before the next exchange is served.
	for (int i = 0; i < 200 && server.connectionCount(0) != 0; ++i)
		usleep(1000);
	Exchange next = exchange(path(), read10Block(0x69, 128), 128);
	ASSERT_TRUE(next.ok);
	EXPECT_EQ(next.status, 0);
	const auto nvm = scanner->nvm();
	EXPECT_EQ(next.dataIn, std::vector<uint8_t>(nvm.begin(), nvm.end()));

	const auto log = scanner->commandLog();
	ASSERT_EQ(log.size(), 2u);
	EXPECT_TRUE(log[0].abandoned);
	EXPECT_EQ(log[0].dataInSent, 50u);
	EXPECT_EQ(log[0].status, -1);
	EXPECT_FALSE(log[1].abandoned);
}

TEST_F(SimExchangeTest, NewBlockAfterAGivenUpExchangeStartsOver)
{
	RawClient client(path());
	ASSERT_EQ(client.write(inquiryBlock()).result, 0u);
	// The host gives up on the data phase and sends the next block.
	ASSERT_EQ(client.write(read10Block(0x69, 128)).result, 0u);
	Reply data = client.read(128);
	ASSERT_EQ(data.count, 128u);
	EXPECT_EQ(data.data[0x2E], 'T');
	EXPECT_EQ(client.read(1).data, std::vector<uint8_t>{ 0 });
	EXPECT_TRUE(scanner->commandLog().front().abandoned);
	// A WRITE of anything but a block when no data is due is refused.
	EXPECT_EQ(client.write({ 1, 2, 3 }).result, 1u);
}

TEST_F(SimExchangeTest, InProcessExchangeMatchesTheSocket)
{
	const std::array<uint8_t, 10> block{ 0x12, 0, 0, 0, 160, 0, 0, 0, 0, 0 };
	sim::ExchangeResult local = scanner->exchange(block, {}, 160);
	ASSERT_TRUE(local.transferred);
	EXPECT_EQ(local.status, 0);
	EXPECT_EQ(local.dataIn, exchange(path(), inquiryBlock(), 160).dataIn);
}

} // namespace torvane::simtest
