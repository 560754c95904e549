// SPDX-License-Identifier: MIT
// The chunk ring's state, chunk geometry and the scan's buffer allocation.

#include "engine/chunk_ring.h"

#include "engine/engine_testing.h"

namespace torvane::engine {

std::unique_ptr<ChunkRing> chunkRing;
std::unique_ptr<platform::Thread> acquireThread;

namespace {

constexpr uint32_t kWaitLimitMs = 30000;

std::atomic<uint32_t> fullRingLimit{ kWaitLimitMs };
std::atomic<uint32_t> dataLimit{ kWaitLimitMs };
testing::AllocationFault allocationFault;

bool faultInjected(BufferKind kind, uint32_t index)
{
	return allocationFault && allocationFault(kind, index);
}

} // namespace

uint32_t chunkLinesFor(uint16_t requestedXRes)
{
	if (requestedXRes <= 300)
		return 48;
	if (requestedXRes <= 601)
		return 16;
	return 4;
}

ScanBuffer allocateScanBuffer(BufferKind kind, uint32_t index, size_t bytes)
{
	if (faultInjected(kind, index))
		return nullptr;
	if (kind == BufferKind::RingSlot)
		return ScanBuffer(static_cast<uint8_t *>(std::malloc(bytes ? bytes : 1)));
	return ScanBuffer(static_cast<uint8_t *>(std::calloc(bytes ? bytes : 1, 1)));
}

void *allocateScratch(size_t bytes)
{
	if (faultInjected(BufferKind::Scratch, 0))
		return nullptr;
	return platform::allocateWorkMemory(bytes);
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
