// SPDX-License-Identifier: MIT
// End-to-end scan benchmark: whole A4 pages through the exported functions of
// RM735.so (SetScanParameter, StartScan, ReadScan, StopScan) from a virtual
// scanner at full speed, as a front end would scan them.
//
// The virtual scanner runs in a child process of this program, so that the
// CPU time this process uses (getrusage) is the driver's alone: the reading
// thread, the acquisition thread and their device I/O. Each figure is the
// best of the pages timed. "Wall clock" is what the front end saw; "driver CPU
// bound" is the throughput the busier of the driver's two threads allows
// (raw bytes over its CPU time), which a scanner faster than USB would see.
//
//   scan_bench [--only TEXT] [--pages N] [DRIVER]
//
// --pages sets the pages timed per case (5); --only runs the pages whose name holds TEXT ("600 dpi"), for a profile of
// one case; the virtual scanner's process is named torvane-sim, so that a
// profile can tell its samples from the driver's (perf report --comm scan_bench).

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "bench_clock.h"
#include "torvane/torvane.h"
#include "torvane_sim/sim_server.h"
#include "torvane_sim/virtual_scanner.h"

namespace {

// USB 2.0 moves at most this many bytes of raw image data per second.
constexpr double kUsbMaximum = 53e6;

struct Exports {
	decltype(&InitializeDriver) initializeDriver;
	decltype(&InitializeScanner) initializeScanner;
	decltype(&GetScannerAbilityEx) getScannerAbilityEx;
	decltype(&SetScanParameter) setScanParameter;
	decltype(&StartScan) startScan;
	decltype(&ReadScan) readScan;
	decltype(&StopScan) stopScan;
	decltype(&GetScannerStatusEx) getScannerStatusEx;
};

template<typename Function>
bool resolve(void *library, const char *name, Function &function)
{
	function = reinterpret_cast<Function>(dlsym(library, name));
	if (!function)
		std::fprintf(stderr, "missing export %s\n", name);
	return function != nullptr;
}

bool loadDriver(const char *path, Exports &exports)
{
	void *library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
	if (!library) {
		std::fprintf(stderr, "cannot load %s: %s\n", path, dlerror());
		return false;
	}
	return resolve(library, "InitializeDriver", exports.initializeDriver) &&
	       resolve(library, "InitializeScanner", exports.initializeScanner) &&
	       resolve(library, "GetScannerAbilityEx", exports.getScannerAbilityEx) &&
	       resolve(library, "SetScanParameter", exports.setScanParameter) &&
	       resolve(library, "StartScan", exports.startScan) &&
	       resolve(library, "ReadScan", exports.readScan) &&
	       resolve(library, "StopScan", exports.stopScan) &&
	       resolve(library, "GetScannerStatusEx", exports.getScannerStatusEx);
}

struct PageTimes {
	double wall;
	double cpu;
	double reader;
	double acquisition;
};

struct Case {
	const char *name;
	uint16_t xres;
	uint8_t mode;	      // as the front end asks: 0 line art, 2 grey, 4 colour
	uint8_t bitsPerPixel; // delivered
	uint8_t scannedBits;  // what the scanner sends for it
};

// An A4 page (8.27 x 11.69 inch) at the case's resolution.
ScanParameter a4Page(const Case &c)
{
	ScanParameter p{};
	p.Width = 2480;
	p.Length = 3507;
	p.PixelNum = static_cast<uint16_t>(p.Width * c.xres / 300);
	p.LineNum = static_cast<uint16_t>(p.Length * c.xres / 300);
	p.ScanMode = c.mode;
	p.BitPerPixel = c.bitsPerPixel;
	p.XRes = c.xres;
	p.YRes = c.xres;
	p.HTPatternNo = 1;
	return p;
}

// The raw bytes the scanner sends for the page: full width at the base
// resolution, the line count rounded down to 4 plus 12.
uint64_t rawBytes(const Case &c, const ScanParameter &p, uint32_t scannerWidth)
{
	const uint32_t base = c.xres <= 300 ? 300 : 600;
	const uint32_t pixels = scannerWidth * base / 300;
	const auto lines = static_cast<uint32_t>(std::trunc(p.LineNum * (static_cast<double>(base) / c.xres)));
	return static_cast<uint64_t>(c.scannedBits / 8) * pixels * ((lines / 4 + 3) * 4);
}

uint64_t deliveredBytes(const ScanParameter &p)
{
	return static_cast<uint64_t>(p.PixelNum) * p.BitPerPixel / 8 * p.LineNum;
}

// CPU time of the calling thread: the front end's thread, which runs the
// read pipeline.
double threadCpuSeconds()
{
	return torvane::bench::seconds(CLOCK_THREAD_CPUTIME_ID);
}

double wallSeconds()
{
	return torvane::bench::seconds(CLOCK_MONOTONIC);
}

// One page, read in pieces of 64 KiB as a front end reads it.
bool scanPage(const Exports &d, const ScanParameter &p, std::vector<uint8_t> &buffer)
{
	if (!d.setScanParameter(&p) || !d.startScan()) {
		d.stopScan();
		return false;
	}
	uint64_t left = deliveredBytes(p);
	bool ok = true;
	while (left > 0 && ok) {
		const auto piece = static_cast<uint32_t>(std::min<uint64_t>(left, buffer.size()));
		ok = d.readScan(nullptr, buffer.data(), piece) == 1;
		left -= piece;
	}
	return d.stopScan() == 1 && ok;
}

// The virtual scanner, served from a child process until the parent closes
// its end of the pipe.
pid_t serveScanner(const std::string &directory, const int pipeEnds[2])
{
	const pid_t child = fork();
	if (child != 0)
		return child;
	close(pipeEnds[1]);
	prctl(PR_SET_NAME, "torvane-sim");
	const int pipeRead = pipeEnds[0];
	{
		torvane::sim::SimServer server(directory);
		auto scanner = std::make_shared<torvane::sim::VirtualScanner>(torvane::sim::Model::RM735);
		scanner->setFullSpeed(true);
		std::string error;
		if (!server.plug(scanner, 0, &error)) {
			std::fprintf(stderr, "cannot serve the scanner: %s\n", error.c_str());
			_exit(1);
		}
		char byte;
		while (read(pipeRead, &byte, 1) > 0) {
		}
	}
	_exit(0);
}

bool waitForSocket(const std::string &path)
{
	for (int i = 0; i < 500; ++i) {
		struct stat info {};
		if (stat(path.c_str(), &info) == 0)
			return true;
		usleep(10000);
	}
	return false;
}

} // namespace

