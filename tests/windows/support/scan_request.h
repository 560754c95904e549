// SPDX-License-Identifier: MIT
// Scan parameters as a front end fills them, and a whole scan through the
// exports of a loaded DLL.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/win_test_support.h"
#include "torvane/torvane.h"

namespace torvane::wintest {

struct ScanRequest {
	uint16_t xres = 600;
	uint8_t mode = 4; // 0 line art, 1 halftone, 2 grey, 4 colour
	uint8_t bitsPerPixel = 24;
	uint16_t length = 40; // 1/300 inch
};

// The whole width of the scanner (`scannerWidth` pixels at 300 dpi).
ScanParameter scanParameterFor(const ScanRequest &request, uint16_t scannerWidth);
// Bytes of the finished image.
uint32_t imageBytesOf(const ScanParameter &parameter);

// SetScanParameter, StartScan, ReadScan in pieces of `piece` bytes, StopScan,
// through the exports of `library`. `afterSetup` runs right after
// SetScanParameter (to take the scanner's raw image). False, with the reason
// in `failure`, when a call fails.
template<typename AfterSetup>
bool scanThrough(const Library &library, const ScanParameter &parameter, uint32_t piece, AfterSetup &&afterSetup,
		 std::vector<uint8_t> &image, std::string &failure)
{
	auto setScanParameter = library.function<decltype(&::SetScanParameter)>("SetScanParameter");
	auto readScan = library.function<decltype(&::ReadScan)>("ReadScan");
	if (!setScanParameter || !readScan || !library.symbol("StartScan") || !library.symbol("StopScan")) {
		failure = "the scan functions are not exported";
		return false;
	}
	if (setScanParameter(&parameter) != 1) {
		failure = "SetScanParameter failed";
		return false;
	}
	afterSetup();
	if (library.call("StartScan") != 1) {
		failure = "StartScan failed";
		library.call("StopScan");
		return false;
	}
	image.assign(imageBytesOf(parameter), 0);
	for (uint32_t done = 0; done < image.size();) {
		const uint32_t length = std::min<uint32_t>(piece, static_cast<uint32_t>(image.size()) - done);
		if (readScan(nullptr, image.data() + done, length) != 1) {
			failure = "ReadScan failed at byte " + std::to_string(done);
			library.call("StopScan");
			return false;
		}
		done += length;
	}
	if (library.call("StopScan") != 1) {
		failure = "StopScan failed";
		return false;
	}
	return true;
}

} // namespace torvane::wintest
