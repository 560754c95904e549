// SPDX-License-Identifier: MIT
// StopScan: the end of a scan, however it ended.

#include "engine/scan_engine.h"

#include "driver/debug_log.h"
#include "driver/device_lock.h"
#include "driver/driver_state.h"
#include "driver/scan_state.h"
#include "engine/chunk_ring.h"
#include "engine/image_routines.h"
#include "engine/scan_session.h"
#include "engine/scan_teardown.h"
#include "imaging/work_memory.h"
#include "platform/platform.h"
#include "setup/scan_settings.h"
#include "transport/commands.h"
#include "transport/transport.h"

namespace torvane::engine {

bool endAcquisition()
{
	ScanSession &session = scanSession;
	ChunkRing *ring = session.chunkRing.get();
	if (ring) {
		ring->acquireEnabled.store(0, std::memory_order_relaxed);
		// A thread waiting for a free slot ends at once.
		ring->signalAcquisition();
	}
	if (!session.acquireThread)
		return true;

	// The thread looks at acquireEnabled between chunks and is woken while
	// it waits for a free slot; only a stalled device keeps it longer. After
	// DoCancel the front end wants the scan ended now: the thread gets a
	// moment, not the whole wait.
	platform::Thread &thread = *session.acquireThread;
	const bool cancelled = driver::driverState.CancelRequested.load(std::memory_order_relaxed) == 1;
	bool ended = platform::waitThread(thread, cancelled ? kCancelledStopWaitMs : kThreadStopWaitMs);
	if (!ended && ring && ring->interrupt) {
		// Shut down the thread's device I/O, so that its exchange fails at
		// once and it returns by itself; a forced end only after that, where
		// the platform has one (it may leave locks of the thread held).
		platform::triggerIoInterrupt(*ring->interrupt);
		ended = platform::waitThread(thread, kInterruptedStopWaitMs);
	}
	if (!ended)
		ended = platform::terminateThread(thread);
	platform::closeThread(std::move(session.acquireThread));
	return ended;
}

void freeScanBuffers(bool threadEnded)
{
	ScanSession &session = scanSession;
	if (!threadEnded && session.chunkRing) {
		// The thread may still write into its ring: leave the ring to it
		// rather than free memory under it.
		driver::logLine(driver::kMainLog, 3, "StopScan : acquisition thread still running, ring left allocated");
		[[maybe_unused]] ChunkRing *leaked = session.chunkRing.release();
	}
	if (ChunkRing *ring = session.chunkRing.get()) {
		// Kept for the next scan; TerminateDriver frees them.
		for (int32_t i = 0; i < kRingSlots; ++i) {
			if (ring->slotBuffer[i])
				retainScanBuffer(BufferKind::RingSlot, static_cast<uint32_t>(i),
						 std::move(ring->slotBuffer[i]), ring->slotCapacity);
		}
	}
	session.chunkRing.reset();
	if (session.stagingBuffer)
		retainScanBuffer(BufferKind::Staging, 0, std::move(session.stagingBuffer), session.stagingCapacity);
	session.stagingBytes = 0;
	session.stagingCapacity = 0;
	session.pendingBytes = 0;
	session.validBytes = 0;
}

void releaseImageRoutines()
{
	const std::optional<ScanPlan> &plan = scanSession.plan;
	const ScanPlan used = plan ? *plan : planScan(setup::scanSettings, planInputsNow());
	if (used.resamples)
		releaseResampler();
	if (used.filtersForModel)
		releaseModelFilters();
}

void releaseKeptScanBuffers()
{
	// Not beside a scan function of another thread, which may be handing
	// these buffers out.
	const ScanCallTurn turn;
	if (!turn.taken())
		return;
	releaseRetainedBuffers();
	imaging::releaseKeptWorkBlocks();
}

int stopScan()
{
	const ScanCallTurn turn;
	if (!turn.taken())
		return 0;
	ScanSession &session = scanSession;
	const bool scanning = driver::scanState() != driver::ScanState::Idle;
	if (scanning)
		driver::changeScanState(driver::ScanState::Stopping);
	const bool threadEnded = endAcquisition();

	int result = 0;
	// Another process's scan holds the scanner: this process's own scan (if
	// any) has ended here, but nothing is sent into the other one and its
	// ScanBusy is not ours to clear.
	const bool othersScan = driver::scanBusyElsewhere();
	if (othersScan) {
		driver::setLastError(TORVANE_ERROR_BUSY);
	} else if (driver::driverState.CancelRequested.load(std::memory_order_relaxed) == 1) {
		const transport::CommandBlock block = transport::releaseUnitBlock(3);
		transport::SendCommand(block.data(), nullptr, 0, 0);
		driver::setLastError(TORVANE_ERROR_CANCELLED);
	} else {
		const transport::CommandBlock block = transport::releaseUnitBlock(0);
		result = transport::SendCommand(block.data(), nullptr, 0, 0);
	}

	setup::endScanConversions();
	driver::driverState.CancelRequested.store(0, std::memory_order_relaxed);
	if (!othersScan)
		driver::exchangeScanBusy(0);

	freeScanBuffers(threadEnded);
	releaseImageRoutines();
	session.plan.reset();
	if (scanning)
		driver::changeScanState(driver::ScanState::Idle);
	return result;
}

} // namespace torvane::engine