int main(int argc, char **argv)
{
	const char *driverPath = TORVANE_DRIVER_PATH;
	const char *only = nullptr;
	int pages = 5;
	for (int i = 1; i < argc; ++i) {
		if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc)
			only = argv[++i];
		else if (std::strcmp(argv[i], "--pages") == 0 && i + 1 < argc)
			pages = std::max(1, std::atoi(argv[++i]));
		else
			driverPath = argv[i];
	}
	char pattern[] = "/tmp/torvane-bench-XXXXXX";
	if (!mkdtemp(pattern))
		return 1;
	const std::string directory = pattern;
	setenv("TORVANE_DEVICE_DIR", directory.c_str(), 1);
	const std::string instance = "bench-" + std::to_string(getpid());
	setenv("TORVANE_INSTANCE", instance.c_str(), 1);
	// The driver's shared state lives in /dev/shm under the instance's name;
	// it goes with the benchmark, however the benchmark ends.
	const std::string sharedState = "/TQX5800." + instance;
	struct RemoveSharedState {
		const std::string &name;
		~RemoveSharedState() { shm_unlink(name.c_str()); }
	} removeSharedState{ sharedState };
	setenv("TORVANE_REGISTRY", (directory + "/no-config").c_str(), 1);

	int pipeEnds[2];
	if (pipe(pipeEnds) != 0)
		return 1;
	const pid_t child = serveScanner(directory, pipeEnds);
	close(pipeEnds[0]);
	if (child < 0 || !waitForSocket(directory + "/usbscan0"))
		return 1;

	Exports d{};
	if (!loadDriver(driverPath, d))
		return 1;
	ScannerAbilityEx ability{};
	if (!d.initializeDriver() || !d.initializeScanner() || !d.getScannerAbilityEx(&ability)) {
		std::fprintf(stderr, "the driver did not find the virtual scanner\n");
		return 1;
	}

	const Case cases[] = {
		{ "A4 300 dpi colour", 300, 4, 24, 24 },
		{ "A4 600 dpi colour", 600, 4, 24, 24 },
		{ "A4 200 dpi grey", 200, 2, 8, 24 },
		{ "A4 150 dpi line art", 150, 0, 1, 8 },
	};
	std::printf("%-20s %7s %7s | %9s %9s %7s | %9s %9s %9s %9s %7s | %7s\n", "page", "raw MB", "out MB",
		    "out MB/s", "raw MB/s", "x USB2", "CPU ms/pg", "read ms", "acq ms", "raw MB/s", "x USB2", "1st ms");
	std::printf("%-20s %7s %7s | %27s | %47s | %7s\n", "", "", "", "wall clock", "driver CPU bound", "CPU");
	std::vector<uint8_t> buffer(65536);
	int failures = 0;
	for (const Case &c : cases) {
		if (only && !std::strstr(c.name, only))
			continue;
		const ScanParameter page = a4Page(c);
		// One page first, so that the scanner's page and the caches are warm.
		// Its CPU time is shown too: the first page of a process pays for
		// its fresh buffers (a front end that scans one page pays it each time).
		const double firstStart = torvane::bench::processCpuSeconds();
		const bool firstScanned = scanPage(d, page, buffer);
		const double firstCpu = torvane::bench::processCpuSeconds() - firstStart;
		if (!firstScanned) {
			int32_t code = 0;
			unsigned char a, b, e;
			d.getScannerStatusEx(&a, &b, &e, &code);
			std::fprintf(stderr, "%s: scan failed (%d)\n", c.name, code);
			++failures;
			continue;
		}
		// Each quantity is the best of the pages: the machine is shared, and
		// other work only ever adds time.
		PageTimes best{ 1e9, 1e9, 1e9, 1e9 };
		for (int i = 0; i < pages; ++i) {
			const double cpuStart = torvane::bench::processCpuSeconds();
			const double readerStart = threadCpuSeconds();
			const double wallStart = wallSeconds();
			scanPage(d, page, buffer);
			const double wall = wallSeconds() - wallStart;
			const double cpu = torvane::bench::processCpuSeconds() - cpuStart;
			// The process's other thread is the acquisition thread.
			const double reader = threadCpuSeconds() - readerStart;
			best.wall = std::min(best.wall, wall);
			best.cpu = std::min(best.cpu, cpu);
			best.reader = std::min(best.reader, reader);
			best.acquisition = std::min(best.acquisition, cpu - reader);
		}
		// The two threads work side by side: the busier one bounds the
		// driver's throughput when the scanner is never the bottleneck.
		const double bound = std::max(best.reader, best.acquisition);

		const auto raw = static_cast<double>(rawBytes(c, page, ability.ScanWidth));
		const auto out = static_cast<double>(deliveredBytes(page));
		std::printf("%-20s %7.1f %7.1f | %9.1f %9.1f %7.2f | %9.1f %9.1f %9.1f %9.1f %7.2f | %7.1f\n", c.name,
			    raw / 1e6, out / 1e6, out / best.wall / 1e6, raw / best.wall / 1e6,
			    raw / best.wall / kUsbMaximum, best.cpu * 1e3, best.reader * 1e3, best.acquisition * 1e3,
			    raw / bound / 1e6, raw / bound / kUsbMaximum, firstCpu * 1e3);
	}

	close(pipeEnds[1]);
	int status = 0;
	waitpid(child, &status, 0);
	std::error_code ignored;
	std::filesystem::remove_all(directory, ignored);
	return failures ? 1 : 0;
}
