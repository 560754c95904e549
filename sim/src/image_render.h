// SPDX-License-Identifier: MIT
// Turning a document into the raw image bytes the scanner sends for a window.
#pragma once

#include <cstdint>
#include <vector>

#include "torvane_sim/document.h"
#include "torvane_sim/virtual_scanner.h"

namespace torvane::sim {

// The largest image the scanner renders for one window.
inline constexpr uint64_t kMaxImageBytes = 1ull << 30;

// bytes per line x line count of `window`.
uint64_t imageSizeOf(const WindowSettings &window);

// Renders the raw image of `window` from `document` (configured here at the
// window's resolution). The caller has checked imageSizeOf() against
// kMaxImageBytes.
std::vector<uint8_t> renderImage(const WindowSettings &window, DocumentSource &document);

} // namespace torvane::sim
