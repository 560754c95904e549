// SPDX-License-Identifier: MIT
// The NVM exports against a simulated scanner: what travels on the wire,
// what the scanner keeps, the codes left, and the log lines.

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "driver/device_lock.h"
#include "driver/driver_state.h"
#include "platform/platform.h"
#include "support/scanner_fixture.h"
#include "torvane/torvane.h"

using namespace torvane;
using sim::FaultRule;

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kNvmReadBlock{ 0x28, 0, 0x69, 0, 0x0A, 0x0D, 0, 0, 0x80, 0 };

Bytes nvmWriteBlock(uint8_t qualifier)
{
	return { 0x2A, 0, 0x85, 0, 0, qualifier, 0, 0, 0x80, 0 };
}

Bytes blockOf(const sim::CommandRecord &command)
{
	return Bytes(command.block.begin(), command.block.end());
}

Bytes bytesOf(const sim::NvmData &nvm)
{
	return Bytes(nvm.begin(), nvm.end());
}

template<typename T>
Bytes bytesOf(const T &record)
{
	Bytes bytes(sizeof(record));
	std::memcpy(bytes.data(), &record, sizeof(record));
	return bytes;
}

// Packed fields are read through a copy: a reference to one may be misaligned.
template<typename T>
T value(T field)
{
	return field;
}

void putBigEndian16(Bytes &bytes, size_t offset, uint16_t v)
{
	bytes[offset] = static_cast<uint8_t>(v >> 8);
	bytes[offset + 1] = static_cast<uint8_t>(v);
}

NvmInitRecord initRecord(uint32_t size, const char *text, uint8_t byte47, uint8_t byte54)
{
	NvmInitRecord init{};
	init.Size = size;
	std::strncpy(init.Text, text, sizeof(init.Text));
	init.Byte47 = byte47;
	init.Byte54 = byte54;
	return init;
}

class NvmTest : public test::ScannerTest
{
protected:
	// The NVM read and write faults match on data type 0x69 / 0x85.
	int failNvmRead(uint8_t key, uint8_t asc, uint8_t ascq)
	{
		return scanner->addFault(FaultRule::checkCondition(0x28, key, asc, ascq).forDataType(0x69));
	}

	// The commands the scanner saw, without the REQUEST SENSE that follows a
	// CHECK CONDITION.
	std::vector<sim::CommandRecord> nvmCommands() const
	{
		std::vector<sim::CommandRecord> log = commands();
		std::erase_if(log, [](const sim::CommandRecord &c) { return c.operationCode() == 0x03; });
		return log;
	}

	// The record the scanner answers with, before any test changed it.
	const sim::NvmData original = sim::VirtualScanner::defaultNvm(sim::Model::RM735);
};

TEST_F(NvmTest, ReadWriteAndReadAgainIsByteExact)
{
	NvmRecord first;
	std::memset(&first, 0xCC, sizeof(first));
	ASSERT_EQ(ReadNVMData(&first), 1);
	// The scanner's values in host order, the odd-offset fields among them.
	EXPECT_EQ(value(first.Long00), 12345u);
	EXPECT_EQ(value(first.Long04), 500u);
	EXPECT_EQ(value(first.CarriedWords[0]), 0x0102);
	EXPECT_EQ(value(first.CarriedWords[5]), 0x0B0C);
	EXPECT_EQ(value(first.InitMonth), 3);
	EXPECT_EQ(value(first.InitDay), 14);
	EXPECT_EQ(value(first.InitYear), 2024);
	EXPECT_STREQ(first.InitText, "TORVANE RM735");
	EXPECT_EQ(value(first.Word46), 0x0102);
	EXPECT_EQ(value(first.Long49), 256u);

	ASSERT_EQ(WriteNVMData(&first), 1);
	NvmRecord second;
	ASSERT_EQ(ReadNVMData(&second), 1);
	EXPECT_EQ(bytesOf(second), bytesOf(first));
	EXPECT_EQ(bytesOf(scanner->nvm()), bytesOf(original));

	const auto log = nvmCommands();
	ASSERT_EQ(log.size(), 3u);
	EXPECT_EQ(blockOf(log[0]), kNvmReadBlock);
	EXPECT_EQ(log[0].dataInLength, 128u);
	EXPECT_EQ(blockOf(log[1]), nvmWriteBlock(0x14));
	EXPECT_EQ(log[1].dataOut, bytesOf(original));
	EXPECT_EQ(blockOf(log[2]), kNvmReadBlock);
}

