// SPDX-License-Identifier: MIT
// Every way a process can end, while it holds each thing it can hold, with
// 0, 1 or 3 other processes that have the library loaded (idle, waiting for
// a button, waiting for the scanner) and with a child it forked: a second
// process then gets a working scanner (a whole small scan) within 3 s of the
// first one's end. Prints the table of cases and recovery times.
// TORVANE_BYSTANDER_ENDS limits the cases with bystanders to the ends it
// lists (the sanitizer builds, where each process starts slowly).

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "campaign_common.h"
#include "campaign_support.h"

using namespace torvane;
using namespace torvane::test;
using sim::FaultRule;

namespace {

struct EndCase {
	const char *holds;
	const char *end;
	int bystanders;
};

// The bystanders of a case, in the order they join: idle, polling the
// buttons, then (once the first process holds) trying to scan.
const char *const kBystanderKinds[] = { "idle", "button", "scanner" };

bool caseSelected(const EndCase &c)
{
	const char *ends = std::getenv("TORVANE_BYSTANDER_ENDS");
	if (c.bystanders == 0 || !ends)
		return true;
	const std::string list = std::string(",") + ends + ",";
	return list.find(std::string(",") + c.end + ",") != std::string::npos;
}

Client startBystander(const char *kind)
{
	Client bystander = startClient({ "bystand", kind });
	EXPECT_EQ(readLine(bystander, 5000), "bystanding") << kind;
	return bystander;
}

class ProcessEndTest : public CampaignTest, public ::testing::WithParamInterface<EndCase>
{
protected:
	// The first client's READ(10) of `dataType` is under way and withheld.
	bool awaitStalledRead(uint8_t dataType)
	{
		for (int i = 0; i < 500; ++i) {
			for (const auto &command : commands())
				if (command.operationCode() == 0x28 && command.block[2] == dataType && command.status < 0)
					return true;
			usleep(10000);
		}
		return false;
	}
};

// 3 s; TORVANE_RECOVERY_SECONDS sets another limit for the sanitizer builds,
// where starting a process alone takes seconds.
double recoveryLimitSeconds()
{
	const char *setting = std::getenv("TORVANE_RECOVERY_SECONDS");
	return setting ? std::atof(setting) : 3.0;
}

// Makes the scanner keep the first client inside what it holds.
void prepareScanner(sim::VirtualScanner &scanner, const std::string &holds)
{
	if (holds == "locked-call")
		scanner.addFault(FaultRule::stallRead(0x28).forDataType(0x69));
	else if (holds == "stalled-exchange")
		scanner.addFault(FaultRule::stallRead(0x28).forDataType(0x00));
	else if (holds == "acquisition")
		scanner.setDataRate(200000);
}

TEST_P(ProcessEndTest, ASecondProcessScansWithinThreeSeconds)
{
	const EndCase &c = GetParam();
	if (!caseSelected(c))
		GTEST_SKIP() << "not among TORVANE_BYSTANDER_ENDS";
	prepareScanner(*scanner, c.holds);
	std::vector<Client> bystanders(static_cast<size_t>(c.bystanders));
	for (int i = 0; i < c.bystanders && i < 2; ++i)
		bystanders[static_cast<size_t>(i)] = startBystander(kBystanderKinds[i]);
	Client first = startClient({ "hold", c.holds, c.end });
	ASSERT_EQ(readLine(first, 5000), "holding");
	if (const std::string holds = c.holds; holds == "locked-call" || holds == "stalled-exchange") {
		ASSERT_TRUE(awaitStalledRead(holds == "locked-call" ? 0x69 : 0x00));
	}
	if (c.bystanders > 2)
		bystanders[2] = startBystander(kBystanderKinds[2]);
	const std::string end = c.end;
	kill(first.pid, end == "sigkill" || end == "forked-sigkill" ? SIGKILL : SIGUSR1);
	awaitOutputEnd(first, 5000);
	const auto ended = std::chrono::steady_clock::now();
	// The scanner gives up a stalled reply once its connection has gone; a
	// scanner that withholds it for ever is the stall campaign's case.
	scanner->clearFaults();
	scanner->setFullSpeed(true);

	Client second = startClient({ "scan", "12" });
	const std::string answer = readLine(second, 15000);
	const double seconds = secondsSince(ended);
	EXPECT_EQ(reap(second), 0) << answer;
	reap(first);
	if (getenv("CAMPAIGN_DEBUG"))
		for (const auto &cmd : scanner->commandLog())
			std::printf("op %02x type %02x in %u sent %u status %d abandoned %d conn %lu\n", cmd.block[0], cmd.block[2], cmd.dataInLength, cmd.dataInSent, cmd.status, cmd.abandoned, (unsigned long)cmd.connection);
	scanner->clearFaults();
	std::printf("| %-16s | %-14s | %d | %-28s | %5.2f s |\n", c.holds, c.end, c.bystanders, answer.c_str(),
		    seconds);
	EXPECT_EQ(answer.rfind("scan ok", 0), 0u) << answer;
	EXPECT_LT(seconds, recoveryLimitSeconds());
}

std::vector<EndCase> allCases()
{
	std::vector<EndCase> cases;
	for (const int bystanders : { 0, 1, 3 })
		for (const char *holds : { "locked-call", "scan-busy", "stalled-exchange", "button-wait", "acquisition" })
			for (const char *end : { "return", "exit-thread", "sigkill", "crash", "exec", "forked-sigkill" })
				cases.push_back({ holds, end, bystanders });
	return cases;
}

std::string caseName(const ::testing::TestParamInfo<EndCase> &info)
{
	const std::string name = std::string(info.param.holds) + "_" + info.param.end;
	return testNameOf(info.param.bystanders ? name + "_with_" + std::to_string(info.param.bystanders) : name);
}

INSTANTIATE_TEST_SUITE_P(Campaign, ProcessEndTest, ::testing::ValuesIn(allCases()), caseName);

using ProcessEndInReadTest = CampaignTest;

// The process ends (main returns, or another thread calls exit()) while a
// thread is inside ReadScan with data flowing: the thread goes on using the
// scan's memory until the process is gone, and nothing of it is freed under
// it (AddressSanitizer reports what was).
TEST_F(ProcessEndInReadTest, AnEndingProcessFreesNothingUnderAReadingThread)
{
	// Each end a few times: the freeing and the thread's next touch race.
	scanner->setDataRate(4000000);
	for (int round = 0; round < 4; ++round) {
		for (const char *how : { "return", "exit-thread" }) {
			Client client = startClient({ "exit-in-read", how });
			EXPECT_EQ(readLine(client, 10000), "ending") << how;
			EXPECT_EQ(reap(client), 0) << how;
		}
	}
}

// Ctrl-C while the scanner withholds an image read: DoCancel (from the
// signal handler) ends ReadScan with 159, and StopScan ends the stalled
// acquisition at once. Prints the time from SIGINT to the end.
TEST_F(ProcessEndInReadTest, DoCancelEndsAStalledImageRead)
{
	scanner->addFault(FaultRule::stallRead(0x28).forDataType(0x00).always());
	Client client = startClient({ "cancel-read" });
	ASSERT_EQ(readLine(client, 10000), "scanning");
	bool stalled = false;
	for (int i = 0; i < 500 && !stalled; ++i) {
		for (const auto &command : scanner->commandLog())
			stalled = stalled || (command.operationCode() == 0x28 && command.block[2] == 0 && command.status < 0);
		usleep(10000);
	}
	ASSERT_TRUE(stalled);
	const auto interrupted = std::chrono::steady_clock::now();
	kill(client.pid, SIGINT);
	const std::string answer = readLine(client, 10000);
	awaitOutputEnd(client, 10000);
	const double seconds = secondsSince(interrupted);
	scanner->clearFaults();
	EXPECT_EQ(reap(client), 0);
	std::printf("| SIGINT in a stalled image read | %-28s | %5.2f s |\n", answer.c_str(), seconds);
	EXPECT_EQ(answer, "read=159 stop=0 code=159");
	EXPECT_LT(seconds, recoveryLimitSeconds());
}

} // namespace
