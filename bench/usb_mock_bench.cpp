// SPDX-License-Identifier: MIT
// Raw image data end to end through the emulated USB device (the real
// libusb, umockdev, the virtual scanner) beside the same pages through the
// simulator's socket: MB/s, and the driver process's CPU time per raw byte.
//
// This program is the device side: it serves the virtual scanner (on the
// emulated bus, then on a socket) and starts itself again as the driver side,
// a process of its own that loads RM735.so and scans whole A4 pages, so that
// the CPU time measured there is the driver's (with libusb and, on USB, the
// umockdev preload that stands in for the kernel's usbfs). Each figure is the
// best of five pages.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "bench_clock.h"
#include "emulated_usb.h"
#include "torvane/torvane.h"
#include "torvane_sim/sim_server.h"
#include "torvane_sim/virtual_scanner.h"

namespace {

constexpr int kPages = 5;
constexpr int kExchanges = 500;

struct Case {
	const char *name;
	uint16_t xres;
	uint8_t mode; // 0 line art, 4 colour
	uint8_t bitsPerPixel;
};

constexpr Case kCases[] = {
	{ "A4 300 dpi colour", 300, 4, 24 },
	{ "A4 300 dpi line art", 300, 0, 1 },
};

using torvane::bench::processCpuSeconds;
using torvane::bench::seconds;

// --- The driver side --------------------------------------------------------

template<typename Function>
Function exported(void *library, const char *name)
{
	return reinterpret_cast<Function>(dlsym(library, name));
}

// Scans the pages; prints per case: name, raw bytes, wall seconds, CPU seconds.
int runDriverSide()
{
	void *library = dlopen(TORVANE_DRIVER_PATH, RTLD_NOW | RTLD_LOCAL);
	if (!library) {
		std::fprintf(stderr, "cannot load %s: %s\n", TORVANE_DRIVER_PATH, dlerror());
		return 1;
	}
	const auto initializeDriver = exported<decltype(&InitializeDriver)>(library, "InitializeDriver");
	const auto setScanParameter = exported<decltype(&SetScanParameter)>(library, "SetScanParameter");
	const auto startScan = exported<decltype(&StartScan)>(library, "StartScan");
	const auto readScan = exported<decltype(&ReadScan)>(library, "ReadScan");
	const auto stopScan = exported<decltype(&StopScan)>(library, "StopScan");
	const auto initializeScanner = exported<decltype(&InitializeScanner)>(library, "InitializeScanner");
	if (!initializeDriver || !setScanParameter || !startScan || !readScan || !stopScan || !initializeScanner ||
	    !initializeDriver()) {
		std::fprintf(stderr, "the driver did not find the scanner\n");
		return 1;
	}
	std::vector<uint8_t> buffer(65536);
	for (const Case &c : kCases) {
		ScanParameter p{};
		p.Width = 2480;
		p.Length = 3507;
		p.PixelNum = 2480;
		p.LineNum = 3507;
		p.ScanMode = c.mode;
		p.BitPerPixel = c.bitsPerPixel;
		p.XRes = p.YRes = c.xres;
		p.HTPatternNo = 1;
		const uint64_t delivered = uint64_t(p.PixelNum) * p.BitPerPixel / 8 * p.LineNum;
		double bestWall = 1e9, bestCpu = 1e9;
		for (int page = 0; page <= kPages; ++page) {
			const double wall = seconds(CLOCK_MONOTONIC), cpu = processCpuSeconds();
			bool ok = setScanParameter(&p) && startScan();
			for (uint64_t left = delivered; ok && left > 0;) {
				const auto piece = static_cast<uint32_t>(std::min<uint64_t>(left, buffer.size()));
				ok = readScan(nullptr, buffer.data(), piece) == 1;
				left -= piece;
			}
			ok = stopScan() == 1 && ok;
			if (!ok) {
				std::fprintf(stderr, "%s: the scan failed\n", c.name);
				return 1;
			}
			if (page == 0)
				continue; // warms the caches
			bestWall = std::min(bestWall, seconds(CLOCK_MONOTONIC) - wall);
			bestCpu = std::min(bestCpu, processCpuSeconds() - cpu);
		}
		std::printf("%s|%.6f|%.6f\n", c.name, bestWall, bestCpu);
	}
	// The fixed cost of one command exchange (INQUIRY, 160 bytes in).
	const double wall = seconds(CLOCK_MONOTONIC), cpu = processCpuSeconds();
	for (int i = 0; i < kExchanges; ++i)
		if (!initializeScanner())
			return 1;
	std::printf("exchange|%.6f|%.6f\n", seconds(CLOCK_MONOTONIC) - wall, processCpuSeconds() - cpu);
	return 0;
}

// --- The device side --------------------------------------------------------

struct Figures {
	double wall = 0;
	double cpu = 0;
};

// Runs this program as the driver side with `environment` added; its figures by case.
std::map<std::string, Figures> driverSide(const char *self, const std::map<std::string, std::string> &environment)
{
	int out[2];
	if (pipe(out) != 0)
		return {};
	const pid_t child = fork();
	if (child == 0) {
		dup2(out[1], 1);
		close(out[0]);
		for (const auto &[name, value] : environment)
			setenv(name.c_str(), value.c_str(), 1);
		execl(self, self, "--driver-side", static_cast<char *>(nullptr));
		_exit(127);
	}
	close(out[1]);
	std::string text;
	char chunk[512];
	for (ssize_t n; (n = read(out[0], chunk, sizeof(chunk))) > 0;)
		text.append(chunk, static_cast<size_t>(n));
	close(out[0]);
	int status = 0;
	waitpid(child, &status, 0);
	std::map<std::string, Figures> figures;
	char name[64];
	Figures f;
	for (const char *line = text.c_str(); *line; line = std::strchr(line, '\n') ? std::strchr(line, '\n') + 1 : "")
		if (std::sscanf(line, "%63[^|]|%lf|%lf", name, &f.wall, &f.cpu) == 3)
			figures[name] = f;
	return figures;
}

std::shared_ptr<torvane::sim::VirtualScanner> fastScanner()
{
	auto scanner = std::make_shared<torvane::sim::VirtualScanner>(torvane::sim::Model::RM735);
	scanner->setFullSpeed(true);
	return scanner;
}

// Raw bytes the scanner sends for a case: full width at 300 dpi, lines
// rounded down to 4 plus 12.
double rawBytes(const torvane::sim::VirtualScanner &scanner, const Case &c)
{
	const torvane::sim::InquiryData inquiry = scanner.inquiry();
	const double width = inquiry[81] << 8 | inquiry[82];
	return (c.mode == 4 ? 3 : 1) * width * ((3507 / 4 + 3) * 4);
}

} // namespace