TEST_F(NvmTest, OddOffsetFieldsFromTheirWireBytes)
{
	sim::NvmData wire{};
	wire[0x46] = 0x01;
	wire[0x47] = 0x02;
	wire[0x49] = 0x00;
	wire[0x4A] = 0x00;
	wire[0x4B] = 0x01;
	wire[0x4C] = 0x00;
	wire[0x51] = 0xDE;
	wire[0x54] = 0x01;
	scanner->setNvm(wire);
	NvmRecord record;
	ASSERT_EQ(ReadNVMData(&record), 1);
	EXPECT_EQ(value(record.Word46), 0x0102);
	EXPECT_EQ(value(record.Long49), 256u);
	EXPECT_EQ(value(record.Long51), 0xDE000001u);
	EXPECT_EQ(value(record.Byte48), 0);
}

TEST_F(NvmTest, AFailedReadReportsTheSenseCode)
{
	failNvmRead(0x2, 0, 0);
	NvmRecord record;
	EXPECT_EQ(ReadNVMData(&record), 0);
	EXPECT_EQ(driver::lastError(), 2009);
	// The record holds what arrived: the scanner sends zeros with a failure.
	EXPECT_EQ(bytesOf(record), Bytes(128, 0));
}

TEST_F(NvmTest, WriteNVMDataSendsTheCallersRecordInWireOrder)
{
	NvmRecord record{};
	record.Long00 = 0x01020304;
	record.CarriedWords[2] = 0xA1B2;
	record.Word46 = 0x0A0B;
	record.Long4D = 0x11223344;
	std::strcpy(record.InitText, "Desk 4");
	record.Tail77[8] = 0x7F;
	const Bytes before = bytesOf(record);
	ASSERT_EQ(WriteNVMData(&record), 1);
	EXPECT_EQ(bytesOf(record), before); // the caller's record is not changed

	Bytes wire(128, 0);
	wire[0] = 1, wire[1] = 2, wire[2] = 3, wire[3] = 4;
	putBigEndian16(wire, 0x14, 0xA1B2);
	putBigEndian16(wire, 0x46, 0x0A0B);
	wire[0x4D] = 0x11, wire[0x4E] = 0x22, wire[0x4F] = 0x33, wire[0x50] = 0x44;
	std::memcpy(&wire[0x2E], "Desk 4", 6);
	wire[0x7F] = 0x7F;
	EXPECT_EQ(bytesOf(scanner->nvm()), wire);
	EXPECT_EQ(scanner->lastNvmQualifier(), 0x14);
}

// The date is that of the call; a call across midnight may carry either.
TEST_F(NvmTest, InitializeNVMWritesAFreshRecord)
{
	const NvmInitRecord init = initRecord(55, "Front office", 0x33, 0x44);
	const platform::LocalTime before = platform::localTime();
	ASSERT_EQ(InitializeNVM(&init), 1);
	const platform::LocalTime after = platform::localTime();

	auto expectedWith = [&](const platform::LocalTime &date) {
		Bytes wire(128, 0);
		std::memcpy(&wire[0x10], &original[0x10], 12); // the carried words
		putBigEndian16(wire, 0x1C, date.month);
		putBigEndian16(wire, 0x1E, date.day);
		putBigEndian16(wire, 0x20, date.year);
		wire[0x2C] = 0x33;
		std::memcpy(&wire[0x2E], "Front office", 12);
		wire[0x76] = 0x44;
		return wire;
	};
	const Bytes stored = bytesOf(scanner->nvm());
	EXPECT_TRUE(stored == expectedWith(before) || stored == expectedWith(after))
		<< "month " << int(stored[0x1D]) << " day " << int(stored[0x1F]);

	const auto log = nvmCommands();
	ASSERT_EQ(log.size(), 2u);
	EXPECT_EQ(blockOf(log[0]), kNvmReadBlock);
	EXPECT_EQ(blockOf(log[1]), nvmWriteBlock(0x14));
	EXPECT_EQ(log[1].dataOut, stored);
}

