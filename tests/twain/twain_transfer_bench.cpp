// SPDX-License-Identifier: MIT
// Transfer figures: one A4 page at 300 dpi in colour and in grey through each
// transfer mechanism of TorvaneScanner.ds (through the Working Group's
// manager, or Wine's with --wine), beside ReadScan alone through the same
// driver DLL. The scanner is the virtual one at full speed. Prints one line
// per mechanism: milliseconds (best of three) and bytes handed over.
//
//   scripts/wine-run.sh --prefix $PWD/build/windows/wineprefix
//     build/windows/tests/windows/bin/twain_transfer_bench.exe [--wine]
// (one command line)

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <windows.h>

#include "client/driver_library.h"
#include "client/driver_session.h"
#include "client/scan_window.h"
#include "support/sim_device_calls.h"
#include "support/torvane_test.h"
#include "support/win_test_support.h"
#include "torvane_sim/virtual_scanner.h"
#include "twain_app.h"

using namespace torvane;
using namespace torvane::twaintest;

namespace {

constexpr double kA4Width = 210 / 25.4, kA4Length = 297 / 25.4;
constexpr uint32_t kDpi = 300;

double milliseconds(const std::function<uint64_t()> &run, uint64_t *bytes)
{
	LARGE_INTEGER frequency, start, end;
	::QueryPerformanceFrequency(&frequency);
	double best = 1e30;
	for (int round = 0; round < 3; ++round) {
		::QueryPerformanceCounter(&start);
		*bytes = run();
		::QueryPerformanceCounter(&end);
		best = std::min(best, 1000.0 * double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart));
	}
	return best;
}

// The scan cycle alone (SetScanParameter to StopScan) on an opened scanner.
uint64_t readScanAlone(client::DriverSession &session, client::ScanMode mode)
{
	client::WindowRequest request;
	request.mode = mode;
	request.dpi = kDpi;
	request.width = static_cast<uint32_t>(kA4Width * 300 + 0.5);
	request.length = static_cast<uint32_t>(kA4Length * 300 + 0.5);
	const client::ScanWindow window = client::planWindow(request).window;
	std::vector<uint8_t> image(size_t(window.bytesPerLine) * window.lines);
	unsigned char curve[256];
	client::buildGammaTable(1.0, curve);
	if (!session.setUp(window.parameter) || !session.sendToneCurve(curve, window.scannedInColour) ||
	    !session.start() || !session.read(image.data(), static_cast<uint32_t>(image.size())) || !session.stop())
		return 0;
	return image.size();
}

// One page through the source with `mechanism`: the bytes handed over.
uint64_t throughSource(TwainApp &app, TW_UINT16 pixelType, TW_UINT16 mechanism, const std::string &file,
		       TW_UINT16 format, TW_UINT16 compression)
{
	if (app.setOne(ICAP_PIXELTYPE, TWTY_UINT16, pixelType) != TWRC_SUCCESS ||
	    app.setOne(ICAP_XFERMECH, TWTY_UINT16, mechanism) != TWRC_SUCCESS ||
	    app.setOne(ICAP_COMPRESSION, TWTY_UINT16, compression) != TWRC_SUCCESS ||
	    app.setOne(CAP_XFERCOUNT, TWTY_INT16, 1) != TWRC_SUCCESS ||
	    app.setOne(ICAP_SUPPORTEDSIZES, TWTY_UINT16, TWSS_A4) != TWRC_SUCCESS || !app.enableAndWait())
		return 0;
	uint64_t bytes = 0;
	if (mechanism == TWSX_NATIVE) {
		TW_HANDLE dib = nullptr;
		if (app.call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib) == TWRC_XFERDONE)
			bytes = ::GlobalSize(dib); // the manager's handles are global memory
		app.release(dib);
	} else if (mechanism == TWSX_MEMORY) {
		TW_SETUPMEMXFER setup{};
		app.call(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup);
		std::vector<uint8_t> buffer(setup.Preferred);
		for (TW_UINT16 rc = TWRC_SUCCESS; rc == TWRC_SUCCESS;) {
			TW_IMAGEMEMXFER transfer{};
			transfer.Memory = { TWMF_APPOWNS | TWMF_POINTER, setup.Preferred, buffer.data() };
			rc = app.call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &transfer);
			bytes += transfer.BytesWritten;
		}
	} else {
		TW_SETUPFILEXFER setup{};
		std::strncpy(setup.FileName, file.c_str(), sizeof(setup.FileName) - 1);
		setup.Format = format;
		if (app.call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup) == TWRC_SUCCESS &&
		    app.call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr) == TWRC_XFERDONE)
			bytes = wintest::readFile(file).size();
	}
	TW_PENDINGXFERS pending{};
	app.call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
	TW_USERINTERFACE ui{ 0, 0, nullptr };
	app.call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
	return bytes;
}

} // namespace

