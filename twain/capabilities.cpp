// SPDX-License-Identifier: MIT
// The capability table: negotiation (get, set, reset, query) and the scan
// the current values describe.

#include "twain/capabilities.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace torvane::twain {

namespace {

constexpr double kUnitsPerInch = 300.0; // the driver's area unit
// More items than any capability has: a container claiming more is broken.
constexpr uint32_t kMaxContainerItems = 4096;

// The resolutions the driver serves well (the same list as the SANE backend's).
constexpr double kResolutions[] = { 50, 75, 100, 150, 200, 300, 400, 600, 1200 };

// The six halftone patterns of the driver, HTPatternNo 1 to 6.
constexpr const char *kHalftoneNames[] = { "Pattern 1", "Pattern 2", "Pattern 3",
					   "Pattern 4", "Pattern 5", "Pattern 6" };

struct PaperSize {
	TW_UINT16 code;
	double width, length; // inches
};
constexpr PaperSize kPaperSizes[] = {
	{ TWSS_A4, 210 / 25.4, 297 / 25.4 },
	{ TWSS_USLETTER, 8.5, 11.0 },
	{ TWSS_USLEGAL, 8.5, 14.0 },
	{ TWSS_A5, 148 / 25.4, 210 / 25.4 },
	{ TWSS_JISB5, 182 / 25.4, 257 / 25.4 },
};

constexpr TW_UINT16 kSupported[] = { CAP_SUPPORTEDCAPS, CAP_SUPPORTEDDATS, CAP_UICONTROLLABLE,
				     CAP_DEVICEONLINE, CAP_DEVICEEVENT, CAP_DOUBLEFEEDDETECTION, CAP_INDICATORS, CAP_XFERCOUNT,
				     CAP_FEEDERENABLED, CAP_FEEDERLOADED, CAP_AUTOFEED,
				     CAP_PAPERDETECTABLE, ICAP_PIXELTYPE, ICAP_BITDEPTH,
				     ICAP_BITDEPTHREDUCTION, ICAP_HALFTONES, ICAP_FILTER,
				     ICAP_XRESOLUTION, ICAP_YRESOLUTION, ICAP_UNITS,
				     ICAP_PHYSICALWIDTH, ICAP_PHYSICALHEIGHT, ICAP_SUPPORTEDSIZES,
				     ICAP_FRAMES, ICAP_XFERMECH, ICAP_IMAGEFILEFORMAT,
				     ICAP_COMPRESSION, ICAP_PIXELFLAVOR, ICAP_BITORDER,
				     ICAP_PLANARCHUNKY };

// The triplets' data types the source answers, as DG << 16 | DAT.
constexpr TW_UINT32 kSupportedDats[] = {
	DG_CONTROL << 16 | DAT_CAPABILITY,
	DG_CONTROL << 16 | DAT_DEVICEEVENT,
	DG_CONTROL << 16 | DAT_EVENT,
	DG_CONTROL << 16 | DAT_IDENTITY,
	DG_CONTROL << 16 | DAT_PENDINGXFERS,
	DG_CONTROL << 16 | DAT_SETUPMEMXFER,
	DG_CONTROL << 16 | DAT_SETUPFILEXFER,
	DG_CONTROL << 16 | DAT_STATUS,
	DG_CONTROL << 16 | DAT_USERINTERFACE,
	DG_CONTROL << 16 | DAT_XFERGROUP,
	DG_CONTROL << 16 | DAT_CALLBACK,
	DG_CONTROL << 16 | DAT_STATUSUTF8,
	DG_CONTROL << 16 | DAT_CALLBACK2,
	DG_CONTROL << 16 | DAT_ENTRYPOINT,
	DG_IMAGE << 16 | DAT_IMAGEINFO,
	DG_IMAGE << 16 | DAT_IMAGELAYOUT,
	DG_IMAGE << 16 | DAT_IMAGEMEMXFER,
	DG_IMAGE << 16 | DAT_IMAGENATIVEXFER,
	DG_IMAGE << 16 | DAT_IMAGEFILEXFER,
	DG_IMAGE << 16 | DAT_GRAYRESPONSE,
	DG_IMAGE << 16 | DAT_RGBRESPONSE,
};

uint32_t itemSize(TW_UINT16 type)
{
	switch (type) {
	case TWTY_INT8:
	case TWTY_UINT8:
		return 1;
	case TWTY_INT16:
	case TWTY_UINT16:
	case TWTY_BOOL:
		return 2;
	case TWTY_FRAME:
		return sizeof(TW_FRAME);
	case TWTY_STR32:
		return sizeof(TW_STR32);
	default:
		return 4;
	}
}

TW_FIX32 toFix32(double value)
{
	const long scaled = std::lround(value * 65536.0);
	TW_FIX32 fix;
	fix.Whole = static_cast<TW_INT16>(scaled >> 16);
	fix.Frac = static_cast<TW_UINT16>(scaled & 0xFFFF);
	return fix;
}

double fromFix32(TW_FIX32 fix)
{
	return fix.Whole + fix.Frac / 65536.0;
}

uint32_t fix32Bits(double value)
{
	const TW_FIX32 fix = toFix32(value);
	uint32_t bits;
	std::memcpy(&bits, &fix, 4);
	return bits;
}

// An item at `at` as a number, read as `type` says.
double readItem(const uint8_t *at, TW_UINT16 type)
{
	switch (type) {
	case TWTY_INT8:
		return static_cast<int8_t>(at[0]);
	case TWTY_UINT8:
		return at[0];
	case TWTY_INT16: {
		int16_t v;
		std::memcpy(&v, at, 2);
		return v;
	}
	case TWTY_UINT16:
	case TWTY_BOOL: {
		uint16_t v;
		std::memcpy(&v, at, 2);
		return v;
	}
	case TWTY_INT32: {
		int32_t v;
		std::memcpy(&v, at, 4);
		return v;
	}
	case TWTY_FIX32: {
		TW_FIX32 v;
		std::memcpy(&v, at, 4);
		return fromFix32(v);
	}
	default: {
		uint32_t v;
		std::memcpy(&v, at, 4);
		return v;
	}
	}
}

void writeNumber(uint8_t *at, TW_UINT16 type, double value)
{
	switch (type) {
	case TWTY_INT16: {
		const int16_t v = static_cast<int16_t>(value);
		std::memcpy(at, &v, 2);
		break;
	}
	case TWTY_UINT16:
	case TWTY_BOOL: {
		const uint16_t v = static_cast<uint16_t>(value);
		std::memcpy(at, &v, 2);
		break;
	}
	case TWTY_FIX32: {
		const uint32_t v = fix32Bits(value);
		std::memcpy(at, &v, 4);
		break;
	}
	case TWTY_INT32: {
		const int32_t v = static_cast<int32_t>(value);
		std::memcpy(at, &v, 4);
		break;
	}
	case TWTY_STR32: { // a halftone name by its index
		char name[sizeof(TW_STR32)] = {};
		const size_t index = static_cast<size_t>(value);
		if (index < std::size(kHalftoneNames))
			std::strncpy(name, kHalftoneNames[index], sizeof(name) - 1);
		std::memcpy(at, name, sizeof(name));
		break;
	}
	default: {
		const uint32_t v = static_cast<uint32_t>(value);
		std::memcpy(at, &v, 4);
		break;
	}
	}
}

double nearestResolution(double asked)
{
	double best = kResolutions[0];
	for (double r : kResolutions)
		if (std::fabs(r - asked) < std::fabs(best - asked))
			best = r;
	return best;
}

} // namespace

