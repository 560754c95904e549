// SPDX-License-Identifier: MIT
// Call patterns of the exports beside runLocked: functions that log their
// lines around work that takes the lock itself, and the answer to a record
// pointer that cannot be used.
#pragma once

#include "driver/call_pattern.h"
#include "driver/driver_state.h"

namespace torvane::exports {

// Entry line, work, exit line with the work's result. The work takes the
// device lock for itself, once or for each single access.
template<typename Work>
int runWithLines(const driver::CallLines &lines, Work &&work)
{
	driver::logEntry(lines);
	const int result = work();
	driver::logExit(lines, result);
	return result;
}

// A null record: the call logs its lines and fails with 2005 without taking
// the lock or touching the scanner.
inline int refuseBadArgument(const driver::CallLines &lines)
{
	driver::logEntry(lines);
	driver::setLastError(TORVANE_ERROR_ILLEGAL_REQUEST);
	driver::logExit(lines, 0);
	return 0;
}

} // namespace torvane::exports
