// SPDX-License-Identifier: MIT
// The actions of torvane-scan, each driving the scanner only through the
// driver's exports, in the order a front end calls them.
#pragma once

#include <memory>
#include <string>

#include "busy_wait.h"
#include "client/driver_session.h"
#include "driver_library.h"
#include "exit_codes.h"
#include "image_writer.h"
#include "options.h"
#include "output_file.h"
#include "page_stack.h"
#include "scan_plan.h"

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

	// InitializeDriver only: finds the scanner.
	ExitCode findScanner();
	// InitializeDriver, GetScannerAbility and GetScannerAbilityEx and, when
	// `checkModel`, InitializeScanner (is the scanner the library's model?).
	ExitCode openScanner(ScannerAbility *basic, ScannerAbilityEx *extended, bool checkModel);
	// What the user is told when the search or the model check fails.
	ExitCode scannerNotFound(int32_t code);
	ExitCode wrongModel(const ScannerAbilityEx &extended, int32_t code);

	// The steps of scan(): the output file and its writer, the tone curve
	// and the start of the scan, the image read into the writer, and what
	// becomes of the file once the scan has ended.
	struct ImageTransfer {
		bool readFailed = false;
		bool writeFailed = false;
		int32_t readError = 0;
	};
	ExitCode openOutput(OutputFile &output, const ImageGeometry &image, std::unique_ptr<ImageWriter> *writer);
	ExitCode startScan(const ScanPlan &plan);
	ImageTransfer transferImage(ImageWriter &writer, const ImageGeometry &image);
	ExitCode finishOutput(OutputFile &output, ImageWriter &writer, const ImageGeometry &image,
			      const ImageTransfer &transfer, const client::Outcome &stop);

	// Reports the failure of `what` with the driver's code; returns its exit
	// code. A refusal because another program scans (before our own scan
	// has started) is not reported but marks the action for a retry.
	ExitCode driverFailure(const std::string &what);
	ExitCode driverFailure(const std::string &what, int32_t code);
	ExitCode cancelled();

	// A stack from the feeder (stack_scan.cpp): page after page into a
	// PageStack, and what the user is told when it ends.
	struct StackEnd;
	ExitCode scanStack(const ScanPlan &plan);
	ExitCode endStack(PageStack &stack, const StackEnd &end);

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
