// SPDX-License-Identifier: MIT
// TorvaneScanner.ds as a TWAIN application meets it, through a data source
// manager: identity, states, negotiation, and every transfer compared with
// what ReadScan delivers for the same settings. The scanner is a virtual
// one behind the test driver's device calls, in this program.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <windows.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include "client/driver_library.h"
#include "client/driver_session.h"
#include "client/scan_window.h"
#include "support/sim_device_calls.h"
#include "support/torvane_test.h"
#include "support/win_test_support.h"
#include "torvane_sim/virtual_scanner.h"
#include "twain/g4_encoder.h"
#include "twain/scan_dialog_ids.h"
#include "twain_app.h"
#include "twain_images.h"

using namespace torvane;
using namespace torvane::twaintest;
using torvane::wintest::Library;

namespace {

const char *managerName(Manager manager)
{
	return manager == Manager::Wine ? "Wine" : manager == Manager::WorkingGroup ? "WorkingGroup"
										    : "WorkingGroupWindow";
}

// One mode of the acquisition tests: what the application negotiates and
// what the driver is asked for.
struct Mode {
	const char *name;
	TW_UINT16 pixelType;
	TW_UINT16 reduction;
	client::ScanMode scanMode;
	uint32_t bits;
};
constexpr Mode kModes[] = {
	{ "colour", TWPT_RGB, TWBR_THRESHOLD, client::ScanMode::Colour, 24 },
	{ "grey", TWPT_GRAY, TWBR_THRESHOLD, client::ScanMode::Grey, 8 },
	{ "line art", TWPT_BW, TWBR_THRESHOLD, client::ScanMode::LineArt, 1 },
	{ "halftone", TWPT_BW, TWBR_HALFTONE, client::ScanMode::Halftone, 1 },
};

// The area the acquisition tests scan, in inches, and at which resolution.
struct Area {
	double left, top, right, bottom;
	uint32_t dpi;
};

client::WindowRequest requestFor(const Mode &mode, const Area &area)
{
	client::WindowRequest request;
	request.mode = mode.scanMode;
	request.dpi = area.dpi;
	request.left = static_cast<uint32_t>(area.left * 300 + 0.5);
	request.top = static_cast<uint32_t>(area.top * 300 + 0.5);
	request.width = static_cast<uint32_t>(area.right * 300 + 0.5) - request.left;
	request.length = static_cast<uint32_t>(area.bottom * 300 + 0.5) - request.top;
	request.halftonePattern = 1;
	return request;
}

// Set in the DPI test's second process: the dialog's width at 96 dpi.
constexpr const char *kWidthAt96 = "TORVANE_TEST_DIALOG_WIDTH_AT_96";

class TwainSource : public ::testing::TestWithParam<Manager>
{
protected:
	void SetUp() override
	{
		if (GetParam() == Manager::WorkingGroupWindow && !std::getenv("DISPLAY"))
			GTEST_SKIP() << "no display for the message loop's window (scripts/test-windows.sh starts Xvfb)";
		scanner.setFullSpeed(true);
		kt918.setFullSpeed(true);
		devices.plug(0, scanner);
		// The DPI test's second process finds the files its parent installed
		// (and holds loaded).
		const Installation installed = std::getenv(kWidthAt96)
						       ? Installation{ true, false, {} }
						       : installFor(GetParam(), wintest::programDir());
		if (installed.managerAbsent)
			GTEST_SKIP() << managerName(GetParam()) << " manager not there: " << installed.problem;
		ASSERT_TRUE(installed.done) << installed.problem;
		// The driver DLL the source loads, loaded first here with its
		// device calls answered by the virtual scanner.
		driver = std::make_unique<Library>(sourceFolder(GetParam()) + "\\RM735.dll");
		ASSERT_TRUE(driver->loaded());
		driver->function<TorvaneTestSetDeviceCallsCall>("TorvaneTestSetDeviceCalls")(
			wintest::installFakeDevices(&devices));
		std::string error;
		ASSERT_TRUE(app.openManager(GetParam(), &error)) << error;
	}

	void TearDown() override
	{
		if (driver && driver->loaded())
			driver->function<TorvaneTestSetDeviceCallsCall>("TorvaneTestSetDeviceCalls")(nullptr);
	}

	bool callbacks() const { return GetParam() == Manager::WorkingGroup; }

	void open() { ASSERT_EQ(app.openSource(callbacks()), TWRC_SUCCESS) << app.conditionCode(); }

	void negotiate(const Mode &mode, const Area &area, TW_UINT16 mechanism)
	{
		ASSERT_EQ(app.setOne(ICAP_PIXELTYPE, TWTY_UINT16, mode.pixelType), TWRC_SUCCESS);
		if (mode.pixelType == TWPT_BW) {
			ASSERT_EQ(app.setOne(ICAP_BITDEPTHREDUCTION, TWTY_UINT16, mode.reduction), TWRC_SUCCESS);
		}
		ASSERT_EQ(app.setOne(ICAP_XRESOLUTION, TWTY_FIX32, area.dpi), TWRC_SUCCESS);
		ASSERT_EQ(app.setOne(ICAP_YRESOLUTION, TWTY_FIX32, area.dpi), TWRC_SUCCESS);
		ASSERT_EQ(app.setFrame(area.left, area.top, area.right, area.bottom), TWRC_SUCCESS);
		ASSERT_EQ(app.setOne(ICAP_XFERMECH, TWTY_UINT16, mechanism), TWRC_SUCCESS);
		ASSERT_EQ(app.setOne(CAP_XFERCOUNT, TWTY_INT16, 1), TWRC_SUCCESS);
	}

	// What ReadScan delivers for `request`, through the same driver DLL.
	std::vector<uint8_t> readScanImage(const client::WindowRequest &request, const char *dll = "RM735.dll")
	{
		return twaintest::readScanImage(sourceFolder(GetParam()) + "\\" + dll, request);
	}

	std::vector<uint8_t> memoryImage(const client::ScanWindow &window, uint32_t stripRows)
	{
		return twaintest::memoryImage(app, window, stripRows);
	}

	TW_UINT16 endTransfer(TW_UINT16 msg = MSG_ENDXFER)
	{
		TW_PENDINGXFERS pending{ 0xEEEE, 0 };
		EXPECT_EQ(app.call(DG_CONTROL, DAT_PENDINGXFERS, msg, &pending), TWRC_SUCCESS);
		return pending.Count;
	}

	TW_UINT16 disable()
	{
		TW_USERINTERFACE ui{ 0, 0, nullptr };
		return app.call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
	}

	sim::VirtualScanner scanner{ sim::Model::RM735 };
	sim::VirtualScanner kt918{ sim::Model::KT918 }; // outlives the set it is plugged into
	wintest::VirtualScannerSet devices;
	std::unique_ptr<Library> driver;
	TwainApp app;
};

TEST_P(TwainSource, IsListedWithItsIdentity)
{
	const std::vector<TW_IDENTITY> sources = app.sources();
	const auto ours = std::find_if(sources.begin(), sources.end(), [](const TW_IDENTITY &identity) {
		return std::strcmp(identity.Manufacturer, "Torvane") == 0;
	});
	ASSERT_NE(ours, sources.end());
	EXPECT_EQ(std::string(ours->ProductName), "Torvane Scanner");
	EXPECT_EQ(ours->ProtocolMajor, 2);
	EXPECT_EQ(ours->ProtocolMinor, 4);
	EXPECT_EQ(ours->SupportedGroups, DG_CONTROL | DG_IMAGE | DF_DS2);
	EXPECT_EQ(std::string(ours->Version.Info), "1.0.0");
}

TEST_P(TwainSource, EveryTripletInAWrongStateIsASequenceError)
{
	open();
	TW_IMAGEINFO info{};
	EXPECT_EQ(app.call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_FAILURE);
	EXPECT_EQ(app.conditionCode(), TWCC_SEQERROR);
	TW_HANDLE dib = nullptr;
	EXPECT_EQ(app.call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib), TWRC_FAILURE);
	EXPECT_EQ(app.conditionCode(), TWCC_SEQERROR);
	TW_PENDINGXFERS pending{};
	EXPECT_EQ(app.call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending), TWRC_FAILURE);
	EXPECT_EQ(app.conditionCode(), TWCC_SEQERROR);
	EXPECT_EQ(disable(), TWRC_FAILURE);
	EXPECT_EQ(app.conditionCode(), TWCC_SEQERROR);
	// The condition code is that of the last failure, once.
	EXPECT_EQ(app.conditionCode(), TWCC_SUCCESS);

	ASSERT_TRUE(app.enableAndWait());
	// State 6: no negotiation, no second enable, no layout.
	EXPECT_EQ(app.setOne(ICAP_PIXELTYPE, TWTY_UINT16, TWPT_GRAY), TWRC_FAILURE);
	EXPECT_EQ(app.conditionCode(), TWCC_CAPSEQERROR);
	TW_USERINTERFACE ui{ 0, 0, nullptr };
	EXPECT_EQ(app.call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_FAILURE);
	EXPECT_EQ(app.conditionCode(), TWCC_SEQERROR);
	EXPECT_EQ(app.setFrame(0, 0, 1, 1), TWRC_FAILURE);
	EXPECT_EQ(app.conditionCode(), TWCC_SEQERROR);
	// The mechanism negotiated is native: a memory transfer is out of order.
	std::vector<uint8_t> buffer(4096);
	TW_IMAGEMEMXFER memory{};
	memory.Memory = { TWMF_APPOWNS | TWMF_POINTER, 4096, buffer.data() };
	EXPECT_EQ(app.call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &memory), TWRC_FAILURE);
	EXPECT_EQ(app.conditionCode(), TWCC_SEQERROR);
	EXPECT_EQ(endTransfer(MSG_RESET), 0);
	EXPECT_EQ(disable(), TWRC_SUCCESS);
	EXPECT_EQ(app.closeSource(), TWRC_SUCCESS);
}

