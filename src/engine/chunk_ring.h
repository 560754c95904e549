// SPDX-License-Identifier: MIT
// The chunk ring: 64 slots through which the acquisition thread hands raw
// chunks of scanned lines to the read pipeline, and the scan's geometry.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>

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

// A page after page costs no allocation, page faults or zeroing of fresh
// memory: the ring slots, the staging buffer and the scratch block of one
// scan are kept for the next while they are large enough for it.
struct RetainedBuffer {
	ScanBuffer buffer;
	size_t capacity = 0;
};

struct RetainedBuffers {
	RetainedBuffer slots[kRingSlots];
	RetainedBuffer staging;
	RetainedBuffer scratch;
	bool scratchLent = false;
};

// Everything the acquisition thread touches lives in one object, which it
// receives as its context. StopScan frees it only once the thread has ended;
// a thread that could not be ended keeps its ring (leaked, never corrupted).
struct ChunkRing {
	// Fixed by StartScan before the thread starts (from the scan plan);
	// read-only afterwards.
	uint32_t chunkLines = 0;
	uint32_t chunkBytes = 0;
	uint64_t imageBytes = 0;
	uint32_t readBlock = 0;	   // bytes per READ(10), never 0
	int32_t pixelsPerLine = 0; // workParam.PixelNum, for the debug image
	uint8_t bitsPerPixel = 0;  // workParam.BitPerPixel, for the debug image
	bool dumpChunks = false;   // DebugLevel 9
	uint32_t scanNumber = 0;   // of the scan state, for the thread's end

	// Each slot buffer holds chunkBytes bytes. The thread writes every byte
	// of a slot (the scanner's data, then zeros) before the slot is read, so
	// it is not cleared when it is allocated.
	ScanBuffer slotBuffer[kRingSlots];
	// Bytes each slot buffer holds (at least chunkBytes: a buffer kept from
	// an earlier scan may be larger).
	size_t slotCapacity = 0;
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

	// Wake-ups of the two sides. The counts and flags above stay the
	// hand-over itself; these only spare the waiting side from looking again
	// and again. A change is published first and signalled after, under the
	// mutex, so that a side that has just found nothing and is about to wait
	// cannot miss it.
	std::mutex handOverMutex;
	std::condition_variable chunkHandedOver; // the reader waits on it
	std::condition_variable slotFreed;	 // the acquisition thread waits on it

	// A chunk was handed over, or no more will come (the thread returned or
	// cleared ScanBusy).
	void signalReader();
	// A slot was taken, or the thread is to stop.
	void signalAcquisition();
	// Waits until `ready` holds, at most `limitMs` counted on the tick counter
	// from `start` (unsigned difference). False when the limit passed first.
	template<typename Ready>
	bool waitFor(std::condition_variable &wakeUp, Ready ready, uint32_t start, uint32_t limitMs);
};

// Besides the signals, a waiting side looks again this often: ScanBusy is
// shared by every process that loads the library, and another process may
// clear it without signalling this one.
inline constexpr uint32_t kHandOverRecheckMs = 100;

template<typename Ready>
bool ChunkRing::waitFor(std::condition_variable &wakeUp, Ready ready, uint32_t start, uint32_t limitMs)
{
	std::unique_lock<std::mutex> lock(handOverMutex);
	for (;;) {
		if (ready())
			return true;
		// Unsigned difference: the tick counter's wrap-around does no harm.
		const uint32_t waited = platform::tickCount() - start;
		if (waited > limitMs)
			return false;
		const uint32_t slice = std::min(limitMs - waited + 1, kHandOverRecheckMs);
		wakeUp.wait_for(lock, std::chrono::milliseconds(slice));
	}
}

// Where a buffer is allocated, for fault injection in tests.
enum class BufferKind {
	Staging,
	RingSlot,
	Scratch
};

// Ring slots as they come, the staging buffer zero-initialised. Null on
// failure (or an injected failure). A buffer kept from an earlier scan is
// handed out again when it holds `bytes`; `capacity` receives its size.
ScanBuffer allocateScanBuffer(BufferKind kind, uint32_t index, size_t bytes, size_t *capacity = nullptr);
// Keeps a scan's buffer for the next scan instead of freeing it.
void retainScanBuffer(BufferKind kind, uint32_t index, ScanBuffer buffer, size_t capacity);
// Frees every buffer kept for a next scan (TerminateDriver, unload).
void releaseRetainedBuffers();
// The bytes kept for a next scan, for diagnostics and tests.
size_t retainedBufferBytes();
// Work memory for one step of the read pipeline (zero-initialised), kept
// from chunk to chunk and from scan to scan; null on failure (or an injected
// failure). releaseScratch gives it back.
uint8_t *allocateScratch(size_t bytes);
void releaseScratch(uint8_t *block);

// The longest waits: the acquisition thread for a free slot, the reader for a
// filled one (30000 ms each).
uint32_t fullRingWaitMs();
uint32_t dataWaitMs();

} // namespace torvane::engine
