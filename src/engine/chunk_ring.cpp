// SPDX-License-Identifier: MIT
// The chunk ring's state, chunk geometry and the scan's buffer allocation.

#include "engine/chunk_ring.h"

#include <cstring>

#include "engine/engine_testing.h"

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

RetainedBuffers retained;

RetainedBuffer &retainedOf(BufferKind kind, uint32_t index)
{
	switch (kind) {
	case BufferKind::RingSlot:
		return retained.slots[index % kRingSlots];
	case BufferKind::Staging:
		return retained.staging;
	case BufferKind::Scratch:
		break;
	}
	return retained.scratch;
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
	} else if (kind == BufferKind::RingSlot) {
		buffer.reset(static_cast<uint8_t *>(std::malloc(size)));
	} else {
		buffer.reset(static_cast<uint8_t *>(std::calloc(size, 1)));
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
	for (RetainedBuffer &slot : retained.slots)
		slot = {};
	retained.staging = {};
	if (!retained.scratchLent)
		retained.scratch = {};
}

size_t retainedBufferBytes()
{
	size_t bytes = retained.staging.capacity + (retained.scratchLent ? 0 : retained.scratch.capacity);
	for (const RetainedBuffer &slot : retained.slots)
		bytes += slot.capacity;
	return bytes;
}

uint8_t *allocateScratch(size_t bytes)
{
	if (faultInjected(BufferKind::Scratch, 0))
		return nullptr;
	// One scratch block at a time: a second request gets a block of its own.
	if (retained.scratchLent)
		return static_cast<uint8_t *>(platform::allocateWorkMemory(bytes));
	size_t capacity = 0;
	ScanBuffer kept = takeRetained(retained.scratch, bytes ? bytes : 1, capacity);
	if (kept) {
		std::memset(kept.get(), 0, bytes);
	} else {
		capacity = bytes ? bytes : 1;
		kept.reset(static_cast<uint8_t *>(std::calloc(capacity, 1)));
		if (!kept)
			return nullptr;
	}
	retained.scratchLent = true;
	retained.scratch.capacity = capacity;
	retained.scratch.buffer = std::move(kept);
	return retained.scratch.buffer.get();
}

void releaseScratch(uint8_t *block)
{
	if (!block)
		return;
	if (retained.scratchLent && block == retained.scratch.buffer.get()) {
		retained.scratchLent = false;
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