TEST_P(TwainSource, CapabilitiesNegotiate)
{
	open();
	double value = 0;
	TW_UINT16 type = 0;
	// The defaults other programs rely on.
	EXPECT_EQ(app.getCurrent(CAP_XFERCOUNT, &value, &type), TWRC_SUCCESS);
	EXPECT_EQ(value, -1);
	EXPECT_EQ(type, TWTY_INT16);
	EXPECT_EQ(app.getCurrent(ICAP_UNITS, &value), TWRC_SUCCESS);
	EXPECT_EQ(value, TWUN_INCHES);
	EXPECT_EQ(app.getCurrent(ICAP_XFERMECH, &value), TWRC_SUCCESS);
	EXPECT_EQ(value, TWSX_NATIVE);

	std::vector<double> values;
	TW_UINT16 container = 0;
	uint32_t current = 99, defaultIndex = 99;
	ASSERT_EQ(app.getList(ICAP_PIXELTYPE, &values, &container, &current, &defaultIndex), TWRC_SUCCESS);
	EXPECT_EQ(container, TWON_ENUMERATION);
	EXPECT_EQ(values, (std::vector<double>{ TWPT_BW, TWPT_GRAY, TWPT_RGB }));
	EXPECT_EQ(current, 2u);
	ASSERT_EQ(app.getList(ICAP_XRESOLUTION, &values, &container), TWRC_SUCCESS);
	EXPECT_EQ(values, (std::vector<double>{ 50, 75, 100, 150, 200, 300, 400, 600, 1200 }));
	ASSERT_EQ(app.getList(CAP_SUPPORTEDCAPS, &values, &container), TWRC_SUCCESS);
	EXPECT_EQ(container, TWON_ARRAY);
	EXPECT_EQ(values.size(), 30u);
	EXPECT_NE(std::find(values.begin(), values.end(), ICAP_BITDEPTHREDUCTION), values.end());

	// The bit depth follows the pixel type.
	EXPECT_EQ(app.setOne(ICAP_PIXELTYPE, TWTY_UINT16, TWPT_GRAY), TWRC_SUCCESS);
	EXPECT_EQ(app.getCurrent(ICAP_BITDEPTH, &value), TWRC_SUCCESS);
	EXPECT_EQ(value, 8);
	EXPECT_EQ(app.setOne(ICAP_BITDEPTH, TWTY_UINT16, 24), TWRC_FAILURE);
	EXPECT_EQ(app.conditionCode(), TWCC_BADVALUE);
	EXPECT_EQ(app.setOne(ICAP_PIXELTYPE, TWTY_UINT16, 7), TWRC_FAILURE);
	EXPECT_EQ(app.conditionCode(), TWCC_BADVALUE);
	// A resolution between those served: the nearest, for both axes.
	EXPECT_EQ(app.setOne(ICAP_XRESOLUTION, TWTY_FIX32, 310), TWRC_CHECKSTATUS);
	EXPECT_EQ(app.getCurrent(ICAP_YRESOLUTION, &value), TWRC_SUCCESS);
	EXPECT_EQ(value, 300);
	EXPECT_EQ(app.setOne(CAP_XFERCOUNT, TWTY_INT16, 0), TWRC_FAILURE);
	EXPECT_EQ(app.conditionCode(), TWCC_BADVALUE);
	EXPECT_EQ(app.setOne(0x7777, TWTY_UINT16, 1), TWRC_FAILURE);
	EXPECT_EQ(app.conditionCode(), TWCC_CAPUNSUPPORTED);
	EXPECT_EQ(app.setOne(ICAP_PHYSICALWIDTH, TWTY_FIX32, 3), TWRC_FAILURE);
	EXPECT_EQ(app.conditionCode(), TWCC_CAPBADOPERATION);

	// The scan area from the ability record, in the units asked for.
	ScannerAbility ability{};
	ASSERT_EQ(driver->function<decltype(&::GetScannerAbility)>("GetScannerAbility")(&ability), 1);
	EXPECT_EQ(app.getCurrent(ICAP_PHYSICALWIDTH, &value), TWRC_SUCCESS);
	EXPECT_NEAR(value, ability.ScanWidth / 300.0, 1.0 / 65536);
	EXPECT_EQ(app.setOne(ICAP_UNITS, TWTY_UINT16, TWUN_CENTIMETERS), TWRC_SUCCESS);
	EXPECT_EQ(app.getCurrent(ICAP_PHYSICALHEIGHT, &value), TWRC_SUCCESS);
	EXPECT_NEAR(value, ability.ScanLength / 300.0 * 2.54, 1.0 / 65536);
	EXPECT_EQ(app.setOne(ICAP_SUPPORTEDSIZES, TWTY_UINT16, TWSS_A4), TWRC_SUCCESS);
	TW_IMAGELAYOUT layout{};
	EXPECT_EQ(app.call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, &layout), TWRC_SUCCESS);
	EXPECT_EQ(layout.Frame.Right.Whole, 21);
	EXPECT_EQ(layout.Frame.Bottom.Whole, 29);

	// Query, reset, reset all.
	TW_CAPABILITY query{ ICAP_PIXELTYPE, TWON_DONTCARE16, nullptr };
	ASSERT_EQ(app.call(DG_CONTROL, DAT_CAPABILITY, MSG_QUERYSUPPORT, &query), TWRC_SUCCESS);
	const auto *one = static_cast<const TW_ONEVALUE *>(app.lock(query.hContainer));
	EXPECT_EQ(one->ItemType, TWTY_INT32);
	EXPECT_EQ(one->Item, TW_UINT32(TWQC_GET | TWQC_SET | TWQC_GETDEFAULT | TWQC_GETCURRENT | TWQC_RESET));
	app.unlock(query.hContainer);
	app.release(query.hContainer);
	TW_CAPABILITY reset{ ICAP_PIXELTYPE, TWON_DONTCARE16, nullptr };
	ASSERT_EQ(app.call(DG_CONTROL, DAT_CAPABILITY, MSG_RESET, &reset), TWRC_SUCCESS);
	app.release(reset.hContainer);
	EXPECT_EQ(app.getCurrent(ICAP_PIXELTYPE, &value), TWRC_SUCCESS);
	EXPECT_EQ(value, TWPT_RGB);
	TW_CAPABILITY all{ 0, TWON_DONTCARE16, nullptr };
	EXPECT_EQ(app.call(DG_CONTROL, DAT_CAPABILITY, MSG_RESETALL, &all), TWRC_SUCCESS);
	EXPECT_EQ(app.getCurrent(ICAP_UNITS, &value), TWRC_SUCCESS);
	EXPECT_EQ(value, TWUN_INCHES);
	EXPECT_EQ(app.getCurrent(ICAP_XRESOLUTION, &value), TWRC_SUCCESS);
	EXPECT_EQ(value, 300);

	TW_STATUSUTF8 text{ { TWCC_CAPSEQERROR, 0 }, 0, nullptr };
	ASSERT_EQ(app.call(DG_CONTROL, DAT_STATUSUTF8, MSG_GET, &text), TWRC_SUCCESS);
	EXPECT_EQ(std::string(static_cast<const char *>(app.lock(text.UTF8string))),
		  "The capability cannot be set in the current state");
	EXPECT_EQ(text.Size, 50u);
	app.unlock(text.UTF8string);
	app.release(text.UTF8string);
}

constexpr Area kAreas[] = { { 0.5, 0.25, 1.5, 0.75, 150 }, { 1.0, 1.0, 1.8, 1.2, 300 } };

TEST_P(TwainSource, NativeTransfersHoldTheBytesOfReadScan)
{
	open();
	for (const Area &area : kAreas)
		for (const Mode &mode : kModes) {
			SCOPED_TRACE(std::string(mode.name) + " at " + std::to_string(area.dpi));
			negotiate(mode, area, TWSX_NATIVE);
			ASSERT_TRUE(app.enableAndWait());
			const client::WindowRequest request = requestFor(mode, area);
			const client::ScanWindow window = client::planWindow(request).window;
			TW_IMAGEINFO info{};
			ASSERT_EQ(app.call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS);
			EXPECT_EQ(info.ImageWidth, TW_INT32(window.pixels));
			EXPECT_EQ(info.ImageLength, TW_INT32(window.lines));
			EXPECT_EQ(info.BitsPerPixel, TW_INT16(mode.bits));
			EXPECT_EQ(info.SamplesPerPixel, mode.bits == 24 ? 3 : 1);
			EXPECT_EQ(info.PixelType, mode.pixelType);
			EXPECT_EQ(info.XResolution.Whole, TW_INT16(area.dpi));
			TW_HANDLE dib = nullptr;
			ASSERT_EQ(app.call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib), TWRC_XFERDONE);
			const std::vector<uint8_t> rows =
				rowsOfDib(static_cast<const uint8_t *>(app.lock(dib)), window, area.dpi);
			app.unlock(dib);
			app.release(dib);
			EXPECT_EQ(endTransfer(), 0);
			ASSERT_EQ(disable(), TWRC_SUCCESS);
			ASSERT_EQ(app.closeSource(), TWRC_SUCCESS);
			EXPECT_EQ(rows, readScanImage(request));
			open();
		}
}

