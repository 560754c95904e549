// SPDX-License-Identifier: MIT
// The capabilities of the source: each one's item type, container, allowed
// values, current and default value, and the scan they describe. Values
// are kept as numbers (inches for lengths) and written into the container
// types an application reads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <torvane/torvane.h>

#include "client/scan_window.h"
#include "twain/handle_memory.h"
#include "twain/twain_protocol.h"

namespace torvane::twain {

// The area in inches from the scanner's top-left corner.
struct Frame {
	double left = 0, top = 0, right = 0, bottom = 0;
};

// What a capability call gives back: a return code and a condition code.
struct CapResult {
	TW_UINT16 rc = TWRC_SUCCESS;
	TW_UINT16 cc = TWCC_SUCCESS;
};

class Capabilities
{
public:
	// The scanner's values from its ability record: the area, sheet feeding.
	void describe(const ScannerAbility &ability);

	// DAT_CAPABILITY with `msg`; `settable` is false outside state 4.
	CapResult handle(TW_UINT16 msg, TW_CAPABILITY &capability, const HandleMemory &memory, bool settable);
	// MSG_RESETALL.
	void resetAll();
	// What the feeder was last found to hold (CAP_FEEDERLOADED).
	void setFeederLoaded(bool loaded);
	// The application asked for `event` (CAP_DEVICEEVENT).
	bool reports(TW_UINT16 event) const;
	// The application turned the ultrasonic sensor on (CAP_DOUBLEFEEDDETECTION).
	bool doubleFeedSensorOn() const;

	// The scan the current values ask for.
	client::WindowRequest windowRequest() const;
	TW_UINT16 pixelType() const { return static_cast<TW_UINT16>(value(ICAP_PIXELTYPE)); }
	TW_UINT16 transferMechanism() const { return static_cast<TW_UINT16>(value(ICAP_XFERMECH)); }
	TW_UINT16 fileFormat() const { return static_cast<TW_UINT16>(value(ICAP_IMAGEFILEFORMAT)); }
	// Group 4 coding of the transfer: memory and TIFF files, 1-bit only.
	bool codedInGroup4() const;
	int transferCount() const { return static_cast<int>(value(CAP_XFERCOUNT)); }
	bool sheetFed() const { return sheetFed_; }
	// The application wants the other pixel flavour than the driver's bytes.
	bool invertedRows() const;

	// DAT_IMAGELAYOUT: the frame in the current units.
	TW_IMAGELAYOUT layout() const;
	TW_IMAGELAYOUT defaultLayout() const;
	CapResult setLayout(const TW_IMAGELAYOUT &layout);
	void resetLayout();

	// A value chosen in the source's dialog: as MSG_SET would take it, in
	// any state. False when it is not allowed.
	bool choose(TW_UINT16 id, double value);
	std::vector<double> allowedValues(TW_UINT16 id) const;
	double value(TW_UINT16 id) const;

	// The resolution the scan uses.
	uint32_t dpi() const { return static_cast<uint32_t>(value(ICAP_XRESOLUTION)); }

	// One capability: allowed values (an empty list for read-only ones
	// computed on reading), the current and default value; lengths in inches.
	struct Entry {
		TW_UINT16 id = 0;
		TW_UINT16 itemType = TWTY_UINT16;
		TW_UINT16 container = TWON_ENUMERATION; // what MSG_GET answers
		bool readOnly = false;
		bool length = false; // a length, shown in ICAP_UNITS
		std::vector<double> allowed;
		double current = 0, defaultValue = 0;
	};

private:
	Entry *find(TW_UINT16 id);
	const Entry *find(TW_UINT16 id) const;
	CapResult setNumber(Entry &entry, double asked);
	// Lengths between inches and ICAP_UNITS.
	double perInch() const;
	CapResult set(Entry &entry, const TW_CAPABILITY &capability, const HandleMemory &memory);
	CapResult setFrame(const Frame &asked);
	// CAP_DEVICEEVENT and CAP_DOUBLEFEEDDETECTION: an array of the items
	// chosen (none by default), set from an array of allowed items.
	CapResult chosenList(TW_UINT16 msg, TW_CAPABILITY &capability, const HandleMemory &memory, bool settable);
	CapResult readChoices(const TW_CAPABILITY &capability, const HandleMemory &memory,
			      std::vector<TW_UINT16> *chosen) const;
	void followPixelType();
	void build();
	CapResult write(const Entry &entry, TW_UINT16 msg, TW_CAPABILITY &capability, const HandleMemory &memory) const;

	double widthInches_ = 8.5, lengthInches_ = 11.7;
	bool sheetFed_ = false;
	Frame frame_;
	std::vector<Entry> table_;
	std::vector<TW_UINT16> deviceEvents_;
	std::vector<TW_UINT16> doubleFeedSensors_;
};

// The capability items the source supports, in CAP_SUPPORTEDCAPS order.
std::vector<TW_UINT16> supportedCapabilities();

} // namespace torvane::twain