std::vector<TW_UINT16> supportedCapabilities()
{
	return { std::begin(kSupported), std::end(kSupported) };
}

void Capabilities::describe(const ScannerAbility &ability)
{
	widthInches_ = ability.ScanWidth / kUnitsPerInch;
	lengthInches_ = ability.ScanLength / kUnitsPerInch;
	// Kind code 1 (flag 0x40) is a flatbed; the others feed sheets.
	sheetFed_ = (ability.KindFlags & 0x40) == 0;
	build();
}

void Capabilities::build()
{
	table_.clear();
	auto add = [this](TW_UINT16 id, TW_UINT16 type, TW_UINT16 container, std::vector<double> allowed,
			  double defaultValue, bool readOnly = false, bool length = false) {
		Entry entry;
		entry.id = id;
		entry.itemType = type;
		entry.container = container;
		entry.readOnly = readOnly;
		entry.length = length;
		entry.allowed = std::move(allowed);
		entry.current = entry.defaultValue = defaultValue;
		table_.push_back(entry);
	};
	std::vector<double> caps(std::begin(kSupported), std::end(kSupported));
	std::vector<double> dats(std::begin(kSupportedDats), std::end(kSupportedDats));
	const double feeder = sheetFed_ ? 1 : 0;
	add(CAP_SUPPORTEDCAPS, TWTY_UINT16, TWON_ARRAY, caps, 0, true);
	add(CAP_SUPPORTEDDATS, TWTY_UINT32, TWON_ARRAY, dats, 0, true);
	add(CAP_UICONTROLLABLE, TWTY_BOOL, TWON_ONEVALUE, { 1 }, 1, true);
	add(CAP_DEVICEONLINE, TWTY_BOOL, TWON_ONEVALUE, { 1 }, 1, true);
	// The events the source can report; which of them the application
	// wants is deviceEvents_ (none until it sets them).
	std::vector<double> events{ TWDE_DEVICEOFFLINE, TWDE_DEVICEREMOVED };
	if (sheetFed_)
		events.insert(events.end(), { TWDE_PAPERDOUBLEFEED, TWDE_PAPERJAM });
	add(CAP_DEVICEEVENT, TWTY_UINT16, TWON_ARRAY, events, 0);
	deviceEvents_.clear();
	// The feeder's ultrasonic double-feed sensor, off until it is chosen.
	add(CAP_DOUBLEFEEDDETECTION, TWTY_UINT16, TWON_ARRAY, sheetFed_ ? std::vector<double>{ TWDF_ULTRASONIC } : std::vector<double>{}, 0);
	doubleFeedSensors_.clear();
	add(CAP_INDICATORS, TWTY_BOOL, TWON_ONEVALUE, { 0, 1 }, 1);
	add(CAP_XFERCOUNT, TWTY_INT16, TWON_ONEVALUE, {}, -1);
	add(CAP_FEEDERENABLED, TWTY_BOOL, TWON_ONEVALUE, { feeder }, feeder);
	add(CAP_FEEDERLOADED, TWTY_BOOL, TWON_ONEVALUE, { feeder }, feeder, true);
	add(CAP_AUTOFEED, TWTY_BOOL, TWON_ONEVALUE, { feeder }, feeder);
	add(CAP_PAPERDETECTABLE, TWTY_BOOL, TWON_ONEVALUE, { 0 }, 0, true);
	add(ICAP_PIXELTYPE, TWTY_UINT16, TWON_ENUMERATION, { TWPT_BW, TWPT_GRAY, TWPT_RGB }, TWPT_RGB);
	add(ICAP_BITDEPTH, TWTY_UINT16, TWON_ENUMERATION, { 24 }, 24);
	add(ICAP_BITDEPTHREDUCTION, TWTY_UINT16, TWON_ENUMERATION, { TWBR_THRESHOLD, TWBR_HALFTONE }, TWBR_THRESHOLD);
	add(ICAP_HALFTONES, TWTY_STR32, TWON_ENUMERATION, { 0, 1, 2, 3, 4, 5 }, 0);
	add(ICAP_FILTER, TWTY_UINT16, TWON_ENUMERATION, { TWFT_RED, TWFT_GREEN, TWFT_BLUE, TWFT_NONE }, TWFT_NONE);
	const std::vector<double> resolutions(std::begin(kResolutions), std::end(kResolutions));
	add(ICAP_XRESOLUTION, TWTY_FIX32, TWON_ENUMERATION, resolutions, 300);
	add(ICAP_YRESOLUTION, TWTY_FIX32, TWON_ENUMERATION, resolutions, 300);
	add(ICAP_UNITS, TWTY_UINT16, TWON_ENUMERATION, { TWUN_INCHES, TWUN_CENTIMETERS, TWUN_POINTS, TWUN_PIXELS },
	    TWUN_INCHES);
	add(ICAP_PHYSICALWIDTH, TWTY_FIX32, TWON_ONEVALUE, { widthInches_ }, widthInches_, true, true);
	add(ICAP_PHYSICALHEIGHT, TWTY_FIX32, TWON_ONEVALUE, { lengthInches_ }, lengthInches_, true, true);
	std::vector<double> sizes{ TWSS_NONE };
	for (const PaperSize &size : kPaperSizes)
		if (size.width <= widthInches_ + 1e-6 && size.length <= lengthInches_ + 1e-6)
			sizes.push_back(size.code);
	add(ICAP_SUPPORTEDSIZES, TWTY_UINT16, TWON_ENUMERATION, sizes, TWSS_NONE);
	add(ICAP_FRAMES, TWTY_FRAME, TWON_ONEVALUE, {}, 0);
	add(ICAP_XFERMECH, TWTY_UINT16, TWON_ENUMERATION, { TWSX_NATIVE, TWSX_FILE, TWSX_MEMORY }, TWSX_NATIVE);
	add(ICAP_IMAGEFILEFORMAT, TWTY_UINT16, TWON_ENUMERATION, { TWFF_TIFF, TWFF_BMP, TWFF_PNG }, TWFF_BMP);
	add(ICAP_COMPRESSION, TWTY_UINT16, TWON_ENUMERATION, { TWCP_NONE }, TWCP_NONE);
	add(ICAP_PIXELFLAVOR, TWTY_UINT16, TWON_ENUMERATION, { TWPF_CHOCOLATE, TWPF_VANILLA }, TWPF_CHOCOLATE);
	add(ICAP_BITORDER, TWTY_UINT16, TWON_ENUMERATION, { TWBO_MSBFIRST }, TWBO_MSBFIRST);
	add(ICAP_PLANARCHUNKY, TWTY_UINT16, TWON_ENUMERATION, { TWPC_CHUNKY }, TWPC_CHUNKY);
	frame_ = Frame{ 0, 0, widthInches_, lengthInches_ };
}