TEST_P(TwainSource, MemoryTransfersHoldTheBytesOfReadScan)
{
	open();
	for (const Mode &mode : kModes) {
		SCOPED_TRACE(mode.name);
		const Area &area = kAreas[0];
		negotiate(mode, area, TWSX_MEMORY);
		ASSERT_TRUE(app.enableAndWait());
		const client::WindowRequest request = requestFor(mode, area);
		const client::ScanWindow window = client::planWindow(request).window;
		std::vector<uint8_t> image = memoryImage(window, 7);
		EXPECT_EQ(endTransfer(), 0);
		ASSERT_EQ(disable(), TWRC_SUCCESS);
		ASSERT_EQ(app.closeSource(), TWRC_SUCCESS);
		// 1-bit rows come in the chocolate flavour asked for by default
		// (0 black): the driver's 1 = black inverted.
		if (mode.bits == 1)
			for (uint8_t &byte : image)
				byte = static_cast<uint8_t>(~byte);
		EXPECT_EQ(image, readScanImage(request));
		open();
	}
}

TEST_P(TwainSource, FileTransfersWriteBmpFiles)
{
	open();
	wintest::TempDir dir;
	const Mode &mode = kModes[0];
	const Area &area = kAreas[1];
	negotiate(mode, area, TWSX_FILE);
	ASSERT_TRUE(app.enableAndWait());
	TW_SETUPFILEXFER setup{};
	std::strcpy(setup.FileName, dir.file("page.bmp").c_str());
	setup.Format = TWFF_JFIF;
	EXPECT_EQ(app.call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup), TWRC_FAILURE);
	EXPECT_EQ(app.conditionCode(), TWCC_BADVALUE);
	setup.Format = TWFF_BMP;
	ASSERT_EQ(app.call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup), TWRC_SUCCESS);
	ASSERT_EQ(app.call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr), TWRC_XFERDONE) << app.conditionCode();
	EXPECT_EQ(endTransfer(), 0);
	ASSERT_EQ(disable(), TWRC_SUCCESS);
	ASSERT_EQ(app.closeSource(), TWRC_SUCCESS);
	const std::string file = wintest::readFile(dir.file("page.bmp"));
	ASSERT_GT(file.size(), 54u);
	EXPECT_EQ(file.substr(0, 2), "BM");
	const auto *bytes = reinterpret_cast<const uint8_t *>(file.data());
	EXPECT_EQ(get32(bytes + 2), file.size());
	EXPECT_EQ(get32(bytes + 10), 54u);
	const client::WindowRequest request = requestFor(mode, area);
	EXPECT_EQ(rowsOfDib(bytes + 14, client::planWindow(request).window, area.dpi), readScanImage(request));
}

// The value of a one-value TIFF entry `tag` of the first directory; 0 when missing.
uint32_t tiffEntry(const std::string &file, uint16_t tag)
{
	const auto *bytes = reinterpret_cast<const uint8_t *>(file.data());
	const uint32_t directory = get32(bytes + 4);
	const uint32_t count = bytes[directory] | bytes[directory + 1] << 8;
	for (uint32_t i = 0; i < count; ++i) {
		const uint8_t *entry = bytes + directory + 2 + 12 * i;
		if ((entry[0] | entry[1] << 8) == tag)
			return (entry[2] | entry[3] << 8) == 3 ? uint32_t(entry[8] | entry[9] << 8) : get32(entry + 8);
	}
	return 0;
}

TEST_P(TwainSource, FileTransfersWriteTiffFilesWithTheDriversBytes)
{
	open();
	wintest::TempDir dir;
	for (const Mode &mode : { kModes[1], kModes[2] }) {
		SCOPED_TRACE(mode.name);
		const Area &area = kAreas[1];
		negotiate(mode, area, TWSX_FILE);
		ASSERT_TRUE(app.enableAndWait());
		TW_SETUPFILEXFER setup{};
		std::strcpy(setup.FileName, dir.file("page.tif").c_str());
		setup.Format = TWFF_TIFF;
		ASSERT_EQ(app.call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup), TWRC_SUCCESS);
		ASSERT_EQ(app.call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr), TWRC_XFERDONE);
		EXPECT_EQ(endTransfer(), 0);
		ASSERT_EQ(disable(), TWRC_SUCCESS);
		ASSERT_EQ(app.closeSource(), TWRC_SUCCESS);
		const std::string file = wintest::readFile(dir.file("page.tif"));
		ASSERT_GT(file.size(), 180u);
		EXPECT_EQ(file.substr(0, 4), std::string("II*\0", 4));
		const client::WindowRequest request = requestFor(mode, area);
		const client::ScanWindow window = client::planWindow(request).window;
		EXPECT_EQ(tiffEntry(file, 256), window.pixels);
		EXPECT_EQ(tiffEntry(file, 257), window.lines);
		EXPECT_EQ(tiffEntry(file, 262), mode.bits == 1 ? 0u : 1u); // 1-bit: 1 = black
		const uint32_t offset = tiffEntry(file, 273), length = tiffEntry(file, 279);
		ASSERT_EQ(size_t(offset) + length, file.size());
		const std::vector<uint8_t> strip(file.begin() + offset, file.end());
		EXPECT_EQ(strip, readScanImage(request));
		open();
	}
}

uint32_t getBig32(const uint8_t *at)
{
	return uint32_t(at[0]) << 24 | at[1] << 16 | at[2] << 8 | at[3];
}

// The rows of a PNG file (8 bits, or 1 bit, no interlace): its chunks
// walked, the header and resolution checked, the data inflated with zlib
// and unfiltered. Empty (with a failure) when the file is not right.
std::vector<uint8_t> rowsOfPng(const std::string &file, const client::ScanWindow &window, uint32_t dpi)
{
	const auto *bytes = reinterpret_cast<const uint8_t *>(file.data());
	EXPECT_EQ(file.substr(0, 8), std::string("\x89PNG\r\n\x1A\n", 8));
	std::string deflated;
	bool ended = false;
	for (size_t at = 8; at + 12 <= file.size() && !ended; at += 12 + getBig32(bytes + at)) {
		const uint32_t size = getBig32(bytes + at);
		const std::string type = file.substr(at + 4, 4);
		EXPECT_LE(at + 12 + size, file.size());
		EXPECT_EQ(crc32(0, bytes + at + 4, size + 4), getBig32(bytes + at + 8 + size)) << type;
		const uint8_t *data = bytes + at + 8;
		if (type == "IHDR") {
			EXPECT_EQ(getBig32(data), window.pixels);
			EXPECT_EQ(getBig32(data + 4), window.lines);
			EXPECT_EQ(data[8], window.bitsPerPixel == 1 ? 1 : 8);
			EXPECT_EQ(data[9], window.bitsPerPixel == 24 ? 2 : 0);
		} else if (type == "pHYs") {
			EXPECT_EQ(getBig32(data), (dpi * 10000 + 127) / 254);
			EXPECT_EQ(data[8], 1);
		} else if (type == "IDAT") {
			deflated.append(file, at + 8, size);
		}
		ended = type == "IEND";
	}
	EXPECT_TRUE(ended);
	const uint32_t row = window.bytesPerLine;
	std::vector<uint8_t> filtered(size_t(row + 1) * window.lines + 1);
	uLongf size = static_cast<uLongf>(filtered.size());
	EXPECT_EQ(uncompress(filtered.data(), &size, reinterpret_cast<const Bytef *>(deflated.data()),
			     static_cast<uLong>(deflated.size())),
		  Z_OK);
	EXPECT_EQ(size, filtered.size() - 1);
	std::vector<uint8_t> image(size_t(row) * window.lines);
	for (uint32_t line = 0; line < window.lines; ++line) {
		const uint8_t filter = filtered[size_t(row + 1) * line];
		EXPECT_TRUE(filter == 0 || filter == 2) << "filter " << int(filter) << " of line " << line;
		for (uint32_t i = 0; i < row; ++i) {
			const uint8_t above = line > 0 && filter == 2 ? image[size_t(row) * (line - 1) + i] : 0;
			image[size_t(row) * line + i] = static_cast<uint8_t>(filtered[size_t(row + 1) * line + 1 + i] + above);
		}
	}
	return image;
}

