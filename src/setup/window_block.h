// SPDX-License-Identifier: MIT
// The window parameter block of SET WINDOW: an 8-byte header and one 71-byte
// window descriptor built from the scan settings.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "torvane/torvane.h"

namespace torvane::setup {

inline constexpr size_t kWindowHeaderSize = 8;
inline constexpr size_t kWindowDescriptorSize = 71;
inline constexpr size_t kWindowBlockSize = kWindowHeaderSize + kWindowDescriptorSize;
using WindowBlock = std::array<uint8_t, kWindowBlockSize>;

// The composition byte (descriptor byte 25) and the mode flags (byte 42) for
// a scan mode and colour filter.
struct WindowMode {
	uint8_t composition;
	uint8_t modeFlags;
};
WindowMode windowMode(uint8_t scanMode, uint8_t colorFilter);

// Clears the 71-byte `descriptor` and fills it from `settings` (workParam).
void BuildWindowBlock(uint8_t *descriptor, const ScanParameter &settings);

// The whole 79-byte block: header with the descriptor length, then the
// descriptor.
WindowBlock windowParameterBlock(const ScanParameter &settings);

// SET WINDOW with exactly 79 bytes of `block` as data out. 1 for status 0.
int SendWindow(const uint8_t *block);

} // namespace torvane::setup
