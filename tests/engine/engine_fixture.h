// SPDX-License-Identifier: MIT
// Scan settings made by SetScanParameter's derivation and a ring fed by
// hand, for tests of the engine without a scanner.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_environment.h"

namespace torvane::engine::test {

struct Settings {
	uint16_t xres = 600;	    // what the front end asked for
	uint16_t scannerWidth = 10; // pixels at 300 dpi
	uint8_t bitsPerPixel = 8;   // as scanned
	uint8_t scanMode = 2;	    // as scanned
	uint16_t lineNum = 64;	    // scanned lines: 12 more than a multiple of 4
	uint16_t left = 0;	    // 1/300 inch
	uint16_t width = 0;	    // 1/300 inch; 0: the scanner's width
	uint16_t pixelNum = 0;	    // delivered; 0: width at xres
};

// scannerWidth and maxReadBlock set, and the scan settings derived as
// SetScanParameter derives them from a request for `settings`; no conversion
// flag set.
void applySettings(const Settings &settings);

// Copies `chunk` (zeros after it) into the slot the acquisition thread would
// fill next and hands it over.
void handOver(const std::vector<uint8_t> &chunk);

// `count` bytes, byte i = (first + i * step) mod 256.
std::vector<uint8_t> pattern(size_t count, uint8_t first, uint8_t step = 1);

class EngineTest : public ::testing::Test
{
protected:
	void SetUp() override;
	void TearDown() override;

	// The log folder (debug level 2 unless a test configures otherwise).
	torvane::test::TempDir logs_;
	std::string mainLog() const;
};

} // namespace torvane::engine::test