TEST_P(TwainSource, FileTransfersWritePngFiles)
{
	open();
	wintest::TempDir dir;
	for (const Mode &mode : { kModes[0], kModes[1], kModes[2] }) {
		SCOPED_TRACE(mode.name);
		const Area &area = kAreas[mode.bits == 1 ? 0 : 1];
		negotiate(mode, area, TWSX_FILE);
		ASSERT_TRUE(app.enableAndWait());
		TW_SETUPFILEXFER setup{};
		std::strcpy(setup.FileName, dir.file("page.png").c_str());
		setup.Format = TWFF_PNG;
		ASSERT_EQ(app.call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup), TWRC_SUCCESS);
		ASSERT_EQ(app.call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr), TWRC_XFERDONE) << app.conditionCode();
		EXPECT_EQ(endTransfer(), 0);
		ASSERT_EQ(disable(), TWRC_SUCCESS);
		ASSERT_EQ(app.closeSource(), TWRC_SUCCESS);
		const client::WindowRequest request = requestFor(mode, area);
		const client::ScanWindow window = client::planWindow(request).window;
		std::vector<uint8_t> expected = readScanImage(request);
		// Bilevel PNG is 0 = black: the driver's bytes inverted, with the
		// padding bits of a row's last byte 0.
		for (size_t i = 0; mode.bits == 1 && i < expected.size(); ++i)
			expected[i] = static_cast<uint8_t>(~expected[i] & (i % window.bytesPerLine == window.bytesPerLine - 1
										   ? 0xFF00 >> (window.pixels % 8 ? window.pixels % 8 : 8)
										   : 0xFF));
		EXPECT_EQ(rowsOfPng(wintest::readFile(dir.file("page.png")), window, area.dpi), expected);
		open();
	}
}

TEST_P(TwainSource, Group4CodesBilevelTiffFilesAndMemoryStrips)
{
	open();
	// Grey cannot be coded in Group 4; 1-bit can, memory and TIFF only.
	negotiate(kModes[1], kAreas[0], TWSX_MEMORY);
	EXPECT_EQ(app.setOne(ICAP_COMPRESSION, TWTY_UINT16, TWCP_GROUP4), TWRC_FAILURE);
	EXPECT_EQ(app.conditionCode(), TWCC_BADVALUE);
	// Halftone across the chart's width: dots that code long enough for
	// several strips.
	const Mode &mode = kModes[3];
	const Area area{ 0.0, 0.5, 8.0, 1.5, 300 };
	negotiate(mode, area, TWSX_FILE);
	ASSERT_EQ(app.setOne(ICAP_COMPRESSION, TWTY_UINT16, TWCP_GROUP4), TWRC_SUCCESS);
	const client::WindowRequest request = requestFor(mode, area);
	const client::ScanWindow window = client::planWindow(request).window;

	wintest::TempDir dir;
	ASSERT_TRUE(app.enableAndWait());
	TW_SETUPFILEXFER setup{};
	std::strcpy(setup.FileName, dir.file("page.tif").c_str());
	setup.Format = TWFF_TIFF;
	ASSERT_EQ(app.call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup), TWRC_SUCCESS);
	TW_IMAGEINFO info{};
	ASSERT_EQ(app.call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS);
	EXPECT_EQ(info.Compression, TWCP_GROUP4);
	ASSERT_EQ(app.call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr), TWRC_XFERDONE);
	EXPECT_EQ(endTransfer(), 0);
	ASSERT_EQ(disable(), TWRC_SUCCESS);

	// Memory strips: each a block of its own, as many rows as fit.
	ASSERT_EQ(app.setOne(ICAP_XFERMECH, TWTY_UINT16, TWSX_MEMORY), TWRC_SUCCESS);
	ASSERT_TRUE(app.enableAndWait());
	TW_SETUPMEMXFER sizes{};
	ASSERT_EQ(app.call(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &sizes), TWRC_SUCCESS);
	EXPECT_EQ(sizes.MinBufSize, G4Encoder::worstRowBytes(window.pixels) + G4Encoder::kEndBytes);
	std::vector<uint8_t> buffer(sizes.MinBufSize + 40);
	struct Strip {
		uint32_t first, rows;
		std::vector<uint8_t> bytes;
	};
	std::vector<Strip> strips;
	for (uint32_t first = 0;;) {
		TW_IMAGEMEMXFER transfer{};
		transfer.Memory = { TWMF_APPOWNS | TWMF_POINTER, static_cast<TW_UINT32>(buffer.size()), buffer.data() };
		const TW_UINT16 rc = app.call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &transfer);
		ASSERT_TRUE(rc == TWRC_SUCCESS || rc == TWRC_XFERDONE) << app.conditionCode();
		EXPECT_EQ(transfer.Compression, TWCP_GROUP4);
		EXPECT_EQ(transfer.BytesPerRow, window.bytesPerLine);
		EXPECT_EQ(transfer.Columns, window.pixels);
		EXPECT_EQ(transfer.YOffset, first);
		ASSERT_LE(transfer.BytesWritten, buffer.size());
		strips.push_back({ first, transfer.Rows, { buffer.begin(), buffer.begin() + transfer.BytesWritten } });
		first += transfer.Rows;
		if (rc == TWRC_XFERDONE) {
			EXPECT_EQ(first, window.lines);
			break;
		}
	}
	EXPECT_GT(strips.size(), 1u);
	EXPECT_EQ(endTransfer(), 0);
	ASSERT_EQ(disable(), TWRC_SUCCESS);
	ASSERT_EQ(app.closeSource(), TWRC_SUCCESS);

	// The coding itself is checked against libtiff's decoder on Linux
	// (twain_image_tests): here the blocks are those of ReadScan's rows.
	const std::vector<uint8_t> image = readScanImage(request);
	const std::string file = wintest::readFile(dir.file("page.tif"));
	EXPECT_EQ(tiffEntry(file, 259), 4u);
	EXPECT_EQ(tiffEntry(file, 262), 0u);
	const uint32_t offset = tiffEntry(file, 273), length = tiffEntry(file, 279);
	ASSERT_EQ(size_t(offset) + length, file.size());
	EXPECT_EQ(std::vector<uint8_t>(file.begin() + offset, file.end()),
		  g4Block(image.data(), window.pixels, window.bytesPerLine, 0, window.lines));
	for (const Strip &strip : strips)
		EXPECT_EQ(strip.bytes, g4Block(image.data(), window.pixels, window.bytesPerLine, strip.first, strip.rows))
			<< "strip at row " << strip.first;
}

TEST_P(TwainSource, ACancelledTransferLeavesTheScannerFreeForTheNext)
{
	open();
	const Mode &mode = kModes[1];
	const Area &area = kAreas[0];
	negotiate(mode, area, TWSX_MEMORY);
	const client::ScanWindow window = client::planWindow(requestFor(mode, area)).window;
	for (int round = 0; round < 2; ++round) {
		ASSERT_TRUE(app.enableAndWait());
		std::vector<uint8_t> buffer(window.bytesPerLine * 4);
		TW_IMAGEMEMXFER transfer{};
		transfer.Memory = { TWMF_APPOWNS | TWMF_POINTER, static_cast<TW_UINT32>(buffer.size()), buffer.data() };
		ASSERT_EQ(app.call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &transfer), TWRC_SUCCESS);
		EXPECT_EQ(transfer.Rows, 4u);
		// Ended in the middle (state 7), then no more pages.
		EXPECT_EQ(endTransfer(), 0);
		EXPECT_EQ(disable(), TWRC_SUCCESS);
	}
	ASSERT_TRUE(app.enableAndWait());
	std::vector<uint8_t> image = memoryImage(window, 16);
	EXPECT_EQ(endTransfer(), 0);
	ASSERT_EQ(disable(), TWRC_SUCCESS);
	ASSERT_EQ(app.closeSource(), TWRC_SUCCESS);
	EXPECT_EQ(image, readScanImage(requestFor(mode, area)));
}

TEST_P(TwainSource, SeveralPagesAreCountedDown)
{
	open();
	negotiate(kModes[2], kAreas[0], TWSX_NATIVE);
	auto transferOne = [this] {
		TW_HANDLE dib = nullptr;
		ASSERT_EQ(app.call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib), TWRC_XFERDONE);
		app.release(dib);
	};
	ASSERT_EQ(app.setOne(CAP_XFERCOUNT, TWTY_INT16, 3), TWRC_SUCCESS);
	ASSERT_TRUE(app.enableAndWait());
	for (int left = 2; left >= 0; --left) {
		transferOne();
		EXPECT_EQ(endTransfer(), left);
	}
	ASSERT_EQ(disable(), TWRC_SUCCESS);

	// All pages (-1) of the sheet-fed RM735: a count of -1 until the
	// application stops the feeder, then the page ready is the last.
	double feeder = 0;
	ASSERT_EQ(app.getCurrent(CAP_FEEDERENABLED, &feeder), TWRC_SUCCESS);
	ASSERT_EQ(feeder, 1);
	ASSERT_EQ(app.setOne(CAP_XFERCOUNT, TWTY_INT16, -1), TWRC_SUCCESS);
	ASSERT_TRUE(app.enableAndWait());
	TW_PENDINGXFERS pending{};
	EXPECT_EQ(app.call(DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, &pending), TWRC_SUCCESS);
	EXPECT_EQ(pending.Count, 0xFFFF);
	for (int page = 0; page < 3; ++page) {
		transferOne();
		EXPECT_EQ(endTransfer(), 0xFFFF);
	}
	EXPECT_EQ(endTransfer(MSG_STOPFEEDER), 1);
	transferOne();
	EXPECT_EQ(endTransfer(), 0);
	ASSERT_EQ(disable(), TWRC_SUCCESS);
}

// A stack of plain sheets for the feeder, one grey level each.
std::vector<std::unique_ptr<sim::DocumentSource>> stackOf(std::initializer_list<uint8_t> greys)
{
	std::vector<std::unique_ptr<sim::DocumentSource>> stack;
	for (const uint8_t grey : greys) {
		sim::RgbImage image;
		image.resize(850, 1100, grey); // letter at 100 dpi
		stack.push_back(std::make_unique<sim::ImageDocument>(std::move(image), 100));
	}
	return stack;
}

