// SPDX-License-Identifier: MIT
// The exit codes of torvane-scan: one per class of outcome, documented in
// --help and in the README.
#pragma once

namespace torvane::scan {

enum class ExitCode : int {
	Ok = 0,		 // done
	Usage = 1,	 // bad option or value; nothing was sent to the scanner
	NoScanner = 2,	 // no supported scanner found, or not the model of the library
	Device = 3,	 // the driver or the scanner reported an error
	File = 4,	 // the output (or backup) file could not be written or read
	Setup = 5,	 // the driver library or the simulated scanner could not be started
	NoButton = 6,	 // --wait-button: no button pressed in time, or the scanner has none
	Internal = 7,	 // out of memory, or a fault of torvane-scan itself
	Cancelled = 130, // stopped by Ctrl-C (SIGINT) or SIGTERM
};

constexpr int toInt(ExitCode code)
{
	return static_cast<int>(code);
}

} // namespace torvane::scan
