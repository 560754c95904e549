// SPDX-License-Identifier: MIT
// SANE's own tools against the backend loaded from the build tree:
// scanimage -L, -A, scans compared with torvane-scan's, -T, and a cancel.

#include <csignal>
#include <filesystem>
#include <thread>

#include "sane_fixture.h"

namespace torvane::sane::test {
namespace {

const std::string kScanimage = "/usr/bin/scanimage";

std::string buildProgram(const std::string &name)
{
	return std::string(std::getenv("TORVANE_BINARY_DIR")) + "/bin/" + name;
}

TEST_F(SaneTest, ScanimageListsAndDescribesTheScanner)
{
	startSimulator();
	const RunResult list = run(kScanimage, { "-L" });
	EXPECT_EQ(list.exitCode, 0) << list.err;
	EXPECT_EQ(list.out, "device `torvane:usbscan0' is a Torvane RM735 sheetfed scanner\n");

	const RunResult all = run(kScanimage, { "-d", "torvane:usbscan0", "-A" });
	ASSERT_EQ(all.exitCode, 0) << all.err;
	for (const char *line : { "--mode Color|Gray|Lineart|Halftone [Color]",
				  "--resolution 50|75|100|150|200|300|400|600|1200dpi [300]",
				  "--halftone-pattern 1..6 (in steps of 1) [inactive]", "-l 0..215.9mm [0]",
				  "-x 0..215.9mm [210]", "-y 0..354.584mm [297]", "--page-width 0..215.9mm [210]",
				  "--page-height 0..354.584mm [297]", "--source ADF [ADF]", "--scan[=(yes|no)] [no] [hardware]",
				  "--copy[=(yes|no)] [no] [hardware]", "--gamma-table 0..255,... (in steps of 1) [inactive]" })
		EXPECT_NE(all.out.find(line), std::string::npos) << line << "\n"
								 << all.out;
}

TEST_F(SaneTest, ScanimageBatchEndsAfterTheLastSheet)
{
	startSimulator({ "--full-speed", "--feeder", "chart", "--feeder", "chart", "--feeder", "chart" });
	const RunResult batch =
		run(kScanimage, { "--batch=" + folder.file("p%d.pnm"), "--resolution", "50", "-x", "50", "-y", "50" });
	EXPECT_EQ(batch.exitCode, 0) << batch.err;
	for (int page = 1; page <= 3; ++page)
		EXPECT_TRUE(std::filesystem::exists(folder.file("p" + std::to_string(page) + ".pnm"))) << page;
	EXPECT_FALSE(std::filesystem::exists(folder.file("p4.pnm")));
}

TEST_F(SaneTest, DebugMessagesNameTheOptionsActionsValuesAndStatuses)
{
	startSimulator();
	EnvironmentChanges debug = environment();
	debug["SANE_DEBUG_TORVANE"] = "5";
	const RunResult page = scan::test::run(kScanimage, { "--format=pnm", "--mode", "Lineart", "--resolution", "110", "-x", "0", "-y", "20" },
					       debug, folder.path());
	ASSERT_EQ(page.exitCode, 0) << page.err;
	for (const char *line :
	     { "[torvane] sane_init: torvane backend 1.0.0, SANE 1.0 build 1\n",
	       "[torvane] sane_control_option(num-options, get)\n",
	       "[torvane] mode set to Lineart, info RELOAD_OPTIONS RELOAD_PARAMS\n",
	       "[torvane] resolution set to 100 dpi, info INEXACT RELOAD_PARAMS\n",
	       // A width of 0 is one pixel at once: sane_start has nothing to refuse.
	       "[torvane] br-x set to 0.254 mm, info INEXACT RELOAD_PARAMS\n",
	       "[torvane] scan started: 1 x 78 pixels, 1 bytes per line, 100 dpi\n",
	       "[torvane] scan ended: SANE_STATUS_EOF (End of file reached)\n" })
		EXPECT_NE(page.err.find(line), std::string::npos) << line << page.err;
	EXPECT_EQ(pnmPixels(page.out).size(), 78u);
}

struct ModeCase {
	const char *sane;
	const char *torvaneScan;
};

void PrintTo(const ModeCase &mode, std::ostream *out)
{
	*out << mode.sane;
}

class SaneModeTest : public SaneTest, public ::testing::WithParamInterface<ModeCase>
{
};

TEST_P(SaneModeTest, PageEqualsTorvaneScansAndPassesTheTestMode)
{
	startSimulator();
	const RunResult page = run(kScanimage, { "--format=pnm", "--mode", GetParam().sane, "--resolution", "150", "-l",
						 "10", "-t", "20", "-x", "100", "-y", "60" });
	ASSERT_EQ(page.exitCode, 0) << page.err;
	const std::string reference = folder.file("reference.pnm");
	const RunResult own = run(buildProgram("torvane-scan"), { "-q", "-m", GetParam().torvaneScan, "-r", "150", "-l",
								  "10", "-t", "20", "-x", "100", "-y", "60", "-o", reference });
	ASSERT_EQ(own.exitCode, 0) << own.err;
	const std::string pixels = pnmPixels(page.out);
	EXPECT_FALSE(pixels.empty());
	EXPECT_TRUE(pixels == pnmPixels(torvane::test::readFile(reference))) << "the pages differ";

	const RunResult selfTest = run(kScanimage, { "-T", "--mode", GetParam().sane, "--resolution", "100" });
	EXPECT_EQ(selfTest.exitCode, 0) << selfTest.err;
	EXPECT_EQ(selfTest.err.find("FAIL"), std::string::npos) << selfTest.err;
}

INSTANTIATE_TEST_SUITE_P(SaneModes, SaneModeTest,
			 ::testing::Values(ModeCase{ "Color", "color" }, ModeCase{ "Gray", "gray" },
					   ModeCase{ "Lineart", "lineart" }, ModeCase{ "Halftone", "halftone" }),
			 [](const auto &info) { return std::string(info.param.sane); });

TEST_F(SaneTest, SigintEndsAPageAtOnceAndTheNextScanWorks)
{
	// About 40 s for the page: the interrupt comes long before its end.
	startSimulator({ "--rate", "200000" });
	{
		scan::test::ChildProcess scanimage(kScanimage, { "--format=pnm", "--resolution", "150" }, environment(),
						   folder.path());
		ASSERT_TRUE(scanimage.started());
		const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
		while (scanimage.output().size() < 100000 && std::chrono::steady_clock::now() < deadline)
			std::this_thread::sleep_for(std::chrono::milliseconds(20));
		ASSERT_GE(scanimage.output().size(), 100000u) << "no image data arrived";
		const auto interrupted = std::chrono::steady_clock::now();
		scanimage.signal(SIGINT);
		const RunResult ended = scanimage.wait(20000);
		EXPECT_TRUE(ended.exited);
		EXPECT_NE(ended.exitCode, 0);
		EXPECT_LT(std::chrono::steady_clock::now() - interrupted, std::chrono::seconds(5));
	}
	const RunResult next = run(kScanimage, { "--format=pnm", "--mode", "Gray", "--resolution", "75", "-x", "20",
						 "-y", "10" });
	ASSERT_EQ(next.exitCode, 0) << next.err;
	EXPECT_EQ(pnmPixels(next.out).size(), 59u * 29u);
}

} // namespace
} // namespace torvane::sane::test