TEST_P(TwainSource, AFeederStackIsScannedUntilTheFeederIsEmpty)
{
	open();
	const Mode &mode = kModes[1];
	const Area &area = kAreas[0];
	negotiate(mode, area, TWSX_NATIVE);
	ASSERT_EQ(app.setOne(CAP_XFERCOUNT, TWTY_INT16, -1), TWRC_SUCCESS);
	const client::WindowRequest request = requestFor(mode, area);
	const client::ScanWindow window = client::planWindow(request).window;
	const uint8_t greys[] = { 40, 120, 200 };
	scanner.loadFeeder(stackOf({ greys[0], greys[1], greys[2] }));
	ASSERT_TRUE(app.enableAndWait());
	std::vector<std::vector<uint8_t>> pages;
	for (int page = 0; page < 3; ++page) {
		TW_HANDLE dib = nullptr;
		ASSERT_EQ(app.call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib), TWRC_XFERDONE) << app.conditionCode();
		pages.push_back(rowsOfDib(static_cast<const uint8_t *>(app.lock(dib)), window, area.dpi));
		app.unlock(dib);
		app.release(dib);
		// The next sheet is fed as the page ends: after the last, none.
		EXPECT_EQ(endTransfer(), page < 2 ? 0xFFFF : 0) << "page " << page + 1;
	}
	double loaded = 1;
	EXPECT_EQ(app.getCurrent(CAP_FEEDERLOADED, &loaded), TWRC_SUCCESS);
	EXPECT_EQ(loaded, 0);
	ASSERT_EQ(disable(), TWRC_SUCCESS);
	// Nothing in the feeder at the first page.
	ASSERT_TRUE(app.enableAndWait());
	TW_HANDLE dib = nullptr;
	EXPECT_EQ(app.call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib), TWRC_FAILURE);
	EXPECT_EQ(app.conditionCode(), TWCC_NOMEDIA);
	EXPECT_EQ(endTransfer(MSG_RESET), 0);
	ASSERT_EQ(disable(), TWRC_SUCCESS);
	ASSERT_EQ(app.closeSource(), TWRC_SUCCESS);

	EXPECT_NE(pages[0], pages[1]);
	for (size_t i = 0; i < pages.size(); ++i) {
		scanner.loadFeeder(stackOf({ greys[i] }));
		EXPECT_EQ(pages[i], readScanImage(request)) << "page " << i + 1;
	}
}

TEST_P(TwainSource, AJamADoubleFeedAndAnUnplugAreDeviceEventsAndConditionCodes)
{
	open();
	negotiate(kModes[1], kAreas[0], TWSX_NATIVE);
	ASSERT_EQ(app.setOne(CAP_XFERCOUNT, TWTY_INT16, -1), TWRC_SUCCESS);
	// A lamp failure is not an event this scanner reports.
	EXPECT_EQ(app.setArray(CAP_DEVICEEVENT, { TWDE_PAPERJAM, 14 }), TWRC_FAILURE);
	EXPECT_EQ(app.conditionCode(), TWCC_BADVALUE);
	ASSERT_EQ(app.setArray(CAP_DEVICEEVENT, { TWDE_PAPERJAM, TWDE_DEVICEREMOVED }), TWRC_SUCCESS);
	std::vector<double> events;
	TW_UINT16 container = 0;
	ASSERT_EQ(app.getList(CAP_DEVICEEVENT, &events, &container), TWRC_SUCCESS);
	EXPECT_EQ(container, TWON_ARRAY);
	EXPECT_EQ(events, (std::vector<double>{ TWDE_PAPERJAM, TWDE_DEVICEREMOVED }));

	auto nextEvent = [this](TW_UINT16 expected) {
		ASSERT_TRUE(app.waitForMessage(MSG_DEVICEEVENT, 5000));
		TW_DEVICEEVENT event{};
		ASSERT_EQ(app.call(DG_CONTROL, DAT_DEVICEEVENT, MSG_GET, &event), TWRC_SUCCESS);
		EXPECT_EQ(event.Event, expected);
		EXPECT_EQ(std::string(event.DeviceName), "RM735");
		// One event, told once.
		EXPECT_EQ(app.call(DG_CONTROL, DAT_DEVICEEVENT, MSG_GET, &event), TWRC_FAILURE);
		EXPECT_EQ(app.conditionCode(), TWCC_SEQERROR);
	};
	// The second sheet jams, or comes with the third, as it is fed at the
	// first page's end: the event then, the code at its transfer.
	TW_HANDLE dib = nullptr;
	auto secondSheetFails = [&](TW_UINT16 event, TW_UINT16 code) {
		ASSERT_TRUE(app.enableAndWait());
		ASSERT_EQ(app.call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib), TWRC_XFERDONE);
		app.release(dib);
		app.forgetMessages();
		EXPECT_EQ(endTransfer(), 0xFFFF);
		nextEvent(event);
		EXPECT_EQ(app.call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib), TWRC_FAILURE);
		EXPECT_EQ(app.conditionCode(), code);
		EXPECT_EQ(endTransfer(MSG_RESET), 0);
		ASSERT_EQ(disable(), TWRC_SUCCESS);
		scanner.emptyFeeder();
	};
	scanner.loadFeeder(stackOf({ 40, 120, 200 }));
	scanner.jamFeederAt(2);
	secondSheetFails(TWDE_PAPERJAM, TWCC_PAPERJAM);
	// A double feed is found with the ultrasonic sensor on.
	ASSERT_EQ(app.setArray(CAP_DOUBLEFEEDDETECTION, { TWDF_ULTRASONIC }), TWRC_SUCCESS);
	ASSERT_EQ(app.setArray(CAP_DEVICEEVENT, { TWDE_PAPERDOUBLEFEED, TWDE_DEVICEREMOVED }), TWRC_SUCCESS);
	scanner.loadFeeder(stackOf({ 40, 120, 200 }));
	scanner.doubleFeedAt(2);
	secondSheetFails(TWDE_PAPERDOUBLEFEED, TWCC_PAPERDOUBLEFEED);

	// The scanner unplugged before a page.
	ASSERT_EQ(app.setOne(CAP_XFERCOUNT, TWTY_INT16, 1), TWRC_SUCCESS);
	ASSERT_TRUE(app.enableAndWait());
	devices.unplug(0);
	app.forgetMessages();
	EXPECT_EQ(app.call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib), TWRC_FAILURE);
	EXPECT_EQ(app.conditionCode(), TWCC_CHECKDEVICEONLINE);
	nextEvent(TWDE_DEVICEREMOVED);
	EXPECT_EQ(endTransfer(MSG_RESET), 0);
	ASSERT_EQ(disable(), TWRC_SUCCESS);
}

TEST_P(TwainSource, DriverFailuresBecomeConditionCodes)
{
	// No scanner: the source does not open.
	devices.unplug(0);
	EXPECT_EQ(app.openSource(callbacks()), TWRC_FAILURE);
	devices.plug(0, scanner);
	open();
	negotiate(kModes[1], kAreas[0], TWSX_NATIVE);
	ASSERT_TRUE(app.enableAndWait());
	// Another program's scan holds the scanner: the application may retry.
	auto setScanBusy = driver->function<TorvaneTestSetScanBusyCall>("TorvaneTestSetScanBusy");
	setScanBusy(1);
	TW_HANDLE dib = nullptr;
	EXPECT_EQ(app.call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib), TWRC_FAILURE);
	EXPECT_EQ(app.conditionCode(), TWCC_DENIED);
	setScanBusy(0);
	ASSERT_EQ(app.call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib), TWRC_XFERDONE);
	app.release(dib);
	EXPECT_EQ(endTransfer(), 0);
	ASSERT_EQ(disable(), TWRC_SUCCESS);
}

