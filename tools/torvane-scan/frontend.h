// SPDX-License-Identifier: MIT
// The actions of torvane-scan, each driving the scanner only through the
// driver's exports, in the order a front end calls them.
#pragma once

#include <string>

#include "busy_wait.h"
#include "client/driver_session.h"
#include "driver_library.h"
#include "exit_codes.h"
#include "options.h"

namespace torvane::scan {

class Frontend
{
public:
	// `simulated` only changes the words of --list.
	Frontend(const DriverLibrary &library, const Options &options, bool simulated)
		: library_(library), api_(library.api()), session_(library), options_(options), simulated_(simulated),
		  busyWait_(options.busyWaitSeconds, options.quiet)
	{
	}

	ExitCode run();

private:
	// The action once; run() repeats it while the scanner is busy elsewhere.
	ExitCode runAction();
	ExitCode scan();
	ExitCode list();
	ExitCode info();
	ExitCode nvmRead();
	ExitCode nvmBackup();
	ExitCode nvmRestore();
	ExitCode powerTimers();
	ExitCode waitButton();

	// InitializeDriver: finds the scanner.
	ExitCode findScanner();
	// GetScannerAbility and GetScannerAbilityEx.
	ExitCode readAbilities(ScannerAbility *basic, ScannerAbilityEx *extended);
	// InitializeScanner: is the scanner the library's model?
	ExitCode checkModel(const ScannerAbilityEx &extended);
	// Reports the failure of `what` with the driver's code; returns its exit
	// code. A refusal because another program scans (before our own scan
	// has started) is not reported but marks the action for a retry.
	ExitCode driverFailure(const std::string &what);
	ExitCode driverFailure(const std::string &what, int32_t code);
	ExitCode cancelled();

	const DriverLibrary &library_;
	const DriverApi &api_;
	client::DriverSession session_;
	const Options &options_;
	bool simulated_;
	BusyWait busyWait_;
	bool mayRetryWhenBusy_ = true;
	bool retryWhenBusy_ = false;
	bool scanOpen_ = false; // StartScan succeeded and StopScan is still due
};

// "torvane-scan: " + text, on standard error.
void printError(const std::string &text);
void printNote(const std::string &text);

} // namespace torvane::scan
