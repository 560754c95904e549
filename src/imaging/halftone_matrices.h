// SPDX-License-Identifier: MIT
// The threshold matrices of the halftone patterns 1 to 6.
#pragma once

#include <cstdint>

namespace torvane::imaging {

// Six 8 x 8 matrices of thresholds, one after the other, row after row (row =
// line index mod 8, column = pixel index mod 8): a constant table of 384 bytes.
extern const uint8_t halftoneMatrices[6][8][8];

} // namespace torvane::imaging