int main(int argc, char **argv)
{
	const Manager manager = argc > 1 && std::strcmp(argv[1], "--wine") == 0 ? Manager::Wine : Manager::WorkingGroup;
	sim::VirtualScanner scanner{ sim::Model::RM735 };
	scanner.setFullSpeed(true);
	wintest::VirtualScannerSet devices;
	devices.plug(0, scanner);
	if (const Installation installed = installFor(manager, wintest::programDir()); !installed.done) {
		std::printf("%s: %s\n", installed.managerAbsent ? "skipped" : "failed", installed.problem.c_str());
		return installed.managerAbsent ? 0 : 1;
	}
	const std::string dll = sourceFolder(manager) + "\\RM735.dll";
	wintest::Library driver(dll);
	driver.function<TorvaneTestSetDeviceCallsCall>("TorvaneTestSetDeviceCalls")(wintest::installFakeDevices(&devices));
	wintest::TempDir dir;

	std::printf("A4 at %u dpi, %s manager; best of three\n", kDpi, manager == Manager::Wine ? "Wine's" : "the Working Group's");
	struct Row {
		const char *mode;
		client::ScanMode scanMode;
		TW_UINT16 pixelType;
	};
	for (const Row &row : { Row{ "colour", client::ScanMode::Colour, TWPT_RGB }, Row{ "grey", client::ScanMode::Grey, TWPT_GRAY },
				Row{ "line art", client::ScanMode::LineArt, TWPT_BW } }) {
		uint64_t bytes = 0;
		std::string error;
		auto library = client::DriverLibrary::load({ dll }, &error);
		client::DriverSession session(*library);
		ScannerAbility basic;
		ScannerAbilityEx extended;
		if (!session.openScanner(&basic, &extended, true)) {
			std::printf("the scanner could not be opened\n");
			return 1;
		}
		double ms = milliseconds([&] { return readScanAlone(session, row.scanMode); }, &bytes);
		library->api().TerminateDriver();
		std::printf("%-8s ReadScan alone  %8.1f ms  %10llu bytes\n", row.mode, ms, static_cast<unsigned long long>(bytes));
		TwainApp app;
		if (!app.openManager(manager, &error) || app.openSource(manager == Manager::WorkingGroup) != TWRC_SUCCESS) {
			std::printf("the source could not be opened: %s\n", error.c_str());
			return 1;
		}
		struct Mechanism {
			const char *name;
			TW_UINT16 code;
			TW_UINT16 format = TWFF_BMP;
			TW_UINT16 compression = TWCP_NONE;
		};
		std::vector<Mechanism> mechanisms{ { "native", TWSX_NATIVE }, { "memory", TWSX_MEMORY }, { "file (BMP)", TWSX_FILE }, { "file (PNG)", TWSX_FILE, TWFF_PNG } };
		if (row.pixelType == TWPT_BW)
			mechanisms.insert(mechanisms.end(), { { "memory (G4)", TWSX_MEMORY, TWFF_BMP, TWCP_GROUP4 },
							      { "file (TIFF G4)", TWSX_FILE, TWFF_TIFF, TWCP_GROUP4 } });
		for (const Mechanism &mechanism : mechanisms) {
			ms = milliseconds([&] { return throughSource(app, row.pixelType, mechanism.code, dir.file("page"),
								     mechanism.format, mechanism.compression); },
					  &bytes);
			std::printf("%-8s %-15s %8.1f ms  %10llu bytes\n", row.mode, mechanism.name, ms,
				    static_cast<unsigned long long>(bytes));
		}
		app.closeSource();
	}
	driver.function<TorvaneTestSetDeviceCallsCall>("TorvaneTestSetDeviceCalls")(nullptr);
	return 0;
}