TEST_P(TwainSource, AGreyResponseBecomesTheDriversToneCurve)
{
	open();
	const Mode &mode = kModes[1];
	const Area &area = kAreas[0];
	negotiate(mode, area, TWSX_MEMORY);
	// The response belongs to its pixel type.
	std::vector<TW_ELEMENT8> response(256);
	EXPECT_EQ(app.call(DG_IMAGE, DAT_RGBRESPONSE, MSG_SET, response.data()), TWRC_FAILURE);
	EXPECT_EQ(app.conditionCode(), TWCC_SEQERROR);
	for (int i = 0; i < 256; ++i) {
		const auto level = static_cast<TW_UINT8>(255 - i / 2);
		response[i] = { static_cast<TW_UINT8>(i), level, level, level };
	}
	ASSERT_EQ(app.call(DG_IMAGE, DAT_GRAYRESPONSE, MSG_SET, response.data()), TWRC_SUCCESS);
	ASSERT_TRUE(app.enableAndWait());
	const client::WindowRequest request = requestFor(mode, area);
	const std::vector<uint8_t> image = memoryImage(client::planWindow(request).window, 16);
	EXPECT_EQ(endTransfer(), 0);
	ASSERT_EQ(disable(), TWRC_SUCCESS);
	ASSERT_EQ(app.closeSource(), TWRC_SUCCESS);
	const auto sentWithResponse = scanner.gammaTable(0);
	ASSERT_TRUE(sentWithResponse.has_value());

	// ReadScan with the same curve.
	std::string error;
	auto library = client::DriverLibrary::load({ sourceFolder(GetParam()) + "\\RM735.dll" }, &error);
	ASSERT_TRUE(library) << error;
	const client::WindowResult planned = client::planWindow(request);
	client::DriverSession session(*library);
	ScannerAbility basic;
	ScannerAbilityEx extended;
	ASSERT_TRUE(session.openScanner(&basic, &extended, true));
	unsigned char curve[256];
	for (int i = 0; i < 256; ++i)
		curve[i] = static_cast<unsigned char>(255 - i / 2);
	std::vector<uint8_t> expected(size_t(planned.window.bytesPerLine) * planned.window.lines);
	ASSERT_TRUE(session.setUp(planned.window.parameter));
	ASSERT_TRUE(session.sendToneCurve(curve, planned.window.scannedInColour));
	ASSERT_TRUE(session.start());
	ASSERT_TRUE(session.read(expected.data(), static_cast<uint32_t>(expected.size())));
	ASSERT_TRUE(session.stop());
	library->api().TerminateDriver();
	EXPECT_EQ(image, expected);
	// The scanner was sent the same tables both times, and other ones for
	// a scan without the response.
	EXPECT_EQ(scanner.gammaTable(0), sentWithResponse);
	readScanImage(request);
	EXPECT_NE(scanner.gammaTable(0), sentWithResponse);
}

TEST_P(TwainSource, TheScannersOwnModelsDllDrivesIt)
{
	// A KT918 alone: found through the first DLL, driven by KT918.dll.
	devices.unplug(0);
	devices.plug(0, kt918);
	const std::string second = sourceFolder(GetParam()) + "\\KT918.dll";
	ASSERT_TRUE(::CopyFileA((wintest::programDir() + "torvane_test_driver.dll").c_str(), second.c_str(), FALSE));
	Library secondDriver(second);
	ASSERT_TRUE(secondDriver.loaded());
	secondDriver.function<TorvaneTestSetDeviceCallsCall>("TorvaneTestSetDeviceCalls")(
		wintest::installFakeDevices(&devices));
	open();
	ScannerAbility ability{};
	ASSERT_EQ(secondDriver.function<decltype(&::GetScannerAbility)>("GetScannerAbility")(&ability), 1);
	EXPECT_STREQ(ability.ProductName, "KT918");
	double length = 0;
	EXPECT_EQ(app.getCurrent(ICAP_PHYSICALHEIGHT, &length), TWRC_SUCCESS);
	EXPECT_NEAR(length, ability.ScanLength / 300.0, 1.0 / 65536);

	// Grey of the red channel only, by memory transfer.
	const Mode &mode = kModes[1];
	const Area &area = kAreas[1];
	negotiate(mode, area, TWSX_MEMORY);
	ASSERT_EQ(app.setOne(ICAP_FILTER, TWTY_UINT16, TWFT_RED), TWRC_SUCCESS);
	ASSERT_TRUE(app.enableAndWait());
	client::WindowRequest request = requestFor(mode, area);
	request.colourFilter = 1;
	const std::vector<uint8_t> image = memoryImage(client::planWindow(request).window, 9);
	EXPECT_EQ(endTransfer(), 0);
	ASSERT_EQ(disable(), TWRC_SUCCESS);
	ASSERT_EQ(app.closeSource(), TWRC_SUCCESS);
	EXPECT_EQ(image, readScanImage(request, "KT918.dll"));
	EXPECT_NE(image, readScanImage(requestFor(mode, area), "KT918.dll")); // the filter mattered
	secondDriver.function<TorvaneTestSetDeviceCallsCall>("TorvaneTestSetDeviceCalls")(nullptr);
}

TEST_P(TwainSource, HalftonePatternsAreChosenByName)
{
	open();
	std::vector<double> values;
	TW_UINT16 container = 0;
	ASSERT_EQ(app.getList(ICAP_HALFTONES, &values, &container), TWRC_SUCCESS);
	EXPECT_EQ(container, TWON_ENUMERATION);
	EXPECT_EQ(values.size(), 6u);
	TW_CAPABILITY names{ ICAP_HALFTONES, TWON_DONTCARE16, nullptr };
	ASSERT_EQ(app.call(DG_CONTROL, DAT_CAPABILITY, MSG_GET, &names), TWRC_SUCCESS);
	const auto *list = static_cast<const TW_ENUMERATION *>(app.lock(names.hContainer));
	EXPECT_EQ(list->ItemType, TWTY_STR32);
	EXPECT_EQ(std::string(reinterpret_cast<const char *>(list->ItemList) + 5 * sizeof(TW_STR32)), "Pattern 6");
	app.unlock(names.hContainer);
	app.release(names.hContainer);

	auto setName = [this](const char *name) {
		TW_HANDLE handle = ::GlobalAlloc(GHND, 2 + sizeof(TW_STR32));
		auto *at = static_cast<uint8_t *>(::GlobalLock(handle));
		const TW_UINT16 type = TWTY_STR32;
		std::memcpy(at, &type, 2);
		std::strcpy(reinterpret_cast<char *>(at + 2), name);
		::GlobalUnlock(handle);
		TW_CAPABILITY capability{ ICAP_HALFTONES, TWON_ONEVALUE, handle };
		const TW_UINT16 rc = app.call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &capability);
		::GlobalFree(handle);
		return rc;
	};
	EXPECT_EQ(setName("Pattern 9"), TWRC_FAILURE);
	EXPECT_EQ(app.conditionCode(), TWCC_BADVALUE);
	ASSERT_EQ(setName("Pattern 4"), TWRC_SUCCESS);

	const Mode &mode = kModes[3];
	const Area &area = kAreas[1];
	negotiate(mode, area, TWSX_MEMORY);
	ASSERT_TRUE(app.enableAndWait());
	client::WindowRequest request = requestFor(mode, area);
	request.halftonePattern = 4;
	std::vector<uint8_t> image = memoryImage(client::planWindow(request).window, 20);
	EXPECT_EQ(endTransfer(), 0);
	ASSERT_EQ(disable(), TWRC_SUCCESS);
	ASSERT_EQ(app.closeSource(), TWRC_SUCCESS);
	for (uint8_t &byte : image)
		byte = static_cast<uint8_t>(~byte); // chocolate rows
	EXPECT_EQ(image, readScanImage(request));
	EXPECT_NE(image, readScanImage(requestFor(mode, area))); // pattern 1's
}

// The window as it is on screen, saved as a BMP file; the number of colours in it.
size_t screenshot(HWND window, const std::string &file)
{
	RECT rect;
	::GetWindowRect(window, &rect);
	const LONG width = rect.right - rect.left, height = rect.bottom - rect.top;
	BITMAPINFO info{};
	info.bmiHeader = { sizeof(BITMAPINFOHEADER), width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0 };
	void *bits = nullptr;
	HDC screen = ::GetWindowDC(window);
	HDC memory = ::CreateCompatibleDC(screen);
	HBITMAP bitmap = ::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
	HGDIOBJ old = ::SelectObject(memory, bitmap);
	::BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
	::GdiFlush();
	const uint32_t stride = (uint32_t(width) * 3 + 3) & ~3u;
	const auto *pixels = static_cast<const uint8_t *>(bits);
	std::string bmp(54, '\0');
	const uint32_t size = 54 + stride * uint32_t(height);
	auto put32 = [&](size_t at, uint32_t v) { std::memcpy(&bmp[at], &v, 4); };
	bmp[0] = 'B';
	bmp[1] = 'M';
	put32(2, size);
	put32(10, 54);
	std::memcpy(&bmp[14], &info.bmiHeader, 40);
	bmp.append(reinterpret_cast<const char *>(pixels), stride * uint32_t(height));
	wintest::writeFile(file, bmp);
	std::vector<uint32_t> colours;
	for (LONG y = 0; y < height; ++y)
		for (LONG x = 0; x < width; ++x) {
			const uint8_t *p = pixels + size_t(y) * stride + 3 * x;
			colours.push_back(uint32_t(p[0]) | p[1] << 8 | p[2] << 16);
		}
	std::sort(colours.begin(), colours.end());
	::SelectObject(memory, old);
	::DeleteObject(bitmap);
	::DeleteDC(memory);
	::ReleaseDC(window, screen);
	return static_cast<size_t>(std::unique(colours.begin(), colours.end()) - colours.begin());
}

