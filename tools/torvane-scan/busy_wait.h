// SPDX-License-Identifier: MIT
// Waiting for a scanner that another program's scan holds: the driver refuses
// every locked call with TORVANE_ERROR_BUSY until that scan ends, and torvane-scan tries
// again for a bounded time instead of failing at once.
#pragma once

#include <chrono>
#include <cstdint>

#include <torvane/torvane.h>

namespace torvane::scan {

inline constexpr double kDefaultBusyWaitSeconds = 60;

class BusyWait
{
public:
	using Clock = std::chrono::steady_clock;

	// `limitSeconds` 0: never wait.
	BusyWait(double limitSeconds, bool quiet) : limitSeconds_(limitSeconds), quiet_(quiet) {}

	// True when a call refused with `code` is to be tried again: the scanner
	// is busy and time is left. The first time it tells the user.
	bool shouldRetry(int32_t code);
	// Sleeps before the next try, ending early on Ctrl-C; false when cancelled.
	bool pause() const;

private:
	double limitSeconds_;
	bool quiet_;
	bool waiting_ = false;
	Clock::time_point start_{};
};

} // namespace torvane::scan
