// SPDX-License-Identifier: MIT
// The acquisition thread.

#include "engine/acquisition.h"

#include <algorithm>
#include <cstring>

#include "driver/device_lock.h"
#include "driver/driver_state.h"
#include "driver/scan_state.h"
#include "engine/chunk_ring.h"
#include "engine/debug_image.h"
#include "transport/commands.h"
#include "transport/transport.h"

namespace torvane::engine {

namespace {

// Waits while the slot still holds a chunk the reader has not taken. False
// when the thread should end instead: StopScan cleared acquireEnabled, or the
// slot stayed full for longer than the limit.
bool waitForFreeSlot(ChunkRing &ring, int32_t slot)
{
	if (ring.slotLines[slot].load(std::memory_order_acquire) == 0)
		return true;
	// Woken when the reader frees a slot or StopScan clears acquireEnabled.
	const bool freed = ring.waitFor(
		ring.slotFreed,
		[&] {
			return ring.slotLines[slot].load(std::memory_order_acquire) == 0 ||
			       !ring.acquireEnabled.load(std::memory_order_relaxed);
		},
		platform::tickCount(), fullRingWaitMs());
	return freed && ring.acquireEnabled.load(std::memory_order_relaxed) != 0 &&
	       ring.slotLines[slot].load(std::memory_order_acquire) == 0;
}

// One image data read of `length` bytes into `buffer`.
bool readImageData(uint8_t *buffer, uint32_t length)
{
	const transport::CommandBlock block = transport::read10Block(transport::kReadImageData, length);
	return transport::SendCommand(block.data(), buffer, length, 0) != 0;
}

// Reads one chunk of `length` bytes in pieces of at most the read block. The
// bytes of the pieces read are counted in `received` also when a later piece
// fails. Returns how many bytes of the buffer hold scanner data.
uint32_t readChunk(const ChunkRing &ring, uint8_t *buffer, uint32_t length, uint64_t &received)
{
	uint32_t filled = 0;
	while (length - filled > ring.readBlock) {
		if (!readImageData(buffer + filled, ring.readBlock))
			return filled;
		filled += ring.readBlock;
		received += ring.readBlock;
	}
	if (!readImageData(buffer + filled, length - filled))
		return filled;
	received += length - filled;
	return length;
}

uint32_t nextChunkLength(const ChunkRing &ring, uint64_t received)
{
	return static_cast<uint32_t>(std::min<uint64_t>(ring.chunkBytes, ring.imageBytes - received));
}

} // namespace

void AcquisitionThread(void *context)
{
	ChunkRing &ring = *static_cast<ChunkRing *>(context);
	// Every device file this thread opens from now on can be shut down by
	// StopScan, so a stalled scanner never keeps the thread (and the ring).
	platform::setThreadIoInterrupt(ring.interrupt);
	platform::raiseThreadPriority();

	uint64_t received = 0;
	// Also the first chunk is cut to the image: a short image is never asked
	// for more bytes than it has.
	uint32_t length = nextChunkLength(ring, 0);
	while (received < ring.imageBytes && length != 0 &&
	       ring.acquireEnabled.load(std::memory_order_relaxed)) {
		const int32_t slot = ring.writeSlot;
		if (!waitForFreeSlot(ring, slot))
			break;

		uint8_t *buffer = ring.slotBuffer[slot].get();
		const uint32_t filled = readChunk(ring, buffer, length, received);
		const bool complete = filled == length;
		if (!complete) {
			// The reader stops waiting as soon as it finds the ring empty.
			driver::exchangeScanBusy(0);
			ring.signalReader();
		}
		// Every byte of the slot is written before anyone reads it: what the
		// scanner sent, then zeros. So the short last chunk carries no line
		// of an earlier chunk (a slot is reused every 64 chunks), and the
		// slots need no pass of zeros when they are allocated.
		std::memset(buffer + filled, 0, ring.chunkBytes - filled);

		if (ring.dumpChunks)
			DumpChunkImage(buffer, ring.pixelsPerLine, ring.chunkLines, ring.bitsPerPixel,
				       !platform::fileExists(driver::driverState.DebugImagePath),
				       static_cast<uint32_t>(ring.imageBytes));

		if (complete) {
			ring.slotLines[slot].fetch_add(static_cast<int32_t>(ring.chunkLines), std::memory_order_acq_rel);
			ring.writeSlot = (slot + 1) % kRingSlots;
			ring.signalReader();
		}
		length = nextChunkLength(ring, received);
	}

	ring.acquisitionEnded.store(true, std::memory_order_release);
	ring.signalReader();
	// Unless StopScan is already ending the scan (or a later scan runs, when
	// this thread was left behind).
	driver::endAcquisitionOf(ring.scanNumber);
	platform::setThreadIoInterrupt(nullptr);
}

} // namespace torvane::engine
