// SPDX-License-Identifier: MIT
// Records in words (--info, --list, --nvm-read) and the progress bar.

#include <cstring>

#include <gtest/gtest.h>

#include "progress.h"
#include "record_text.h"

namespace torvane::scan {
namespace {

ScannerAbilityEx sampleAbilityEx()
{
	ScannerAbilityEx x{};
	std::memcpy(x.Vendor, "TORVANE", 7);
	std::memcpy(x.Product, "RM735\0\0\0\0\0\0\0\0\0\0\0", 16);
	std::memcpy(x.Revision, "1.00", 4);
	std::memcpy(x.Interface, "USB 2.0", 7);
	std::memcpy(x.Bus, "USB", 3);
	x.ScanWidth = 2550;
	x.ScanLength = 4188;
	x.Resolution[0] = 600;
	x.Resolution[1] = 300;
	x.Resolution[2] = 600;
	x.Resolution[3] = 0;
	x.ButtonCount = 2;
	x.CapabilityA = 0x37D8005;
	x.CapabilityB = 0x83418BF7;
	x.CapabilityC = 0x0080;
	x.CapabilityD = 0x40000;
	x.CapabilityE = 0x800;
	x.CapabilityF = 0xA00;
	return x;
}

TEST(RecordText, FixedFieldsAreCutAtTheirEnd)
{
	EXPECT_EQ(fieldText("RM735\0xx", 8), "RM735");
	EXPECT_EQ(fieldText("ABCDEFGHIJKLMNOP", 16), "ABCDEFGHIJKLMNOP"); // no terminator inside the field
	EXPECT_EQ(fieldText("TV  ", 4), "TV");
	EXPECT_EQ(fieldText("A\x01\xFF", 3), "A??");
}

TEST(RecordText, AbilitiesInWords)
{
	ScannerAbility basic{};
	basic.AbilityCode = 136;
	basic.KindFlags = 0xD0;
	basic.AreaFlag32 = basic.AreaFlag33 = 1;
	const std::string text = describeAbilities(basic, sampleAbilityEx());
	EXPECT_EQ(text,
		  "Product:        RM735\n"
		  "Vendor:         TORVANE\n"
		  "Revision:       1.00\n"
		  "Interface:      USB 2.0 (USB)\n"
		  "Resolutions:    300, 600 dpi (the scanner's own); the driver delivers any from 50 to 1200 dpi\n"
		  "Scan area:      215.9 x 354.6 mm (8.50 x 13.96 in; 2550 x 4188 pixels at 300 dpi)\n"
		  "Push buttons:   2\n"
		  "Ability code:   136, kind flags 0xD0, area flags 1/1\n"
		  "Capabilities:   A 0x037D8005  B 0x83418BF7  C 0x0080\n"
		  "                D 0x00040000  E 0x00000800  F 0x00000A00\n");

	EXPECT_EQ(describeScannerLine(sampleAbilityEx()),
		  "RM735 (vendor TORVANE, revision 1.00), scan area 215.9 x 354.6 mm");
}

TEST(RecordText, NvmRecordHexDumpAndFields)
{
	NvmRecord record{};
	record.InitYear = 2026;
	record.InitMonth = 12;
	record.InitDay = 7;
	std::memcpy(record.InitText, "Service 42", 10);
	record.CarriedWords[0] = 0x1234;
	record.CarriedWords[5] = 0xBEEF;
	record.Long49 = 256;
	record.Word46 = 0x0102;
	record.Byte76 = 0x5A;
	const std::string text = describeNvmRecord(record);
	// Host order, as ReadNVMData delivers it: 0x1234 at 0x10 is 34 12.
	EXPECT_NE(text.find("0010  34 12 00 00 00 00 00 00  00 00 EF BE 0C 00 07 00  |4...............|\n"),
		  std::string::npos)
		<< text;
	EXPECT_NE(text.find("0020  EA 07 00 00"), std::string::npos) << text;
	EXPECT_NE(text.find("0030  72 76 69 63 65 20 34 32"), std::string::npos) << text; // "rvice 42"
	EXPECT_NE(text.find("Init text:      \"Service 42\"\n"), std::string::npos);
	EXPECT_NE(text.find("Init date:      2026-12-07\n"), std::string::npos);
	EXPECT_NE(text.find("Carried words:  0x1234 0x0000 0x0000 0x0000 0x0000 0xBEEF\n"), std::string::npos);
	EXPECT_NE(text.find("Word 0x46:      0x0102   long 0x49: 0x00000100"), std::string::npos);
	EXPECT_NE(text.find("byte 0x76: 0x5A"), std::string::npos);
	// Eight rows of sixteen bytes.
	EXPECT_NE(text.find("\n0070  "), std::string::npos);
	EXPECT_EQ(text.find("\n0080  "), std::string::npos);

	NvmRecord blank{};
	EXPECT_NE(describeNvmRecord(blank).find("Init date:      none\n"), std::string::npos);
}

TEST(RecordText, HexDumpOfAPartialRow)
{
	const uint8_t bytes[] = { 'A', 'B', 0x00, 0x7F };
	const std::string partial = hexDump(bytes, sizeof(bytes));
	EXPECT_EQ(partial, "0000  41 42 00 7F" + std::string(39, ' ') + "|AB..|\n");
	// The text column stands where it stands in a full row.
	uint8_t full[16] = {};
	EXPECT_EQ(partial.find('|'), hexDump(full, sizeof(full)).find('|'));
}

TEST(Progress, BarText)
{
	EXPECT_EQ(renderProgress(0, 2000000, 10), "Scanning [          ]   0%  0.0/2.0 MB");
	EXPECT_EQ(renderProgress(1000000, 2000000, 10), "Scanning [#####     ]  50%  1.0/2.0 MB");
	EXPECT_EQ(renderProgress(3000000, 2000000, 10), "Scanning [##########] 100%  2.0/2.0 MB");
	EXPECT_EQ(renderProgress(0, 0, 4), "Scanning [####] 100%  0.0/0.0 MB");
}

TEST(Progress, NothingIsDrawnWhenDisabled)
{
	char *text = nullptr;
	size_t size = 0;
	FILE *stream = open_memstream(&text, &size);
	ASSERT_NE(stream, nullptr);
	{
		ProgressBar quiet(100, false, stream);
		quiet.update(50);
		quiet.finish();
		ProgressBar shown(100, true, stream);
		shown.update(50);
		shown.update(50); // same percentage: not redrawn
		shown.update(100);
	}
	std::fclose(stream);
	EXPECT_EQ(std::string(text, size),
		  "\rScanning [###############               ]  50%  0.0/0.0 MB"
		  "\rScanning [##############################] 100%  0.0/0.0 MB\n");
	std::free(text);
}

} // namespace
} // namespace torvane::scan
