// SPDX-License-Identifier: MIT
// A PNG file of the driver's image bytes: 1-bit as bilevel grey (the driver's
// 1 = black turned into PNG's 0 = black), 8-bit grey, 24-bit RGB, with the
// resolution in a pHYs chunk. Platform-independent; zlib does the deflate.
#pragma once

#include <cstdint>
#include <vector>

#include "twain/image_layout.h"

namespace torvane::twain {

// The whole file; empty when zlib fails (no memory).
std::vector<uint8_t> pngFile(const ImageShape &shape, const uint8_t *image);

} // namespace torvane::twain