TEST_P(TwainSource, TheDialogScansWhatItShows)
{
	if (!std::getenv("DISPLAY"))
		GTEST_SKIP() << "no display for the dialog (scripts/test-windows.sh starts Xvfb)";
	open();
	ASSERT_EQ(app.setOne(CAP_XFERCOUNT, TWTY_INT16, 1), TWRC_SUCCESS);
	TW_USERINTERFACE ui{ 1, 0, nullptr };
	app.forgetMessages();
	ASSERT_EQ(app.call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_SUCCESS);
	HWND dialog = ::FindWindowA(nullptr, "Torvane Scanner");
	ASSERT_NE(dialog, nullptr);
	EXPECT_EQ(::SendDlgItemMessageA(dialog, TORVANE_IDC_MODE, CB_GETCOUNT, 0, 0), 4);
	EXPECT_EQ(::SendDlgItemMessageA(dialog, TORVANE_IDC_HALFTONE, CB_GETCOUNT, 0, 0), 6);
	char text[64] = {};
	::GetDlgItemTextA(dialog, TORVANE_IDC_MODE, text, sizeof(text));
	EXPECT_STREQ(text, "Colour");
	::GetDlgItemTextA(dialog, TORVANE_IDC_RESOLUTION, text, sizeof(text));
	EXPECT_STREQ(text, "300");
	::GetDlgItemTextA(dialog, IDOK, text, sizeof(text));
	EXPECT_STREQ(text, "&Scan");
	::UpdateWindow(dialog);
	EXPECT_GT(screenshot(dialog, wintest::programDir() + "twain_dialog.bmp"), 3u);

	// Grey, 150 dpi, A5; a preview first, then Scan.
	auto choose = [dialog](int id, const char *item) {
		const LRESULT index = ::SendDlgItemMessageA(dialog, id, CB_FINDSTRINGEXACT, WPARAM(-1), LPARAM(item));
		ASSERT_NE(index, CB_ERR) << item;
		::SendDlgItemMessageA(dialog, id, CB_SETCURSEL, WPARAM(index), 0);
	};
	choose(TORVANE_IDC_MODE, "Grey");
	choose(TORVANE_IDC_RESOLUTION, "150");
	choose(TORVANE_IDC_PAPER, "A5");
	EXPECT_EQ(scanner.imageBytesSent(), 0u);
	::SendMessageA(::GetDlgItem(dialog, TORVANE_IDC_PREVIEW), BM_CLICK, 0, 0);
	EXPECT_GT(scanner.imageBytesSent(), 0u); // the preview scanned, and is over
	EXPECT_FALSE(scanner.scanning());
	::SendMessageA(::GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
	ASSERT_TRUE(app.waitForMessage(MSG_XFERREADY, 10000));
	EXPECT_FALSE(::IsWindowEnabled(::GetDlgItem(dialog, IDOK)));

	const Area a5{ 0, 0, 148 / 25.4, 210 / 25.4, 150 };
	const client::WindowRequest request = requestFor(kModes[1], a5);
	const client::ScanWindow window = client::planWindow(request).window;
	TW_IMAGEINFO info{};
	ASSERT_EQ(app.call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS);
	EXPECT_EQ(info.ImageWidth, TW_INT32(window.pixels));
	EXPECT_EQ(info.ImageLength, TW_INT32(window.lines));
	EXPECT_EQ(info.PixelType, TWPT_GRAY);
	TW_HANDLE dib = nullptr;
	ASSERT_EQ(app.call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib), TWRC_XFERDONE);
	const std::vector<uint8_t> rows = rowsOfDib(static_cast<const uint8_t *>(app.lock(dib)), window, 150);
	app.unlock(dib);
	app.release(dib);
	app.forgetMessages();
	EXPECT_EQ(endTransfer(), 0);
	// The pages are there: the source asks to be closed.
	EXPECT_TRUE(app.waitForMessage(MSG_CLOSEDSREQ, 10000));
	ASSERT_EQ(disable(), TWRC_SUCCESS);
	EXPECT_FALSE(::IsWindow(dialog));
	ASSERT_EQ(app.closeSource(), TWRC_SUCCESS);
	EXPECT_EQ(rows, readScanImage(request));
}

// Keys as a user types them (SendInput reaches the window with the focus):
// pressed in order, released in reverse.
void typeKeys(std::initializer_list<WORD> chord)
{
	std::vector<INPUT> inputs;
	auto key = [](WORD code, DWORD flags) {
		INPUT input{};
		input.type = INPUT_KEYBOARD;
		input.ki.wVk = code;
		input.ki.dwFlags = flags;
		return input;
	};
	for (const WORD code : chord)
		inputs.push_back(key(code, 0));
	for (auto code = std::rbegin(chord); code != std::rend(chord); ++code)
		inputs.push_back(key(*code, KEYEVENTF_KEYUP));
	::SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

// The application's message loop for `ms`: every message goes to the source
// first (DAT_EVENT), as a Windows application's loop does in states 5 to 7.
// The last TWAIN message the source handed back that way.
TW_UINT16 runMessageLoop(TwainApp &app, DWORD ms)
{
	TW_UINT16 delivered = MSG_NULL;
	const DWORD end = ::GetTickCount() + ms;
	do {
		MSG message;
		while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
			TW_EVENT event{ &message, MSG_NULL };
			if (app.call(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event) == TWRC_DSEVENT) {
				delivered = event.TWMessage != MSG_NULL ? event.TWMessage : delivered;
				continue;
			}
			::TranslateMessage(&message);
			::DispatchMessageA(&message);
		}
		::MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
	} while (static_cast<int32_t>(end - ::GetTickCount()) > 0);
	return delivered;
}

TEST_P(TwainSource, TheDialogIsUsedByKeyboardAlone)
{
	if (!std::getenv("DISPLAY"))
		GTEST_SKIP() << "no display for the dialog (scripts/test-windows.sh starts Xvfb)";
	open();
	ASSERT_EQ(app.setOne(CAP_XFERCOUNT, TWTY_INT16, 1), TWRC_SUCCESS);
	TW_USERINTERFACE ui{ 1, 0, nullptr };
	app.forgetMessages();
	ASSERT_EQ(app.call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_SUCCESS);
	HWND dialog = ::FindWindowA(nullptr, "Torvane Scanner");
	ASSERT_NE(dialog, nullptr);
	auto type = [this](std::initializer_list<WORD> chord) {
		typeKeys(chord);
		return runMessageLoop(app, 150);
	};
	auto focused = [] { return ::GetDlgCtrlID(::GetFocus()); };
	auto text = [dialog](int id) {
		char buffer[64] = {};
		::GetDlgItemTextA(dialog, id, buffer, sizeof(buffer));
		return std::string(buffer);
	};
	runMessageLoop(app, 300);
	EXPECT_EQ(focused(), TORVANE_IDC_MODE);
	// Tab reaches every control in order, and comes round; Shift+Tab goes back.
	std::vector<int> order;
	for (int i = 0; i < 8; ++i) {
		type({ VK_TAB });
		order.push_back(focused());
	}
	EXPECT_EQ(order, (std::vector<int>{ TORVANE_IDC_RESOLUTION, TORVANE_IDC_PAPER, TORVANE_IDC_FILTER,
					    TORVANE_IDC_HALFTONE, TORVANE_IDC_PREVIEW, IDOK, IDCANCEL,
					    TORVANE_IDC_MODE }));
	type({ VK_SHIFT, VK_TAB });
	EXPECT_EQ(focused(), IDCANCEL);
	// Each mnemonic reaches its list; the arrows choose in it.
	const std::pair<WORD, int> mnemonics[] = { { 'R', TORVANE_IDC_RESOLUTION }, { 'P', TORVANE_IDC_PAPER }, { 'F', TORVANE_IDC_FILTER }, { 'H', TORVANE_IDC_HALFTONE }, { 'M', TORVANE_IDC_MODE } };
	for (const auto &[letter, id] : mnemonics) {
		type({ VK_MENU, letter });
		EXPECT_EQ(focused(), id) << char(letter);
	}
	type({ VK_DOWN });
	EXPECT_EQ(text(TORVANE_IDC_MODE), "Grey");
	type({ VK_MENU, 'R' });
	type({ VK_UP });
	type({ VK_UP });
	EXPECT_EQ(text(TORVANE_IDC_RESOLUTION), "150");
	type({ VK_MENU, 'P' });
	for (int i = 0; i < 6 && text(TORVANE_IDC_PAPER) != "A5"; ++i)
		type({ VK_DOWN });
	ASSERT_EQ(text(TORVANE_IDC_PAPER), "A5");
	// Alt+V previews, and the focus is back on Preview after it; Enter on a
	// list is Scan.
	type({ VK_MENU, 'V' });
	EXPECT_GT(scanner.imageBytesSent(), 0u);
	EXPECT_FALSE(scanner.scanning());
	EXPECT_EQ(focused(), TORVANE_IDC_PREVIEW);
	const uint64_t previewed = scanner.imageBytesSent();
	type({ VK_MENU, 'F' });
	const TW_UINT16 afterEnter = type({ VK_RETURN });
	ASSERT_TRUE(afterEnter == MSG_XFERREADY || app.waitForMessage(MSG_XFERREADY, 5000));
	const Area a5{ 0, 0, 148 / 25.4, 210 / 25.4, 150 };
	const client::WindowRequest request = requestFor(kModes[1], a5);
	const client::ScanWindow window = client::planWindow(request).window;
	TW_HANDLE dib = nullptr;
	ASSERT_EQ(app.call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib), TWRC_XFERDONE);
	const std::vector<uint8_t> rows = rowsOfDib(static_cast<const uint8_t *>(app.lock(dib)), window, 150);
	app.unlock(dib);
	app.release(dib);
	app.forgetMessages();
	EXPECT_EQ(endTransfer(), 0);
	const TW_UINT16 afterPages = runMessageLoop(app, 100);
	EXPECT_TRUE(afterPages == MSG_CLOSEDSREQ || app.waitForMessage(MSG_CLOSEDSREQ, 5000));
	ASSERT_EQ(disable(), TWRC_SUCCESS);

	// Esc is Cancel: the source asks to be closed, and nothing is scanned.
	const uint64_t scanned = scanner.imageBytesSent();
	EXPECT_NE(scanned, previewed);
	app.forgetMessages();
	ASSERT_EQ(app.call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_SUCCESS);
	runMessageLoop(app, 300);
	const TW_UINT16 afterEscape = type({ VK_ESCAPE });
	EXPECT_TRUE(afterEscape == MSG_CLOSEDSREQ || app.waitForMessage(MSG_CLOSEDSREQ, 5000));
	ASSERT_EQ(disable(), TWRC_SUCCESS);
	EXPECT_EQ(scanner.imageBytesSent(), scanned);
	ASSERT_EQ(app.closeSource(), TWRC_SUCCESS);
	EXPECT_EQ(rows, readScanImage(request));
}

