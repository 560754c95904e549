// SPDX-License-Identifier: MIT
// Contention: 8 processes x 4 threads call locked exports and whole scans at
// random for TORVANE_CONTENTION_SECONDS (20 s by default, 60 s in CI): no
// deadlock, no call past its limit, every failure of a locked call the
// refusal 162 (in the processes that do not scan themselves: the last-error
// register is one per process, and a scan's own failures land in it too).

#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// Every completed image of a scan with other processes scanning beside it is
// byte for byte the image of a lone scan of its settings. Eight processes,
// four settings, whole scans for TORVANE_IMAGE_CONTENTION_SECONDS (10 s by
// default); prints the counts.
TEST_F(ContentionTest, EveryCompletedImageIsTheImageOfALoneScan)
{
	const char *setting = std::getenv("TORVANE_IMAGE_CONTENTION_SECONDS");
	const int seconds = setting ? std::atoi(setting) : 10;
	scanner->setFullSpeed(true);
	auto figure = [](const std::string &line, const char *name) {
		const auto at = line.find(std::string(" ") + name + "=");
		return at == std::string::npos ? std::string() : line.substr(at + std::strlen(name) + 2, line.find(' ', at + 1) - at - std::strlen(name) - 2);
	};
	std::vector<std::string> lone;
	for (int s = 0; s < 4; ++s) {
		Client client = startClient({ "images", "0", std::to_string(s) });
		const std::string line = readLine(client, 30000);
		EXPECT_EQ(reap(client), 0);
		ASSERT_EQ(figure(line, "completed"), "1") << line;
		lone.push_back(figure(line, "hash"));
	}
	EXPECT_NE(lone[0], lone[1]);

	std::vector<Client> clients;
	for (int i = 0; i < 8; ++i)
		clients.push_back(startClient({ "images", std::to_string(seconds), std::to_string(i % 4), lone[i % 4] }));
	long completed = 0, refused = 0, failed = 0, wrong = 0;
	for (Client &client : clients) {
		const std::string line = readLine(client, (seconds + 30) * 1000);
		EXPECT_EQ(reap(client), 0) << line;
		ASSERT_EQ(line.rfind("images ", 0), 0u) << "no figures: the client hung";
		completed += std::atol(figure(line, "completed").c_str());
		refused += std::atol(figure(line, "refused").c_str());
		failed += std::atol(figure(line, "failed").c_str());
		wrong += std::atol(figure(line, "wrong").c_str());
	}
	std::printf("| %d s, 8 processes | completed %ld | refused %ld | failed %ld | wrong %ld |\n", seconds, completed,
		    refused, failed, wrong);
	EXPECT_EQ(wrong, 0);
	EXPECT_EQ(failed, 0);
	EXPECT_GT(completed, 8);
}

} // namespace
