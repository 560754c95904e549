// SPDX-License-Identifier: MIT
// Scan parameters as a front end fills them.

#include "support/scan_request.h"

namespace torvane::wintest {

ScanParameter scanParameterFor(const ScanRequest &request, uint16_t scannerWidth)
{
	ScanParameter parameter{};
	parameter.Width = scannerWidth;
	parameter.Length = request.length;
	parameter.PixelNum = static_cast<uint16_t>(scannerWidth * request.xres / 300);
	parameter.LineNum = static_cast<uint16_t>(request.length * request.xres / 300);
	parameter.ScanMode = request.mode;
	parameter.BitPerPixel = request.bitsPerPixel;
	parameter.HTPatternNo = 1;
	parameter.XRes = request.xres;
	parameter.YRes = request.xres;
	return parameter;
}

uint32_t imageBytesOf(const ScanParameter &parameter)
{
	return static_cast<uint32_t>(parameter.PixelNum) * parameter.BitPerPixel / 8 * parameter.LineNum;
}

} // namespace torvane::wintest
