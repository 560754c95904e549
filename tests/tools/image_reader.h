// SPDX-License-Identifier: MIT
// Reads back the files torvane-scan writes, with the standard libraries
// (libpng, libtiff) and a plain PNM parser, for the tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace torvane::scan::test {

struct DecodedImage {
	bool ok = false;
	std::string error;
	uint32_t width = 0;
	uint32_t height = 0;
	uint32_t channels = 0; // 1 or 3
	uint32_t bitDepth = 0; // 1 or 8
	double dpiX = 0;
	double dpiY = 0;
	int photometric = -1; // TIFF only
	int compression = -1; // TIFF only
	std::string pnmMagic; // PNM only
	std::string header;   // PNM only: the header text
	// Rows as stored in the file (1-bit rows packed, first pixel in the top bit).
	std::vector<std::vector<uint8_t>> rows;

	// 0 black .. 255 white, whatever the format's convention, for 1-bit images too.
	uint8_t grey(uint32_t x, uint32_t y) const;
	// Channel c of pixel (x, y) of an 8-bit image.
	uint8_t sample(uint32_t x, uint32_t y, uint32_t c) const { return rows[y][x * channels + c]; }
	bool blackIsOne = false; // 1-bit polarity of the format
};

DecodedImage readPng(const std::string &path);
// `page` counts from 0.
DecodedImage readTiff(const std::string &path, uint16_t page = 0);
DecodedImage readPnm(const std::string &path);

} // namespace torvane::scan::test
