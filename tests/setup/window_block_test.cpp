// SPDX-License-Identifier: MIT
// The window parameter block, byte for byte.

#include <array>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "setup/scan_parameter.h"
#include "setup/scan_settings.h"
#include "setup/window_block.h"

using namespace torvane::setup;

namespace {

// An expected block, filled by descriptor offset (block offset - 8).
struct ExpectedBlock {
	WindowBlock bytes{};
	ExpectedBlock() { bytes[7] = 71; }
	void u8(size_t descriptorOffset, uint8_t value) { bytes[8 + descriptorOffset] = value; }
	void be16(size_t descriptorOffset, uint16_t value)
	{
		u8(descriptorOffset, static_cast<uint8_t>(value >> 8));
		u8(descriptorOffset + 1, static_cast<uint8_t>(value));
	}
	void be32(size_t descriptorOffset, uint32_t value)
	{
		be16(descriptorOffset, static_cast<uint16_t>(value >> 16));
		be16(descriptorOffset + 2, static_cast<uint16_t>(value));
	}
	// The bytes every block has.
	void constants()
	{
		u8(22, 0x80);
		u8(23, 0x80);
		u8(24, 0x80);
		u8(29, 3);
		u8(40, 0xFF);
		u8(41, 0x1D);
		u8(43, 0xFF);
	}
};

std::vector<uint8_t> asVector(const WindowBlock &block)
{
	return std::vector<uint8_t>(block.begin(), block.end());
}

ScanParameter settingsWith(uint8_t mode, uint8_t filter, uint8_t bits = 8, uint16_t pixels = 100)
{
	ScanParameter settings{};
	settings.XRes = 300;
	settings.ScanMode = mode;
	settings.ColorFilter = filter;
	settings.BitPerPixel = bits;
	settings.PixelNum = pixels;
	return settings;
}

TEST(WindowBlock, ColourAt150DpiOnA2550PixelScanner)
{
	ScanParameter request{};
	request.Left = 100;
	request.Top = 30;
	request.Width = 2550;
	request.Length = 3300;
	request.PixelNum = 1275;
	request.LineNum = 1650;
	request.ScanMode = 4;
	request.BitPerPixel = 24;
	request.HTPatternNo = 5; // not sent outside halftone
	request.Invert = 1;	 // never sent
	request.RExposure = 0x0102;
	request.GExposure = 0x0304;
	request.BExposure = 0x0506;
	request.XRes = 150;
	request.YRes = 150;
	request.byBackgroundLines = 7;
	request.byPagesThisJob = 9;
	request.UltraSonicIntension = 0x42;
	request.wPaperLength = 0x1234;
	deriveScanSettings(request, 2550);

	ExpectedBlock expected;
	expected.constants();
	expected.be16(2, 300);
	expected.be16(4, 300);
	expected.be32(6, 0);	// left edge: always 0
	expected.be32(10, 120); // top 30 x 4
	expected.be32(14, 2550 * 4);
	expected.be32(18, (3300 + 3312) * 4); // length grows by the line count
	expected.u8(25, 5);
	expected.u8(26, 8);
	expected.be16(34, 0x1234);
	expected.u8(42, 0x60);
	expected.be16(45, 7650);
	expected.be16(47, 3312);
	expected.be16(51, 0x0102);
	expected.be16(53, 0x0304);
	expected.be16(55, 0x0506);
	expected.u8(59, 0);
	expected.u8(61, 7);
	expected.u8(62, 9);
	expected.u8(64, 0x42);
	const WindowBlock block = windowParameterBlock(scanSettings.workParam);
	EXPECT_EQ(asVector(block), asVector(expected.bytes));
	// The figures the example names.
	EXPECT_EQ(block[8 + 2], 0x01);
	EXPECT_EQ(block[8 + 3], 0x2C);
	EXPECT_EQ(block[8 + 45], 0x1D);
	EXPECT_EQ(block[8 + 46], 0xE2);
}

TEST(WindowBlock, EveryRowOfTheModeTable)
{
	struct Row {
		uint8_t mode, filter, composition, flags;
	};
	const Row rows[] = {
		{ 0, 0, 0, 0x70 },
		{ 0, 3, 0, 0x70 },
		{ 0, 200, 0, 0x70 },
		{ 1, 0, 1, 0x40 },
		{ 1, 2, 1, 0x40 },
		{ 2, 0, 2, 0x70 },
		{ 2, 1, 2, 0x48 },
		{ 2, 2, 2, 0x50 },
		{ 2, 3, 2, 0x58 },
		{ 2, 4, 2, 0x40 },
		{ 2, 255, 2, 0x40 },
		{ 4, 0, 5, 0x60 },
		{ 4, 2, 5, 0x60 },
		{ 6, 0, 5, 0x40 },
		{ 6, 1, 5, 0x40 },
		{ 3, 0, 0, 0x40 },
		{ 5, 2, 0, 0x40 },
		{ 7, 0, 0, 0x40 },
		{ 255, 1, 0, 0x40 },
	};
	for (const Row &row : rows) {
		std::array<uint8_t, kWindowDescriptorSize> descriptor;
		descriptor.fill(0xCC);
		BuildWindowBlock(descriptor.data(), settingsWith(row.mode, row.filter));
		SCOPED_TRACE(::testing::Message() << "mode " << int(row.mode) << " filter " << int(row.filter));
		EXPECT_EQ(descriptor[25], row.composition);
		EXPECT_EQ(descriptor[42], row.flags);
		EXPECT_EQ(descriptor[69], 0); // cleared before filling
	}
}

TEST(WindowBlock, DepthsAndBytesPerLine)
{
	struct Row {
		uint8_t bits;
		uint16_t pixels;
		uint8_t perChannel;
		uint32_t bytesPerLine;
	};
	const Row rows[] = {
		{ 1, 2550, 1, 318 },
		{ 8, 2550, 8, 2550 },
		{ 12, 1000, 8, 1500 },
		{ 16, 1000, 16, 2000 },
		{ 24, 2550, 8, 7650 },
		{ 48, 5100, 16, 30600 },
		// Beyond 16 bits the top byte goes to descriptor byte 59.
		{ 48, 12000, 16, 72000 },
		{ 48, 65535, 16, 393210 },
	};
	for (const Row &row : rows) {
		std::array<uint8_t, kWindowDescriptorSize> descriptor{};
		BuildWindowBlock(descriptor.data(), settingsWith(4, 0, row.bits, row.pixels));
		SCOPED_TRACE(::testing::Message() << int(row.bits) << " bits, " << row.pixels << " pixels");
		EXPECT_EQ(descriptor[26], row.perChannel);
		EXPECT_EQ(descriptor[45], static_cast<uint8_t>(row.bytesPerLine >> 8));
		EXPECT_EQ(descriptor[46], static_cast<uint8_t>(row.bytesPerLine));
		EXPECT_EQ(descriptor[59], static_cast<uint8_t>(row.bytesPerLine >> 16));
		EXPECT_EQ(descriptor[60], 0);
	}
}

TEST(WindowBlock, CoordinateUnits)
{
	ScanParameter settings = settingsWith(2, 1);
	settings.Left = 31;
	settings.Top = 30;
	settings.Width = 65535;
	settings.Length = 7;

	std::array<uint8_t, kWindowDescriptorSize> fine{};
	std::array<uint8_t, kWindowDescriptorSize> coarse{};
	BuildWindowBlock(coarse.data(), settings);
	settings.ExtScanParam = 0x40;
	BuildWindowBlock(fine.data(), settings);

	auto field = [](const std::array<uint8_t, kWindowDescriptorSize> &d, size_t offset) {
		return std::vector<uint8_t>(d.begin() + offset, d.begin() + offset + 4);
	};
	// 1/300 inch is sent as 1/1200: four times the value, in 32 bits.
	EXPECT_EQ(field(coarse, 6), (std::vector<uint8_t>{ 0, 0, 0, 124 }));
	EXPECT_EQ(field(coarse, 10), (std::vector<uint8_t>{ 0, 0, 0, 0x78 }));
	EXPECT_EQ(field(coarse, 14), (std::vector<uint8_t>{ 0, 0x03, 0xFF, 0xFC }));
	EXPECT_EQ(field(coarse, 18), (std::vector<uint8_t>{ 0, 0, 0, 28 }));
	// 1/2400 inch is sent halved, rounding down.
	EXPECT_EQ(field(fine, 6), (std::vector<uint8_t>{ 0, 0, 0, 15 }));
	EXPECT_EQ(field(fine, 10), (std::vector<uint8_t>{ 0, 0, 0, 15 }));
	EXPECT_EQ(field(fine, 14), (std::vector<uint8_t>{ 0, 0, 0x7F, 0xFF }));
	EXPECT_EQ(field(fine, 18), (std::vector<uint8_t>{ 0, 0, 0, 3 }));

	// Only bit 6 selects the fine unit.
	settings.ExtScanParam = 0xFFBF;
	BuildWindowBlock(fine.data(), settings);
	EXPECT_EQ(field(fine, 10), (std::vector<uint8_t>{ 0, 0, 0, 0x78 }));
}

TEST(WindowBlock, HalftonePatternOnlyInHalftoneMode)
{
	ScanParameter settings = settingsWith(1, 0);
	settings.HTPatternNo = 5;
	std::array<uint8_t, kWindowDescriptorSize> descriptor{};
	BuildWindowBlock(descriptor.data(), settings);
	EXPECT_EQ(descriptor[27], 0x00);
	EXPECT_EQ(descriptor[28], 0x05);
	settings.ScanMode = 2;
	BuildWindowBlock(descriptor.data(), settings);
	EXPECT_EQ(descriptor[27], 0x00);
	EXPECT_EQ(descriptor[28], 0x00);
}

TEST(WindowBlock, ResolutionIsTheBaseForBothAxes)
{
	ScanParameter settings = settingsWith(4, 0, 24);
	settings.YRes = 1200; // not used
	for (auto [xres, sent] : { std::pair<uint16_t, uint16_t>{ 1, 300 }, { 300, 300 }, { 301, 600 }, { 600, 600 }, { 1200, 600 } }) {
		settings.XRes = xres;
		std::array<uint8_t, kWindowDescriptorSize> descriptor{};
		BuildWindowBlock(descriptor.data(), settings);
		EXPECT_EQ(descriptor[2] << 8 | descriptor[3], sent) << xres;
		EXPECT_EQ(descriptor[4] << 8 | descriptor[5], sent) << xres;
	}
}

} // namespace
