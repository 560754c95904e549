// SPDX-License-Identifier: MIT
// StartScan: the scan plan, the ring and the staging buffer, RESERVE UNIT and
// SCAN, and the acquisition thread.

#include "engine/scan_engine.h"

#include <new>

#include "ability/inquiry.h"
#include "driver/debug_log.h"
#include "driver/device_lock.h"
#include "driver/driver_state.h"
#include "driver/scan_state.h"
#include "engine/acquisition.h"
#include "engine/chunk_ring.h"
#include "engine/scan_session.h"
#include "engine/scan_teardown.h"
#include "platform/platform.h"
#include "setup/scan_settings.h"
#include "transport/commands.h"
#include "transport/transport.h"

namespace torvane::engine {

namespace {

// A scan started again without StopScan: its thread and buffers must go
// before the new ones replace them, or the old thread would write into the
// new scan's ring.
void endUnstoppedScan(ScanSession &session)
{
	if (driver::scanState() == driver::ScanState::Idle)
		return;
	driver::changeScanState(driver::ScanState::Stopping);
	const bool ended = endAcquisition();
	freeScanBuffers(ended);
	releaseImageRoutines();
	session.plan.reset();
	driver::changeScanState(driver::ScanState::Idle);
}

// The staging buffer, zero-initialised, and the ring object. False (152) when
// either cannot be allocated; nothing is kept then.
bool allocateStagingAndRing(ScanSession &session, const ScanPlan &plan)
{
	session.stagingBytes = plan.stagingBytes;
	session.stagingBuffer =
		allocateScanBuffer(BufferKind::Staging, 0, session.stagingBytes, &session.stagingCapacity);
	if (session.stagingBuffer)
		session.chunkRing.reset(new (std::nothrow) ChunkRing);
	if (session.stagingBuffer && session.chunkRing)
		return true;
	if (session.stagingBuffer)
		retainScanBuffer(BufferKind::Staging, 0, std::move(session.stagingBuffer), session.stagingCapacity);
	session.stagingBytes = 0;
	session.stagingCapacity = 0;
	return false;
}

// 64 slots of chunkBytes bytes. False (152) when one cannot be allocated; the
// slots already allocated stay until StopScan frees them.
bool allocateSlots(ChunkRing &ring, const ScanPlan &plan)
{
	ring.chunkLines = plan.chunkLines;
	ring.chunkBytes = plan.chunkBytes;
	ring.slotCapacity = plan.chunkBytes;
	for (int32_t i = 0; i < kRingSlots; ++i) {
		size_t capacity = 0;
		ring.slotBuffer[i] =
			allocateScanBuffer(BufferKind::RingSlot, static_cast<uint32_t>(i), plan.chunkBytes, &capacity);
		// All slots hold at least chunkBytes; the ring remembers the least.
		if (i == 0 || (capacity && capacity < ring.slotCapacity))
			ring.slotCapacity = capacity;
		ring.slotLines[i].store(0, std::memory_order_relaxed);
		if (!ring.slotBuffer[i])
			return false;
	}
	return true;
}

// The sense decoding of a refused RESERVE UNIT or SCAN left a code of the
// document feeder (no paper, cover open, jam, double feed).
bool refusedByTheFeeder(int32_t errorBeforeScan)
{
	const int32_t code = driver::driverState.LastErrorCode.load();
	if (code == errorBeforeScan)
		return false;
	return code == TORVANE_ERROR_FEEDER_EMPTY || code == TORVANE_ERROR_COVER_OPEN ||
	       code == TORVANE_ERROR_PAPER_JAM || code == TORVANE_ERROR_DOUBLE_FEED;
}

bool reserveAndScan()
{
	const transport::CommandBlock reserve = transport::reserveUnitBlock();
	if (!transport::SendCommand(reserve.data(), nullptr, 0, 0))
		return false;
	const transport::CommandBlock scan = transport::scanBlock();
	return transport::SendCommand(scan.data(), nullptr, 0, 0) != 0;
}

// Starts the thread on the ring; everything it reads is in place before.
bool startAcquisition(ScanSession &session, ChunkRing &ring, const ScanPlan &plan)
{
	ring.imageBytes = plan.imageBytes;
	ring.readBlock = plan.readBlock;
	ring.pixelsPerLine = plan.scannedPixels;
	ring.bitsPerPixel = plan.bitsPerPixel;
	ring.dumpChunks = plan.dumpChunks;
	ring.interrupt = platform::createIoInterrupt();
	// A new debug image per scan; gone before the thread can first write it.
	if (ring.dumpChunks)
		platform::deleteFile(driver::driverState.DebugImagePath);

	ring.acquisitionEnded.store(false, std::memory_order_relaxed);
	// Scanning before the thread runs: a thread that returns at once then
	// finds the state it ends.
	ring.scanNumber = driver::changeScanState(driver::ScanState::Scanning);
	session.acquireThread = platform::createThread(AcquisitionThread, &ring);
	if (!session.acquireThread) {
		ring.acquisitionEnded.store(true, std::memory_order_relaxed);
		driver::changeScanState(driver::ScanState::SetUp);
		return false;
	}
	return true;
}

} // namespace

PlanInputs planInputsNow()
{
	PlanInputs inputs;
	inputs.scannerWidth = driver::driverState.scannerWidth;
	inputs.maxReadBlock = driver::driverState.maxReadBlock;
	inputs.rawTestMode = driver::driverState.RawTestMode == 1;
	inputs.dumpChunks = driver::driverState.DebugLevel == 9;
	return inputs;
}

namespace {

// The scan cycle is this process's already (SetScanParameter set ScanBusy),
// or it takes ScanBusy now, under the device lock so that it never starts
// beside another process's locked call. Refused (162) while another
// process's scan holds it: RESERVE UNIT and SCAN would land in that scan.
bool claimScanCycle()
{
	if (driver::scanBusyHere())
		return true;
	// Without the device event there is no lock to take (every wait fails):
	// the claim alone keeps other scans out.
	if (!platform::hasDeviceEvent()) {
		if (driver::claimScanBusy())
			return true;
		driver::setLastError(TORVANE_ERROR_BUSY);
		return false;
	}
	if (!driver::SeizeSYSControl())
		return false;
	const bool claimed = driver::claimScanBusy();
	driver::releaseDeviceLock();
	if (!claimed)
		driver::setLastError(TORVANE_ERROR_BUSY);
	return claimed;
}

} // namespace

StartResult startScan()
{
	const ScanCallTurn turn;
	if (!turn.taken())
		return { 0, true };
	ScanSession &session = scanSession;
	endUnstoppedScan(session);
	if (!claimScanCycle())
		return { 0, true };

	const ScanPlan &plan = session.plan.emplace(planScan(setup::scanSettings, planInputsNow()));
	if (!allocateStagingAndRing(session, plan)) {
		session.plan.reset();
		driver::setLastError(TORVANE_ERROR_NO_MEMORY);
		return { 0, false };
	}
	driver::changeScanState(driver::ScanState::SetUp);
	ChunkRing &ring = *session.chunkRing;
	if (!allocateSlots(ring, plan)) {
		driver::setLastError(TORVANE_ERROR_NO_MEMORY);
		return { 0, false };
	}

	driver::exchangeScanBusy(1);
	const int32_t errorBeforeScan = driver::driverState.LastErrorCode.load();
	const bool started = reserveAndScan();

	ring.readSlot = 0;
	ring.writeSlot = 0;
	session.validBytes = 0;
	session.pendingBytes = 0;
	ring.acquireEnabled.store(1, std::memory_order_relaxed);

	int result = 1;
	if (started) {
		if (!startAcquisition(session, ring, plan)) {
			driver::setScanBusy(0);
			driver::setLastError(TORVANE_ERROR_GENERAL);
			result = 0;
		}
		driver::logLine(driver::kVarLog, 2, "Resolution = %3d Pixelnum = %4d Linenum = %4d Imagesize = %d",
				plan.requestedXRes, plan.scannedPixels, plan.scannedLines,
				static_cast<int>(static_cast<uint32_t>(ring.imageBytes)));
	} else {
		// Replaces the code of the transport or the sense decoding, except
		// the feeder's reasons for not starting: the front end needs them to
		// tell the end of a stack from a jam. ScanBusy stays set until StopScan.
		if (!refusedByTheFeeder(errorBeforeScan))
			driver::setLastError(TORVANE_ERROR_GENERAL);
		result = 0;
	}
	// No signal of the device event: StartScan never took the lock, and a
	// signal would hand on a lock that another caller holds.
	return { result, true };
}

} // namespace torvane::engine
