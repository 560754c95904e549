// SPDX-License-Identifier: MIT
// The read pipeline: takes raw chunks from the ring and reworks them into
// exactly the image the front end described.
#pragma once

#include <cstdint>

#include "engine/scan_session.h"

namespace torvane::engine {

// Waits for the slot at readSlot to be filled, copies it into the staging
// buffer (cut to the requested window when the plan has a crop) and frees the
// slot. 1, or 0 when no chunk came.
int TakeFilledSlot();

// ReadScan's work: 1 when `length` bytes were copied to `buffer`; 0 with
// LastErrorCode 157 (no image data, or no scan), 152 (no scratch memory) or
// 2999 (no buffer for a non-zero length).
int readScan(uint8_t *buffer, uint32_t length);

} // namespace torvane::engine
