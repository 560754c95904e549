// SPDX-License-Identifier: MIT
// A front end for the fault campaign: loads the driver library with dlopen,
// as a real front end does, and either holds something and then ends in a
// chosen way, runs one small scan, or calls the exports at random.
//
//   campaign_client hold WHAT END   WHAT: locked-call scan-busy stalled-exchange
//                                   button-wait acquisition; END: return
//                                   exit-thread sigkill crash exec. Prints
//                                   "holding" when it holds WHAT, ends on
//                                   SIGUSR1.
//   campaign_client scan SECONDS    one small scan, retried (with StopScan
//                                   after a 162) for up to SECONDS; prints
//                                   "scan ok MS stopscan=N" or "scan failed".
//   campaign_client mix SECONDS THREADS SEED scans|calls   locked calls at
//                                   random, with "scans" whole scans from the
//                                   first thread too; prints its figures.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "campaign_common.h"
#include "torvane/torvane.h"

namespace {

using Clock = std::chrono::steady_clock;

// The exports the campaign calls, looked up in the loaded library.
struct Driver {
	decltype(&InitializeDriver) initializeDriver;
	decltype(&GetScannerAbilityEx) getScannerAbilityEx;
	decltype(&GetScannerStatusEx) getScannerStatusEx;
	decltype(&SetScanParameter) setScanParameter;
	decltype(&StartScan) startScan;
	decltype(&ReadScan) readScan;
	decltype(&StopScan) stopScan;
	decltype(&ReadNVMData) readNvmData;
	decltype(&ReadPushButton) readPushButton;
	decltype(&SetPowerSaveTime) setPowerSaveTime;
	decltype(&InitializeScanner) initializeScanner;
};

Driver driver;

template<typename T>
void bind(void *library, T &slot, const char *name)
{
	slot = reinterpret_cast<T>(dlsym(library, name));
	if (!slot) {
		std::fprintf(stderr, "campaign_client: %s missing\n", name);
		std::exit(5);
	}
}

void loadDriver()
{
	const char *binary = std::getenv("TORVANE_BINARY_DIR");
	const std::string path = std::string(binary ? binary : ".") + "/lib/RM735.so";
	void *library = dlopen(path.c_str(), RTLD_NOW);
	if (!library) {
		std::fprintf(stderr, "campaign_client: %s\n", dlerror());
		std::exit(5);
	}
	bind(library, driver.initializeDriver, "InitializeDriver");
	bind(library, driver.getScannerAbilityEx, "GetScannerAbilityEx");
	bind(library, driver.getScannerStatusEx, "GetScannerStatusEx");
	bind(library, driver.setScanParameter, "SetScanParameter");
	bind(library, driver.startScan, "StartScan");
	bind(library, driver.readScan, "ReadScan");
	bind(library, driver.stopScan, "StopScan");
	bind(library, driver.readNvmData, "ReadNVMData");
	bind(library, driver.readPushButton, "ReadPushButton");
	bind(library, driver.setPowerSaveTime, "SetPowerSaveTime");
	bind(library, driver.initializeScanner, "InitializeScanner");
}

int32_t errorCode()
{
	unsigned char s1, s2, s3;
	int32_t code = 0;
	driver.getScannerStatusEx(&s1, &s2, &s3, &code);
	return code;
}

// A small grey window at 50 dpi: `lines` lines of 1/300 inch.
ScanParameter smallScan(uint16_t lines)
{
	return torvane::test::smallGreyScan(50, lines);
}

// One whole scan; 1 when every byte arrived and StopScan succeeded.
int wholeScan(const ScanParameter &p)
{
	if (!driver.setScanParameter(&p))
		return 0;
	int ok = driver.startScan();
	std::vector<unsigned char> image(static_cast<size_t>(p.PixelNum) * p.LineNum * p.BitPerPixel / 8);
	for (size_t done = 0; ok && done < image.size(); done += 4096) {
		const uint32_t piece = static_cast<uint32_t>(std::min<size_t>(4096, image.size() - done));
		ok = driver.readScan(nullptr, image.data() + done, piece);
	}
	return driver.stopScan() && ok;
}

int runScan(int seconds)
{
	loadDriver();
	const auto start = Clock::now();
	int stopScans = 0;
	while (Clock::now() - start < std::chrono::seconds(seconds)) {
		if (driver.initializeDriver() && wholeScan(smallScan(120))) {
			const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
			std::printf("scan ok %lld stopscan=%d\n", static_cast<long long>(ms.count()), stopScans);
			return 0;
		}
		// A scan-busy flag left by a process that has gone: StopScan frees it.
		if (errorCode() == 162) {
			driver.stopScan();
			++stopScans;
		}
		usleep(20000);
	}
	std::printf("scan failed\n");
	return 1;
}

// Starts holding WHAT on a thread of its own; returns once it holds it.
void startHolding(const std::string &what)
{
	driver.initializeDriver();
	if (what == "locked-call" || what == "stalled-exchange" || what == "acquisition") {
		std::thread([what] {
			if (what == "locked-call") {
				NvmRecord record;
				driver.readNvmData(&record);
				return;
			}
			const ScanParameter p = smallScan(3000);
			driver.setScanParameter(&p);
			driver.startScan();
			std::vector<unsigned char> piece(4096);
			while (driver.readScan(nullptr, piece.data(), 4096)) {
			}
		}).detach();
		// The scanner side tells the parent when the exchange is under way;
		// a short pause lets the call reach it.
		usleep(300000);
	} else if (what == "scan-busy") {
		const ScanParameter p = smallScan(120);
		driver.setScanParameter(&p);
	} else if (what == "button-wait") {
		ButtonReport report;
		driver.readPushButton(&report);
	}
}

// Ends, when the campaign sends SIGUSR1 (SIGKILL for "sigkill"), the way
// `how` says.
[[noreturn]] void endThisWay(const std::string &how)
{
	std::fflush(stdout);
	sigset_t go;
	sigemptyset(&go);
	sigaddset(&go, SIGUSR1);
	int received = 0;
	sigwait(&go, &received);
	if (how == "exit-thread") {
		std::thread([] { std::exit(0); }).join();
	} else if (how == "crash") {
		signal(SIGSEGV, SIG_DFL);
		raise(SIGSEGV);
	} else if (how == "exec") {
		execl("/bin/sleep", "sleep", "4", static_cast<char *>(nullptr));
	}
	std::exit(0); // "return": a normal exit, the library's detach runs
}

// Locked calls and whole scans at random for `seconds`; every result must be
// a success or the refusal 162.
int runMix(int seconds, int threads, unsigned seed, bool scanning)
{
	loadDriver();
	driver.initializeDriver();
	std::atomic<long> calls{ 0 }, refusals{ 0 }, scans{ 0 }, wrong{ 0 }, sibling{ 0 }, slowest{ 0 };
	const auto end = Clock::now() + std::chrono::seconds(seconds);
	std::vector<std::thread> workers;
	for (int t = 0; t < threads; ++t) {
		workers.emplace_back([&, t] {
			std::mt19937 random(seed * 31 + static_cast<unsigned>(t));
			while (Clock::now() < end) {
				const auto start = Clock::now();
				int result = 0;
				// Scans from one thread only: a front end calls the scan
				// functions of one scan one at a time.
				const int what = static_cast<int>(random() % (scanning && t == 0 ? 4 : 3));
				if (what == 0) {
					NvmRecord record;
					result = driver.readNvmData(&record);
				} else if (what == 1) {
					result = driver.setPowerSaveTime(15);
				} else if (what == 2) {
					ScannerAbilityEx ability;
					result = driver.getScannerAbilityEx(&ability);
				} else {
					result = wholeScan(smallScan(60));
					scans += result;
				}
				const long ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
				long seen = slowest.load();
				while (ms > seen && !slowest.compare_exchange_weak(seen, ms)) {
				}
				++calls;
				if (!result) {
					// Codes are per process: only our own refusals and the
					// codes a scan cut short by another thread's call may show.
					const int32_t code = errorCode();
					// The register is one per process: a sibling thread's
					// fetch may have taken (and cleared) this call's code.
					if (code == 162 || code == 0) {
						++refusals;
						usleep(1000);
					} else if (what != 3) {
						// In a scanning process the register may hold the
						// code of the scan's own failure (one register per
						// process); elsewhere only a refusal is right.
						++(scanning ? sibling : wrong);
					}
				}
			}
		});
	}
	for (auto &worker : workers)
		worker.join();
	std::printf("mix calls=%ld refusals=%ld scans=%ld wrong=%ld scan_codes=%ld slowest_ms=%ld\n", calls.load(),
		    refusals.load(), scans.load(), wrong.load(), sibling.load(), slowest.load());
	return wrong.load() == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
	setvbuf(stdout, nullptr, _IOLBF, 0);
	// The campaign sees this process's end, or its exec, as the end of its
	// output.
	fcntl(STDOUT_FILENO, F_SETFD, FD_CLOEXEC);
	const std::string command = argc > 1 ? argv[1] : "";
	if (command == "scan" && argc == 3)
		return runScan(std::atoi(argv[2]));
	if (command == "mix" && argc == 6)
		return runMix(std::atoi(argv[2]), std::atoi(argv[3]), static_cast<unsigned>(std::atoi(argv[4])),
			      std::string(argv[5]) == "scans");
	if (command == "hold" && argc == 4) {
		// Blocked in every thread, so that only sigwait takes it.
		sigset_t go;
		sigemptyset(&go);
		sigaddset(&go, SIGUSR1);
		pthread_sigmask(SIG_BLOCK, &go, nullptr);
		loadDriver();
		startHolding(argv[2]);
		std::printf("holding\n");
		endThisWay(argv[3]);
	}
	std::fprintf(stderr, "usage: campaign_client hold WHAT END | scan SECONDS | mix SECONDS THREADS SEED scans|calls\n");
	return 1;
}
