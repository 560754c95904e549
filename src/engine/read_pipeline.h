// SPDX-License-Identifier: MIT
// The read pipeline: takes raw chunks from the ring and reworks them into
// exactly the image the front end described.
#pragma once

#include <cstdint>
#include <memory>

#include "engine/chunk_ring.h"

namespace torvane::engine {

// The chunk being worked on and delivered. The finished bytes lie at the
// start of the staging buffer up to validBytes; the last pendingBytes of them
// are not delivered yet.
extern ScanBuffer stagingBuffer;
extern size_t stagingBytes;
// What the staging buffer holds (it may be kept from a scan with larger chunks).
extern size_t stagingCapacity;
extern uint32_t pendingBytes;
extern uint32_t validBytes;
// 1 from the first cropped chunk of a scan until StopScan.
extern uint8_t cropApplied;

// The size of the staging buffer (and of the scratch block) for the current
// settings: large enough for a chunk at every step of the pipeline, also when
// resampling enlarges it (a chunk of chunkLines lines grows by zoomToUser in
// both directions).
size_t workedChunkBytes(uint32_t chunkLines, uint32_t chunkBytes);

// Waits for the slot at readSlot to be filled, copies it into the staging
// buffer (cut to the requested window when the settings ask for a crop) and
// frees the slot. 1, or 0 when no chunk came.
int TakeFilledSlot();

// ReadScan's work: 1 when `length` bytes were copied to `buffer`; 0 with
// LastErrorCode 157 (no image data, or no scan), 152 (no scratch memory) or
// 2999 (no buffer for a non-zero length).
int readScan(uint8_t *buffer, uint32_t length);

} // namespace torvane::engine
