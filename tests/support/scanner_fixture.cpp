// SPDX-License-Identifier: MIT
// Test support: a simulated scanner served in a temp folder.

#include "support/scanner_fixture.h"

#include <cstdlib>

#include "torvane/torvane.h"

namespace torvane::test {

void ScannerTest::serveScanner()
{
	setenv("TORVANE_DEVICE_DIR", devices.path().c_str(), 1);
	server = std::make_unique<sim::SimServer>(devices.path());
	scanner = std::make_shared<sim::VirtualScanner>(model());
	scanner->setFullSpeed(true);
	std::string error;
	ASSERT_TRUE(server->plug(scanner, 0, &error)) << error;
	removeConfig();
}

void ScannerTest::SetUp()
{
	serveScanner();
	if (HasFatalFailure())
		return;
	attachDriver();
	ASSERT_EQ(InitializeDriver(), 1);
	scanner->clearCommandLog();
}

void ScannerTest::TearDown()
{
	detachDriver();
	server.reset();
	unsetenv("TORVANE_DEVICE_DIR");
}

void ScannerTest::enableLogging(uint32_t level)
{
	detachDriver();
	configureLogging(level, logs.path() + "/");
	attachDriver();
}

} // namespace torvane::test
