// SPDX-License-Identifier: MIT
// The images of TWAIN transfers beside those of ReadScan.

#include "twain_images.h"

#include <gtest/gtest.h>

#include "client/driver_library.h"
#include "client/driver_session.h"

namespace torvane::twaintest {

uint32_t get32(const uint8_t *at)
{
	return at[0] | at[1] << 8 | at[2] << 16 | uint32_t(at[3]) << 24;
}

std::vector<uint8_t> rowsOfDib(const uint8_t *dib, const client::ScanWindow &window, uint32_t dpi)
{
	EXPECT_EQ(get32(dib), 40u);
	EXPECT_EQ(get32(dib + 4), window.pixels);
	EXPECT_EQ(get32(dib + 8), window.lines);
	EXPECT_EQ(dib[14], window.bitsPerPixel);
	EXPECT_EQ(get32(dib + 16), 0u);
	EXPECT_EQ(get32(dib + 24), (dpi * 10000 + 127) / 254);
	const uint32_t colours = window.bitsPerPixel == 1 ? 2 : window.bitsPerPixel == 8 ? 256
											 : 0;
	EXPECT_EQ(get32(dib + 32), colours);
	const uint8_t *palette = dib + 40;
	if (colours == 2) {
		EXPECT_EQ(get32(palette), 0x00FFFFFFu); // 0 white
		EXPECT_EQ(get32(palette + 4), 0u);	// 1 black
	}
	for (uint32_t i = 0; colours == 256 && i < 256; ++i)
		EXPECT_EQ(get32(palette + 4 * i), i * 0x010101u) << i;
	const uint32_t stride = (window.bytesPerLine + 3) & ~3u;
	const uint8_t *rows = palette + 4 * colours;
	std::vector<uint8_t> image;
	for (uint32_t line = 0; line < window.lines; ++line) {
		const uint8_t *row = rows + size_t(window.lines - 1 - line) * stride;
		if (window.bitsPerPixel == 24) {
			for (uint32_t x = 0; x < window.pixels; ++x)
				image.insert(image.end(), { row[3 * x + 2], row[3 * x + 1], row[3 * x] });
		} else {
			image.insert(image.end(), row, row + window.bytesPerLine);
		}
		for (uint32_t pad = window.bytesPerLine; pad < stride; ++pad)
			EXPECT_EQ(row[pad], 0) << "padding of line " << line;
	}
	return image;
}

std::vector<uint8_t> memoryImage(TwainApp &app, const client::ScanWindow &window, uint32_t stripRows)
{
	TW_SETUPMEMXFER setup{};
	EXPECT_EQ(app.call(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup), TWRC_SUCCESS);
	EXPECT_EQ(setup.MinBufSize, window.bytesPerLine);
	std::vector<uint8_t> buffer(size_t(stripRows) * window.bytesPerLine + 5);
	std::vector<uint8_t> image;
	for (uint32_t strip = 0;; ++strip) {
		TW_IMAGEMEMXFER transfer{};
		transfer.Memory = { TWMF_APPOWNS | TWMF_POINTER, static_cast<TW_UINT32>(buffer.size()), buffer.data() };
		const TW_UINT16 rc = app.call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &transfer);
		EXPECT_TRUE(rc == TWRC_SUCCESS || rc == TWRC_XFERDONE) << rc << " " << app.conditionCode();
		if (rc != TWRC_SUCCESS && rc != TWRC_XFERDONE)
			return {};
		EXPECT_EQ(transfer.BytesPerRow, window.bytesPerLine);
		EXPECT_EQ(transfer.Columns, window.pixels);
		EXPECT_EQ(transfer.YOffset, strip * stripRows);
		EXPECT_EQ(transfer.BytesWritten, transfer.Rows * window.bytesPerLine);
		image.insert(image.end(), buffer.begin(), buffer.begin() + transfer.BytesWritten);
		if (rc == TWRC_XFERDONE)
			break;
		EXPECT_EQ(transfer.Rows, stripRows);
	}
	return image;
}

std::vector<uint8_t> readScanImage(const std::string &dll, const client::WindowRequest &request)
{
	std::string error;
	auto library = client::DriverLibrary::load({ dll }, &error);
	EXPECT_TRUE(library) << error;
	if (!library)
		return {};
	const client::WindowResult planned = client::planWindow(request);
	client::DriverSession session(*library);
	ScannerAbility basic;
	ScannerAbilityEx extended;
	EXPECT_TRUE(session.openScanner(&basic, &extended, true));
	unsigned char curve[256];
	client::buildGammaTable(1.0, curve);
	std::vector<uint8_t> image(size_t(planned.window.bytesPerLine) * planned.window.lines);
	EXPECT_TRUE(session.setUp(planned.window.parameter));
	EXPECT_TRUE(session.sendToneCurve(curve, planned.window.scannedInColour));
	EXPECT_TRUE(session.start());
	EXPECT_TRUE(session.read(image.data(), static_cast<uint32_t>(image.size())));
	EXPECT_TRUE(session.stop());
	library->api().TerminateDriver();
	return image;
}

} // namespace torvane::twaintest
