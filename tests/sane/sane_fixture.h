// SPDX-License-Identifier: MIT
// A torvane-sim scanner and a private SANE configuration that loads only the
// torvane backend from the build tree.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "process_runner.h"
#include "support/test_environment.h"

namespace torvane::sane::test {

using scan::test::EnvironmentChanges;
using scan::test::RunResult;

class SaneTest : public ::testing::Test
{
protected:
	void SetUp() override;
	void TearDown() override;

	// Starts torvane-sim (at full speed unless other options are given).
	void startSimulator(const std::vector<std::string> &options = { "--full-speed" });
	// SANE_CONFIG_DIR, LD_LIBRARY_PATH and TORVANE_DEVICE_DIR for the tools.
	EnvironmentChanges environment() const;
	// Runs a program of the machine (scanimage) or of the build (bin/...).
	RunResult run(const std::string &program, const std::vector<std::string> &args, int timeoutMs = 120000);

	torvane::test::TempDir folder;
	std::string devices, config;
	std::unique_ptr<scan::test::SimulatorProcess> simulator;
};

// The image bytes of a PNM image, without its header (and header comments).
std::string pnmPixels(const std::string &image);

} // namespace torvane::sane::test