void Capabilities::setFeederLoaded(bool loaded)
{
	find(CAP_FEEDERLOADED)->current = loaded && sheetFed_ ? 1 : 0;
}

bool Capabilities::reports(TW_UINT16 event) const
{
	return std::find(deviceEvents_.begin(), deviceEvents_.end(), event) != deviceEvents_.end();
}

bool Capabilities::doubleFeedSensorOn() const
{
	return !doubleFeedSensors_.empty();
}

CapResult Capabilities::chosenList(TW_UINT16 msg, TW_CAPABILITY &capability, const HandleMemory &memory,
				   bool settable)
{
	std::vector<TW_UINT16> &list = capability.Cap == CAP_DEVICEEVENT ? deviceEvents_ : doubleFeedSensors_;
	if (msg == MSG_SET || msg == MSG_RESET) {
		if (!settable)
			return { TWRC_FAILURE, TWCC_CAPSEQERROR };
		std::vector<TW_UINT16> chosen;
		if (msg == MSG_SET) {
			const CapResult read = readChoices(capability, memory, &chosen);
			if (read.rc != TWRC_SUCCESS)
				return read;
		}
		list = std::move(chosen);
		if (msg == MSG_SET)
			return {};
	}
	if (msg == MSG_QUERYSUPPORT)
		return write(*find(capability.Cap), msg, capability, memory);
	// GET and GETCURRENT: the items chosen; GETDEFAULT: none.
	const std::vector<TW_UINT16> none;
	const std::vector<TW_UINT16> &events = msg == MSG_GETDEFAULT ? none : list;
	const uint32_t count = static_cast<uint32_t>(events.size());
	TW_HANDLE handle = memory.allocate(6 + 2 * std::max<uint32_t>(count, 1));
	auto *at = static_cast<uint8_t *>(handle ? memory.lock(handle) : nullptr);
	if (!at) {
		memory.release(handle);
		return { TWRC_FAILURE, TWCC_LOWMEMORY };
	}
	const TW_UINT16 type = TWTY_UINT16;
	std::memcpy(at, &type, 2);
	std::memcpy(at + 2, &count, 4);
	std::memcpy(at + 6, events.data(), 2 * size_t(count));
	memory.unlock(handle);
	capability.ConType = TWON_ARRAY;
	capability.hContainer = handle;
	return {};
}

