// SPDX-License-Identifier: MIT
// The chunk ring's state, chunk geometry and the scan's buffer allocation.

#include "engine/chunk_ring.h"

#include <cstring>

#include "engine/engine_testing.h"
#include "engine/scan_session.h"

namespace torvane::engine {

namespace {

constexpr uint32_t kWaitLimitMs = 30000;

std::atomic<uint32_t> fullRingLimit{ kWaitLimitMs };
std::atomic<uint32_t> dataLimit{ kWaitLimitMs };
testing::AllocationFault allocationFault;

bool faultInjected(BufferKind kind, uint32_t index)
{
	return allocationFault && allocationFault(kind, index);
}

RetainedBuffer &retainedOf(BufferKind kind, uint32_t index)
{
	switch (kind) {
	case BufferKind::RingSlot:
		return scanSession.kept.slots[index % kRingSlots];
	case BufferKind::Staging:
		return scanSession.kept.staging;
	case BufferKind::Scratch:
		break;
	}
	return scanSession.kept.scratch;
}

// The kept buffer when it holds `bytes`; a smaller one is freed.
ScanBuffer takeRetained(RetainedBuffer &kept, size_t bytes, size_t &capacity)
{
	if (kept.buffer && kept.capacity >= bytes) {
		capacity = kept.capacity;
		kept.capacity = 0;
		return std::move(kept.buffer);
	}
	kept.buffer.reset();
	kept.capacity = 0;
	return nullptr;
}

} // namespace

void ChunkRing::signalReader()
{
	{
		const std::lock_guard<std::mutex> published(handOverMutex);
	}
	chunkHandedOver.notify_all();
}

void ChunkRing::signalAcquisition()
{
	{
		const std::lock_guard<std::mutex> published(handOverMutex);
	}
	slotFreed.notify_all();
}

uint32_t chunkLinesFor(uint16_t requestedXRes)
{
	if (requestedXRes <= 300)
		return 48;
	if (requestedXRes <= 601)
		return 16;
	return 4;
}

ScanBuffer allocateScanBuffer(BufferKind kind, uint32_t index, size_t bytes, size_t *capacity)
{
	if (faultInjected(kind, index))
		return nullptr;
	size_t size = bytes ? bytes : 1;
	ScanBuffer buffer = takeRetained(retainedOf(kind, index), size, size);
	if (buffer) {
		// The thread writes every byte of a slot before it is read; the
		// staging buffer starts zeroed as a fresh one would.
		if (kind != BufferKind::RingSlot)
			std::memset(buffer.get(), 0, bytes);
	} else {
		buffer.reset(static_cast<uint8_t *>(kind == BufferKind::RingSlot ? std::malloc(size)
										 : std::calloc(size, 1)));
		// Faulted in here, once: the buffer is kept for the scans after.
		if (buffer)
			platform::prefaultMemory(buffer.get(), size);
	}
	if (capacity)
		*capacity = buffer ? size : 0;
	return buffer;
}

void retainScanBuffer(BufferKind kind, uint32_t index, ScanBuffer buffer, size_t capacity)
{
	RetainedBuffer &kept = retainedOf(kind, index);
	kept.buffer = std::move(buffer);
	kept.capacity = kept.buffer ? capacity : 0;
}

void releaseRetainedBuffers()
{
	for (RetainedBuffer &slot : scanSession.kept.slots)
		slot = {};
	scanSession.kept.staging = {};
	if (!scanSession.kept.scratchLent)
		scanSession.kept.scratch = {};
}

size_t retainedBufferBytes()
{
	size_t bytes = scanSession.kept.staging.capacity + (scanSession.kept.scratchLent ? 0 : scanSession.kept.scratch.capacity);
	for (const RetainedBuffer &slot : scanSession.kept.slots)
		bytes += slot.capacity;
	return bytes;
}

uint8_t *allocateScratch(size_t bytes)
{
	if (faultInjected(BufferKind::Scratch, 0))
		return nullptr;
	// One scratch block at a time: a second request gets a block of its own.
	if (scanSession.kept.scratchLent)
		return static_cast<uint8_t *>(platform::allocateWorkMemory(bytes));
	size_t capacity = 0;
	ScanBuffer kept = takeRetained(scanSession.kept.scratch, bytes ? bytes : 1, capacity);
	if (kept) {
		std::memset(kept.get(), 0, bytes);
	} else {
		capacity = bytes ? bytes : 1;
		kept.reset(static_cast<uint8_t *>(std::calloc(capacity, 1)));
		if (!kept)
			return nullptr;
		platform::prefaultMemory(kept.get(), capacity);
	}
	scanSession.kept.scratchLent = true;
	scanSession.kept.scratch.capacity = capacity;
	scanSession.kept.scratch.buffer = std::move(kept);
	return scanSession.kept.scratch.buffer.get();
}

void releaseScratch(uint8_t *block)
{
	if (!block)
		return;
	if (scanSession.kept.scratchLent && block == scanSession.kept.scratch.buffer.get()) {
		scanSession.kept.scratchLent = false;
		return;
	}
	platform::freeWorkMemory(block);
}

uint32_t fullRingWaitMs()
{
	return fullRingLimit.load(std::memory_order_relaxed);
}

uint32_t dataWaitMs()
{
	return dataLimit.load(std::memory_order_relaxed);
}

namespace testing {

void setAllocationFault(AllocationFault fault)
{
	allocationFault = std::move(fault);
}

void setWaitLimits(uint32_t fullRingMs, uint32_t dataMs)
{
	fullRingLimit.store(fullRingMs, std::memory_order_relaxed);
	dataLimit.store(dataMs, std::memory_order_relaxed);
}

void resetHooks()
{
	allocationFault = nullptr;
	setWaitLimits(kWaitLimitMs, kWaitLimitMs);
}

} // namespace testing

} // namespace torvane::engine
