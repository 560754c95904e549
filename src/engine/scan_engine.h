// SPDX-License-Identifier: MIT
// The scan engine's three entry points, called by the exports StartScan,
// ReadScan and StopScan.
#pragma once

#include <cstdint>

#include "engine/read_pipeline.h"

namespace torvane::engine {

struct StartResult {
	int result;
	// The two early failures of allocation return without the exit line.
	bool logExit;
};

// Chunk geometry, ring, staging buffer, RESERVE UNIT and SCAN, and the
// acquisition thread. 0 with 152 (no memory) or 2999 (the scanner refused to
// start, or no thread).
StartResult startScan();

// Ends the acquisition thread, sends RELEASE UNIT (3 after DoCancel), clears
// the scan's flags and ScanBusy and frees the ring, the staging buffer and
// the image routines' carry state. The result of RELEASE UNIT, or 0 (159)
// after DoCancel. While another process's scan holds ScanBusy only this
// process's own scan is ended: nothing is sent, the flag stays, 0 (162).
// StartScan, ReadScan, StopScan and SetScanParameter of several threads are
// served in turn (ScanCallTurn); a turn not had within the lock wait is
// refused (162).
int stopScan();

// Frees the buffers kept from the last scan for the next one (ring slots,
// staging buffer, scratch block, the image routines' work blocks); a running
// scan keeps its own. TerminateDriver.
void releaseKeptScanBuffers();

// How long StopScan waits for the thread before it ends it (2000 ms), and
// after interrupting its device I/O where it cannot be ended by force.
// After DoCancel the first wait is kCancelledStopWaitMs.
inline constexpr uint32_t kThreadStopWaitMs = 2000;
inline constexpr uint32_t kCancelledStopWaitMs = 100;
inline constexpr uint32_t kInterruptedStopWaitMs = 1000;

} // namespace torvane::engine
