// SPDX-License-Identifier: MIT
// A front end for the fault campaign: loads the driver library with dlopen,
// as a real front end does, and either holds something and then ends in a
// chosen way, runs one small scan, or calls the exports at random.
//
//   campaign_client hold WHAT END   WHAT: locked-call scan-busy stalled-exchange
//                                   button-wait acquisition; END: return
//                                   exit-thread sigkill crash exec
//                                   forked-sigkill (a child forked while it
//                                   holds, idle for 8 s, outlives it). Prints
//                                   "holding" when it holds WHAT, ends on
//                                   SIGUSR1.
//   campaign_client scan SECONDS    one small scan, retried (with StopScan
//                                   after a 162) for up to SECONDS; prints
//                                   "scan ok MS stopscan=N" or "scan failed".
//   campaign_client mix SECONDS THREADS SEED scans|calls   locked calls at
//                                   random, with "scans" whole scans from the
//                                   first thread too; prints its figures.
//   campaign_client images SECONDS SETTING [HASH [PAUSE]]   whole scans
//                                   of one of the settings of
//                                   imageSettings() for SECONDS (0: one
//                                   scan), PAUSE ms apart (default 0);
//                                   prints the counts and the hash of the
//                                   last image, and counts as wrong every
//                                   completed image whose hash is not HASH.
//   campaign_client exit-in-read return|exit-thread   ends the process
//                                   while a thread is inside ReadScan.
//   campaign_client cancel-read     one scan whose reads go on until they
//                                   fail; SIGINT calls DoCancel. Prints the
//                                   codes of ReadScan and StopScan.
//   campaign_client lock-wait       prints "waiting", then makes one locked
//                                   call (InitializeDriver) and prints
//                                   "lock-wait result=R code=C".
//   campaign_client bystand idle|button|scanner   has the library loaded
//                                   and stays idle, polls the buttons, or
//                                   tries scans; prints "bystanding".

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
	decltype(&TerminateDriver) terminateDriver;
	decltype(&DoCancel) doCancel;
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
	bind(library, driver.terminateDriver, "TerminateDriver");
	bind(library, driver.doCancel, "DoCancel");
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
	if (how == "forked-sigkill" && fork() == 0) {
		// Idle, no call into the library; its output is not the campaign's.
		close(STDOUT_FILENO);
		alarm(8);
		for (;;)
			pause();
	}
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

// The settings the image-content contention compares: colour and grey,
// windows of different places and sizes, so that a restarted or mixed-up
// image shows.
ScanParameter imageSetting(int index)
{
	ScanParameter p{};
	switch (index % 4) {
	case 0: // colour, 50 dpi, 20 x 20 mm
		p.XRes = p.YRes = 50;
		p.Width = p.Length = 236;
		p.ScanMode = 4;
		p.BitPerPixel = 24;
		break;
	case 1: // grey, 100 dpi, an inch by half an inch from (60, 30)
		p = torvane::test::smallGreyScan(100, 150);
		p.Left = 60;
		p.Top = 30;
		break;
	case 2: // colour, 75 dpi, an inch square
		p.XRes = p.YRes = 75;
		p.Width = p.Length = 300;
		p.ScanMode = 4;
		p.BitPerPixel = 24;
		break;
	default: // grey, 50 dpi, two inches by one from (100, 0)
		p = torvane::test::smallGreyScan(50, 300);
		p.Width = 600;
		p.Left = 100;
		break;
	}
	p.PixelNum = static_cast<uint16_t>(p.Width * p.XRes / 300);
	p.LineNum = static_cast<uint16_t>(p.Length * p.YRes / 300);
	return p;
}

// The cycle of the image-content contention: the whole image in one
// ReadScan, StopScan after every successful start. 1 complete, 0 refused
// (162 anywhere), -1 failed.
int imageCycle(const ScanParameter &p, std::vector<unsigned char> &image)
{
	if (!driver.initializeDriver())
		return errorCode() == 162 ? 0 : -1;
	int outcome = 1;
	if (!driver.setScanParameter(&p)) {
		outcome = errorCode() == 162 ? 0 : -1;
	} else if (!driver.startScan()) {
		outcome = errorCode() == 162 ? 0 : -1;
		driver.stopScan();
	} else {
		const int read = driver.readScan(nullptr, image.data(), static_cast<uint32_t>(image.size()));
		const int32_t code = read ? 0 : errorCode();
		const int stopped = driver.stopScan();
		outcome = read && stopped ? 1 : (code == 162 ? 0 : -1);
	}
	driver.terminateDriver();
	return outcome;
}

