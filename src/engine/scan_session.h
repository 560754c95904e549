// SPDX-License-Identifier: MIT
// The scan session: everything the scan engine keeps from StartScan to
// StopScan, in one object. The C interface has no handle, so there is one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

#include "engine/chunk_ring.h"
#include "engine/scan_plan.h"
#include "platform/platform.h"

namespace torvane::engine {

// StartScan, ReadScan and StopScan run on the front end's threads one at a
// time: each holds `calls` (ScanCallTurn) for its length, so threads of one
// process that call them at once are served in turn, never beside each other
// (they take no device lock: ScanBusy keeps the locked calls out for the
// scan). The acquisition thread touches nothing here but the ring it is
// handed and dumpChunkCount; where the scan stands is driver::scanState().
struct ScanSession {
	// True while a thread is inside StartScan, ReadScan, StopScan,
	// SetScanParameter or the freeing of the kept buffers; the others wait
	// for callFreed. (A mutex and a condition variable rather than a timed
	// mutex, whose timed lock ThreadSanitizer does not follow.)
	std::mutex callMutex;
	std::condition_variable callFreed;
	bool callInside = false;

	// The plan StartScan made; none while the state is Idle. Front end only.
	std::optional<ScanPlan> plan;
	// The ring of the current scan; null while Idle. The pointer is the front
	// end's; the ring itself is shared with the acquisition thread as
	// ChunkRing says.
	std::unique_ptr<ChunkRing> chunkRing;
	// The acquisition thread of the current scan, or none. Front end only.
	std::unique_ptr<platform::Thread> acquireThread;

	// The chunk being worked on and delivered (front end only). The finished
	// bytes lie at the start of the staging buffer up to validBytes; the last
	// pendingBytes of them are not delivered yet.
	ScanBuffer stagingBuffer;
	// The plan's staging bytes while the buffer is there, else 0.
	size_t stagingBytes = 0;
	// What the staging buffer holds (it may be kept from a scan with larger chunks).
	size_t stagingCapacity = 0;
	uint32_t pendingBytes = 0;
	uint32_t validBytes = 0;

	// Chunks of the current scan already placed in the debug image. Only the
	// acquisition thread touches it during a scan (tests call the dump
	// directly, with no scan running).
	uint16_t dumpChunkCount = 0;

	// The ring slots, staging buffer and scratch block of the last scan, kept
	// for the next (front end only). They outlive the scan: TerminateDriver
	// frees them.
	RetainedBuffers kept;
};

// Never destroyed: a thread still inside ReadScan while the process ends (a
// return from main, exit() from another thread) goes on using the ring and
// the staging buffer, which the end of the process takes away.
extern ScanSession &scanSession;

// A turn at the scan functions: waits for the thread inside them for at most
// the lock wait. A turn not taken (taken() false) has set LastErrorCode 162.
class ScanCallTurn
{
public:
	ScanCallTurn();
	~ScanCallTurn();
	ScanCallTurn(const ScanCallTurn &) = delete;
	ScanCallTurn &operator=(const ScanCallTurn &) = delete;
	bool taken() const { return taken_; }

private:
	bool taken_;
};

} // namespace torvane::engine
