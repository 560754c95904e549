// SPDX-License-Identifier: MIT
// The driver's exports in the order a front end calls them, each step giving
// success or the driver's error code; shared by torvane-scan and the SANE backend.
#pragma once

#include <cstdint>
#include <string>

#include <torvane/torvane.h>

#include "client/driver_library.h"

namespace torvane::client {

// One driver call's outcome: success, or the code fetched with GetScannerStatusEx.
struct Outcome {
	bool ok = true;
	int32_t error = 0;

	explicit operator bool() const { return ok; }
};

// The steps of opening the scanner, in their order; None when all went well.
enum class OpenStep {
	None,
	FindScanner,
	ReadAbilities,
	CheckModel
};

// How opening the scanner went: the step that failed, with its code.
struct Opening {
	OpenStep failedStep = OpenStep::None;
	Outcome outcome;

	explicit operator bool() const { return failedStep == OpenStep::None; }
};

class DriverSession
{
public:
	explicit DriverSession(const DriverLibrary &library) : library_(library), api_(library.api()) {}

	// InitializeDriver: finds the scanner (129 when there is none).
	Outcome findScanner();
	// GetScannerAbility and GetScannerAbilityEx.
	Outcome readAbilities(ScannerAbility *basic, ScannerAbilityEx *extended);
	// InitializeScanner: 129 when the scanner is not the library's model.
	Outcome checkModel();
	// What every front end does first: findScanner, readAbilities and, when
	// `checkModelToo`, checkModel; it stops at the first step that fails.
	Opening openScanner(ScannerAbility *basic, ScannerAbilityEx *extended, bool checkModelToo);
	// SetGammaTable: the same curve to channels 1 to 3 when the scanner
	// scans in colour, else to the grey channel 0.
	Outcome sendToneCurve(const unsigned char table[256], bool scannedInColour);
	// SetScanParameter. A failure other than 162 (another program's scan,
	// whose busy flag is not ours to clear) leaves our own scan cycle open:
	// StopScan closes it, so that the scanner stays usable.
	Outcome setUp(const ScanParameter &parameter);
	// StartScan; on failure the cycle is closed with StopScan.
	Outcome start();
	// ReadScan: exactly `length` bytes of image.
	Outcome read(uint8_t *buffer, uint32_t length);
	// StopScan: ends the scan cycle (159 when it was cancelled).
	Outcome stop();

private:
	Outcome failed() const { return Outcome{ false, library_.takeLastError() }; }

	const DriverLibrary &library_;
	const DriverApi &api_;
};

// The model the scanner found names itself (ScannerAbilityEx's Product, the
// name of its driver library: letters and digits only), or empty when no
// scanner is found or the name is unusable. Any model's library finds every
// supported scanner; the driver is terminated again afterwards.
std::string foundScannerModel(const DriverLibrary &library);

// Product as text: up to its size, trailing spaces dropped.
std::string productText(const ScannerAbilityEx &extended);

} // namespace torvane::client