CapResult Capabilities::readChoices(const TW_CAPABILITY &capability, const HandleMemory &memory,
				    std::vector<TW_UINT16> *chosen) const
{
	if (capability.ConType != TWON_ARRAY || !capability.hContainer)
		return { TWRC_FAILURE, TWCC_BADVALUE };
	const auto *at = static_cast<const uint8_t *>(memory.lock(capability.hContainer));
	if (!at)
		return { TWRC_FAILURE, TWCC_BADVALUE };
	TW_UINT16 type;
	uint32_t count;
	std::memcpy(&type, at, 2);
	std::memcpy(&count, at + 2, 4);
	// The handle's size is not known: a list longer than every event there
	// is (17) is refused before it is read.
	const std::vector<double> &supported = find(capability.Cap)->allowed;
	bool known = type == TWTY_UINT16 && count <= 17;
	for (uint32_t i = 0; known && i < count; ++i) {
		TW_UINT16 event;
		std::memcpy(&event, at + 6 + 2 * size_t(i), 2);
		known = std::find(supported.begin(), supported.end(), event) != supported.end();
		chosen->push_back(event);
	}
	memory.unlock(capability.hContainer);
	return known ? CapResult{} : CapResult{ TWRC_FAILURE, TWCC_BADVALUE };
}

