// SPDX-License-Identifier: MIT
// A torvane-sim scanner and a private SANE configuration that loads only the
// torvane backend from the build tree.

#include "sane_fixture.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace torvane::sane::test {

void SaneTest::SetUp()
{
	devices = folder.file("dev");
	config = folder.file("sane.d");
	std::filesystem::create_directories(devices);
	std::filesystem::create_directories(config);
	std::ofstream(config + "/dll.conf") << "torvane\n";
	setenv("SANE_CONFIG_DIR", config.c_str(), 1);
	setenv("TORVANE_DEVICE_DIR", devices.c_str(), 1);
}

void SaneTest::TearDown()
{
	simulator.reset();
	unsetenv("TORVANE_DEVICE_DIR");
}

void SaneTest::startSimulator(const std::vector<std::string> &options)
{
	simulator = std::make_unique<scan::test::SimulatorProcess>(devices, folder.path(), options);
	ASSERT_TRUE(simulator->ready());
}

EnvironmentChanges SaneTest::environment() const
{
	const std::string build = std::getenv("TORVANE_BINARY_DIR");
	// The default page is the locale's: A4 here, whatever the machine's.
	return { { "SANE_CONFIG_DIR", config },
		 { "LD_LIBRARY_PATH", build + "/sane" },
		 { "TORVANE_DEVICE_DIR", devices },
		 { "LC_PAPER", "C" } };
}

RunResult SaneTest::run(const std::string &program, const std::vector<std::string> &args, int timeoutMs)
{
	return scan::test::run(program, args, environment(), folder.path(), timeoutMs);
}

std::string pnmPixels(const std::string &image)
{
	std::istringstream in(image);
	std::string magic;
	in >> magic;
	const int fields = magic == "P4" ? 2 : 3; // width height [maximum]
	for (int read = 0; read < fields && in;) {
		in >> std::ws;
		if (in.peek() == '#') {
			std::string comment;
			std::getline(in, comment);
			continue;
		}
		long value;
		in >> value;
		++read;
	}
	in.get(); // the one white-space character before the data
	std::ostringstream pixels;
	pixels << in.rdbuf();
	return pixels.str();
}

} // namespace torvane::sane::test
