// SPDX-License-Identifier: MIT
// Ending a scan's acquisition thread and freeing its buffers, shared by
// StopScan and by a StartScan that finds a scan never stopped.
#pragma once

#include "engine/scan_plan.h"

namespace torvane::engine {

// Tells the thread to stop and waits for it: 2000 ms, then a forced end, or
// where the platform has none, its device I/O interrupted and a further wait.
// True when no thread runs any more.
bool endAcquisition();

// Frees the ring (only when `threadEnded`; otherwise it is left to the thread
// that still uses it) and the staging buffer; nothing is left to deliver.
void freeScanBuffers(bool threadEnded);

// Ends the carry state of the resampler and the four filters, each by its
// release call, under the conditions in which the read pipeline uses them:
// those of the scan's plan, or without one, of the settings as they are.
void releaseImageRoutines();

// What the driver knows besides the settings, as it stands now: the one place
// the engine reads the driver's process-wide values for a scan.
PlanInputs planInputsNow();

} // namespace torvane::engine
