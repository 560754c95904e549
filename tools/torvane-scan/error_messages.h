// SPDX-License-Identifier: MIT
// Words for the driver's error codes, and the exit code each one leads to.
#pragma once

#include <cstdint>
#include <string>

#include "exit_codes.h"

namespace torvane::scan {

struct DriverErrorText {
	int32_t code;
	const char *text;
	ExitCode exit;
};

// The row of `code`, or null when the driver is not known to report it.
const DriverErrorText *findDriverError(int32_t code);

// A sentence a user understands, ending with the code itself, e.g.
// "scanner busy: another program is scanning or holds the scanner (driver error 162)".
std::string describeDriverError(int32_t code);

// The exit code a failure with this driver error code ends the program with.
ExitCode exitCodeForDriverError(int32_t code);

} // namespace torvane::scan
