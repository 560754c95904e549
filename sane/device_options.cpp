// SPDX-License-Identifier: MIT
// The options of a Torvane device: descriptors with the standard names of
// saneopts.h, their values, and the scan window they describe.

#include "device_options.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <strings.h>

#include <sane/saneopts.h>

#include "paper_size.h"

namespace torvane::sane {

namespace {

constexpr SANE_String_Const kModeNames[] = { SANE_VALUE_SCAN_MODE_COLOR, SANE_VALUE_SCAN_MODE_GRAY,
					     SANE_VALUE_SCAN_MODE_LINEART, SANE_VALUE_SCAN_MODE_HALFTONE,
					     nullptr };
constexpr client::ScanMode kModes[] = { client::ScanMode::Colour, client::ScanMode::Grey,
					client::ScanMode::LineArt, client::ScanMode::Halftone };
// The driver's ColorFilter values are the indexes: 0 none, 1 red, 2 green, 3 blue.
constexpr SANE_String_Const kFilterNames[] = { "None", "Red", "Green", "Blue", nullptr };
// The one source of each kind of model.
constexpr SANE_String_Const kFeederSource[] = { "ADF", nullptr };
constexpr SANE_String_Const kGlassSource[] = { "Flatbed", nullptr };

// The resolutions the driver serves well (it scans at 300 or 600 dpi and
// resamples): a word list, which front ends present best. The count first.
constexpr SANE_Word kResolutions[] = { 9, 50, 75, 100, 150, 200, 300, 400, 600, 1200 };
constexpr SANE_Word kPreviewResolution = 75;

// Button N's option: the standard sensor names first.
struct ButtonName {
	const char *name;
	const char *title;
};
constexpr ButtonName kButtonNames[] = {
	{ SANE_NAME_SCAN, "Scan button" },
	{ SANE_NAME_COPY, "Copy button" },
	{ SANE_NAME_EMAIL, "Email button" },
	{ SANE_NAME_PDF, "PDF button" },
	{ "file", "File button" },
};

constexpr double kMillimetresPerInch = 25.4;
constexpr double kUnitsPerInch = 300.0;

// A group: a title, and by convention no name.
SANE_Option_Descriptor group(const char *title)
{
	SANE_Option_Descriptor d{};
	d.name = "";
	d.title = title;
	d.desc = "";
	d.type = SANE_TYPE_GROUP;
	d.constraint_type = SANE_CONSTRAINT_NONE;
	return d;
}

SANE_Option_Descriptor option(const char *name, const char *title, const char *desc, SANE_Value_Type type,
			      SANE_Unit unit, SANE_Int size)
{
	SANE_Option_Descriptor d{};
	d.name = name;
	d.title = title;
	d.desc = desc;
	d.type = type;
	d.unit = unit;
	d.size = size;
	d.cap = SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT;
	d.constraint_type = SANE_CONSTRAINT_NONE;
	return d;
}

// A push button: read only, and set by the scanner's hardware.
SANE_Option_Descriptor sensor(const char *name, const char *title)
{
	SANE_Option_Descriptor d{};
	d.name = name;
	d.title = title;
	d.desc = "True once after the button was pressed.";
	d.type = SANE_TYPE_BOOL;
	d.unit = SANE_UNIT_NONE;
	d.size = sizeof(SANE_Word);
	d.cap = SANE_CAP_SOFT_DETECT | SANE_CAP_HARD_SELECT;
	d.constraint_type = SANE_CONSTRAINT_NONE;
	return d;
}

uint32_t millimetresToUnits(SANE_Fixed value)
{
	const double units = std::round(SANE_UNFIX(value) / kMillimetresPerInch * kUnitsPerInch);
	return units > 0 ? static_cast<uint32_t>(units) : 0;
}

SANE_Fixed unitsToMillimetres(uint32_t units)
{
	return SANE_FIX(units * kMillimetresPerInch / kUnitsPerInch);
}

// `span` units from `fixed`: towards the far edge `limit` where it fits, else towards 0.
uint32_t unitsAway(uint32_t fixed, uint32_t span, uint32_t limit)
{
	if (fixed + span <= limit)
		return fixed + span;
	return fixed > span ? fixed - span : 0;
}

// The pixels (or lines) the span between two corners holds at `dpi`, as the
// scan window counts them.
uint32_t spanPixels(SANE_Fixed a, SANE_Fixed b, uint32_t dpi)
{
	const uint32_t from = millimetresToUnits(std::min(a, b)), to = millimetresToUnits(std::max(a, b));
	return static_cast<uint32_t>(uint64_t(to - from) * dpi / 300);
}

// A word clamped into `range`; true when it had to change.
bool clampToRange(SANE_Word *value, const SANE_Range &range)
{
	const SANE_Word clamped = std::clamp(*value, range.min, range.max);
	const bool changed = clamped != *value;
	*value = clamped;
	return changed;
}

SANE_Word nearestResolution(SANE_Word asked)
{
	SANE_Word best = kResolutions[1];
	for (int i = 1; i <= kResolutions[0]; ++i)
		if (std::abs(kResolutions[i] - asked) < std::abs(best - asked))
			best = kResolutions[i];
	return best;
}

// The entry `value` names (case aside), read no further than the option's size.
int indexOf(const SANE_String_Const *names, const void *value, SANE_Int size)
{
	const auto *text = static_cast<const char *>(value);
	const std::string name(text, strnlen(text, static_cast<size_t>(size)));
	for (int i = 0; names[i]; ++i)
		if (::strcasecmp(names[i], name.c_str()) == 0)
			return i;
	return -1;
}

} // namespace

DeviceOptions::DeviceOptions(const DeviceAbilities &abilities) : abilities_(abilities)
{
	geometryX_ = { 0, SANE_FIX(abilities.widthMm), 0 };
	geometryY_ = { 0, SANE_FIX(abilities.lengthMm), 0 };
	halftoneRange_ = { 1, 6, 1 };
	gammaRange_ = { 0, 255, 1 };
	setDefaultPage();
	for (int i = 0; i < kGammaEntries; ++i)
		gammaTable_[i] = i;

	descriptors_.resize(kFirstButton + std::clamp(abilities.buttons, 0, kMaxButtons));
	auto &d = descriptors_;
	d[kNumOptions] = option(SANE_NAME_NUM_OPTIONS, SANE_TITLE_NUM_OPTIONS, SANE_DESC_NUM_OPTIONS, SANE_TYPE_INT,
				SANE_UNIT_NONE, sizeof(SANE_Word));
	d[kNumOptions].cap = SANE_CAP_SOFT_DETECT;

	d[kGroupStandard] = group(SANE_TITLE_STANDARD);
	d[kMode] = option(SANE_NAME_SCAN_MODE, SANE_TITLE_SCAN_MODE, SANE_DESC_SCAN_MODE, SANE_TYPE_STRING,
			  SANE_UNIT_NONE, 16);
	d[kMode].constraint_type = SANE_CONSTRAINT_STRING_LIST;
	d[kMode].constraint.string_list = kModeNames;
	d[kResolution] = option(SANE_NAME_SCAN_RESOLUTION, SANE_TITLE_SCAN_RESOLUTION, SANE_DESC_SCAN_RESOLUTION,
				SANE_TYPE_INT, SANE_UNIT_DPI, sizeof(SANE_Word));
	d[kResolution].constraint_type = SANE_CONSTRAINT_WORD_LIST;
	d[kResolution].constraint.word_list = kResolutions;
	d[kPreview] = option(SANE_NAME_PREVIEW, SANE_TITLE_PREVIEW, SANE_DESC_PREVIEW, SANE_TYPE_BOOL, SANE_UNIT_NONE,
			     sizeof(SANE_Word));
	d[kHalftonePattern] = option(SANE_NAME_HALFTONE_PATTERN, SANE_TITLE_HALFTONE_PATTERN,
				     SANE_DESC_HALFTONE_PATTERN, SANE_TYPE_INT, SANE_UNIT_NONE, sizeof(SANE_Word));
	d[kHalftonePattern].constraint_type = SANE_CONSTRAINT_RANGE;
	d[kHalftonePattern].constraint.range = &halftoneRange_;
	d[kColourFilter] = option("color-filter", "Color filter",
				  "Scan one colour channel only, for gray, lineart and halftone scans (none: all three mixed).",
				  SANE_TYPE_STRING, SANE_UNIT_NONE, 8);
	d[kColourFilter].constraint_type = SANE_CONSTRAINT_STRING_LIST;
	d[kColourFilter].constraint.string_list = kFilterNames;

	describeSource();

	d[kGroupGeometry] = group(SANE_TITLE_GEOMETRY);
	const struct {
		Option index;
		const char *name, *title, *desc;
		const SANE_Range *range;
	} corners[] = {
		{ kTopLeftX, SANE_NAME_SCAN_TL_X, SANE_TITLE_SCAN_TL_X, SANE_DESC_SCAN_TL_X, &geometryX_ },
		{ kTopLeftY, SANE_NAME_SCAN_TL_Y, SANE_TITLE_SCAN_TL_Y, SANE_DESC_SCAN_TL_Y, &geometryY_ },
		{ kBottomRightX, SANE_NAME_SCAN_BR_X, SANE_TITLE_SCAN_BR_X, SANE_DESC_SCAN_BR_X, &geometryX_ },
		{ kBottomRightY, SANE_NAME_SCAN_BR_Y, SANE_TITLE_SCAN_BR_Y, SANE_DESC_SCAN_BR_Y, &geometryY_ },
	};
	for (const auto &corner : corners) {
		d[corner.index] = option(corner.name, corner.title, corner.desc, SANE_TYPE_FIXED, SANE_UNIT_MM,
					 sizeof(SANE_Word));
		d[corner.index].constraint_type = SANE_CONSTRAINT_RANGE;
		d[corner.index].constraint.range = corner.range;
	}

	d[kPageWidth] = option(SANE_NAME_PAGE_WIDTH, SANE_TITLE_PAGE_WIDTH, SANE_DESC_PAGE_WIDTH, SANE_TYPE_FIXED,
			       SANE_UNIT_MM, sizeof(SANE_Word));
	d[kPageWidth].constraint_type = SANE_CONSTRAINT_RANGE;
	d[kPageWidth].constraint.range = &geometryX_;
	d[kPageHeight] = option(SANE_NAME_PAGE_HEIGHT, SANE_TITLE_PAGE_HEIGHT, SANE_DESC_PAGE_HEIGHT, SANE_TYPE_FIXED,
				SANE_UNIT_MM, sizeof(SANE_Word));
	d[kPageHeight].constraint_type = SANE_CONSTRAINT_RANGE;
	d[kPageHeight].constraint.range = &geometryY_;
	// A flatbed's page is whatever lies on the glass.
	if (!abilities.sheetFed) {
		d[kPageWidth].cap |= SANE_CAP_INACTIVE;
		d[kPageHeight].cap |= SANE_CAP_INACTIVE;
	}

	d[kGroupEnhancement] = group(SANE_TITLE_ENHANCEMENT);
	d[kCustomGamma] = option(SANE_NAME_CUSTOM_GAMMA, SANE_TITLE_CUSTOM_GAMMA, SANE_DESC_CUSTOM_GAMMA,
				 SANE_TYPE_BOOL, SANE_UNIT_NONE, sizeof(SANE_Word));
	d[kGammaTable] = option(SANE_NAME_GAMMA_VECTOR, SANE_TITLE_GAMMA_VECTOR, SANE_DESC_GAMMA_VECTOR,
				SANE_TYPE_INT, SANE_UNIT_NONE, kGammaEntries * sizeof(SANE_Word));
	d[kGammaTable].constraint_type = SANE_CONSTRAINT_RANGE;
	d[kGammaTable].constraint.range = &gammaRange_;

	d[kGroupSensors] = group(SANE_TITLE_SENSORS);
	if (descriptors_.size() == kFirstButton)
		d[kGroupSensors].cap = SANE_CAP_INACTIVE;
	for (int index = kFirstButton; index < count(); ++index) {
		const int number = buttonNumber(index);
		const bool named = number <= static_cast<int>(std::size(kButtonNames));
		buttonNames_.push_back(named ? kButtonNames[number - 1].name : "button-" + std::to_string(number));
		buttonTitles_.push_back(named ? kButtonNames[number - 1].title : "Button " + std::to_string(number));
	}
	for (int index = kFirstButton; index < count(); ++index) {
		const size_t i = index - kFirstButton;
		d[index] = sensor(buttonNames_[i].c_str(), buttonTitles_[i].c_str());
	}
	updateActiveOptions();
}

// Sheet-fed models scan from the document feeder, flatbed ones from the
// glass; the option names the one source, so that front ends offer "all
// pages from the feeder" for the first.
void DeviceOptions::describeSource()
{
	SANE_Option_Descriptor &source = descriptors_[kSource];
	source = option(SANE_NAME_SCAN_SOURCE, SANE_TITLE_SCAN_SOURCE, SANE_DESC_SCAN_SOURCE, SANE_TYPE_STRING,
			SANE_UNIT_NONE, 8);
	source.constraint_type = SANE_CONSTRAINT_STRING_LIST;
	source.constraint.string_list = abilities_.sheetFed ? kFeederSource : kGlassSource;
}

// The area and the page start as the locale's paper (A4 or Letter), within
// the scanner's area: a front end's first scan is a page, not the scanner's
// longest possible sheet.
void DeviceOptions::setDefaultPage()
{
	const PaperSize paper = paperOfLocale(paperLocaleName());
	pageWidth_ = brX_ = std::min(SANE_FIX(paper.widthMm), geometryX_.max);
	pageHeight_ = brY_ = std::min(SANE_FIX(paper.lengthMm), geometryY_.max);
}

// page-width and page-height: the area becomes the page, from the scanner's
// top-left corner.
SANE_Status DeviceOptions::setPageSize(int option, SANE_Word *value, SANE_Int *changes)
{
	const bool alongX = option == kPageWidth;
	if (clampToRange(value, alongX ? geometryX_ : geometryY_))
		*changes |= SANE_INFO_INEXACT;
	SANE_Fixed &from = alongX ? tlX_ : tlY_, &to = alongX ? brX_ : brY_;
	if (from != 0 || to != *value)
		*changes |= SANE_INFO_RELOAD_OPTIONS;
	(alongX ? pageWidth_ : pageHeight_) = *value;
	from = 0;
	to = *value;
	return SANE_STATUS_GOOD;
}

// An area narrower or shorter than one pixel at the resolution holds no
// image, and sane_start could only refuse it: it is widened here, when it is
// set, by moving the corner just set (or, after a change of resolution, the
// bottom-right one) one pixel away from the other, inwards at the edge.
bool DeviceOptions::keepAreaNonEmpty(int option)
{
	const uint32_t dpi = scanDpi();
	bool changed = false;
	for (const bool alongX : { true, false }) {
		SANE_Fixed &topLeft = alongX ? tlX_ : tlY_, &bottomRight = alongX ? brX_ : brY_;
		if (spanPixels(topLeft, bottomRight, dpi) > 0)
			continue;
		const bool movesTopLeft = option == (alongX ? kTopLeftX : kTopLeftY);
		SANE_Fixed &moved = movesTopLeft ? topLeft : bottomRight;
		const uint32_t fixed = millimetresToUnits(movesTopLeft ? bottomRight : topLeft);
		const SANE_Range &range = alongX ? geometryX_ : geometryY_;
		const uint32_t limit = millimetresToUnits(range.max);
		const SANE_Fixed &other = movesTopLeft ? bottomRight : topLeft;
		// A few units at most: rounding to millimetres and back may lose one.
		for (uint32_t span = (300 + dpi - 1) / dpi; spanPixels(moved, other, dpi) == 0 && span <= 600; ++span)
			moved = std::min(range.max, unitsToMillimetres(unitsAway(fixed, span, limit)));
		changed = true;
	}
	return changed;
}

int DeviceOptions::count() const
{
	return static_cast<int>(descriptors_.size());
}

const SANE_Option_Descriptor *DeviceOptions::descriptor(int option) const
{
	return option >= 0 && option < count() ? &descriptors_[option] : nullptr;
}

void DeviceOptions::updateActiveOptions()
{
	const client::ScanMode mode = scanMode();
	auto setActive = [this](int option, bool active) {
		if (active)
			descriptors_[option].cap &= ~SANE_CAP_INACTIVE;
		else
			descriptors_[option].cap |= SANE_CAP_INACTIVE;
	};
	setActive(kHalftonePattern, mode == client::ScanMode::Halftone);
	setActive(kColourFilter, mode != client::ScanMode::Colour);
	setActive(kGammaTable, customGamma_ == SANE_TRUE);
}

client::ScanMode DeviceOptions::scanMode() const
{
	return kModes[mode_];
}

uint32_t DeviceOptions::scanDpi() const
{
	return static_cast<uint32_t>(preview_ ? std::min(resolution_, kPreviewResolution) : resolution_);
}

SANE_Status DeviceOptions::get(int option, void *value) const
{
	auto *word = static_cast<SANE_Word *>(value);
	switch (option) {
	case kNumOptions:
		*word = count();
		return SANE_STATUS_GOOD;
	case kMode:
		std::strcpy(static_cast<char *>(value), kModeNames[mode_]);
		return SANE_STATUS_GOOD;
	case kColourFilter:
		std::strcpy(static_cast<char *>(value), kFilterNames[colourFilter_]);
		return SANE_STATUS_GOOD;
	case kSource:
		std::strcpy(static_cast<char *>(value), descriptors_[kSource].constraint.string_list[0]);
		return SANE_STATUS_GOOD;
	case kResolution:
		*word = resolution_;
		return SANE_STATUS_GOOD;
	case kPreview:
		*word = preview_;
		return SANE_STATUS_GOOD;
	case kHalftonePattern:
		*word = halftonePattern_;
		return SANE_STATUS_GOOD;
	case kTopLeftX:
		*word = tlX_;
		return SANE_STATUS_GOOD;
	case kTopLeftY:
		*word = tlY_;
		return SANE_STATUS_GOOD;
	case kBottomRightX:
		*word = brX_;
		return SANE_STATUS_GOOD;
	case kBottomRightY:
		*word = brY_;
		return SANE_STATUS_GOOD;
	case kPageWidth:
		*word = pageWidth_;
		return SANE_STATUS_GOOD;
	case kPageHeight:
		*word = pageHeight_;
		return SANE_STATUS_GOOD;
	case kCustomGamma:
		*word = customGamma_;
		return SANE_STATUS_GOOD;
	case kGammaTable:
		std::copy(gammaTable_.begin(), gammaTable_.end(), word);
		return SANE_STATUS_GOOD;
	default:
		return SANE_STATUS_INVAL;
	}
}

SANE_Status DeviceOptions::set(int option, void *value, SANE_Int *info)
{
	SANE_Int changes = 0;
	const SANE_Parameters before = parameters();
	const std::vector<SANE_Option_Descriptor> activeBefore = descriptors_;
	auto *word = static_cast<SANE_Word *>(value);

	switch (option) {
	case kMode:
	case kColourFilter: {
		const int index = indexOf(option == kMode ? kModeNames : kFilterNames, value, descriptors_[option].size);
		if (index < 0)
			return SANE_STATUS_INVAL;
		(option == kMode ? mode_ : colourFilter_) = index;
		break;
	}
	case kSource:
		// The one source there is.
		if (indexOf(descriptors_[kSource].constraint.string_list, value, descriptors_[kSource].size) != 0)
			return SANE_STATUS_INVAL;
		break;
	case kResolution: {
		const SANE_Word nearest = nearestResolution(*word);
		if (nearest != *word)
			changes |= SANE_INFO_INEXACT;
		resolution_ = *word = nearest;
		break;
	}
	case kPreview:
	case kCustomGamma:
		if (*word != SANE_TRUE && *word != SANE_FALSE)
			return SANE_STATUS_INVAL;
		(option == kPreview ? preview_ : customGamma_) = *word;
		break;
	case kHalftonePattern:
		if (clampToRange(word, halftoneRange_))
			changes |= SANE_INFO_INEXACT;
		halftonePattern_ = *word;
		break;
	case kTopLeftX:
	case kTopLeftY:
	case kBottomRightX:
	case kBottomRightY: {
		const bool alongX = option == kTopLeftX || option == kBottomRightX;
		if (clampToRange(word, alongX ? geometryX_ : geometryY_))
			changes |= SANE_INFO_INEXACT;
		SANE_Fixed *corner[] = { &tlX_, &tlY_, &brX_, &brY_ };
		*corner[option - kTopLeftX] = *word;
		if (keepAreaNonEmpty(option)) {
			*word = *corner[option - kTopLeftX];
			changes |= SANE_INFO_INEXACT;
		}
		break;
	}
	case kPageWidth:
	case kPageHeight:
		setPageSize(option, word, &changes);
		break;
	case kGammaTable:
		for (int i = 0; i < kGammaEntries; ++i) {
			if (clampToRange(&word[i], gammaRange_))
				changes |= SANE_INFO_INEXACT;
			gammaTable_[i] = word[i];
		}
		break;
	default:
		return SANE_STATUS_INVAL;
	}

	// A lower resolution may leave the area less than a pixel wide.
	if ((option == kResolution || option == kPreview || option == kPageWidth || option == kPageHeight) &&
	    keepAreaNonEmpty(option))
		changes |= SANE_INFO_RELOAD_OPTIONS;
	updateActiveOptions();
	for (int i = 0; i < count(); ++i)
		if ((activeBefore[i].cap & SANE_CAP_INACTIVE) != (descriptors_[i].cap & SANE_CAP_INACTIVE))
			changes |= SANE_INFO_RELOAD_OPTIONS;
	const SANE_Parameters after = parameters();
	if (std::memcmp(&before, &after, sizeof(before)) != 0)
		changes |= SANE_INFO_RELOAD_PARAMS;
	if (info)
		*info = changes;
	return SANE_STATUS_GOOD;
}

client::WindowResult DeviceOptions::window() const
{
	client::WindowRequest request;
	request.mode = scanMode();
	request.dpi = scanDpi();
	// Corners given the wrong way round are taken as the area they span.
	const uint32_t left = millimetresToUnits(std::min(tlX_, brX_));
	const uint32_t right = millimetresToUnits(std::max(tlX_, brX_));
	const uint32_t top = millimetresToUnits(std::min(tlY_, brY_));
	const uint32_t bottom = millimetresToUnits(std::max(tlY_, brY_));
	request.left = left;
	request.top = top;
	request.width = right - left;
	request.length = bottom - top;
	request.colourFilter = scanMode() == client::ScanMode::Colour ? 0 : static_cast<uint8_t>(colourFilter_);
	request.halftonePattern = static_cast<uint8_t>(halftonePattern_);
	return client::planWindow(request);
}

SANE_Parameters DeviceOptions::parameters() const
{
	const client::WindowResult result = window();
	SANE_Parameters p{};
	p.format = scanMode() == client::ScanMode::Colour ? SANE_FRAME_RGB : SANE_FRAME_GRAY;
	p.last_frame = SANE_TRUE;
	p.depth = scanMode() == client::ScanMode::Colour || scanMode() == client::ScanMode::Grey ? 8 : 1;
	if (result.error.empty()) {
		p.pixels_per_line = static_cast<SANE_Int>(result.window.pixels);
		p.lines = static_cast<SANE_Int>(result.window.lines);
		p.bytes_per_line = static_cast<SANE_Int>(result.window.bytesPerLine);
	}
	return p;
}

std::array<unsigned char, kGammaEntries> DeviceOptions::toneCurve() const
{
	std::array<unsigned char, kGammaEntries> curve{};
	if (customGamma_) {
		for (int i = 0; i < kGammaEntries; ++i)
			curve[i] = static_cast<unsigned char>(gammaTable_[i]);
	} else {
		client::buildGammaTable(1.0, curve.data());
	}
	return curve;
}

} // namespace torvane::sane
