// SPDX-License-Identifier: MIT
// StartScan: chunk geometry, the ring and the staging buffer, RESERVE UNIT and
// SCAN, and the acquisition thread.

#include "engine/scan_engine.h"

#include <new>

#include "ability/inquiry.h"
#include "driver/debug_log.h"
#include "driver/device_lock.h"
#include "driver/driver_state.h"
#include "engine/acquisition.h"
#include "engine/chunk_ring.h"
#include "engine/scan_teardown.h"
#include "platform/platform.h"
#include "setup/scan_settings.h"
#include "transport/commands.h"
#include "transport/transport.h"

namespace torvane::engine {

namespace {

// The largest single image read; a scan set up without the extended ability
// decoding still reads in pieces of 524288 bytes rather than in none at all.
uint32_t readBlockSize()
{
	uint32_t block = driver::driverState.maxReadBlock ? driver::driverState.maxReadBlock : ability::kMaxReadBlock;
	// The transfer length of READ(10) has 24 bits.
	return block > 0xFFFFFF ? 0xFFFFFF : block;
}

// A scan started again without StopScan: its thread and buffers must go
// before the new ones replace them, or the old thread would write into the
// new scan's ring.
void endUnstoppedScan()
{
	if (!chunkRing && !acquireThread && !stagingBuffer)
		return;
	const bool ended = endAcquisition();
	freeScanBuffers(ended);
	releaseImageRoutines();
	cropApplied = 0;
}

// 64 slots of chunkBytes bytes. False (152) when one cannot be allocated; the
// slots already allocated stay until StopScan frees them.
bool allocateRing(uint32_t lines, uint32_t chunkBytes)
{
	chunkRing.reset(new (std::nothrow) ChunkRing);
	if (!chunkRing)
		return false;
	chunkRing->chunkLines = lines;
	chunkRing->chunkBytes = chunkBytes;
	chunkRing->slotCapacity = chunkBytes;
	for (int32_t i = 0; i < kRingSlots; ++i) {
		size_t capacity = 0;
		chunkRing->slotBuffer[i] =
			allocateScanBuffer(BufferKind::RingSlot, static_cast<uint32_t>(i), chunkBytes, &capacity);
		// All slots hold at least chunkBytes; the ring remembers the least.
		if (i == 0 || (capacity && capacity < chunkRing->slotCapacity))
			chunkRing->slotCapacity = capacity;
		chunkRing->slotLines[i].store(0, std::memory_order_relaxed);
		if (!chunkRing->slotBuffer[i])
			return false;
	}
	return true;
}

bool reserveAndScan()
{
	const transport::CommandBlock reserve = transport::reserveUnitBlock();
	if (!transport::SendCommand(reserve.data(), nullptr, 0, 0))
		return false;
	const transport::CommandBlock scan = transport::scanBlock();
	return transport::SendCommand(scan.data(), nullptr, 0, 0) != 0;
}

// Bytes the scanner sends in all; the division by 8 comes first.
uint64_t imageBytesOf(const ScanParameter &work)
{
	return static_cast<uint64_t>(work.BitPerPixel / 8) * work.LineNum * work.PixelNum;
}

// Starts the thread on the ring; everything it reads is in place before.
bool startAcquisition(ChunkRing &ring)
{
	const ScanParameter &work = setup::workParam;
	ring.imageBytes = imageBytesOf(work);
	ring.readBlock = readBlockSize();
	ring.pixelsPerLine = work.PixelNum;
	ring.bitsPerPixel = work.BitPerPixel;
	ring.dumpChunks = driver::driverState.DebugLevel == 9;
	ring.interrupt = platform::createIoInterrupt();
	// A new debug image per scan; gone before the thread can first write it.
	if (ring.dumpChunks)
		platform::deleteFile(driver::driverState.DebugImagePath);

	ring.acquisitionEnded.store(false, std::memory_order_relaxed);
	acquireThread = platform::createThread(AcquisitionThread, &ring);
	if (!acquireThread) {
		ring.acquisitionEnded.store(true, std::memory_order_relaxed);
		return false;
	}
	return true;
}

} // namespace

StartResult startScan()
{
	endUnstoppedScan();

	if (driver::scanBusy() == 0)
		driver::setScanBusy(1);

	const ScanParameter &work = setup::workParam;
	const uint32_t lines = chunkLinesFor(setup::userRequest.XRes);
	const uint32_t lineBytes = static_cast<uint32_t>(work.BitPerPixel * work.PixelNum) / 8;
	const uint32_t chunkBytes = lineBytes * lines;

	stagingBytes = workedChunkBytes(lines, chunkBytes);
	stagingBuffer = allocateScanBuffer(BufferKind::Staging, 0, stagingBytes, &stagingCapacity);
	if (!stagingBuffer) {
		stagingBytes = 0;
		driver::setLastError(driver::kErrorNoMemory);
		return { 0, false };
	}
	if (!allocateRing(lines, chunkBytes)) {
		driver::setLastError(driver::kErrorNoMemory);
		return { 0, false };
	}

	driver::exchangeScanBusy(1);
	const bool started = reserveAndScan();

	ChunkRing &ring = *chunkRing;
	ring.readSlot = 0;
	ring.writeSlot = 0;
	validBytes = 0;
	pendingBytes = 0;
	ring.acquireEnabled.store(1, std::memory_order_relaxed);

	int result = 1;
	if (started) {
		if (!startAcquisition(ring)) {
			driver::setScanBusy(0);
			driver::setLastError(driver::kErrorGeneral);
			result = 0;
		}
		driver::logLine(driver::kVarLog, 2, "Resolution = %3d Pixelnum = %4d Linenum = %4d Imagesize = %d",
				setup::userRequest.XRes, work.PixelNum, work.LineNum,
				static_cast<int>(static_cast<uint32_t>(ring.imageBytes)));
	} else {
		// Replaces the code of the transport or the sense decoding. ScanBusy
		// stays set until StopScan.
		driver::setLastError(driver::kErrorGeneral);
		result = 0;
	}
	// No signal of the device event: StartScan never took the lock, and a
	// signal would hand on a lock that another caller holds.
	return { result, true };
}

} // namespace torvane::engine
