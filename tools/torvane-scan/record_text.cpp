// SPDX-License-Identifier: MIT
// The driver's records in words: the scanner's abilities (--info, --list) and
// the non-volatile memory record (--nvm-read).

#include "record_text.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "scan_plan.h"

namespace torvane::scan {

namespace {

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char *fmt, ...)
{
	char text[512];
	va_list args;
	va_start(args, fmt);
	std::vsnprintf(text, sizeof(text), fmt, args);
	va_end(args);
	return text;
}

std::string area(uint16_t width, uint16_t length)
{
	return format("%.1f x %.1f mm (%.2f x %.2f in; %u x %u pixels at 300 dpi)", unitsToMillimetres(width),
		      unitsToMillimetres(length), width / 300.0, length / 300.0, width, length);
}

std::string hexBytes(const uint8_t *data, size_t size)
{
	std::string text;
	for (size_t i = 0; i < size; ++i)
		text += format(i ? " %02X" : "%02X", data[i]);
	return text;
}

} // namespace

std::string fieldText(const char *field, size_t size)
{
	std::string text;
	for (size_t i = 0; i < size && field[i] != '\0'; ++i) {
		const unsigned char c = static_cast<unsigned char>(field[i]);
		text += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
	}
	while (!text.empty() && text.back() == ' ')
		text.pop_back();
	return text;
}

std::string productName(const ScannerAbilityEx &ability)
{
	return fieldText(ability.Product, sizeof(ability.Product));
}

std::string describeScannerLine(const ScannerAbilityEx &ability)
{
	const std::string vendor = fieldText(ability.Vendor, sizeof(ability.Vendor));
	return format("%s (vendor %s, revision %s), scan area %.1f x %.1f mm", productName(ability).c_str(),
		      vendor.empty() ? "unknown" : vendor.c_str(),
		      fieldText(ability.Revision, sizeof(ability.Revision)).c_str(),
		      unitsToMillimetres(ability.ScanWidth), unitsToMillimetres(ability.ScanLength));
}

std::string describeAbilities(const ScannerAbility &basic, const ScannerAbilityEx &extended)
{
	std::string text;
	text += "Product:        " + productName(extended) + "\n";
	text += "Vendor:         " + fieldText(extended.Vendor, sizeof(extended.Vendor)) + "\n";
	text += "Revision:       " + fieldText(extended.Revision, sizeof(extended.Revision)) + "\n";
	text += "Interface:      " + fieldText(extended.Interface, sizeof(extended.Interface)) + " (" +
		fieldText(extended.Bus, sizeof(extended.Bus)) + ")\n";

	std::vector<uint16_t> resolutions(std::begin(extended.Resolution), std::end(extended.Resolution));
	resolutions.erase(std::remove(resolutions.begin(), resolutions.end(), 0), resolutions.end());
	std::sort(resolutions.begin(), resolutions.end());
	resolutions.erase(std::unique(resolutions.begin(), resolutions.end()), resolutions.end());
	std::string list;
	for (uint16_t dpi : resolutions)
		list += (list.empty() ? "" : ", ") + std::to_string(dpi);
	text += "Resolutions:    " + (list.empty() ? std::string("none reported") : list + " dpi") +
		" (the scanner's own); the driver delivers any from 50 to 1200 dpi\n";
	text += "Scan area:      " + area(extended.ScanWidth, extended.ScanLength) + "\n";
	text += "Push buttons:   " + (extended.ButtonCount ? std::to_string(extended.ButtonCount) : std::string("none")) + "\n";
	text += format("Ability code:   %u, kind flags 0x%02X, area flags %u/%u\n", basic.AbilityCode, basic.KindFlags,
		       basic.AreaFlag32, basic.AreaFlag33);
	text += format("Capabilities:   A 0x%08X  B 0x%08X  C 0x%04X\n", extended.CapabilityA, extended.CapabilityB,
		       extended.CapabilityC);
	text += format("                D 0x%08X  E 0x%08X  F 0x%08X\n", extended.CapabilityD, extended.CapabilityE,
		       extended.CapabilityF);
	return text;
}

std::string hexDump(const uint8_t *data, size_t size)
{
	std::string text;
	for (size_t row = 0; row < size; row += 16) {
		text += format("%04zX  ", row);
		std::string printable;
		for (size_t i = row; i < row + 16; ++i) {
			if (i < size) {
				text += format("%02X ", data[i]);
				printable += (data[i] >= 0x20 && data[i] < 0x7F) ? static_cast<char>(data[i]) : '.';
			} else {
				text += "   ";
			}
			if (i == row + 7)
				text += ' ';
		}
		text += " |" + printable + "|\n";
	}
	return text;
}

std::string describeNvmRecord(const NvmRecord &record)
{
	const auto *bytes = reinterpret_cast<const uint8_t *>(&record);
	std::string text = hexDump(bytes, sizeof(record));
	text += "\n";
	text += "Init text:      \"" + fieldText(record.InitText, sizeof(record.InitText)) + "\"\n";
	if (record.InitYear || record.InitMonth || record.InitDay)
		text += format("Init date:      %04u-%02u-%02u\n", record.InitYear, record.InitMonth, record.InitDay);
	else
		text += "Init date:      none\n";
	text += "Carried words:  ";
	for (size_t i = 0; i < 6; ++i) {
		// Packed record: copy the field out before formatting it.
		const uint16_t word = record.CarriedWords[i];
		text += format(i ? " 0x%04X" : "0x%04X", word);
	}
	text += "\n";
	text += format("Test words 4-6: %u %u %u\n", record.TestWord4, record.TestWord5, record.TestWord6);
	text += format("Words 0x00-0x0C: 0x%08X 0x%08X 0x%08X 0x%08X\n", record.Long00, record.Long04, record.Long08,
		       record.Long0C);
	text += format("Words 0x28/0x2A: 0x%04X 0x%04X   byte 0x2C: 0x%02X   byte 0x76: 0x%02X\n", record.Word28,
		       record.Word2A, record.Byte2C, record.Byte76);
	text += format("Word 0x46:      0x%04X   long 0x49: 0x%08X   0x4D: 0x%08X   0x51: 0x%08X\n", record.Word46,
		       record.Long49, record.Long4D, record.Long51);
	text += "Block 0x56:     " + hexBytes(record.Block56, sizeof(record.Block56)) + "\n";
	text += "Block 0x66:     " + hexBytes(record.Block66, sizeof(record.Block66)) + "\n";
	return text;
}

} // namespace torvane::scan
