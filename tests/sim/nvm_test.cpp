// SPDX-License-Identifier: MIT
// The non-volatile memory, its file, and the other settings the scanner keeps.

#include <fstream>

#include <gtest/gtest.h>

#include "raw_client.h"
#include "sim_fixture.h"

namespace torvane::simtest {

namespace {

std::vector<uint8_t> record(uint8_t seed)
{
	std::vector<uint8_t> bytes(128);
	for (size_t i = 0; i < bytes.size(); ++i)
		bytes[i] = static_cast<uint8_t>(seed + i * 3);
	return bytes;
}

std::vector<uint8_t> readNvm(const std::string &path)
{
	Exchange result = exchange(path, read10Block(0x69, 128), 128);
	EXPECT_TRUE(result.ok);
	EXPECT_EQ(result.status, 0);
	return result.dataIn;
}

} // namespace

class SimNvmTest : public SimFixture
{
};

TEST_F(SimNvmTest, DefaultRecordIsRealistic)
{
	const std::vector<uint8_t> nvm = readNvm(path());
	ASSERT_EQ(nvm.size(), 128u);
	// Date words big-endian: 3 / 14 / 2024.
	EXPECT_EQ(std::vector<uint8_t>(nvm.begin() + 0x1C, nvm.begin() + 0x22),
		  (std::vector<uint8_t>{ 0, 3, 0, 14, 0x07, 0xE8 }));
	EXPECT_EQ(std::string(reinterpret_cast<const char *>(&nvm[0x2E])), "TORVANE RM735");
	EXPECT_EQ(nvm[0x10], 0x01);
	EXPECT_EQ(nvm[0x11], 0x02);
	EXPECT_EQ(scanner->lastNvmQualifier(), -1);
}

TEST_F(SimNvmTest, WritesTakeQualifiersElevenToFourteen)
{
	for (uint16_t qualifier = 0x11; qualifier <= 0x14; ++qualifier) {
		const auto data = record(static_cast<uint8_t>(qualifier));
		Exchange write = exchange(path(), send10Block(0x85, qualifier, 128), 0, data);
		ASSERT_TRUE(write.ok);
		EXPECT_EQ(write.status, 0);
		EXPECT_EQ(scanner->lastNvmQualifier(), qualifier);
		EXPECT_EQ(readNvm(path()), data);
	}
	const auto kept = readNvm(path());
	for (uint16_t qualifier : { 0x00, 0x10, 0x15 }) {
		EXPECT_EQ(exchange(path(), send10Block(0x85, qualifier, 128), 0, record(1)).status, 2);
		EXPECT_EQ(exchange(path(), requestSenseBlock(), 22).dataIn[12], 0x24);
	}
	EXPECT_EQ(exchange(path(), send10Block(0x85, 0x14, 64), 0, std::vector<uint8_t>(64)).status, 2);
	EXPECT_EQ(readNvm(path()), kept);
	EXPECT_EQ(scanner->lastNvmQualifier(), 0x14);
}

TEST_F(SimNvmTest, FileKeepsTheRecordAcrossRestarts)
{
	const std::string file = dir.file("nvm.bin");
	const auto written = record(9);
	{
		auto first = std::make_shared<sim::VirtualScanner>();
		std::string error;
		ASSERT_TRUE(first->setNvmFile(file, &error)) << error;
		// A missing file starts with the factory record.
		const auto factory = sim::VirtualScanner::defaultNvm(sim::Model::RM735);
		EXPECT_EQ(test::readBinaryFile(file), std::vector<uint8_t>(factory.begin(), factory.end()));
		ASSERT_TRUE(server.unplug(0));
		ASSERT_TRUE(server.plug(first, 0));
		ASSERT_EQ(exchange(path(), send10Block(0x85, 0x14, 128), 0, written).status, 0);
		EXPECT_EQ(test::readBinaryFile(file), written);
		ASSERT_TRUE(server.unplug(0));
	}
	auto second = std::make_shared<sim::VirtualScanner>();
	ASSERT_TRUE(second->setNvmFile(file));
	ASSERT_TRUE(server.plug(second, 0));
	EXPECT_EQ(readNvm(path()), written);

	// A file of the wrong size is refused.
	std::ofstream(dir.file("short.bin")) << "short";
	std::string error;
	EXPECT_FALSE(sim::VirtualScanner().setNvmFile(dir.file("short.bin"), &error));
	EXPECT_NE(error.find("128"), std::string::npos);
}

TEST_F(SimNvmTest, GammaTimersAndReservation)
{
	for (uint16_t qualifier = 0; qualifier < 3; ++qualifier) {
		std::vector<uint8_t> table(512, static_cast<uint8_t>(qualifier + 1));
		ASSERT_EQ(exchange(path(), send10Block(0x81, qualifier, 512), 0, table).status, 0);
		EXPECT_EQ(scanner->gammaTable(qualifier)->front(), qualifier + 1);
	}
	EXPECT_FALSE(scanner->gammaTable(3));
	ASSERT_EQ(exchange(path(), send10Block(0xA9, 0, 2), 0, { 0xFF, 0xFE }).status, 0);
	EXPECT_EQ(scanner->powerOffTime(), 0xFFFE);

	EXPECT_FALSE(scanner->reserved());
	ASSERT_EQ(exchange(path(), simpleBlock(0x16)).status, 0);
	EXPECT_TRUE(scanner->reserved());
	ASSERT_EQ(exchange(path(), simpleBlock(0x17, 3)).status, 0);
	EXPECT_FALSE(scanner->reserved());
	EXPECT_EQ(scanner->lastReleaseMode(), 3);

	scanner->powerCycle();
	EXPECT_FALSE(scanner->gammaTable(0));
	EXPECT_FALSE(scanner->powerOffTime());
	EXPECT_EQ(readNvm(path()), readNvm(path())); // the NVM survives
}

} // namespace torvane::simtest