int runImages(int seconds, int setting, const char *expected, int pauseMs)
{
	loadDriver();
	const ScanParameter p = imageSetting(setting);
	std::vector<unsigned char> image(static_cast<size_t>(p.PixelNum) * p.LineNum * p.BitPerPixel / 8);
	return torvane::test::countImages(seconds, expected, pauseMs, image, [&p](std::vector<unsigned char> &out) {
		std::fill(out.begin(), out.end(), 0xA5);
		return imageCycle(p, out);
	});
}

// A thread reads a long scan while the process ends: from main's return or
// from exit() on another thread.
int runExitInRead(const std::string &how)
{
	loadDriver();
	driver.initializeDriver();
	std::atomic<bool> reading{ false };
	std::thread([&] {
		const ScanParameter p = smallScan(3000);
		driver.setScanParameter(&p);
		driver.startScan();
		std::vector<unsigned char> piece(512);
		reading = true;
		while (driver.readScan(nullptr, piece.data(), static_cast<uint32_t>(piece.size()))) {
		}
	}).detach();
	while (!reading)
		usleep(1000);
	usleep(200000);
	std::printf("ending\n");
	std::fflush(stdout);
	if (how == "exit-thread")
		std::thread([] { std::exit(0); }).join();
	return 0;
}

void cancelOnInterrupt(int)
{
	driver.doCancel();
}

int runCancelRead()
{
	loadDriver();
	struct sigaction action {};
	action.sa_handler = cancelOnInterrupt;
	sigaction(SIGINT, &action, nullptr);
	driver.initializeDriver();
	const ScanParameter p = smallScan(3000);
	if (!driver.setScanParameter(&p) || !driver.startScan()) {
		std::printf("scan not started %d\n", errorCode());
		return 1;
	}
	std::printf("scanning\n");
	std::vector<unsigned char> piece(4096);
	while (driver.readScan(nullptr, piece.data(), static_cast<uint32_t>(piece.size()))) {
	}
	const int32_t readCode = errorCode();
	const int stopped = driver.stopScan();
	std::printf("read=%d stop=%d code=%d\n", readCode, stopped, errorCode());
	return 0;
}

// One locked call, made while another process holds the device lock.
int runLockWait()
{
	loadDriver();
	std::printf("waiting\n");
	const int result = driver.initializeDriver();
	std::printf("lock-wait result=%d code=%d\n", result, errorCode());
	return 0;
}

// Has the library loaded beside the campaign's other processes.
int runBystander(const std::string &kind)
{
	loadDriver();
	// Before the first call: one may have to wait for what the campaign holds.
	std::printf("bystanding\n");
	std::fflush(stdout);
	driver.initializeDriver();
	for (;;) {
		if (kind == "button") {
			ButtonReport report;
			driver.readPushButton(&report);
		} else if (kind == "scanner") {
			if (driver.initializeDriver())
				wholeScan(smallScan(30));
		}
		usleep(kind == "idle" ? 1000000 : 50000);
	}
}

// Locked calls and whole scans at random for `seconds`; every result must be
// a success or the refusal 162.
int runMix(int seconds, int threads, unsigned seed, bool scanning)
{
	loadDriver();
	driver.initializeDriver();
	std::atomic<long> calls{ 0 }, refusals{ 0 }, scans{ 0 }, wrong{ 0 }, sibling{ 0 }, slowest{ 0 };
	// The code and the call (code * 10 + call) of the last wrong result.
	std::atomic<long> lastWrong{ 0 };
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
						lastWrong = code * 10 + what;
					}
				}
			}
		});
	}
	for (auto &worker : workers)
		worker.join();
	std::printf("mix calls=%ld refusals=%ld scans=%ld wrong=%ld scan_codes=%ld slowest_ms=%ld last_wrong=%ld\n",
		    calls.load(), refusals.load(), scans.load(), wrong.load(), sibling.load(), slowest.load(),
		    lastWrong.load());
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
	if (command == "images" && argc >= 4 && argc <= 6)
		return runImages(std::atoi(argv[2]), std::atoi(argv[3]), argc >= 5 ? argv[4] : nullptr,
				 argc == 6 ? std::atoi(argv[5]) : 0);
	if (command == "exit-in-read" && argc == 3)
		return runExitInRead(argv[2]);
	if (command == "cancel-read" && argc == 2)
		return runCancelRead();
	if (command == "lock-wait" && argc == 2)
		return runLockWait();
	if (command == "bystand" && argc == 3)
		return runBystander(argv[2]);
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