void Capabilities::resetAll()
{
	deviceEvents_.clear();
	doubleFeedSensors_.clear();
	for (Entry &entry : table_)
		entry.current = entry.defaultValue;
	followPixelType();
	resetLayout();
}

Capabilities::Entry *Capabilities::find(TW_UINT16 id)
{
	for (Entry &entry : table_)
		if (entry.id == id)
			return &entry;
	return nullptr;
}

const Capabilities::Entry *Capabilities::find(TW_UINT16 id) const
{
	return const_cast<Capabilities *>(this)->find(id);
}

double Capabilities::value(TW_UINT16 id) const
{
	const Entry *entry = find(id);
	return entry ? entry->current : 0;
}

double Capabilities::perInch() const
{
	switch (static_cast<TW_UINT16>(value(ICAP_UNITS))) {
	case TWUN_CENTIMETERS:
		return 2.54;
	case TWUN_POINTS:
		return 72.0;
	case TWUN_PIXELS:
		return value(ICAP_XRESOLUTION);
	default:
		return 1.0;
	}
}

bool Capabilities::invertedRows() const
{
	// The driver's 1-bit pixels are 1 = black (vanilla), its grey and
	// colour samples 0 = black (chocolate).
	const TW_UINT16 native = pixelType() == TWPT_BW ? TWPF_VANILLA : TWPF_CHOCOLATE;
	return static_cast<TW_UINT16>(value(ICAP_PIXELFLAVOR)) != native;
}

bool Capabilities::codedInGroup4() const
{
	if (static_cast<TW_UINT16>(value(ICAP_COMPRESSION)) != TWCP_GROUP4)
		return false;
	// Native transfers are DIBs, BMP and PNG files have their own coding.
	return transferMechanism() == TWSX_MEMORY || (transferMechanism() == TWSX_FILE && fileFormat() == TWFF_TIFF);
}

void Capabilities::followPixelType()
{
	Entry *depth = find(ICAP_BITDEPTH);
	const double bits = pixelType() == TWPT_BW ? 1 : pixelType() == TWPT_GRAY ? 8
										  : 24;
	depth->allowed = { bits };
	depth->current = bits;
	depth->defaultValue = bits;
	// CCITT Group 4 codes black and white only.
	Entry *compression = find(ICAP_COMPRESSION);
	compression->allowed = { TWCP_NONE };
	if (pixelType() == TWPT_BW)
		compression->allowed.push_back(TWCP_GROUP4);
	else
		compression->current = TWCP_NONE;
}