TEST_F(NvmTest, InitializeNVMTakesBytes47And54OnlyWithinTheSize)
{
	const NvmInitRecord short40 = initRecord(40, "Short", 0x33, 0x44);
	ASSERT_EQ(InitializeNVM(&short40), 1);
	EXPECT_EQ(scanner->nvm()[0x2C], 0);
	EXPECT_EQ(scanner->nvm()[0x76], 0);
	EXPECT_EQ(std::memcmp(&scanner->nvm()[0x2E], "Short\0", 6), 0);

	const NvmInitRecord upTo47 = initRecord(48, "Short", 0x33, 0x44);
	ASSERT_EQ(InitializeNVM(&upTo47), 1);
	EXPECT_EQ(scanner->nvm()[0x2C], 0x33);
	EXPECT_EQ(scanner->nvm()[0x76], 0);

	const NvmInitRecord upTo54 = initRecord(54, "Short", 0x33, 0x44);
	ASSERT_EQ(InitializeNVM(&upTo54), 1);
	EXPECT_EQ(scanner->nvm()[0x76], 0);
}

// InitializeNVM is what writes a record that cannot be read: it goes on, with
// zero carried words.
TEST_F(NvmTest, InitializeNVMOverAnUnreadableRecord)
{
	failNvmRead(0x4, 0x44, 0x00);
	const NvmInitRecord init = initRecord(55, "Fresh", 1, 2);
	ASSERT_EQ(InitializeNVM(&init), 1);
	const sim::NvmData stored = scanner->nvm();
	EXPECT_EQ(Bytes(&stored[0x10], &stored[0x1C]), Bytes(12, 0));
	EXPECT_EQ(std::memcmp(&stored[0x2E], "Fresh", 6), 0);
	EXPECT_EQ(nvmCommands().size(), 2u);
}

TEST_F(NvmTest, TestNVMEndsWithTheRecordAsItWas)
{
	driver::setLastError(77);
	ASSERT_EQ(TestNVM(), 1);
	EXPECT_EQ(driver::lastError(), 77);
	EXPECT_EQ(bytesOf(scanner->nvm()), bytesOf(original));

	const auto log = nvmCommands();
	ASSERT_EQ(log.size(), 4u);
	EXPECT_EQ(blockOf(log[0]), kNvmReadBlock);
	EXPECT_EQ(blockOf(log[1]), nvmWriteBlock(0x14));
	Bytes testRecord = bytesOf(original);
	for (uint16_t word = 1; word <= 6; word++)
		putBigEndian16(testRecord, 0x1C + 2 * (word - 1), word);
	EXPECT_EQ(log[1].dataOut, testRecord);
	EXPECT_EQ(blockOf(log[2]), kNvmReadBlock);
	EXPECT_EQ(blockOf(log[3]), nvmWriteBlock(0x14));
	EXPECT_EQ(log[3].dataOut, bytesOf(original));
}

