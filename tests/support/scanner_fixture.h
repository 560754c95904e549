// SPDX-License-Identifier: MIT
// Test support: a simulated scanner served in a temp folder, with the driver
// attached and the scanner found.
#pragma once

#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_environment.h"
#include "torvane_sim/sim_server.h"
#include "torvane_sim/virtual_scanner.h"

namespace torvane::test {

// Serves one VirtualScanner as usbscan0 under a private TORVANE_DEVICE_DIR,
// attaches the driver (no configuration: nothing logged) and runs
// InitializeDriver. The scanner delivers image data at full speed and its
// command log starts empty.
class ScannerTest : public ::testing::Test
{
protected:
	void SetUp() override;
	void TearDown() override;

	// The scanner served as usbscan0 at full speed, no configuration file;
	// the first half of SetUp, for fixtures that do not attach the driver.
	void serveScanner();

	// The model to serve; override in a derived fixture.
	virtual sim::Model model() const { return sim::Model::RM735; }

	// Commands the scanner has seen since the last clearCommands().
	std::vector<sim::CommandRecord> commands() const { return scanner->commandLog(); }
	void clearCommands() { scanner->clearCommandLog(); }

	// Turns logging on for this test: DEBUGLEVEL and SAVEPATH = logs folder,
	// then attaches the driver again so that it reads them.
	void enableLogging(uint32_t level);

	TempDir devices;
	TempDir logs;
	std::unique_ptr<sim::SimServer> server;
	std::shared_ptr<sim::VirtualScanner> scanner;
};

} // namespace torvane::test
