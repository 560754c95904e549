// SPDX-License-Identifier: MIT
// The acquisition thread: reads the raw image from the scanner, one chunk of
// whole lines per ring slot, and hands each finished chunk to the reader.
#pragma once

namespace torvane::engine {

// Thread procedure; `context` is the scan's ChunkRing, which the thread reads
// and writes and nothing else of the engine.
void AcquisitionThread(void *context);

} // namespace torvane::engine
