// SPDX-License-Identifier: MIT
// StopScan: the end of a scan, however it ended.

#include "engine/scan_engine.h"

#include "driver/debug_log.h"
#include "driver/device_lock.h"
#include "driver/driver_state.h"
#include "engine/chunk_ring.h"
#include "engine/image_routines.h"
#include "engine/scan_teardown.h"
#include "imaging/work_memory.h"
#include "platform/platform.h"
#include "setup/scan_settings.h"
#include "transport/commands.h"
#include "transport/transport.h"

namespace torvane::engine {

bool endAcquisition()
{
	if (chunkRing) {
		chunkRing->acquireEnabled.store(0, std::memory_order_relaxed);
		// A thread waiting for a free slot ends at once.
		chunkRing->signalAcquisition();
	}
	if (!acquireThread)
		return true;

	// The thread looks at acquireEnabled between chunks and is woken while
	// it waits for a free slot; only a stalled device keeps it longer.
	bool ended = platform::waitThread(*acquireThread, kThreadStopWaitMs) ||
		     platform::terminateThread(*acquireThread);
	if (!ended && chunkRing && chunkRing->interrupt) {
		// No forced end here: shut down the thread's device I/O instead, so
		// that its exchange fails at once and it returns by itself.
		platform::triggerIoInterrupt(*chunkRing->interrupt);
		ended = platform::waitThread(*acquireThread, kInterruptedStopWaitMs);
	}
	platform::closeThread(std::move(acquireThread));
	return ended;
}

void freeScanBuffers(bool threadEnded)
{
	if (!threadEnded && chunkRing) {
		// The thread may still write into its ring: leave the ring to it
		// rather than free memory under it.
		driver::logLine(driver::kMainLog, 3, "StopScan : acquisition thread still running, ring left allocated");
		[[maybe_unused]] ChunkRing *leaked = chunkRing.release();
	}
	if (chunkRing) {
		// Kept for the next scan; TerminateDriver frees them.
		for (int32_t i = 0; i < kRingSlots; ++i) {
			if (chunkRing->slotBuffer[i])
				retainScanBuffer(BufferKind::RingSlot, static_cast<uint32_t>(i),
						 std::move(chunkRing->slotBuffer[i]), chunkRing->slotCapacity);
		}
	}
	chunkRing.reset();
	if (stagingBuffer)
		retainScanBuffer(BufferKind::Staging, 0, std::move(stagingBuffer), stagingCapacity);
	stagingBytes = 0;
	stagingCapacity = 0;
}

void releaseImageRoutines()
{
	const uint16_t xres = setup::userRequest.XRes;
	if (xres != 300 && xres != 600)
		releaseResampler();
	if (driver::driverState.RawTestMode != 1 && setup::workParam.ScanMode == 4 && xres == 300)
		releaseModelFilters();
}

void releaseKeptScanBuffers()
{
	releaseRetainedBuffers();
	imaging::releaseKeptWorkBlocks();
}

int stopScan()
{
	const bool threadEnded = endAcquisition();

	int result = 0;
	if (driver::driverState.CancelRequested.load(std::memory_order_relaxed) == 1) {
		const transport::CommandBlock block = transport::releaseUnitBlock(3);
		transport::SendCommand(block.data(), nullptr, 0, 0);
		driver::setLastError(driver::kErrorCancelled);
	} else {
		const transport::CommandBlock block = transport::releaseUnitBlock(0);
		result = transport::SendCommand(block.data(), nullptr, 0, 0);
	}

	setup::greyFromColour = 0;
	driver::driverState.CancelRequested.store(0, std::memory_order_relaxed);
	setup::lineArtFromGrey = 0;
	cropApplied = 0;
	setup::halftoneFromGrey = 0;
	driver::exchangeScanBusy(0);

	freeScanBuffers(threadEnded);
	releaseImageRoutines();
	return result;
}

} // namespace torvane::engine
