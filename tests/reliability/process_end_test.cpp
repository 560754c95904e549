// SPDX-License-Identifier: MIT
// Every way a process can end, while it holds each thing it can hold: a
// second process then gets a working scanner (a whole small scan) within
// 3 s of the first one's end. Prints the table of cases and recovery times.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

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
};

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
	prepareScanner(*scanner, c.holds);
	Client first = startClient({ "hold", c.holds, c.end });
	ASSERT_EQ(readLine(first, 5000), "holding");
	if (const std::string holds = c.holds; holds == "locked-call" || holds == "stalled-exchange") {
		ASSERT_TRUE(awaitStalledRead(holds == "locked-call" ? 0x69 : 0x00));
	}
	kill(first.pid, std::string(c.end) == "sigkill" ? SIGKILL : SIGUSR1);
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
	std::printf("| %-16s | %-11s | %-28s | %5.2f s |\n", c.holds, c.end, answer.c_str(), seconds);
	EXPECT_EQ(answer.rfind("scan ok", 0), 0u) << answer;
	EXPECT_LT(seconds, recoveryLimitSeconds());
}

std::vector<EndCase> allCases()
{
	std::vector<EndCase> cases;
	for (const char *holds : { "locked-call", "scan-busy", "stalled-exchange", "button-wait", "acquisition" })
		for (const char *end : { "return", "exit-thread", "sigkill", "crash", "exec" })
			cases.push_back({ holds, end });
	return cases;
}

std::string caseName(const ::testing::TestParamInfo<EndCase> &info)
{
	return testNameOf(std::string(info.param.holds) + "_" + info.param.end);
}

INSTANTIATE_TEST_SUITE_P(Campaign, ProcessEndTest, ::testing::ValuesIn(allCases()), caseName);

} // namespace
