// SPDX-License-Identifier: MIT
// The clocks the benchmark programs read: a clock in seconds, and the CPU
// time of the whole process.
#pragma once

#include <sys/resource.h>
#include <time.h>

namespace torvane::bench {

// Seconds on `clock` (CLOCK_MONOTONIC, CLOCK_THREAD_CPUTIME_ID, ...).
inline double seconds(clockid_t clock)
{
	timespec now{};
	clock_gettime(clock, &now);
	return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// User and system CPU time of all the threads of this process.
inline double processCpuSeconds()
{
	rusage usage{};
	getrusage(RUSAGE_SELF, &usage);
	return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
	       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace torvane::bench
