// SPDX-License-Identifier: MIT
// One served virtual scanner (usbscan0 in a folder of its own) per test.
#pragma once

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "support/test_environment.h"
#include "torvane_sim/sim_server.h"
#include "torvane_sim/virtual_scanner.h"

namespace torvane::simtest {

class SimFixture : public ::testing::Test
{
protected:
	void SetUp() override
	{
		// Tests run at full speed unless they test the rate.
		scanner->setFullSpeed(true);
		ASSERT_TRUE(server.plug(scanner, 0));
	}

	std::string path(unsigned int number = 0) const { return server.socketPath(number); }

	// Declared first: the folder outlives the server.
	test::TempDir dir;
	sim::SimServer server{ dir.path() };
	std::shared_ptr<sim::VirtualScanner> scanner = std::make_shared<sim::VirtualScanner>(sim::Model::RM735);
};

} // namespace torvane::simtest
