// SPDX-License-Identifier: MIT
// The chunk ring: 64 slots through which the acquisition thread hands raw
// chunks of scanned lines to the read pipeline, and the scan's geometry.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "platform/platform.h"

namespace torvane::engine {

inline constexpr int32_t kRingSlots = 64;

// A scan buffer on the ordinary heap (malloc or calloc).
struct FreeScanBuffer {
	void operator()(uint8_t *buffer) const { std::free(buffer); }
};
using ScanBuffer = std::unique_ptr<uint8_t[], FreeScanBuffer>;

// Lines per chunk for the resolution the front end asked for: small chunks at
// high resolutions, where the read pipeline enlarges them. The upper
// threshold is 601, not 600.
uint32_t chunkLinesFor(uint16_t requestedXRes);

// Everything the acquisition thread touches lives in one object, which it
// receives as its context. StopScan frees it only once the thread has ended;
// a thread that could not be ended keeps its ring (leaked, never corrupted).
struct ChunkRing {
	// Fixed by StartScan before the thread starts; read-only afterwards.
	uint32_t chunkLines = 0;
	uint32_t chunkBytes = 0;
	uint64_t imageBytes = 0;
	uint32_t readBlock = 0;         // bytes per READ(10), never 0
	int32_t pixelsPerLine = 0;      // workParam.PixelNum, for the debug image
	uint8_t bitsPerPixel = 0;       // workParam.BitPerPixel, for the debug image
	bool dumpChunks = false;        // DebugLevel 9

	// Each slot buffer holds chunkBytes bytes. The thread writes every byte
	// of a slot (the scanner's data, then zeros) before the slot is read, so
	// it is not cleared when it is allocated.
	ScanBuffer slotBuffer[kRingSlots];
	// 0: free (the thread may fill it); above 0: a finished chunk of that
	// many lines. Changed only by atomic add (thread, release) and subtract
	// (reader, after its copy), read with acquire ordering.
	std::atomic<int32_t> slotLines[kRingSlots] = {};
	// Next slot the thread fills; written only by the thread once it runs.
	int32_t writeSlot = 0;
	// Next slot the reader takes; written only by the reader.
	int32_t readSlot = 0;

	// 1 while the thread may go on; cleared by StopScan.
	std::atomic<uint8_t> acquireEnabled{ 0 };
	// True when no thread runs or the thread has returned: no chunk will
	// come any more, so the reader need not wait.
	std::atomic<bool> acquisitionEnded{ true };
	// Makes the thread's device I/O fail at once when it has to be ended.
	std::shared_ptr<platform::IoInterrupt> interrupt;
};

// The ring of the current scan; null outside a scan.
extern std::unique_ptr<ChunkRing> chunkRing;
// The acquisition thread of the current scan, or none.
extern std::unique_ptr<platform::Thread> acquireThread;

// Where a buffer is allocated, for fault injection in tests.
enum class BufferKind { Staging, RingSlot, Scratch };

// Ring slots as they come, the staging buffer zero-initialised. Null on
// failure (or an injected failure).
ScanBuffer allocateScanBuffer(BufferKind kind, uint32_t index, size_t bytes);
// Work memory (zero-initialised); null on failure (or an injected failure).
void *allocateScratch(size_t bytes);

// The longest waits: the acquisition thread for a free slot, the reader for a
// filled one (30000 ms each).
uint32_t fullRingWaitMs();
uint32_t dataWaitMs();

} // namespace torvane::engine
