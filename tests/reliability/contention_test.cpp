// SPDX-License-Identifier: MIT
// Contention: 8 processes x 4 threads call locked exports and whole scans at
// random for TORVANE_CONTENTION_SECONDS (20 s by default, 60 s in CI): no
// deadlock, no call past its limit, every failure of a locked call the
// refusal 162 (in the processes that do not scan themselves: the last-error
// register is one per process, and a scan's own failures land in it too).

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "campaign_support.h"

using namespace torvane::test;

namespace {

using ContentionTest = CampaignTest;

TEST_F(ContentionTest, EightProcessesOfFourThreadsNeverWedge)
{
	const char *setting = std::getenv("TORVANE_CONTENTION_SECONDS");
	const int seconds = setting ? std::atoi(setting) : 20;
	scanner->setDataRate(20000000);
	std::vector<Client> clients(8);
	for (int i = 0; i < 8; ++i) {
		// Half of the processes also scan; in the other half every failure
		// must be the refusal 162.
		Client started = startClient(
			{ "mix", std::to_string(seconds), "4", std::to_string(i + 1), i % 2 ? "scans" : "calls" });
		std::swap(clients[i].pid, started.pid);
		std::swap(clients[i].output, started.output);
	}
	long scans = 0;
	for (auto &client : clients) {
		// A call may outlast the end by the 10 s lock wait and one scan.
		const std::string figures = readLine(client, (seconds + 30) * 1000);
		std::printf("%s\n", figures.c_str());
		EXPECT_EQ(figures.rfind("mix ", 0), 0u) << "no figures: the client hung";
		EXPECT_EQ(reap(client), 0) << figures;
		long slowest = 0, done = 0;
		if (const auto at = figures.find("slowest_ms="); at != std::string::npos)
			slowest = std::atol(figures.c_str() + at + 11);
		if (const auto at = figures.find("scans="); at != std::string::npos)
			done = std::atol(figures.c_str() + at + 6);
		EXPECT_LT(slowest, 15000) << "a call waited past the lock wait";
		scans += done;
	}
	EXPECT_GT(scans, 0);
}

} // namespace
