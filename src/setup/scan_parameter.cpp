// SPDX-License-Identifier: MIT
// SetScanParameter's work: log the request, derive what the scanner is told,
// send the window.

#include "setup/scan_parameter.h"

#include <cmath>
#include <cstring>
#include <iterator>

#include "driver/debug_log.h"
#include "driver/device_lock.h"
#include "driver/driver_state.h"
#include "setup/raw_data_dump.h"
#include "setup/scan_settings.h"
#include "setup/setup_clock.h"
#include "setup/window_block.h"
#include "transport/commands.h"
#include "transport/transport.h"

namespace torvane::setup {

namespace {

// One line of the parameter log: its text and the caller's field it prints.
struct FieldLine {
	const char *format;
	int (*value)(const ScanParameter &);
};

// Contrast, Brightness and lensPosition are signed fields; every other field
// is unsigned and prints as its plain value.
constexpr FieldLine kFieldLines[] = {
	{ "AP.ScanParameter.Left = %i", [](const ScanParameter &p) -> int { return p.Left; } },
	{ "AP.ScanParameter.Top = %i", [](const ScanParameter &p) -> int { return p.Top; } },
	{ "AP.ScanParameter.Width = %i", [](const ScanParameter &p) -> int { return p.Width; } },
	{ "AP.ScanParameter.Length = %i", [](const ScanParameter &p) -> int { return p.Length; } },
	{ "AP.ScanParameter.PixelNum = %d", [](const ScanParameter &p) -> int { return p.PixelNum; } },
	{ "AP.ScanParameter.LineNum = %i", [](const ScanParameter &p) -> int { return p.LineNum; } },
	{ "AP.ScanParameter.ScanMode = %i", [](const ScanParameter &p) -> int { return p.ScanMode; } },
	{ "AP.ScanParameter.ScanMethod = %i", [](const ScanParameter &p) -> int { return p.ScanMethod; } },
	{ "AP.ScanParameter.BitPerPixel = %i", [](const ScanParameter &p) -> int { return p.BitPerPixel; } },
	{ "AP.ScanParameter.ScanSpeed = %i", [](const ScanParameter &p) -> int { return p.ScanSpeed; } },
	{ "AP.ScanParameter.Contrast = %i", [](const ScanParameter &p) -> int { return p.Contrast; } },
	{ "AP.ScanParameter.Brightness = %i", [](const ScanParameter &p) -> int { return p.Brightness; } },
	{ "AP.ScanParameter.HTPatternNo = %i", [](const ScanParameter &p) -> int { return p.HTPatternNo; } },
	{ "AP.ScanParameter.Highlight = %i", [](const ScanParameter &p) -> int { return p.Highlight; } },
	{ "AP.ScanParameter.Shadow = %i", [](const ScanParameter &p) -> int { return p.Shadow; } },
	{ "AP.ScanParameter.ColorFilter = %i", [](const ScanParameter &p) -> int { return p.ColorFilter; } },
	{ "AP.ScanParameter.Invert = %i", [](const ScanParameter &p) -> int { return p.Invert; } },
	{ "AP.ScanParameter.ReadStatus = %i", [](const ScanParameter &p) -> int { return p.ReadStatus; } },
	{ "AP.ScanParameter.ExtScanParam = 0x%X", [](const ScanParameter &p) -> int { return p.ExtScanParam; } },
	{ "AP.ScanParameter.RExposure = %i", [](const ScanParameter &p) -> int { return p.RExposure; } },
	{ "AP.ScanParameter.GExposure = %i", [](const ScanParameter &p) -> int { return p.GExposure; } },
	{ "AP.ScanParameter.BExposure = %i", [](const ScanParameter &p) -> int { return p.BExposure; } },
	{ "AP.ScanParameter.XRes = %i", [](const ScanParameter &p) -> int { return p.XRes; } },
	{ "AP.ScanParameter.YRes = %i", [](const ScanParameter &p) -> int { return p.YRes; } },
	{ "AP.ScanParameter.RGain = %i", [](const ScanParameter &p) -> int { return p.RGain; } },
	{ "AP.ScanParameter.GGain = %i", [](const ScanParameter &p) -> int { return p.GGain; } },
	{ "AP.ScanParameter.BGain = %i", [](const ScanParameter &p) -> int { return p.BGain; } },
	{ "AP.ScanParameter.lensPosition = %i", [](const ScanParameter &p) -> int { return p.lensPosition; } },
	{ "AP.ScanParameter.byBackgroundLines = %i", [](const ScanParameter &p) -> int { return p.byBackgroundLines; } },
	{ "AP.ScanParameter.byPagesThisJob = %i", [](const ScanParameter &p) -> int { return p.byPagesThisJob; } },
	{ "AP.ScanParameter.EnableBatchScan = %i", [](const ScanParameter &p) -> int { return p.EnableBatchScan; } },
	{ "AP.ScanParameter.wPaperLength = %i", [](const ScanParameter &p) -> int { return p.wPaperLength; } },
	{ "AP.ScanParameter.ExtIndex = %i", [](const ScanParameter &p) -> int { return p.ExtIndex; } },
	{ "AP.ScanParameter.ExtSize = %i", [](const ScanParameter &p) -> int { return p.ExtSize; } },
	// The page count once more, under the label the front ends know it by.
	{ "AP.ScanParameter.MaxPaperScan = %i", [](const ScanParameter &p) -> int { return p.byPagesThisJob; } },
	{ "AP.ScanParameter.UltraSonicIntension = %i", [](const ScanParameter &p) -> int { return p.UltraSonicIntension; } },
};
static_assert(std::size(kFieldLines) == 36);

constexpr const char *kParameterEnd = "======Parameter Debug Output End==========";
constexpr uint32_t kParamLogLevel = 2;

constexpr uint16_t kLineAllowance = 12;
// The largest multiple of 4 a 16-bit line count can hold.
constexpr uint16_t kMaxLineCount = 65532;

void writeFixedLine(const char *file, const char *text, uint32_t level)
{
	driver::WriteDebugLog(file, text, static_cast<uint32_t>(std::strlen(text)), level);
}

uint16_t saturated16(uint32_t value)
{
	return value > 0xFFFF ? 0xFFFF : static_cast<uint16_t>(value);
}

// The front end asks for 1-bit line art and halftone, and for grey without
// a colour filter; the scanner delivers 8-bit grey or 24-bit colour and the
// read pipeline converts.
void rewriteScanMode(ScanParameter &settings)
{
	auto colourTest = [&settings] {
		if (settings.ColorFilter == 0) {
			settings.ScanMode = 4;
			settings.BitPerPixel = 24;
			scanSettings.greyFromColour = 1;
		}
	};

	if (settings.ScanMode == 0 && settings.BitPerPixel == 1) {
		settings.ScanMode = 2;
		settings.BitPerPixel = 8;
		scanSettings.lineArtFromGrey = 1;
		if (settings.ColorFilter == 0)
			settings.ColorFilter = 1;
	} else if (settings.ScanMode == 1 && settings.BitPerPixel == 1) {
		settings.ScanMode = 2;
		settings.BitPerPixel = 8;
		scanSettings.halftoneFromGrey = 1;
		colourTest();
	} else if (settings.ScanMode == 2) {
		colourTest();
	}
}

// READ(10) of the window just set; the 32 bytes are not used, only a good
// status counts.
int readWindowBack()
{
	uint8_t scratch[transport::kWindowReadBackLength] = {};
	const transport::CommandBlock block =
		transport::read10Block(transport::kReadWindow, transport::kWindowReadBackLength);
	return transport::SendCommand(block.data(), scratch, transport::kWindowReadBackLength, 0);
}

int sendWindowAndCalibrate()
{
	const WindowBlock block = windowParameterBlock(scanSettings.workParam);
	if (!SendWindow(block.data()))
		return 0;
	if (!readWindowBack())
		return 0;
	return DumpRawData();
}

} // namespace

void takeScannerWidthFromOwnAbility()
{
	driver::driverState.scannerWidth = driver::driverState.ownAbilityEx.ScanWidth;
}

uint16_t baseResolution(uint16_t xres)
{
	return xres <= 300 ? 300 : 600;
}

uint16_t scannerLineCount(uint16_t lineNum, double zoomToBase)
{
	// Lines at base resolution, truncated towards zero; a request beyond
	// 16 bits is held at the largest count rather than wrapped to a small one.
	const double lines = std::trunc(static_cast<double>(lineNum) * zoomToBase);
	uint32_t n = 0;
	if (lines >= 65535.0)
		n = 65535;
	else if (lines > 0.0)
		n = static_cast<uint32_t>(lines);
	const uint32_t count = (n / 4) * 4 + kLineAllowance;
	return count > kMaxLineCount ? kMaxLineCount : static_cast<uint16_t>(count);
}

void logScanParameter(const ScanParameter &parameter, uint32_t width)
{
	if (!driver::logEnabled(kParamLogLevel))
		return;
	driver::logLine(driver::kParamLog, kParamLogLevel, "Scanner width %d", static_cast<int>(width));
	const platform::LocalTime logTime = setupLocalTime();
	driver::logLine(driver::kParamLog, kParamLogLevel, "======Parameter Debug Output Start========%d:%d:%d",
			logTime.hour, logTime.minute, logTime.second);
	for (const FieldLine &line : kFieldLines)
		driver::logLine(driver::kParamLog, kParamLogLevel, line.format, line.value(parameter));
	writeFixedLine(driver::kParamLog, kParameterEnd, kParamLogLevel);
	driver::WriteDebugLog(driver::kParamLog, "", 0, kParamLogLevel);
}

void deriveScanSettings(const ScanParameter &parameter, uint32_t width)
{
	ScanParameter &workParam = scanSettings.workParam;
	UserRequest &userRequest = scanSettings.userRequest;
	userRequest = {};
	std::memcpy(&workParam, &parameter, sizeof(workParam));
	userRequest.Width = parameter.Width;
	userRequest.PixelNum = parameter.PixelNum;
	userRequest.Left = parameter.Left;
	userRequest.XRes = parameter.XRes;

	rewriteScanMode(workParam);
	// The window always starts at the left edge; the read pipeline crops.
	workParam.Left = 0;

	const uint16_t base = baseResolution(parameter.XRes);
	workParam.XRes = base;
	workParam.YRes = base;
	userRequest.zoomToUser = static_cast<double>(parameter.XRes) / base;
	userRequest.zoomToBase = static_cast<double>(base) / parameter.XRes;
	workParam.PixelNum = saturated16(base == 300 ? width : width * 2);

	const uint16_t lineCount = scannerLineCount(parameter.LineNum, userRequest.zoomToBase);
	workParam.LineNum = lineCount;
	workParam.Length = saturated16(static_cast<uint32_t>(workParam.Length) + lineCount);
}

int applyScanParameter(const ScanParameter *parameter)
{
	// Refused before the scan cycle opens: with no resolution there is
	// nothing to derive the scanner's settings from.
	if (!parameter || parameter->XRes == 0) {
		driver::setLastError(TORVANE_ERROR_HARDWARE);
		return 0;
	}

	driver::setScanBusy(1);
	logScanParameter(*parameter, driver::driverState.scannerWidth);
	deriveScanSettings(*parameter, driver::driverState.scannerWidth);

	const int result = sendWindowAndCalibrate();
	// Whatever the transport or the dump said, the front end sees one code.
	if (!result)
		driver::setLastError(TORVANE_ERROR_HARDWARE);
	return result;
}

} // namespace torvane::setup
