// SPDX-License-Identifier: MIT
// Ctrl-C and SIGTERM: the handler only marks the run as cancelled and calls
// the driver's DoCancel (which only sets a flag); the main flow then stops the
// scan with StopScan. A second signal ends the program at once.
#pragma once

namespace torvane::scan {

using CancelFunction = void (*)();

void installCancelHandlers();
// The driver's DoCancel, called from the handler once the library is loaded.
void setCancelFunction(CancelFunction function);
bool cancelRequested();

} // namespace torvane::scan
