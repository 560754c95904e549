// SPDX-License-Identifier: MIT
// Building and sending the window parameter block.

#include "setup/window_block.h"

#include <cstring>
#include <iterator>

#include "torvane_protocol/byte_order.h"
#include "transport/commands.h"
#include "transport/transport.h"

namespace torvane::setup {

namespace {

constexpr int kAny = -1;

struct ModeRow {
	int scanMode;
	int colorFilter;
	WindowMode mode;
};

// Bit 6 of the mode flags is always set; bits 3-5 carry the channel of a
// grey scan through a colour filter. The last row takes every other mode.
constexpr ModeRow kModeTable[] = {
	// ScanMode  ColorFilter  composition  flags
	{ 0, kAny, { 0, 0x70 } }, // line art
	{ 1, kAny, { 1, 0x40 } }, // halftone
	{ 2, 0, { 2, 0x70 } },	  // grey
	{ 2, 1, { 2, 0x48 } },
	{ 2, 2, { 2, 0x50 } },
	{ 2, 3, { 2, 0x58 } },
	{ 2, kAny, { 2, 0x40 } },
	{ 4, kAny, { 5, 0x60 } }, // colour
	{ 6, kAny, { 5, 0x40 } }, // second colour mode
	{ kAny, kAny, { 0, 0x40 } },
};

bool matches(int wanted, uint8_t value)
{
	return wanted == kAny || wanted == value;
}

// Descriptor offsets.
constexpr size_t kXResolution = 2;
constexpr size_t kYResolution = 4;
constexpr size_t kUpperLeftX = 6;
constexpr size_t kUpperLeftY = 10;
constexpr size_t kWidth = 14;
constexpr size_t kLength = 18;
constexpr size_t kBrightness = 22;
constexpr size_t kThreshold = 23;
constexpr size_t kContrast = 24;
constexpr size_t kComposition = 25;
constexpr size_t kBitsPerChannel = 26;
constexpr size_t kHalftonePattern = 27;
constexpr size_t kPadding = 29;
constexpr size_t kPaperLength = 34;
constexpr size_t kModeFlags = 42;
constexpr size_t kBytesPerLineLow = 45;
constexpr size_t kLineCountLow = 47;
constexpr size_t kRExposure = 51;
constexpr size_t kGExposure = 53;
constexpr size_t kBExposure = 55;
constexpr size_t kBytesPerLineHigh = 59;
constexpr size_t kLineCountHigh = 60;
constexpr size_t kBackgroundLines = 61;
constexpr size_t kPagesThisJob = 62;
constexpr size_t kUltraSonic = 64;

constexpr uint16_t kExtFineUnit = 0x40;

// The front end's unit is 1/300 inch (sent as 1/1200) or, with
// ExtScanParam bit 6, 1/2400 inch (sent halved).
uint32_t convertCoordinate(uint16_t value, uint16_t extScanParam)
{
	if (extScanParam & kExtFineUnit)
		return value >> 1;
	return static_cast<uint32_t>(value) * 4;
}

uint8_t bitsPerChannel(uint8_t bitPerPixel)
{
	switch (bitPerPixel) {
	case 16:
	case 48:
		return 16;
	case 12:
	case 24:
		return 8;
	default:
		return bitPerPixel;
	}
}

uint16_t windowResolution(uint16_t xres)
{
	return xres <= 300 ? 300 : 600;
}

} // namespace

WindowMode windowMode(uint8_t scanMode, uint8_t colorFilter)
{
	for (const ModeRow &row : kModeTable) {
		if (matches(row.scanMode, scanMode) && matches(row.colorFilter, colorFilter))
			return row.mode;
	}
	return kModeTable[std::size(kModeTable) - 1].mode;
}

void BuildWindowBlock(uint8_t *descriptor, const ScanParameter &settings)
{
	using namespace protocol;
	std::memset(descriptor, 0, kWindowDescriptorSize);

	const uint16_t resolution = windowResolution(settings.XRes);
	writeBigEndian16(&descriptor[kXResolution], resolution);
	writeBigEndian16(&descriptor[kYResolution], resolution);
	writeBigEndian32(&descriptor[kUpperLeftX], convertCoordinate(settings.Left, settings.ExtScanParam));
	writeBigEndian32(&descriptor[kUpperLeftY], convertCoordinate(settings.Top, settings.ExtScanParam));
	writeBigEndian32(&descriptor[kWidth], convertCoordinate(settings.Width, settings.ExtScanParam));
	writeBigEndian32(&descriptor[kLength], convertCoordinate(settings.Length, settings.ExtScanParam));
	descriptor[kBrightness] = 0x80;
	descriptor[kThreshold] = 0x80;
	descriptor[kContrast] = 0x80;

	const WindowMode mode = windowMode(settings.ScanMode, settings.ColorFilter);
	descriptor[kComposition] = mode.composition;
	descriptor[kBitsPerChannel] = bitsPerChannel(settings.BitPerPixel);
	writeBigEndian16(&descriptor[kHalftonePattern], settings.ScanMode == 1 ? settings.HTPatternNo : 0);
	// Reverse-image and padding: the front end's Invert is not sent.
	descriptor[kPadding] = 3;
	writeBigEndian16(&descriptor[kPaperLength], settings.wPaperLength);
	descriptor[40] = 0xFF;
	descriptor[41] = 0x1D;
	descriptor[kModeFlags] = mode.modeFlags;
	descriptor[43] = 0xFF;

	// Whole bytes of a line as scanned: 24-bit colour is 3 bytes a pixel.
	const uint32_t bytesPerLine = static_cast<uint32_t>(settings.BitPerPixel) * settings.PixelNum / 8;
	writeBigEndian16(&descriptor[kBytesPerLineLow], static_cast<uint16_t>(bytesPerLine));
	descriptor[kBytesPerLineHigh] = static_cast<uint8_t>(bytesPerLine >> 16);
	writeBigEndian16(&descriptor[kLineCountLow], settings.LineNum);
	descriptor[kLineCountHigh] = 0; // the line count is 16-bit

	writeBigEndian16(&descriptor[kRExposure], settings.RExposure);
	writeBigEndian16(&descriptor[kGExposure], settings.GExposure);
	writeBigEndian16(&descriptor[kBExposure], settings.BExposure);
	descriptor[kBackgroundLines] = settings.byBackgroundLines;
	descriptor[kPagesThisJob] = settings.byPagesThisJob;
	descriptor[kUltraSonic] = settings.UltraSonicIntension;
}

WindowBlock windowParameterBlock(const ScanParameter &settings)
{
	WindowBlock block{};
	protocol::writeBigEndian16(&block[6], kWindowDescriptorSize);
	BuildWindowBlock(&block[kWindowHeaderSize], settings);
	return block;
}

int SendWindow(const uint8_t *block)
{
	const transport::CommandBlock command = transport::setWindowBlock();
	// The data phase only reads the block.
	return transport::SendCommand(command.data(), const_cast<uint8_t *>(block), 0,
				      static_cast<uint32_t>(kWindowBlockSize));
}

} // namespace torvane::setup
