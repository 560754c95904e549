// SPDX-License-Identifier: MIT
// The six capability words of the extended ability record, decoded from the
// inquiry data by table.
#pragma once

#include <cstdint>

namespace torvane::ability {

struct CapabilityWords {
	uint32_t A;
	uint32_t B;
	uint16_t C;
	uint32_t D;
	uint32_t E;
	uint32_t F;
};

// Decodes the words from 160 bytes of inquiry data.
CapabilityWords decodeCapabilityWords(const uint8_t *inquiry);

// The scanner kind code: inquiry byte 36, bits 4-6.
uint8_t scannerKindCode(const uint8_t *inquiry);

} // namespace torvane::ability
