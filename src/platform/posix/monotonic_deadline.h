// SPDX-License-Identifier: MIT
// Deadlines on the monotonic clock, the clock tickCount reads: a wall clock
// set forward or back while the driver waits neither ends the wait early
// nor stretches it.

#pragma once

#include <cstdint>
#include <ctime>

namespace torvane::platform {

inline timespec deadlineAfter(uint32_t milliseconds)
{
	timespec now{};
	clock_gettime(CLOCK_MONOTONIC, &now);
	now.tv_sec += milliseconds / 1000;
	now.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
	if (now.tv_nsec >= 1000000000L) {
		now.tv_sec += 1;
		now.tv_nsec -= 1000000000L;
	}
	return now;
}

inline bool isBefore(const timespec &a, const timespec &b)
{
	return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

} // namespace torvane::platform
