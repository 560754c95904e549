// SPDX-License-Identifier: MIT
// Ctrl-C and SIGTERM: the handler only marks the run as cancelled and calls
// the driver's DoCancel (which only sets a flag); the main flow then stops the
// scan with StopScan. A second signal ends the program at once.
#pragma once

#include <csignal>

namespace torvane::scan {

using CancelFunction = void (*)();

void installCancelHandlers();
// The driver's DoCancel, called from the handler once the library is loaded.
void setCancelFunction(CancelFunction function);
bool cancelRequested();

// Keeps SIGINT and SIGTERM from the threads started while it lives (the
// driver's acquisition thread, the built-in scanner's threads): they inherit
// the blocked signals, so that a Ctrl-C always reaches the main thread and
// never interrupts their device I/O. The main thread's mask is restored at
// the end, and a signal that came meanwhile is handled then.
class CancelSignalsBlocked
{
public:
	CancelSignalsBlocked();
	~CancelSignalsBlocked();
	CancelSignalsBlocked(const CancelSignalsBlocked &) = delete;
	CancelSignalsBlocked &operator=(const CancelSignalsBlocked &) = delete;

private:
	sigset_t previous_;
};

} // namespace torvane::scan
