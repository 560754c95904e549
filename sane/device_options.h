// SPDX-License-Identifier: MIT
// The options of a Torvane device: descriptors with the standard names of
// saneopts.h, their values, and the scan window they describe.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <sane/sane.h>

#include <torvane/torvane.h>

#include "client/scan_window.h"

namespace torvane::sane {

enum Option : int {
	kNumOptions,
	kGroupStandard,
	kMode,
	kResolution,
	kPreview,
	kHalftonePattern,
	kColourFilter,
	kSource,
	kGroupGeometry,
	kTopLeftX,
	kTopLeftY,
	kBottomRightX,
	kBottomRightY,
	kPageWidth,
	kPageHeight,
	kGroupEnhancement,
	kCustomGamma,
	kGammaTable,
	kGroupSensors,
	kFirstButton,
};

inline constexpr int kMaxButtons = 8;
inline constexpr int kGammaEntries = 256;

// What the scanner offers, from its ability records and InitialButton.
struct DeviceAbilities {
	double widthMm = 0;
	double lengthMm = 0;
	int buttons = 0;
	bool sheetFed = false; // a document feeder (source "ADF", page-width and page-height), else the glass
};

class DeviceOptions
{
public:
	explicit DeviceOptions(const DeviceAbilities &abilities);
	// The descriptors point into the object.
	DeviceOptions(const DeviceOptions &) = delete;
	DeviceOptions &operator=(const DeviceOptions &) = delete;

	int count() const;
	const SANE_Option_Descriptor *descriptor(int option) const;

	// SANE_ACTION_GET_VALUE of any option but the sensors.
	SANE_Status get(int option, void *value) const;
	// SANE_ACTION_SET_VALUE: checked, constrained, and `info` telling what changed.
	SANE_Status set(int option, void *value, SANE_Int *info);

	bool isButton(int option) const { return option >= kFirstButton && option < count(); }
	int buttonNumber(int option) const { return option - kFirstButton + 1; }

	// The scan the options describe; `error` when the area holds no image.
	client::WindowResult window() const;
	SANE_Parameters parameters() const;
	// The tone curve sent with SetGammaTable.
	std::array<unsigned char, kGammaEntries> toneCurve() const;

private:
	void setDefaultPage();
	SANE_Status setPageSize(int option, SANE_Word *value, SANE_Int *changes);
	bool keepAreaNonEmpty(int option);
	void updateActiveOptions();
	void describeSource();
	client::ScanMode scanMode() const;
	uint32_t scanDpi() const;

	DeviceAbilities abilities_;
	std::vector<SANE_Option_Descriptor> descriptors_;
	SANE_Range geometryX_{}, geometryY_{}, halftoneRange_{}, gammaRange_{};
	std::vector<std::string> buttonNames_, buttonTitles_;

	int mode_ = 0;
	SANE_Word resolution_ = 300;
	SANE_Bool preview_ = SANE_FALSE;
	SANE_Word halftonePattern_ = 1;
	int colourFilter_ = 0;
	SANE_Fixed tlX_ = 0, tlY_ = 0, brX_ = 0, brY_ = 0;
	SANE_Fixed pageWidth_ = 0, pageHeight_ = 0;
	SANE_Bool customGamma_ = SANE_FALSE;
	std::array<SANE_Word, kGammaEntries> gammaTable_{};
};

} // namespace torvane::sane