CapResult Capabilities::write(const Entry &entry, TW_UINT16 msg, TW_CAPABILITY &capability,
			      const HandleMemory &memory) const
{
	const TW_UINT16 type = entry.itemType;
	const uint32_t size = itemSize(type);
	const double scale = entry.length ? perInch() : 1.0;
	const bool whole = msg == MSG_GET && (entry.container == TWON_ENUMERATION || entry.container == TWON_ARRAY);
	const TW_UINT16 container = msg == MSG_QUERYSUPPORT	    ? TWON_ONEVALUE
				    : entry.container == TWON_ARRAY ? TWON_ARRAY
				    : whole			    ? entry.container
								    : TWON_ONEVALUE;
	const std::vector<double> one{ msg == MSG_GETDEFAULT ? entry.defaultValue : entry.current };
	const std::vector<double> &items = container == TWON_ONEVALUE ? one : entry.allowed;
	const uint32_t header = container == TWON_ENUMERATION ? 14 : container == TWON_ARRAY ? 6
											     : 2;
	const uint32_t bytes = header + size * static_cast<uint32_t>(std::max<size_t>(items.size(), 1));
	TW_HANDLE handle = memory.allocate(std::max<uint32_t>(bytes, sizeof(TW_ONEVALUE)));
	auto *at = static_cast<uint8_t *>(handle ? memory.lock(handle) : nullptr);
	if (!at) {
		memory.release(handle);
		return { TWRC_FAILURE, TWCC_LOWMEMORY };
	}
	std::memset(at, 0, bytes);
	const TW_UINT16 shownType = msg == MSG_QUERYSUPPORT ? TW_UINT16(TWTY_INT32) : type;
	std::memcpy(at, &shownType, 2);
	if (msg == MSG_QUERYSUPPORT) {
		const TW_INT32 flags = TWQC_GET | TWQC_GETCURRENT | TWQC_GETDEFAULT |
				       (entry.readOnly ? 0 : TWQC_SET | TWQC_RESET);
		std::memcpy(at + 2, &flags, 4);
	} else if (type == TWTY_FRAME) {
		TW_FRAME frame{};
		const Frame f = msg == MSG_GETDEFAULT ? Frame{ 0, 0, widthInches_, lengthInches_ } : frame_;
		const double s = perInch();
		frame = { toFix32(f.left * s), toFix32(f.top * s), toFix32(f.right * s), toFix32(f.bottom * s) };
		std::memcpy(at + 2, &frame, sizeof(frame));
	} else {
		if (container != TWON_ONEVALUE) {
			const uint32_t count = static_cast<uint32_t>(items.size());
			std::memcpy(at + 2, &count, 4);
		}
		if (container == TWON_ENUMERATION) {
			auto indexOf = [&](double v) {
				const auto found = std::find(items.begin(), items.end(), v);
				return static_cast<uint32_t>(found == items.end() ? 0 : found - items.begin());
			};
			const uint32_t current = indexOf(entry.current), defaultIndex = indexOf(entry.defaultValue);
			std::memcpy(at + 6, &current, 4);
			std::memcpy(at + 10, &defaultIndex, 4);
		}
		for (size_t i = 0; i < items.size(); ++i)
			writeNumber(at + header + i * size, type, items[i] * scale);
	}
	memory.unlock(handle);
	capability.ConType = container;
	capability.hContainer = handle;
	return {};
}

CapResult Capabilities::handle(TW_UINT16 msg, TW_CAPABILITY &capability, const HandleMemory &memory, bool settable)
{
	Entry *entry = find(capability.Cap);
	if (!entry)
		return { TWRC_FAILURE, TWCC_CAPUNSUPPORTED };
	if ((entry->id == CAP_DEVICEEVENT || entry->id == CAP_DOUBLEFEEDDETECTION) && msg != MSG_RESETALL)
		return chosenList(msg, capability, memory, settable);
	switch (msg) {
	case MSG_GET:
	case MSG_GETCURRENT:
	case MSG_GETDEFAULT:
	case MSG_QUERYSUPPORT:
		return write(*entry, msg, capability, memory);
	case MSG_SET:
	case MSG_RESET: {
		if (entry->readOnly)
			return { TWRC_FAILURE, TWCC_CAPBADOPERATION };
		if (!settable)
			return { TWRC_FAILURE, TWCC_CAPSEQERROR };
		CapResult result;
		if (msg == MSG_SET) {
			result = set(*entry, capability, memory);
		} else {
			entry->current = entry->defaultValue;
			if (entry->id == ICAP_FRAMES)
				resetLayout();
			if (entry->id == ICAP_XRESOLUTION || entry->id == ICAP_YRESOLUTION) {
				find(ICAP_XRESOLUTION)->current = find(ICAP_YRESOLUTION)->current = entry->current;
			}
		}
		if (entry->id == ICAP_PIXELTYPE)
			followPixelType();
		if (msg == MSG_RESET) {
			const CapResult written = write(*entry, MSG_GETCURRENT, capability, memory);
			if (written.rc != TWRC_SUCCESS)
				return written;
		}
		return result;
	}
	default:
		return { TWRC_FAILURE, TWCC_CAPBADOPERATION };
	}
}

