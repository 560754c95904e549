// SPDX-License-Identifier: MIT
// The configuration file of one run (--debug-level, --log-dir) and where the
// driver library is looked for.

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "driver_library.h"
#include "run_config.h"
#include "support/test_environment.h"

namespace torvane::scan {
namespace {

TEST(RunConfiguration, OverridesOnlyWhatIsGiven)
{
	const std::string existing = "# site configuration\nDEBUGLEVEL=5\r\nSAVEPATH=/var/log/torvane/\nOTHER=1\n";
	EXPECT_EQ(buildRunConfiguration(existing, 9, "/tmp/logs"),
		  "# torvane-scan: configuration of one run\n# site configuration\nOTHER=1\n"
		  "DEBUGLEVEL=9\nSAVEPATH=/tmp/logs/\n");
	// A level alone keeps the configured folder.
	EXPECT_EQ(buildRunConfiguration(existing, 0, ""),
		  "# torvane-scan: configuration of one run\n# site configuration\nSAVEPATH=/var/log/torvane/\nOTHER=1\n"
		  "DEBUGLEVEL=0\n");
	// A folder alone keeps the configured level...
	EXPECT_EQ(buildRunConfiguration(existing, std::nullopt, "logs/"),
		  "# torvane-scan: configuration of one run\n# site configuration\nDEBUGLEVEL=5\nOTHER=1\n"
		  "SAVEPATH=logs/\n");
	// ...or logs at level 2 when none is configured.
	EXPECT_EQ(buildRunConfiguration("", std::nullopt, "logs"),
		  "# torvane-scan: configuration of one run\nDEBUGLEVEL=2\nSAVEPATH=logs/\n");
	// A commented-out value is no value.
	EXPECT_EQ(buildRunConfiguration("#DEBUGLEVEL=7\n", std::nullopt, "l"),
		  "# torvane-scan: configuration of one run\n#DEBUGLEVEL=7\nDEBUGLEVEL=2\nSAVEPATH=l/\n");
}

TEST(RunConfiguration, FileIsWrittenAndNamedInTheEnvironment)
{
	torvane::test::TempDir dir;
	torvane::test::writeConfig("SAVEPATH=/old/\n");
	const std::string previous = std::getenv("TORVANE_REGISTRY");
	std::string path;
	{
		std::string error;
		auto config = RunConfiguration::create(7, dir.file("new/logs"), &error);
		ASSERT_TRUE(config) << error;
		path = config->path();
		EXPECT_EQ(std::getenv("TORVANE_REGISTRY"), path);
		EXPECT_TRUE(std::filesystem::is_directory(dir.file("new/logs")));
		EXPECT_EQ(torvane::test::readFile(path),
			  "# torvane-scan: configuration of one run\nDEBUGLEVEL=7\nSAVEPATH=" + dir.file("new/logs") + "/\n");
	}
	EXPECT_FALSE(std::filesystem::exists(path)); // removed with its folder
	setenv("TORVANE_REGISTRY", previous.c_str(), 1);

	std::string error;
	torvane::test::writeConfig("");
	std::ofstream(dir.file("plain")) << "x";
	EXPECT_FALSE(RunConfiguration::create(2, dir.file("plain"), &error));
	EXPECT_EQ(error.rfind("cannot use the log folder '" + dir.file("plain") + "': ", 0), 0u) << error;
}

TEST(DriverLibrarySearch, BesideTheExecutableThenTheBuildTreeThenThePath)
{
	EXPECT_EQ(librarySearchList("RM735", "", "/opt/torvane/bin", "/src/build/lib"),
		  (std::vector<std::string>{ "/opt/torvane/bin/../lib/RM735.so", "/src/build/lib/RM735.so", "RM735.so" }));
	EXPECT_EQ(librarySearchList("KT918", "", "/usr/bin", "", "/usr/lib/x86_64-linux-gnu/torvane"),
		  (std::vector<std::string>{ "/usr/bin/../lib/KT918.so", "/usr/lib/x86_64-linux-gnu/torvane/KT918.so",
					     "KT918.so" }));
	EXPECT_EQ(librarySearchList("KT918", "", "", ""), (std::vector<std::string>{ "KT918.so" }));
	EXPECT_EQ(librarySearchList("KT918", "/x/y.so", "/a", "/b"), (std::vector<std::string>{ "/x/y.so" }));
}

TEST(DriverLibrarySearch, AMissingLibraryIsReportedWithEveryPlaceLookedAt)
{
	std::string error;
	EXPECT_FALSE(DriverLibrary::load({ "/nonexistent/RM735.so", "NOSUCHMODEL.so" }, &error));
	EXPECT_EQ(error.rfind("the driver library could not be loaded; looked for:\n  /nonexistent/RM735.so\n"
			      "  NOSUCHMODEL.so\nreasons:\n  NOSUCHMODEL.so: cannot open shared object file",
			      0),
		  0u)
		<< error;
}

} // namespace
} // namespace torvane::scan
