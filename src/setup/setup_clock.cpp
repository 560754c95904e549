// SPDX-License-Identifier: MIT
// The local time of the scan setup, replaceable so that file names and log
// headers can be checked exactly.

#include "setup/setup_clock.h"

#include <atomic>

namespace torvane::setup {

namespace {

std::atomic<LocalTimeSource> timeSource{ nullptr };

} // namespace

platform::LocalTime setupLocalTime()
{
	const LocalTimeSource source = timeSource.load();
	return source ? source() : platform::localTime();
}

void setLocalTimeSource(LocalTimeSource source)
{
	timeSource.store(source);
}

} // namespace torvane::setup