// A read-back that fails compares as a difference: 2999, and the saved
// record still goes back.
TEST_F(NvmTest, TestNVMWithADifferingReadBack)
{
	// The first read is held at its data phase; meanwhile a CHECK CONDITION
	// is armed, which then strikes the next NVM read: the read-back.
	scanner->addFault(FaultRule::stallRead(0x28).forDataType(0x69));
	int result = -1;
	std::thread call([&] { result = TestNVM(); });
	for (int i = 0; i < 2000 && nvmCommands().empty(); i++)
		platform::sleepMs(1);
	failNvmRead(0x2, 0, 0);
	scanner->releaseStalls();
	call.join();

	EXPECT_EQ(result, 1);
	EXPECT_EQ(driver::lastError(), 2999);
	EXPECT_EQ(bytesOf(scanner->nvm()), bytesOf(original));
	const auto log = nvmCommands();
	ASSERT_EQ(log.size(), 4u);
	EXPECT_EQ(blockOf(log[3]), nvmWriteBlock(0x14));
	EXPECT_EQ(log[3].dataOut, bytesOf(original));
}

TEST_F(NvmTest, TestNVMStopsWhenTheFirstReadFails)
{
	failNvmRead(0x2, 0, 0);
	EXPECT_EQ(TestNVM(), 0);
	EXPECT_EQ(driver::lastError(), 2009);
	EXPECT_EQ(nvmCommands().size(), 1u);
}

TEST_F(NvmTest, TestNVMStopsWhenTheTestWriteFails)
{
	scanner->addFault(FaultRule::checkCondition(0x2A, 0x3, 0, 0).forDataType(0x85));
	EXPECT_EQ(TestNVM(), 0);
	EXPECT_EQ(driver::lastError(), 2004);
	EXPECT_EQ(nvmCommands().size(), 2u);
	EXPECT_EQ(bytesOf(scanner->nvm()), bytesOf(original));
}

TEST_F(NvmTest, CheckNVMDataComparesTheStoredText)
{
	driver::setLastError(77);
	const NvmInitRecord same = initRecord(55, "TORVANE RM735", 0, 0);
	EXPECT_EQ(CheckNVMData(&same), 1);
	EXPECT_EQ(driver::lastError(), 77);

	const NvmInitRecord other = initRecord(55, "TORVANE KT918", 0, 0);
	EXPECT_EQ(CheckNVMData(&other), 1);
	EXPECT_EQ(driver::lastError(), 2999);

	driver::setLastError(77);
	const NvmInitRecord prefix = initRecord(55, "TORVANE", 0, 0);
	EXPECT_EQ(CheckNVMData(&prefix), 1);
	EXPECT_EQ(driver::lastError(), 2999);

	// Only reads.
	for (const auto &command : nvmCommands())
		EXPECT_EQ(blockOf(command), kNvmReadBlock);
}

// Without a record there is nothing to compare: the read's code stands.
TEST_F(NvmTest, CheckNVMDataKeepsTheCodeOfAFailedRead)
{
	failNvmRead(0x2, 0, 0);
	const NvmInitRecord other = initRecord(55, "Something else", 0, 0);
	EXPECT_EQ(CheckNVMData(&other), 0);
	EXPECT_EQ(driver::lastError(), 2009);
}

// --- SetNVRAMValue ------------------------------------------------------------

class SetNvramValueTest : public NvmTest
{
protected:
	// Runs one SetNVRAMValue of a stored-record kind and checks that it read
	// the record, then wrote it with `qualifier`; returns what was written.
	Bytes setStored(const void *data, uint32_t size, uint16_t kind, uint8_t qualifier)
	{
		clearCommands();
		EXPECT_EQ(SetNVRAMValue(static_cast<const unsigned char *>(data), size, kind), 1) << "kind " << kind;
		const auto log = nvmCommands();
		EXPECT_EQ(log.size(), 2u) << "kind " << kind;
		if (log.size() != 2)
			return {};
		EXPECT_EQ(blockOf(log[0]), kNvmReadBlock);
		EXPECT_EQ(blockOf(log[1]), nvmWriteBlock(qualifier)) << "kind " << kind;
		EXPECT_EQ(scanner->lastNvmQualifier(), qualifier);
		EXPECT_EQ(log[1].dataOut, bytesOf(scanner->nvm()));
		return log[1].dataOut;
	}

