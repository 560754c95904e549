// SPDX-License-Identifier: MIT
// Whole scans through the exports against a virtual scanner served in this
// process, and the image a front end should receive, made from the raw image
// the scanner sent by the plain reference routines of the imaging tests.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/scanner_fixture.h"
#include "torvane/torvane.h"

namespace torvane::engine::test {

// What a front end asks for; the page is `length` 1/300 inch long.
struct Request {
	uint16_t xres = 300;
	uint8_t mode = 4; // 0 line art, 1 halftone, 2 grey, 4 colour
	uint8_t bitsPerPixel = 24;
	uint8_t colorFilter = 0;
	uint8_t pattern = 1;   // halftone pattern
	uint16_t left = 0;     // 1/300 inch
	uint16_t width = 0;    // 1/300 inch; 0: the scanner's width
	uint16_t length = 100; // 1/300 inch
	uint16_t pixelNum = 0; // 0: width at xres
};

// The shared scanner fixture with logging at level 2 and the model's inquiry
// data in modelInquiry, as InitializeScanner leaves them.
class ScanningTest : public torvane::test::ScannerTest
{
protected:
	void SetUp() override;
	void TearDown() override;

	// The scanner's width in pixels at 300 dpi, as its inquiry data say.
	uint16_t scannerWidth() const;
	ScanParameter parameterFor(const Request &request) const;
	// Bytes of the finished image, as the front end counts them.
	static uint32_t imageBytesOf(const ScanParameter &parameter);

	// SetScanParameter and StartScan; the raw image the scanner sends for
	// the window in `raw`.
	void start(const ScanParameter &parameter, std::vector<uint8_t> *raw = nullptr);
	// ReadScan in pieces of `piece` bytes until `total` bytes are read.
	std::vector<uint8_t> readAll(uint32_t total, uint32_t piece);
	// A whole scan: start, read, StopScan (which must succeed).
	std::vector<uint8_t> scan(const ScanParameter &parameter, std::vector<uint8_t> *raw = nullptr,
				  uint32_t piece = 65536);

	// The image bytes of `raw` worked as the read pipeline should, for the
	// settings SetScanParameter left; at least `total` bytes are made.
	static std::vector<uint8_t> expectedImage(const std::vector<uint8_t> &raw, uint32_t total);

	// Image data reads (READ(10) type 0x00) in the command log, their lengths.
	std::vector<uint32_t> imageReads() const;
};

} // namespace torvane::engine::test
