// SPDX-License-Identifier: MIT
// The gamma table: 256 front-end bytes widened to 256 big-endian 16-bit
// entries and sent for one channel.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace torvane::setup {

inline constexpr size_t kGammaEntries = 256;
inline constexpr size_t kDeviceGammaSize = 512;
using DeviceGammaTable = std::array<uint8_t, kDeviceGammaSize>;

// Entry i becomes the bytes 0, table[i].
DeviceGammaTable buildDeviceGammaTable(const uint8_t *table);

// The data type qualifier for a channel argument; none for 4 and above.
std::optional<uint16_t> gammaQualifier(uint8_t channel);

// Writes the 512 bytes, the end marker and an empty record to
// quorGammatable.txt at level 2.
void logGammaTable(const DeviceGammaTable &table);

// SetGammaTable's work: build, send for the channel (no device lock; the
// exchange lock keeps the exchange whole), log. 1 on success; 0 with 2999 for
// a missing table, an unsupported channel or a failed send.
int sendGammaTable(const uint8_t *table, uint8_t channel);

} // namespace torvane::setup