CapResult Capabilities::set(Entry &entry, const TW_CAPABILITY &capability, const HandleMemory &memory)
{
	if (!capability.hContainer)
		return { TWRC_FAILURE, TWCC_BADVALUE };
	const auto *at = static_cast<const uint8_t *>(memory.lock(capability.hContainer));
	if (!at)
		return { TWRC_FAILURE, TWCC_BADVALUE };
	TW_UINT16 type;
	std::memcpy(&type, at, 2);
	const uint8_t *item = nullptr;
	if (capability.ConType == TWON_ONEVALUE) {
		item = at + 2;
	} else if (capability.ConType == TWON_ENUMERATION) {
		uint32_t count, current;
		std::memcpy(&count, at + 2, 4);
		std::memcpy(&current, at + 6, 4);
		// An index past the items the container says it has is not read.
		if (current < count && count <= kMaxContainerItems)
			item = at + 14 + size_t(current) * itemSize(type);
	}
	if (!item || (entry.itemType == TWTY_FRAME) != (type == TWTY_FRAME) ||
	    (entry.itemType == TWTY_STR32) != (type == TWTY_STR32)) {
		memory.unlock(capability.hContainer);
		return { TWRC_FAILURE, TWCC_BADVALUE };
	}
	if (type == TWTY_STR32) {
		char name[sizeof(TW_STR32) + 1] = {};
		std::memcpy(name, item, sizeof(TW_STR32));
		memory.unlock(capability.hContainer);
		for (size_t i = 0; i < std::size(kHalftoneNames); ++i)
			if (std::strcmp(name, kHalftoneNames[i]) == 0) {
				entry.current = static_cast<double>(i);
				return {};
			}
		return { TWRC_FAILURE, TWCC_BADVALUE };
	}
	if (type == TWTY_FRAME) {
		TW_FRAME f;
		std::memcpy(&f, item, sizeof(f));
		memory.unlock(capability.hContainer);
		const double s = perInch();
		return setFrame({ fromFix32(f.Left) / s, fromFix32(f.Top) / s, fromFix32(f.Right) / s,
				  fromFix32(f.Bottom) / s });
	}
	const double asked = readItem(item, type);
	memory.unlock(capability.hContainer);
	return setNumber(entry, asked);
}

CapResult Capabilities::setNumber(Entry &entry, double asked)
{
	if (entry.id == CAP_XFERCOUNT) {
		if (asked != -1 && (asked < 1 || asked > 32767))
			return { TWRC_FAILURE, TWCC_BADVALUE };
		entry.current = asked;
		return {};
	}
	if (entry.id == ICAP_XRESOLUTION || entry.id == ICAP_YRESOLUTION) {
		// The driver scans both axes at one resolution: one value for both.
		const double nearest = nearestResolution(asked);
		find(ICAP_XRESOLUTION)->current = find(ICAP_YRESOLUTION)->current = nearest;
		return nearest == asked ? CapResult{} : CapResult{ TWRC_CHECKSTATUS, TWCC_SUCCESS };
	}
	if (std::find(entry.allowed.begin(), entry.allowed.end(), asked) == entry.allowed.end())
		return { TWRC_FAILURE, TWCC_BADVALUE };
	entry.current = asked;
	if (entry.id == ICAP_PIXELTYPE)
		followPixelType();
	if (entry.id == ICAP_SUPPORTEDSIZES) {
		for (const PaperSize &size : kPaperSizes)
			if (size.code == asked)
				frame_ = Frame{ 0, 0, size.width, size.length };
		if (asked == TWSS_NONE)
			frame_ = Frame{ 0, 0, widthInches_, lengthInches_ };
	}
	return {};
}

