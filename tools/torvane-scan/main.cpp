// SPDX-License-Identifier: MIT
// torvane-scan: the command-line front end of the Torvane scanner driver.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "busy_wait.h"
#include "client/driver_session.h"
#include "cancel.h"
#include "driver_library.h"
#include "embedded_scanner.h"
#include "exit_codes.h"
#include "frontend.h"
#include "usb_access.h"
#include "options.h"
#include "run_config.h"

#ifndef TORVANE_BUILD_LIBRARY_DIR
#define TORVANE_BUILD_LIBRARY_DIR ""
#endif
#ifndef TORVANE_INSTALLED_DRIVER_DIR
#define TORVANE_INSTALLED_DRIVER_DIR ""
#endif
#ifndef TORVANE_VERSION
#define TORVANE_VERSION ""
#endif

using namespace torvane::scan;

namespace {

// Whether the driver finds a scanner where it looks (USB, without a device
// folder). The front end's own search comes later and logs as usual.
bool scannerAttached(DriverLibrary &library)
{
	if (library.api().InitializeDriver() == 1)
		return true;
	// Refused because another program scans: there is a scanner, and it is busy.
	return library.takeLastError() == TORVANE_ERROR_BUSY;
}

std::vector<std::string> searchListFor(const std::string &model, const std::string &explicitPath)
{
	return librarySearchList(model, explicitPath, executableDir(), TORVANE_BUILD_LIBRARY_DIR,
				 TORVANE_INSTALLED_DRIVER_DIR);
}

// The library of the model found, when it is another than the one loaded
// (which finds every supported scanner); null when there is none to load,
// and the front end then says which --model to give. The libraries of two
// models are often one file: the second gets a loader namespace of its own,
// so that it is mapped under its own name, the name it checks scanners against.
std::unique_ptr<DriverLibrary> libraryOfFoundModel(const DriverLibrary &loaded)
{
	const std::string model = torvane::client::foundScannerModel(loaded);
	if (model.empty() || model == torvane::client::libraryModel(loaded.path()))
		return nullptr;
	std::string error;
	return DriverLibrary::load(searchListFor(model, ""), &error, true);
}

int runProgram(int argc, char **argv)
{
	const std::vector<std::string> args(argv + 1, argv + argc);
	const ParseResult parsed = parseOptions(args);
	if (!parsed.error.empty()) {
		printError(parsed.error + " (see --help)");
		return toInt(ExitCode::Usage);
	}
	const Options &options = parsed.options;
	if (options.action == Action::Help) {
		std::printf("%s", usageText("torvane-scan").c_str());
		return toInt(ExitCode::Ok);
	}
	if (options.action == Action::Version) {
		std::printf("torvane-scan %s\n", TORVANE_VERSION);
		return toInt(ExitCode::Ok);
	}

	installCancelHandlers();

	// The driver reads its configuration and finds its devices through the
	// environment: both are set up before the library is loaded.
	std::unique_ptr<RunConfiguration> config;
	if (options.debugLevel || !options.logDir.empty()) {
		std::string error;
		config = RunConfiguration::create(options.debugLevel, options.logDir, &error);
		if (!config) {
			printError(error);
			return toInt(ExitCode::File);
		}
	}

	// Declared first, so that it stops after the library has gone.
	std::unique_ptr<EmbeddedScanner> embedded;
	std::string error;
	const std::unique_ptr<DriverLibrary> library =
		DriverLibrary::load(searchListFor(options.model, options.library), &error);
	if (!library) {
		printError(error);
		return toInt(ExitCode::Setup);
	}
	setCancelFunction(library->api().DoCancel);

	// The driver looks for its device files at every search, so the built-in
	// scanner can still be put in place after the library is loaded.
	const ScannerSource source = scannerSourceFor(options, std::getenv("TORVANE_DEVICE_DIR"));
	bool simulated = false;
	if (source == ScannerSource::Embedded ||
	    (source == ScannerSource::FoundOrEmbedded && !scannerAttached(*library))) {
		// Its threads leave Ctrl-C to the main thread.
		CancelSignalsBlocked blocked;
		embedded = EmbeddedScanner::start(options.model, &error);
		if (!embedded) {
			setCancelFunction(nullptr);
			printError(error);
			return toInt(ExitCode::Setup);
		}
		simulated = true;
		if (!options.quiet && source == ScannerSource::FoundOrEmbedded) {
			printNote("no scanner found on USB: using " + embedded->description());
			if (const std::string hint = usbAccessHint(); !hint.empty())
				printNote(hint);
		}
	}

	// --model and --library choose the library; otherwise the scanner does.
	std::unique_ptr<DriverLibrary> modelLibrary;
	if (!options.modelGiven && options.library.empty())
		modelLibrary = libraryOfFoundModel(*library);
	DriverLibrary &driver = modelLibrary ? *modelLibrary : *library;
	setCancelFunction(driver.api().DoCancel);

	Frontend frontend(driver, options, simulated);
	const ExitCode code = frontend.run();
	setCancelFunction(nullptr);
	return toInt(code);
}

} // namespace

int main(int argc, char **argv)
{
	// A closed pipe or the file size limit is a write error to report (exit
	// code 4), not a reason to die by a signal.
	std::signal(SIGPIPE, SIG_IGN);
	std::signal(SIGXFSZ, SIG_IGN);
	// No input may end the program by an uncaught exception: whatever escapes
	// the actions is reported with the class of the outcome.
	try {
		return runProgram(argc, argv);
	} catch (const std::bad_alloc &) {
		printError("out of memory");
	} catch (const std::exception &error) {
		printError(std::string("internal error: ") + error.what());
	} catch (...) {
		printError("internal error");
	}
	return toInt(ExitCode::Internal);
}
