// SPDX-License-Identifier: MIT
// Contention: 8 processes x 4 threads call locked exports and whole scans at
// random for TORVANE_CONTENTION_SECONDS (20 s by default, 60 s in CI): no
// deadlock, no call past its limit, every failure of a locked call the
// refusal 162 (in the processes that do not scan themselves: the last-error
// register is one per process, and a scan's own failures land in it too).
// Then whole scans of direct callers, torvane-scan and SANE front ends side
// by side, every image compared with a lone scan of its settings.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
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

// The counts of one kind of process of the image-content contention.
struct Tally {
	long completed = 0, refused = 0, failed = 0, wrong = 0;
	std::string lastFailure;

	void add(const Tally &other)
	{
		completed += other.completed;
		refused += other.refused;
		failed += other.failed;
		wrong += other.wrong;
		if (!other.lastFailure.empty())
			lastFailure = other.lastFailure;
	}
};

std::string figure(const std::string &line, const char *name)
{
	const std::string key = std::string(" ") + name + "=";
	const auto at = line.find(key);
	if (at == std::string::npos)
		return {};
	const auto from = at + key.size();
	return line.substr(from, line.find(' ', from) - from);
}

// The "images" line of a direct caller or SANE client.
Tally tallyOf(const std::string &line)
{
	Tally tally;
	tally.completed = std::atol(figure(line, "completed").c_str());
	tally.refused = std::atol(figure(line, "refused").c_str());
	tally.failed = std::atol(figure(line, "failed").c_str());
	tally.wrong = std::atol(figure(line, "wrong").c_str());
	return tally;
}