bool Capabilities::choose(TW_UINT16 id, double value)
{
	Entry *entry = find(id);
	return entry && !entry->readOnly && setNumber(*entry, value).rc != TWRC_FAILURE;
}

std::vector<double> Capabilities::allowedValues(TW_UINT16 id) const
{
	const Entry *entry = find(id);
	return entry ? entry->allowed : std::vector<double>{};
}

CapResult Capabilities::setFrame(const Frame &asked)
{
	const Frame fitted{ std::clamp(asked.left, 0.0, widthInches_), std::clamp(asked.top, 0.0, lengthInches_),
			    std::clamp(asked.right, 0.0, widthInches_), std::clamp(asked.bottom, 0.0, lengthInches_) };
	if (fitted.right <= fitted.left || fitted.bottom <= fitted.top)
		return { TWRC_FAILURE, TWCC_BADVALUE };
	frame_ = fitted;
	find(ICAP_SUPPORTEDSIZES)->current = TWSS_NONE;
	const bool same = std::fabs(fitted.left - asked.left) < 1e-4 && std::fabs(fitted.top - asked.top) < 1e-4 &&
			  std::fabs(fitted.right - asked.right) < 1e-4 && std::fabs(fitted.bottom - asked.bottom) < 1e-4;
	return same ? CapResult{} : CapResult{ TWRC_CHECKSTATUS, TWCC_SUCCESS };
}

TW_IMAGELAYOUT Capabilities::layout() const
{
	const double s = perInch();
	TW_IMAGELAYOUT layout{};
	layout.Frame = { toFix32(frame_.left * s), toFix32(frame_.top * s), toFix32(frame_.right * s),
			 toFix32(frame_.bottom * s) };
	layout.DocumentNumber = layout.PageNumber = layout.FrameNumber = 1;
	return layout;
}

TW_IMAGELAYOUT Capabilities::defaultLayout() const
{
	const double s = perInch();
	TW_IMAGELAYOUT layout{};
	layout.Frame = { toFix32(0), toFix32(0), toFix32(widthInches_ * s), toFix32(lengthInches_ * s) };
	layout.DocumentNumber = layout.PageNumber = layout.FrameNumber = 1;
	return layout;
}

CapResult Capabilities::setLayout(const TW_IMAGELAYOUT &layout)
{
	const double s = perInch();
	return setFrame({ fromFix32(layout.Frame.Left) / s, fromFix32(layout.Frame.Top) / s,
			  fromFix32(layout.Frame.Right) / s, fromFix32(layout.Frame.Bottom) / s });
}

void Capabilities::resetLayout()
{
	frame_ = Frame{ 0, 0, widthInches_, lengthInches_ };
	find(ICAP_SUPPORTEDSIZES)->current = TWSS_NONE;
}

client::WindowRequest Capabilities::windowRequest() const
{
	client::WindowRequest request;
	const TW_UINT16 type = pixelType();
	const bool halftone = static_cast<TW_UINT16>(value(ICAP_BITDEPTHREDUCTION)) == TWBR_HALFTONE;
	request.mode = type == TWPT_RGB	   ? client::ScanMode::Colour
		       : type == TWPT_GRAY ? client::ScanMode::Grey
		       : halftone	   ? client::ScanMode::Halftone
					   : client::ScanMode::LineArt;
	request.dpi = dpi();
	auto units = [](double inches) { return static_cast<uint32_t>(std::lround(inches * kUnitsPerInch)); };
	request.left = units(frame_.left);
	request.top = units(frame_.top);
	request.width = units(frame_.right) - request.left;
	request.length = units(frame_.bottom) - request.top;
	// TWFT_RED, GREEN, BLUE are 0, 1, 2; the driver's ColorFilter 1, 2, 3 (0 none).
	const auto filter = static_cast<TW_UINT16>(value(ICAP_FILTER));
	request.colourFilter = type == TWPT_RGB || filter == TWFT_NONE ? 0 : static_cast<uint8_t>(filter + 1);
	request.halftonePattern = static_cast<uint8_t>(value(ICAP_HALFTONES) + 1);
	return request;
}

} // namespace torvane::twain
