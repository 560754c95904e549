// SPDX-License-Identifier: MIT
// TorvaneScanner.ds as a TWAIN application meets it on the shipped RM735.dll,
// which reaches the virtual scanner through \\.\usbscan0 (torvane-usbscan.sys
// and torvane-sim --tcp, set up by tests/wine-device/wine-device-test.sh's
// case twain): an A5 page in colour and one in line art, each by native and by
// memory transfer, byte for byte what a lone ReadScan through the same DLL
// and device delivers for the same settings. Through the Working Group's
// manager, or Wine's where that is not there (the device is the same below
// either). Prints the time of each transfer.

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <windows.h>

#include <gtest/gtest.h>

#include "client/scan_window.h"
#include "support/win_test_support.h"
#include "twain_app.h"
#include "twain_images.h"

using namespace torvane;
using namespace torvane::twaintest;

namespace {

struct Page {
	const char *name;
	TW_UINT16 pixelType;
	client::ScanMode scanMode;
	uint32_t dpi;
};
constexpr Page kPages[] = {
	{ "colour", TWPT_RGB, client::ScanMode::Colour, 150 },
	{ "line art", TWPT_BW, client::ScanMode::LineArt, 300 },
};

// An A5 page from the top left corner, in 1/300 inch as the source rounds it.
client::WindowRequest a5Request(const Page &page)
{
	client::WindowRequest request;
	request.mode = page.scanMode;
	request.dpi = page.dpi;
	request.width = 1748;
	request.length = 2480;
	request.halftonePattern = 1;
	return request;
}

class TwainThroughTheDevice : public ::testing::Test
{
protected:
	void SetUp() override
	{
		Installation installed = installFor(manager_, wintest::programDir(), "RM735.dll");
		if (installed.managerAbsent) {
			std::printf("the Working Group's manager is not there (%s): Wine's\n", installed.problem.c_str());
			manager_ = Manager::Wine;
			installed = installFor(manager_, wintest::programDir(), "RM735.dll");
		}
		ASSERT_TRUE(installed.done) << installed.problem;
		std::string error;
		ASSERT_TRUE(app.openManager(manager_, &error)) << error;
		ASSERT_EQ(app.openSource(callbacks()), TWRC_SUCCESS) << app.conditionCode();
	}

	bool callbacks() const { return manager_ == Manager::WorkingGroup; }

	// Negotiates `page` and enables the source without its dialog.
	void enable(const Page &page, TW_UINT16 mechanism)
	{
		ASSERT_EQ(app.setOne(ICAP_PIXELTYPE, TWTY_UINT16, page.pixelType), TWRC_SUCCESS);
		ASSERT_EQ(app.setOne(ICAP_XRESOLUTION, TWTY_FIX32, page.dpi), TWRC_SUCCESS);
		ASSERT_EQ(app.setOne(ICAP_SUPPORTEDSIZES, TWTY_UINT16, TWSS_A5), TWRC_SUCCESS);
		ASSERT_EQ(app.setOne(ICAP_XFERMECH, TWTY_UINT16, mechanism), TWRC_SUCCESS);
		ASSERT_EQ(app.setOne(CAP_XFERCOUNT, TWTY_INT16, 1), TWRC_SUCCESS);
		ASSERT_TRUE(app.enableAndWait());
	}

	// The image of one transfer by `mechanism`, in ReadScan's layout.
	std::vector<uint8_t> transfer(const Page &page, TW_UINT16 mechanism)
	{
		const client::ScanWindow window = client::planWindow(a5Request(page)).window;
		TW_IMAGEINFO info{};
		EXPECT_EQ(app.call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS);
		EXPECT_EQ(info.ImageWidth, TW_INT32(window.pixels));
		EXPECT_EQ(info.ImageLength, TW_INT32(window.lines));
		std::vector<uint8_t> image;
		if (mechanism == TWSX_MEMORY) {
			image = memoryImage(app, window, 64);
			// 1-bit rows in the chocolate flavour (0 black) by default.
			for (uint8_t &byte : image)
				byte = window.bitsPerPixel == 1 ? static_cast<uint8_t>(~byte) : byte;
		} else {
			TW_HANDLE dib = nullptr;
			EXPECT_EQ(app.call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib), TWRC_XFERDONE)
				<< app.conditionCode();
			if (!dib)
				return {};
			image = rowsOfDib(static_cast<const uint8_t *>(app.lock(dib)), window, page.dpi);
			app.unlock(dib);
			app.release(dib);
		}
		TW_PENDINGXFERS pending{ 0xEEEE, 0 };
		EXPECT_EQ(app.call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending), TWRC_SUCCESS);
		EXPECT_EQ(pending.Count, 0);
		TW_USERINTERFACE ui{ 0, 0, nullptr };
		EXPECT_EQ(app.call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
		return image;
	}

	Manager manager_ = Manager::WorkingGroup;
	TwainApp app;
};

TEST_F(TwainThroughTheDevice, PagesByNativeAndMemoryTransferAreThoseOfALoneReadScan)
{
	for (const Page &page : kPages) {
		SCOPED_TRACE(page.name);
		std::vector<uint8_t> images[2];
		for (const TW_UINT16 mechanism : { TWSX_NATIVE, TWSX_MEMORY }) {
			const char *how = mechanism == TWSX_NATIVE ? "native" : "memory";
			const auto started = std::chrono::steady_clock::now();
			enable(page, mechanism);
			images[mechanism == TWSX_MEMORY] = transfer(page, mechanism);
			const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
				std::chrono::steady_clock::now() - started);
			std::printf("%s A5 at %u dpi by %s transfer: %zu bytes, %lld ms\n", page.name, page.dpi, how,
				    images[mechanism == TWSX_MEMORY].size(), static_cast<long long>(ms.count()));
		}
		ASSERT_EQ(app.closeSource(), TWRC_SUCCESS);
		const std::vector<uint8_t> expected =
			readScanImage(sourceFolder(manager_) + "\\RM735.dll", a5Request(page));
		EXPECT_TRUE(images[0] == expected) << "the native transfer's image differs from ReadScan's";
		EXPECT_TRUE(images[1] == expected) << "the memory transfer's image differs from ReadScan's";
		ASSERT_EQ(app.openSource(callbacks()), TWRC_SUCCESS);
	}
}

} // namespace