	// A kind that writes the data alone: no read, one write.
	Bytes setData(const void *data, uint32_t size, uint16_t kind, uint8_t qualifier)
	{
		clearCommands();
		EXPECT_EQ(SetNVRAMValue(static_cast<const unsigned char *>(data), size, kind), 1) << "kind " << kind;
		const auto log = nvmCommands();
		EXPECT_EQ(log.size(), 1u) << "kind " << kind;
		if (log.size() != 1)
			return {};
		EXPECT_EQ(blockOf(log[0]), nvmWriteBlock(qualifier)) << "kind " << kind;
		return log[0].dataOut;
	}
};

TEST_F(SetNvramValueTest, KindsThatChangeOneValueOfTheStoredRecord)
{
	Bytes expected = bytesOf(original);

	const char firmware[16] = "FW 2.00 2026-12";
	std::memcpy(&expected[0x66], firmware, 16);
	EXPECT_EQ(setStored(firmware, 16, 1, 0x13), expected);

	const char serial[16] = "SN-0000-4711";
	std::memcpy(&expected[0x56], serial, 16);
	EXPECT_EQ(setStored(serial, 16, 2, 0x13), expected);

	// Kind 7: the test words 4 .. 6 in host order.
	const uint16_t words[3] = { 0x0405, 0x0607, 0x0809 };
	putBigEndian16(expected, 0x22, 0x0405);
	putBigEndian16(expected, 0x24, 0x0607);
	putBigEndian16(expected, 0x26, 0x0809);
	EXPECT_EQ(setStored(words, sizeof(words), 7, 0x12), expected);

	// Kind 8: a u32 in host order.
	const uint32_t pages = 0x01020304;
	expected[0] = 1, expected[1] = 2, expected[2] = 3, expected[3] = 4;
	EXPECT_EQ(setStored(&pages, 4, 8, 0x12), expected);

	// Kind 9: only the u32 at 0x49 changes.
	const uint32_t count = 0x00C0FFEE;
	expected[0x49] = 0x00, expected[0x4A] = 0xC0, expected[0x4B] = 0xFF, expected[0x4C] = 0xEE;
	EXPECT_EQ(setStored(&count, 4, 9, 0x12), expected);

	const uint16_t word = 0xBEEF;
	putBigEndian16(expected, 0x46, 0xBEEF);
	EXPECT_EQ(setStored(&word, 2, 10, 0x12), expected);
}

TEST_F(SetNvramValueTest, KindsThatWriteTheDataAlone)
{
	// A whole record read from the scanner, written back with each qualifier.
	NvmRecord record;
	ASSERT_EQ(ReadNVMData(&record), 1);
	EXPECT_EQ(setData(&record, 128, 3, 0x11), bytesOf(original));
	EXPECT_EQ(setData(&record, 128, 4, 0x12), bytesOf(original));
	EXPECT_EQ(setData(&record, 128, 5, 0x13), bytesOf(original));
	EXPECT_EQ(setData(&record, 128, 6, 0x14), bytesOf(original));

	// Fewer bytes: the rest of the record is zero.
	NvmRecord head{};
	head.Long00 = 0x11223344;
	head.CarriedWords[0] = 0x5566;
	Bytes expected(128, 0);
	expected[0] = 0x11, expected[1] = 0x22, expected[2] = 0x33, expected[3] = 0x44;
	putBigEndian16(expected, 0x10, 0x5566);
	EXPECT_EQ(setData(&head, 20, 4, 0x12), expected);
	EXPECT_EQ(bytesOf(scanner->nvm()), expected);

	// Kind 0: 128 zero bytes, data and size unused.
	EXPECT_EQ(setData(nullptr, 999, 0, 0x14), Bytes(128, 0));
	EXPECT_EQ(bytesOf(scanner->nvm()), Bytes(128, 0));
}