int main(int argc, char **argv)
{
	if (argc > 1 && std::strcmp(argv[1], "--driver-side") == 0)
		return runDriverSide();
	char pattern[] = "/tmp/torvane-usb-bench-XXXXXX";
	if (!mkdtemp(pattern))
		return 1;
	const std::string folder = pattern;
	const std::map<std::string, std::string> common = {
		{ "TORVANE_INSTANCE", "usb-bench-" + std::to_string(getpid()) },
		{ "TORVANE_REGISTRY", folder + "/no-config" },
	};

	std::map<std::string, Figures> socket;
	{
		torvane::sim::SimServer server(folder);
		std::string error;
		if (!server.plug(fastScanner(), 0, &error)) {
			std::fprintf(stderr, "cannot serve the scanner: %s\n", error.c_str());
			return 1;
		}
		auto environment = common;
		environment["TORVANE_DEVICE_DIR"] = folder;
		socket = driverSide(argv[0], environment);
	}
	std::map<std::string, Figures> usb;
	auto scanner = fastScanner();
	{
		emulated_usb::Bus bus; // sets UMOCKDEV_DIR for the driver side
		emulated_usb::DeviceSpec spec;
		spec.scanner = scanner;
		bus.plug(spec);
		unsetenv("TORVANE_DEVICE_DIR");
		auto environment = common;
		environment["LD_PRELOAD"] = "libumockdev-preload.so.0";
		usb = driverSide(argv[0], environment);
	}
	std::error_code ignored;
	std::filesystem::remove_all(folder, ignored);
	std::filesystem::remove("/dev/shm/TQX5800." + common.at("TORVANE_INSTANCE"), ignored);

	std::printf("%-22s %8s | %10s %12s | %10s %12s | %9s\n", "page", "raw MB", "socket MB/s", "socket ns/B",
		    "USB MB/s", "USB ns/B", "USB/socket");
	int failures = 0;
	for (const Case &c : kCases) {
		if (!socket.count(c.name) || !usb.count(c.name)) {
			std::printf("%-22s failed\n", c.name);
			++failures;
			continue;
		}
		const double raw = rawBytes(*scanner, c);
		const Figures s = socket[c.name], u = usb[c.name];
		std::printf("%-22s %8.1f | %10.1f %12.2f | %10.1f %12.2f | %9.2f\n", c.name, raw / 1e6, raw / s.wall / 1e6,
			    s.cpu / raw * 1e9, raw / u.wall / 1e6, u.cpu / raw * 1e9, u.cpu / s.cpu);
	}
	if (socket.count("exchange") && usb.count("exchange"))
		std::printf("%-22s %8s | %10.1f %12.1f | %10.1f %12.1f | %9.2f\n", "one INQUIRY exchange", "",
			    kExchanges / socket["exchange"].wall, socket["exchange"].cpu / kExchanges * 1e6,
			    kExchanges / usb["exchange"].wall, usb["exchange"].cpu / kExchanges * 1e6,
			    usb["exchange"].cpu / socket["exchange"].cpu);
	std::printf("ns/B: CPU time of the driver's process per raw image byte (USB: with libusb and the umockdev "
		    "preload in place of usbfs); for the exchange: exchanges per second and CPU microseconds each\n");
	return failures ? 1 : 0;
}
