// SPDX-License-Identifier: MIT
// The scan state: one atomic word of state and scan number.

#include "driver/scan_state.h"

#include <atomic>

#include "driver/debug_log.h"
#include "driver/driver_state.h"

namespace torvane::driver {

namespace {

std::atomic<uint64_t> &stateWord()
{
	return driverState.scanStateWord;
}

constexpr uint64_t wordOf(ScanState state, uint32_t scanNumber)
{
	return static_cast<uint64_t>(scanNumber) << 8 | static_cast<uint8_t>(state);
}

constexpr ScanState stateOf(uint64_t word)
{
	return static_cast<ScanState>(word & 0xFF);
}

constexpr uint32_t scanNumberOf(uint64_t word)
{
	return static_cast<uint32_t>(word >> 8);
}

void logChange(ScanState from, ScanState to)
{
	logLine(kMainLog, 3, "Scan state : %s -> %s", scanStateName(from), scanStateName(to));
}

} // namespace

ScanState scanState()
{
	return stateOf(stateWord().load(std::memory_order_acquire));
}

uint32_t changeScanState(ScanState to)
{
	uint64_t word = stateWord().load(std::memory_order_acquire);
	uint64_t next = 0;
	do {
		if (stateOf(word) == to)
			return scanNumberOf(word);
		const uint32_t number = scanNumberOf(word) + (to == ScanState::Scanning ? 1 : 0);
		next = wordOf(to, number);
	} while (!stateWord().compare_exchange_weak(word, next, std::memory_order_acq_rel));
	logChange(stateOf(word), to);
	return scanNumberOf(next);
}

bool endAcquisitionOf(uint32_t scanNumber)
{
	uint64_t expected = wordOf(ScanState::Scanning, scanNumber);
	if (!stateWord().compare_exchange_strong(expected, wordOf(ScanState::AcquisitionEnded, scanNumber),
						 std::memory_order_acq_rel))
		return false;
	logChange(ScanState::Scanning, ScanState::AcquisitionEnded);
	return true;
}

const char *scanStateName(ScanState state)
{
	switch (state) {
	case ScanState::Idle:
		return "idle";
	case ScanState::SetUp:
		return "set up";
	case ScanState::Scanning:
		return "scanning";
	case ScanState::AcquisitionEnded:
		return "acquisition ended";
	case ScanState::Stopping:
		break;
	}
	return "stopping";
}

} // namespace torvane::driver