TEST_F(SetNvramValueTest, RefusedWithoutSendingAnything)
{
	const uint8_t data[130] = { 1, 2, 3 };
	struct Case {
		const uint8_t *data;
		uint32_t size;
		uint16_t kind;
	};
	const Case cases[] = {
		{ data, 4, 11 }, { data, 4, 12 }, { data, 4, 0xFFFF }, // no such kind
		{ data, 129, 3 },
		{ data, 129, 6 }, // longer than the record
		{ data, 27, 1 },
		{ data, 43, 2 },
		{ data, 95, 7 },
		{ data, 129, 8 },
		{ data, 56, 9 },
		{ data, 59, 10 },
		{ data, 0xFFFFFFFF, 9 }, // past the end from the offset
		{ nullptr, 4, 9 },
		{ nullptr, 1, 3 }, // no data
	};
	for (const Case &c : cases) {
		driver::setLastError(0);
		EXPECT_EQ(SetNVRAMValue(c.data, c.size, c.kind), 0) << "kind " << c.kind << " size " << c.size;
		EXPECT_EQ(driver::lastError(), TORVANE_ERROR_ILLEGAL_REQUEST)
			<< "kind " << c.kind << " size " << c.size;
	}
	EXPECT_TRUE(nvmCommands().empty());
	EXPECT_EQ(bytesOf(scanner->nvm()), bytesOf(original));

	// Data that reaches exactly the last byte is taken.
	const uint8_t tail[26] = { 0xAA };
	EXPECT_EQ(SetNVRAMValue(tail, 26, 1), 1);
	EXPECT_EQ(scanner->nvm()[0x66], 0xAA);
	EXPECT_EQ(scanner->nvm()[0x7F], 0);
}

// Writing a value into a record that could not be read would replace the
// stored values with zeros: the call stops after the read.
TEST_F(SetNvramValueTest, AFailedReadWritesNothing)
{
	for (uint16_t kind : { 1, 2, 7, 8, 9, 10 }) {
		clearCommands();
		failNvmRead(0x2, 0, 0);
		const uint32_t v = 5;
		EXPECT_EQ(SetNVRAMValue(reinterpret_cast<const unsigned char *>(&v), 4, kind), 0) << "kind " << kind;
		EXPECT_EQ(driver::lastError(), 2009);
		ASSERT_EQ(nvmCommands().size(), 1u) << "kind " << kind;
		EXPECT_EQ(blockOf(nvmCommands()[0]), kNvmReadBlock);
	}
	EXPECT_EQ(bytesOf(scanner->nvm()), bytesOf(original));
}

TEST_F(SetNvramValueTest, AFailedWriteReportsTheSenseCode)
{
	scanner->addFault(FaultRule::checkCondition(0x2A, 0x5, 0x26, 0x00).forDataType(0x85));
	EXPECT_EQ(SetNVRAMValue(nullptr, 0, 0), 0);
	EXPECT_EQ(driver::lastError(), 2005);
	EXPECT_EQ(bytesOf(scanner->nvm()), bytesOf(original));
}

// --- Lock, null records, log lines ----------------------------------------------

