// SPDX-License-Identifier: MIT
// The data source's way to the scanner: the model's DLL in the source's own
// folder, the scanner found and checked, and one scan cycle through client/.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <torvane/torvane.h>

#include "client/batch.h"
#include "client/driver_library.h"
#include "client/driver_session.h"
#include "client/scan_window.h"

namespace torvane::twain {

class ScannerLink
{
public:
	// Finds the scanner through the first model DLL in `folder`, then loads
	// the DLL of the scanner's own model and checks it. The driver's code
	// on failure (129 when no DLL or no scanner is there).
	client::Outcome open(const std::string &folder);
	void close();
	bool opened() const { return library_ != nullptr; }

	const ScannerAbility &ability() const { return ability_; }
	const std::string &model() const { return model_; }

	// Gamma tables for the next scans: 256 entries; `colour` for channels 1 to 3.
	void setToneCurve(const unsigned char table[256]);
	void resetToneCurve();

	// One scan: SetScanParameter, the tone curve, StartScan.
	client::Outcome startScan(const client::ScanWindow &window);
	client::Outcome read(uint8_t *buffer, uint32_t length);
	// StopScan; `cancel` calls DoCancel first, so that the scanner is free at once.
	client::Outcome stopScan(bool cancel);
	bool scanning() const { return scanning_; }

	// A stack from the document feeder (0 pages: until it is empty): every
	// page a scan cycle of client::BatchSequence, with the double-feed
	// sensor at `doubleFeedSensor` (0: off).
	void beginBatch(uint32_t pages, uint8_t doubleFeedSensor);
	void endBatch() { batch_.reset(); }
	bool inBatch() const { return batch_ != nullptr; }
	// The next page's scan cycle; StackDone when the feeder ran out after a
	// page, Failed with the driver's code.
	client::PageStart startPage(const client::ScanWindow &window, client::Outcome *failure);
	void pageDone();

private:
	std::unique_ptr<client::DriverLibrary> library_;
	std::unique_ptr<client::DriverSession> session_;
	ScannerAbility ability_{};
	ScannerAbilityEx abilityEx_{};
	std::string model_;
	bool customCurve_ = false;
	unsigned char curve_[256] = {};
	bool scanning_ = false;
	std::unique_ptr<client::BatchSequence> batch_;
};

} // namespace torvane::twain
