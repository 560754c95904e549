// SPDX-License-Identifier: MIT
// torvane-scan: the command-line front end of the Torvane scanner driver.

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "cancel.h"
#include "driver_library.h"
#include "embedded_scanner.h"
#include "exit_codes.h"
#include "frontend.h"
#include "options.h"
#include "run_config.h"

#ifndef TORVANE_BUILD_LIBRARY_DIR
#define TORVANE_BUILD_LIBRARY_DIR ""
#endif
#ifndef TORVANE_VERSION
#define TORVANE_VERSION ""
#endif

using namespace torvane::scan;

namespace {

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

	bool simulated = false;
	std::unique_ptr<EmbeddedScanner> embedded;
	if (wantsEmbeddedScanner(options, std::getenv("TORVANE_DEVICE_DIR"))) {
		std::string error;
		// Its threads leave Ctrl-C to the main thread.
		CancelSignalsBlocked blocked;
		embedded = EmbeddedScanner::start(options.model, &error);
		if (!embedded) {
			printError(error);
			return toInt(ExitCode::Setup);
		}
		simulated = true;
		if (!options.quiet && !options.simulate)
			printNote("no scanner device folder (TORVANE_DEVICE_DIR) is set: using " +
				  embedded->description());
	}

	std::string error;
	const std::unique_ptr<DriverLibrary> library = DriverLibrary::load(
		librarySearchList(options.model, options.library, executableDir(), TORVANE_BUILD_LIBRARY_DIR), &error);
	if (!library) {
		printError(error);
		return toInt(ExitCode::Setup);
	}
	setCancelFunction(library->api().DoCancel);

	Frontend frontend(*library, options, simulated);
	const ExitCode code = frontend.run();
	setCancelFunction(nullptr);
	return toInt(code);
}

} // namespace

int main(int argc, char **argv)
{
	return runProgram(argc, argv);
}