TEST_F(NvmTest, EveryFunctionIsRefusedDuringAScan)
{
	driver::setScanBusy(1);
	NvmRecord record;
	std::memset(&record, 0xAB, sizeof(record));
	const Bytes untouched = bytesOf(record);
	const NvmInitRecord init = initRecord(55, "TORVANE RM735", 0, 0);
	const uint32_t v = 1;
	const auto *data = reinterpret_cast<const unsigned char *>(&v);

	struct Call {
		const char *name;
		int (*run)(NvmRecord *, const NvmInitRecord *, const unsigned char *);
	};
	const Call calls[] = {
		{ "ReadNVMData", [](NvmRecord *r, const NvmInitRecord *, const unsigned char *) { return ReadNVMData(r); } },
		{ "WriteNVMData", [](NvmRecord *r, const NvmInitRecord *, const unsigned char *) { return WriteNVMData(r); } },
		{ "InitializeNVM", [](NvmRecord *, const NvmInitRecord *i, const unsigned char *) { return InitializeNVM(i); } },
		{ "TestNVM", [](NvmRecord *, const NvmInitRecord *, const unsigned char *) { return TestNVM(); } },
		{ "CheckNVMData", [](NvmRecord *, const NvmInitRecord *i, const unsigned char *) { return CheckNVMData(i); } },
		{ "SetNVRAMValue 0", [](NvmRecord *, const NvmInitRecord *, const unsigned char *d) { return SetNVRAMValue(d, 4, 0); } },
		{ "SetNVRAMValue 6", [](NvmRecord *, const NvmInitRecord *, const unsigned char *d) { return SetNVRAMValue(d, 4, 6); } },
		{ "SetNVRAMValue 9", [](NvmRecord *, const NvmInitRecord *, const unsigned char *d) { return SetNVRAMValue(d, 4, 9); } },
	};
	for (const Call &call : calls) {
		driver::setLastError(0);
		EXPECT_EQ(call.run(&record, &init, data), 0) << call.name;
		EXPECT_EQ(driver::lastError(), TORVANE_ERROR_BUSY) << call.name;
	}
	EXPECT_EQ(bytesOf(record), untouched);
	EXPECT_TRUE(nvmCommands().empty());
	EXPECT_EQ(bytesOf(scanner->nvm()), bytesOf(original));
}

TEST_F(NvmTest, NullRecordsAreRefused)
{
	EXPECT_EQ(ReadNVMData(nullptr), 0);
	EXPECT_EQ(driver::lastError(), TORVANE_ERROR_ILLEGAL_REQUEST);
	driver::setLastError(0);
	EXPECT_EQ(WriteNVMData(nullptr), 0);
	EXPECT_EQ(driver::lastError(), TORVANE_ERROR_ILLEGAL_REQUEST);
	driver::setLastError(0);
	EXPECT_EQ(InitializeNVM(nullptr), 0);
	EXPECT_EQ(driver::lastError(), TORVANE_ERROR_ILLEGAL_REQUEST);
	driver::setLastError(0);
	EXPECT_EQ(CheckNVMData(nullptr), 0);
	EXPECT_EQ(driver::lastError(), TORVANE_ERROR_ILLEGAL_REQUEST);
	EXPECT_TRUE(nvmCommands().empty());
}

TEST_F(NvmTest, LogLines)
{
	enableLogging(2);
	const std::string path = logs.file("quorDll.txt");
	NvmRecord record;
	const NvmInitRecord init = initRecord(55, "TORVANE RM735", 0, 0);
	ASSERT_EQ(ReadNVMData(&record), 1);
	ASSERT_EQ(WriteNVMData(&record), 1);
	ASSERT_EQ(CheckNVMData(&init), 1);
	ASSERT_EQ(TestNVM(), 1);
	ASSERT_EQ(SetNVRAMValue(nullptr, 0, 12), 0);
	ASSERT_EQ(InitializeNVM(&init), 1);
	EXPECT_EQ(test::readFile(path),
		  "\r\nIn   0 : ReadNVMData :\r\nOut  1 : ReadNVMData :"
		  "\r\nIn   0 : WriteNVMData :\r\nOut  1 : WriteNVMData :"
		  "\r\nCheckNVMData In:: 0\r\nIn   0 : ReadNVMData :\r\nOut  1 : ReadNVMData :\r\nCheckNVMData Out:: 1"
		  "\r\nTestNVM In:: 0\r\nIn   0 : ReadNVMData :\r\nOut  1 : ReadNVMData :"
		  "\r\nIn   0 : ReadNVMData :\r\nOut  1 : ReadNVMData :\r\nTestNVM Out:: 1"
		  "\r\nIn   0 : SetNVRAMValue :\r\nOut  0 : SetNVRAMValue :"
		  "\r\nInitializeNVM In:: 0\r\nIn   0 : ReadNVMData :\r\nOut  1 : ReadNVMData :\r\nInitializeNVM Out:: 1");
}

} // namespace
