// SPDX-License-Identifier: MIT
// The scan session's named state and its one transition function.
#pragma once

#include <cstdint>

namespace torvane::driver {

// Where the scan engine stands. StartScan and StopScan move it on the front
// end's thread; the acquisition thread moves it once, when it returns.
//
//          StartScan: plan, staging buffer
//          and ring in place                  thread about to start
//   Idle ----------------------------> SetUp -----------------------> Scanning
//    ^                                  |  ^    it could not start       |
//    |                                  |  +-----------------------------+
//    |                                  |                                | thread returned
//    |                                  |                                | (compare-exchange)
//    |                                  |                                v
//    |  buffers freed                   |                        AcquisitionEnded
//    +------------- Stopping <----------+--------------------------------+
//                              StopScan, or a StartScan that finds a scan never
//                              stopped: from SetUp, Scanning or AcquisitionEnded
//
// A StartScan whose RESERVE UNIT or SCAN fails stays in SetUp until StopScan.
// ReadScan reads only in SetUp, Scanning and AcquisitionEnded.
enum class ScanState : uint8_t {
	Idle,
	SetUp,
	Scanning,
	AcquisitionEnded,
	Stopping
};

ScanState scanState();

// Moves to `to` and logs "Scan state : FROM -> TO" at level 3 (nothing when
// the state is `to` already). Entering Scanning begins a new scan number.
// Returns the scan number after the change.
uint32_t changeScanState(ScanState to);

// The acquisition thread of scan `scanNumber` has returned: Scanning becomes
// AcquisitionEnded, but only while that scan is still scanning, so that a
// thread never overwrites Stopping nor the state of a later scan. True when
// the state changed.
bool endAcquisitionOf(uint32_t scanNumber);

// "idle", "set up", "scanning", "acquisition ended", "stopping".
const char *scanStateName(ScanState state);

} // namespace torvane::driver