std::string fileBytes(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The mixed contention's pause of a direct caller or SANE client after
// each image (a user looks at the page), so that the programs that take
// longer to get going also find the scanner free at times; torvane-scan
// waits for a busy scanner as a user's run does, asking every 250 ms.
constexpr const char *kPauseMs = "300";
constexpr const char *kTorvaneScanWait = "3";

// One torvane-scan run; its exit code and what it said.
int runTorvaneScan(const std::vector<std::string> &setting, const std::string &file, std::string *said)
{
	std::vector<std::string> arguments{ "-q", "--wait", kTorvaneScanWait, "-o", file };
	arguments.insert(arguments.end(), setting.begin(), setting.end());
	std::remove(file.c_str());
	Client scan = startProgram(std::string(std::getenv("TORVANE_BINARY_DIR")) + "/bin/torvane-scan", arguments, true);
	*said = readToEnd(scan, 60000);
	return reap(scan);
}

// torvane-scan runs one after another for `seconds`, each image compared
// with the lone scan's file.
Tally torvaneScanRuns(int seconds, const std::vector<std::string> &setting, const std::string &lone,
		      const std::string &file)
{
	Tally tally;
	const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
	do {
		std::string said;
		if (runTorvaneScan(setting, file, &said) == 0) {
			++tally.completed;
			tally.wrong += fileBytes(file) != lone ? 1 : 0;
		} else if (said.find("(driver error 162)") != std::string::npos) {
			++tally.refused;
		} else {
			++tally.failed;
			tally.lastFailure = said;
		}
	} while (std::chrono::steady_clock::now() < end);
	return tally;
}

const std::vector<std::string> kTorvaneScanSettings[] = {
	{ "-m", "gray", "-r", "100", "-l", "5", "-t", "10", "-x", "1in", "-y", "0.5in" },
	{ "-m", "color", "-r", "75", "-x", "30", "-y", "20" },
};
constexpr const char *kNoSaneWait = "busy-wait 0\n";

// Every completed image of a scan with other processes scanning beside it is
// byte for byte the image of a lone scan of its settings. Eight processes of
// three kinds, each with settings of its own: four direct callers (four
// settings), two torvane-scan loops and two SANE front ends (two settings
// each), whole scans for TORVANE_IMAGE_CONTENTION_SECONDS (10 s by default);
// prints the counts of each kind (in the slower sanitizer builds a short
// run may leave a kind without a completed image: the counts tell).
TEST_F(ContentionTest, EveryCompletedImageIsTheImageOfALoneScan)
{
	const char *setting = std::getenv("TORVANE_IMAGE_CONTENTION_SECONDS");
	const int seconds = setting ? std::atoi(setting) : 10;
	const bool withSane = saneClientBuilt();
	scanner->setFullSpeed(true);
	const TempDir folder;

	std::vector<std::string> lone, loneSane, loneFiles;
	for (int s = 0; s < 4; ++s) {
		Client client = startClient({ "images", "0", std::to_string(s) });
		const std::string line = readLine(client, 30000);
		EXPECT_EQ(reap(client), 0);
		ASSERT_EQ(figure(line, "completed"), "1") << line;
		lone.push_back(figure(line, "hash"));
	}
	EXPECT_NE(lone[0], lone[1]);
	for (int s = 0; s < 2; ++s) {
		std::string said;
		const std::string file = folder.file("lone" + std::to_string(s) + ".pnm");
		ASSERT_EQ(runTorvaneScan(kTorvaneScanSettings[s], file, &said), 0) << said;
		loneFiles.push_back(fileBytes(file));
		if (withSane) {
			Client client = startSaneClient({ "images", "0", std::to_string(s) }, kNoSaneWait);
			const std::string line = readLine(client, 30000);
			EXPECT_EQ(reap(client), 0);
			ASSERT_EQ(figure(line, "completed"), "1") << line;
			loneSane.push_back(figure(line, "hash"));
		}
	}
	EXPECT_NE(loneFiles[0], loneFiles[1]);

	std::vector<Client> direct, sane;
	for (int i = 0; i < 4; ++i)
		direct.push_back(startClient({ "images", std::to_string(seconds), std::to_string(i), lone[i], kPauseMs }));
	// Without the backend the SANE places go to direct callers.
	for (int i = 0; i < 2; ++i)
		(withSane ? sane : direct)
			.push_back(withSane ? startSaneClient({ "images", std::to_string(seconds), std::to_string(i),
								loneSane[i], kPauseMs },
							      kNoSaneWait)
					    : startClient({ "images", std::to_string(seconds), std::to_string(i), lone[i],
							    kPauseMs }));
	Tally scans[2];
	std::thread scanLoops[2];
	for (int i = 0; i < 2; ++i)
		scanLoops[i] = std::thread([&, i] {
			scans[i] = torvaneScanRuns(seconds, kTorvaneScanSettings[i], loneFiles[i],
						   folder.file("page" + std::to_string(i) + ".pnm"));
		});

	auto collect = [&](std::vector<Client> &clients) {
		Tally tally;
		for (Client &client : clients) {
			const std::string line = readLine(client, (seconds + 30) * 1000);
			EXPECT_EQ(reap(client), 0) << line;
			EXPECT_EQ(line.rfind("images ", 0), 0u) << "no figures: the client hung";
			tally.add(tallyOf(line));
		}
		return tally;
	};
	const Tally directTally = collect(direct), saneTally = collect(sane);
	Tally scanTally;
	for (int i = 0; i < 2; ++i) {
		scanLoops[i].join();
		scanTally.add(scans[i]);
	}
	const struct {
		const char *kind;
		const Tally &tally;
	} rows[] = { { "direct callers", directTally }, { "torvane-scan (2)", scanTally }, { "SANE clients", saneTally } };
	for (const auto &row : rows) {
		std::printf("| %d s | %-16s | completed %ld | refused %ld | failed %ld | wrong %ld |\n", seconds, row.kind,
			    row.tally.completed, row.tally.refused, row.tally.failed, row.tally.wrong);
		EXPECT_EQ(row.tally.wrong, 0) << row.kind;
		EXPECT_EQ(row.tally.failed, 0) << row.kind << ": " << row.tally.lastFailure;
	}
	std::printf("| %zu direct callers, %zu SANE clients, 2 torvane-scan loops |\n", direct.size(), sane.size());
	EXPECT_GT(directTally.completed + saneTally.completed + scanTally.completed, 8);
}

} // namespace
