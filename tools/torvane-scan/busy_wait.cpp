// SPDX-License-Identifier: MIT
// Waiting for a scanner that another program's scan holds.

#include "busy_wait.h"

#include <cstdio>
#include <string>
#include <thread>

#include "cancel.h"

namespace torvane::scan {

namespace {

// How often the scanner is asked again, and how soon Ctrl-C is noticed.
constexpr auto kRetryInterval = std::chrono::milliseconds(250);
constexpr auto kCancelCheck = std::chrono::milliseconds(10);

} // namespace

bool BusyWait::shouldRetry(int32_t code)
{
	if (code != TORVANE_ERROR_BUSY || limitSeconds_ <= 0 || cancelRequested())
		return false;
	if (!waiting_) {
		waiting_ = true;
		start_ = Clock::now();
		if (!quiet_) {
			char seconds[32];
			std::snprintf(seconds, sizeof(seconds), "%g", limitSeconds_);
			std::fprintf(stderr,
				     "torvane-scan: the scanner is busy with another program's scan; waiting up to %s s "
				     "(--wait to change, Ctrl-C to stop)\n",
				     seconds);
		}
	}
	return std::chrono::duration<double>(Clock::now() - start_).count() < limitSeconds_;
}

bool BusyWait::pause() const
{
	const auto until = Clock::now() + kRetryInterval;
	while (Clock::now() < until) {
		if (cancelRequested())
			return false;
		std::this_thread::sleep_for(kCancelCheck);
	}
	return !cancelRequested();
}

} // namespace torvane::scan
