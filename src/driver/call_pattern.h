// SPDX-License-Identifier: MIT
// The pattern every locked exported function follows: entry line, device
// lock, work, release, exit line.
#pragma once

#include <utility>

#include "driver/debug_log.h"
#include "driver/device_lock.h"
#include "driver/driver_state.h"

namespace torvane::driver {

// The entry and exit lines of one exported function; each format takes one
// int (0 on entry, the result on exit).
struct CallLines {
	const char *entry;
	const char *exit;
};

inline void logEntry(const CallLines &lines)
{
	logLine(kMainLog, 2, lines.entry, 0);
}

inline void logExit(const CallLines &lines, int result)
{
	keepFailureCode(result);
	logLine(kMainLog, 2, lines.exit, result);
}

// Runs `work` (returning the result) under the device lock. When the lock is
// refused the work is skipped and the result is 0 with LastErrorCode 162;
// that refusal is never turned into 2999, even when another thread's status
// fetch has taken the 162 from the register (one per process) meanwhile.
template<typename Work>
int runLocked(const CallLines &lines, Work &&work)
{
	logEntry(lines);
	if (!SeizeSYSControl()) {
		logLine(kMainLog, 2, lines.exit, 0);
		return 0;
	}
	const int result = std::forward<Work>(work)();
	releaseDeviceLock();
	logExit(lines, result);
	return result;
}

// The same pattern for a piece of work that needs the lock but logs nothing
// itself (the single reads and writes of a read-modify-write).
template<typename Work>
int withDeviceLock(Work &&work)
{
	if (!SeizeSYSControl())
		return 0;
	int result = std::forward<Work>(work)();
	releaseDeviceLock();
	return result;
}

} // namespace torvane::driver
