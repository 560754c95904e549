// SPDX-License-Identifier: MIT
// Hostile files: log names in SAVEPATH that are symbolic links or FIFOs, and
// configuration files that are devices, FIFOs, huge or binary. A front end in
// a process of its own scans through each; it must finish (a regression
// fails after a time limit instead of wedging the run), the log must never
// reach what a link points to, and a line the file does not hold must never
// switch logging on.

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "campaign_support.h"
#include "driver/debug_log.h"

using namespace torvane;
using namespace torvane::test;

namespace {

constexpr const char *kLogNames[] = { driver::kMainLog, driver::kParamLog, driver::kGammaLog, driver::kVarLog };

class HostileFilesTest : public CampaignTest
{
protected:
	// One small scan in a campaign client with TORVANE_REGISTRY = `config`;
	// its answer line, empty when it did not finish within 15 s (the client
	// is then killed).
	static std::string scanWithConfig(const std::string &config)
	{
		const std::string kept = std::getenv("TORVANE_REGISTRY");
		setenv("TORVANE_REGISTRY", config.c_str(), 1);
		Client client = startClient({ "scan", "5" });
		setenv("TORVANE_REGISTRY", kept.c_str(), 1);
		const std::string answer = readLine(client, 15000);
		return answer.rfind("scan ok", 0) == 0 ? "scan ok" : answer;
	}

	static void writeText(const std::string &path, const std::string &text)
	{
		std::ofstream(path, std::ios::binary) << text;
	}

	// A configuration in `files` that logs at level 2 into `logs`, after
	// `before`.
	std::string loggingConfig(const std::string &before)
	{
		const std::string path = files.file("twain.conf");
		writeText(path, before + "DEBUGLEVEL=2\nSAVEPATH=" + logs.path() + "/\n");
		return path;
	}

	TempDir files;
};

TEST_F(HostileFilesTest, LogNamesThatAreLinksAreNeverFollowed)
{
	for (const char *name : kLogNames) {
		const std::string victim = files.file(std::string("victim-") + name);
		writeText(victim, "kept\n");
		ASSERT_EQ(symlink(victim.c_str(), logs.file(name).c_str()), 0);
	}
	EXPECT_EQ(scanWithConfig(loggingConfig("")), "scan ok");
	for (const char *name : kLogNames) {
		EXPECT_EQ(readFile(files.file(std::string("victim-") + name)), "kept\n") << name;
		struct stat info {};
		ASSERT_EQ(lstat(logs.file(name).c_str(), &info), 0);
		EXPECT_TRUE(S_ISLNK(info.st_mode)) << name;
	}
}

TEST_F(HostileFilesTest, LogNamesThatAreFifosNeverBlockAScan)
{
	for (const char *name : kLogNames)
		ASSERT_EQ(mkfifo(logs.file(name).c_str(), 0600), 0);
	EXPECT_EQ(scanWithConfig(loggingConfig("")), "scan ok");
}

TEST_F(HostileFilesTest, AHardLinkedLogNameIsNotWritten)
{
	const std::string victim = files.file("victim");
	writeText(victim, "kept\n");
	ASSERT_EQ(link(victim.c_str(), logs.file(driver::kMainLog).c_str()), 0);
	EXPECT_EQ(scanWithConfig(loggingConfig("")), "scan ok");
	EXPECT_EQ(readFile(victim), "kept\n");
}

TEST_F(HostileFilesTest, ConfigurationThatIsADeviceOrAFifoIsMissing)
{
	const std::string fifo = files.file("fifo.conf");
	ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
	for (const std::string &config : { std::string("/dev/zero"), std::string("/dev/urandom"), fifo })
		EXPECT_EQ(scanWithConfig(config), "scan ok") << config;
}

TEST_F(HostileFilesTest, AConfigurationOverFourMegabytesIsMissing)
{
	const std::string config = loggingConfig("");
	ASSERT_EQ(truncate(config.c_str(), (4 << 20) + 1), 0);
	EXPECT_EQ(scanWithConfig(config), "scan ok");
	EXPECT_FALSE(exists(logs.file(driver::kMainLog)));
}

TEST_F(HostileFilesTest, ALongCommentLineStaysOneComment)
{
	// Byte 1023 on of the comment reads as a line of its own where lines
	// are cut at a fixed length.
	const std::string comment = "#" + std::string(1022, 'x') + "DEBUGLEVEL=2\n";
	const std::string config = files.file("twain.conf");
	writeText(config, comment + "SAVEPATH=" + logs.path() + "/\n");
	EXPECT_EQ(scanWithConfig(config), "scan ok");
	EXPECT_FALSE(exists(logs.file(driver::kMainLog)));

	// A value line as long counts whole: 0...02 is 2.
	writeText(config, "DEBUGLEVEL=" + std::string(1100, '0') + "2\nSAVEPATH=" + logs.path() + "/\n");
	EXPECT_EQ(scanWithConfig(config), "scan ok");
	EXPECT_TRUE(exists(logs.file(driver::kMainLog)));
}

TEST_F(HostileFilesTest, BinaryBytesBeforeTheLinesAreSkipped)
{
	std::mt19937 random(21);
	std::string noise(64 * 1024, '\0');
	for (char &byte : noise)
		byte = static_cast<char>(random());
	EXPECT_EQ(scanWithConfig(loggingConfig(noise + "\n")), "scan ok");
	EXPECT_TRUE(exists(logs.file(driver::kMainLog)));
}

} // namespace