// The faults of the dialog's layout at the screen's DPI, one line each: a
// control outside the client area, a text cut off by its control. Sets the
// client area's width.
std::vector<std::string> layoutFaults(HWND dialog, LONG *clientWidth)
{
	RECT client;
	::GetClientRect(dialog, &client);
	*clientWidth = client.right;
	std::vector<std::string> faults;
	for (HWND control = ::GetWindow(dialog, GW_CHILD); control; control = ::GetWindow(control, GW_HWNDNEXT)) {
		RECT rect;
		::GetWindowRect(control, &rect);
		::MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT *>(&rect), 2);
		char kind[32] = {};
		::GetClassNameA(control, kind, sizeof(kind));
		char caption[64] = {};
		::GetWindowTextA(control, caption, sizeof(caption));
		const std::string name = std::string(kind) + " " + std::to_string(::GetDlgCtrlID(control)) + " '" +
					 caption + "'";
		if (rect.left < 0 || rect.top < 0 || rect.right > client.right || rect.bottom > client.bottom)
			faults.push_back(name + " lies outside the dialog");
		// The widest text the control shows, in its own font, beside the
		// room it has (a list's arrow and a button's edges taken off).
		std::vector<std::string> texts{ caption };
		LONG room = rect.right - rect.left;
		const UINT dpi = ::GetDpiForWindow(control);
		if (::lstrcmpiA(kind, "ComboBox") == 0) {
			room -= ::MulDiv(::GetSystemMetrics(SM_CXVSCROLL) + 6, int(dpi), 96);
			const auto count = ::SendMessageA(control, CB_GETCOUNT, 0, 0);
			for (LRESULT i = 0; i < count; ++i) {
				char item[64] = {};
				if (::SendMessageA(control, CB_GETLBTEXTLEN, WPARAM(i), 0) < LRESULT(sizeof(item)))
					::SendMessageA(control, CB_GETLBTEXT, WPARAM(i), LPARAM(item));
				texts.push_back(item);
			}
		} else if (::lstrcmpiA(kind, "Button") == 0) {
			room -= ::MulDiv(8, int(dpi), 96);
		}
		HDC dc = ::GetDC(control);
		const HGDIOBJ font = ::SelectObject(dc, reinterpret_cast<HGDIOBJ>(::SendMessageA(control, WM_GETFONT, 0, 0)));
		for (const std::string &text : texts) {
			RECT needed{};
			::DrawTextA(dc, text.c_str(), -1, &needed, DT_CALCRECT | DT_SINGLELINE);
			if (needed.right > room || (!text.empty() && needed.bottom > rect.bottom - rect.top))
				faults.push_back(name + ": '" + text + "' needs " + std::to_string(needed.right) + "x" +
						 std::to_string(needed.bottom) + " pixels, has " + std::to_string(room) +
						 "x" + std::to_string(rect.bottom - rect.top));
		}
		::SelectObject(dc, font);
		::ReleaseDC(control, dc);
	}
	return faults;
}

// Wine's screen DPI (LogPixels), from the next process started on; the value
// before is put back at destruction.
class ScreenDpi
{
public:
	explicit ScreenDpi(DWORD dpi)
	{
		::RegCreateKeyExA(HKEY_CURRENT_USER, "Control Panel\\Desktop", 0, nullptr, 0,
				  KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key_, nullptr);
		DWORD size = sizeof(before_);
		had_ = ::RegQueryValueExA(key_, "LogPixels", nullptr, nullptr, reinterpret_cast<BYTE *>(&before_),
					  &size) == ERROR_SUCCESS;
		::RegSetValueExA(key_, "LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&dpi), sizeof(dpi));
	}
	~ScreenDpi()
	{
		if (had_)
			::RegSetValueExA(key_, "LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&before_),
					 sizeof(before_));
		else
			::RegDeleteValueA(key_, "LogPixels");
		::RegCloseKey(key_);
	}
	ScreenDpi(const ScreenDpi &) = delete;
	ScreenDpi &operator=(const ScreenDpi &) = delete;

private:
	HKEY key_ = nullptr;
	DWORD before_ = 0;
	bool had_ = false;
};

TEST_P(TwainSource, TheDialogScalesWithTheScreensDpiAndNothingIsCutOff)
{
	if (!std::getenv("DISPLAY"))
		GTEST_SKIP() << "no display for the dialog (scripts/test-windows.sh starts Xvfb)";
	const char *workingGroupManager = std::getenv("TORVANE_TWAINDSM");
	if (GetParam() == Manager::Wine && workingGroupManager && *workingGroupManager)
		GTEST_SKIP() << "the layout is the same under every manager: checked under the Working Group's";
	// This test once more in a process of its own at 144 dpi, which gets the
	// width at 96 dpi.
	const char *widthAt96 = std::getenv(kWidthAt96);
	// Measured in the screen's pixels, as the dialog is made.
	::SetThreadDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
	open();
	TW_USERINTERFACE ui{ 1, 0, nullptr };
	ASSERT_EQ(app.call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_SUCCESS);
	HWND dialog = ::FindWindowA(nullptr, "Torvane Scanner");
	ASSERT_NE(dialog, nullptr);
	runMessageLoop(app, 200);
	const UINT dpi = ::GetDpiForWindow(dialog);
	LONG width = 0;
	std::string faults;
	for (const std::string &fault : layoutFaults(dialog, &width))
		faults += fault + "\n";
	EXPECT_EQ(faults, "") << "at " << dpi << " dpi";
	std::printf("dialog at %u dpi: %ld pixels wide\n", dpi, static_cast<long>(width));
	ASSERT_EQ(disable(), TWRC_SUCCESS);
	ASSERT_EQ(app.closeSource(), TWRC_SUCCESS);
	if (widthAt96) {
		EXPECT_EQ(dpi, 144u);
		// One and a half times as wide, give or take the font's rounding.
		EXPECT_NEAR(double(width), std::atof(widthAt96) * 1.5, std::atof(widthAt96) * 0.1);
		return;
	}
	ASSERT_EQ(dpi, 96u);
	const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
	DWORD exitCode = 99;
	std::string output;
	{
		const ScreenDpi screen(144);
		::SetEnvironmentVariableA(kWidthAt96, std::to_string(width).c_str());
		output = wintest::runProcess(wintest::programDir() + "twain_app_tests.exe",
					     { std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name() },
					     60000, &exitCode);
		::SetEnvironmentVariableA(kWidthAt96, nullptr);
	}
	EXPECT_EQ(exitCode, 0u) << output;
	EXPECT_NE(output.find("[  PASSED  ] 1 test."), std::string::npos) << output;
}

// The Working Group's manager in its message-loop mode: the source's
// messages reach the application as posted messages through DAT_EVENT.
class TwainSourceWindow : public TwainSource
{
};

TEST_P(TwainSourceWindow, TransfersComeThroughTheMessageLoop)
{
	open();
	const Area &area = kAreas[0];
	negotiate(kModes[0], area, TWSX_NATIVE);
	ASSERT_TRUE(app.enableAndWait());
	TW_HANDLE dib = nullptr;
	ASSERT_EQ(app.call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib), TWRC_XFERDONE);
	const client::WindowRequest colour = requestFor(kModes[0], area);
	const std::vector<uint8_t> rows =
		rowsOfDib(static_cast<const uint8_t *>(app.lock(dib)), client::planWindow(colour).window, area.dpi);
	app.unlock(dib);
	app.release(dib);
	EXPECT_EQ(endTransfer(), 0);
	ASSERT_EQ(disable(), TWRC_SUCCESS);
	negotiate(kModes[1], area, TWSX_MEMORY);
	ASSERT_TRUE(app.enableAndWait());
	const client::WindowRequest grey = requestFor(kModes[1], area);
	const std::vector<uint8_t> image = memoryImage(client::planWindow(grey).window, 11);
	EXPECT_EQ(endTransfer(), 0);
	ASSERT_EQ(disable(), TWRC_SUCCESS);
	ASSERT_EQ(app.closeSource(), TWRC_SUCCESS);
	EXPECT_EQ(rows, readScanImage(colour));
	EXPECT_EQ(image, readScanImage(grey));
}

INSTANTIATE_TEST_SUITE_P(Managers, TwainSourceWindow, ::testing::Values(Manager::WorkingGroupWindow),
			 [](const ::testing::TestParamInfo<Manager> &info) { return managerName(info.param); });

INSTANTIATE_TEST_SUITE_P(Managers, TwainSource, ::testing::Values(Manager::WorkingGroup, Manager::Wine),
			 [](const ::testing::TestParamInfo<Manager> &info) { return managerName(info.param); });

} // namespace
