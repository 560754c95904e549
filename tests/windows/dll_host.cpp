// SPDX-License-Identifier: MIT
// A front end in miniature: loads the DLL named first on its command line and
// runs the steps that follow, one output line "key=value" per result.
//
//   call:<Export>           calls an int(void) export: <Export>=<result> and
//                           <Export>.ms=<duration>
//   state                   the driver frame's state (test driver only)
//   lockWait:<ms>           shortens the device lock's wait (test driver only)
//   scanBusy:<value>        sets ScanBusy (test driver only)
//   stallDevice:<in>,<out>  device opens signal the named event <in>, wait for
//                           the named event <out>, then find no device (test
//                           driver only)
//   signal:<event>          sets a named event of the test
//   wait:<event>            waits for it (at most 30 s): wait=1 or wait=0
//   simulate                a virtual RM735 answers as \\.\usbscan0 (test
//                           driver only)
//   setScanParameter:<xres>,<mode>,<bits>,<length>
//                           SetScanParameter for the scanner's whole width:
//                           setScanParameter=<result>
//   scan:<xres>,<mode>,<bits>,<length>
//                           a whole scan: scan=<1|0>, image.bytes=<count>,
//                           image.equalsRaw=<1 when the image is the start
//                           of the raw image the scanner sent>
//   spawn:<Export>          calls an int(void) export on a thread of its own
//   exit                    ends the process at once (ExitProcess), the
//                           library still loaded
//
// Exit code 0, or 3 when the DLL does not load.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <windows.h>

#include "support/scan_request.h"
#include "support/sim_device_calls.h"
#include "support/torvane_test.h"
#include "support/win_test_support.h"
#include "torvane_sim/virtual_scanner.h"

using torvane::platform::DeviceCalls;
using namespace torvane::wintest;

namespace {

HANDLE stallEntered = nullptr;
HANDLE stallRelease = nullptr;

HANDLE WINAPI stalledCreateFile(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)
{
	SetEvent(stallEntered);
	WaitForSingleObject(stallRelease, 30000);
	SetLastError(ERROR_FILE_NOT_FOUND);
	return INVALID_HANDLE_VALUE;
}

DeviceCalls stalledCalls;

std::unique_ptr<torvane::sim::VirtualScanner> scanner;
std::unique_ptr<VirtualScannerSet> scanners;

// "<xres>,<mode>,<bits>,<length>"
bool parseRequest(const std::string &text, ScanRequest &request)
{
	unsigned xres = 0, mode = 0, bits = 0, length = 0;
	if (std::sscanf(text.c_str(), "%u,%u,%u,%u", &xres, &mode, &bits, &length) != 4)
		return false;
	request = { static_cast<uint16_t>(xres), static_cast<uint8_t>(mode), static_cast<uint8_t>(bits),
		    static_cast<uint16_t>(length) };
	return true;
}

uint16_t scannerWidth(const Library &library)
{
	ScannerAbilityEx ability{};
	auto get = library.function<decltype(&::GetScannerAbilityEx)>("GetScannerAbilityEx");
	return get && get(&ability) == 1 ? ability.ScanWidth : 0;
}

HANDLE openEvent(const std::string &name)
{
	return OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, name.c_str());
}

void print(const std::string &key, const std::string &value)
{
	std::printf("%s=%s\n", key.c_str(), value.c_str());
	std::fflush(stdout);
}

bool runStep(const Library &library, const std::string &step)
{
	const size_t colon = step.find(':');
	const std::string verb = step.substr(0, colon);
	const std::string argument = colon == std::string::npos ? std::string() : step.substr(colon + 1);

	if (verb == "call") {
		const DWORD start = GetTickCount();
		const int result = library.call(argument.c_str());
		print(argument, std::to_string(result));
		print(argument + ".ms", std::to_string(GetTickCount() - start));
	} else if (verb == "state") {
		auto getState = library.function<TorvaneTestGetStateCall>("TorvaneTestGetState");
		if (!getState)
			return false;
		TorvaneTestState state;
		getState(&state);
		print("rawTestMode", std::to_string(state.rawTestMode));
		print("libraryPath", state.libraryPath);
		print("debugLevel", std::to_string(state.debugLevel));
		print("savePath", state.savePath);
		print("lastError", std::to_string(state.lastError));
		print("scanBusy", std::to_string(state.scanBusy));
	} else if (verb == "lockWait") {
		auto set = library.function<TorvaneTestSetLockWaitCall>("TorvaneTestSetLockWait");
		if (!set)
			return false;
		set(static_cast<uint32_t>(std::strtoul(argument.c_str(), nullptr, 10)));
	} else if (verb == "scanBusy") {
		auto set = library.function<TorvaneTestSetScanBusyCall>("TorvaneTestSetScanBusy");
		if (!set)
			return false;
		set(static_cast<int32_t>(std::strtol(argument.c_str(), nullptr, 10)));
	} else if (verb == "stallDevice") {
		auto set = library.function<TorvaneTestSetDeviceCallsCall>("TorvaneTestSetDeviceCalls");
		const size_t comma = argument.find(',');
		if (!set || comma == std::string::npos)
			return false;
		stallEntered = openEvent(argument.substr(0, comma));
		stallRelease = openEvent(argument.substr(comma + 1));
		if (!stallEntered || !stallRelease)
			return false;
		stalledCalls = DeviceCalls{ stalledCreateFile, &::CloseHandle, &::ReadFile, &::WriteFile,
					    &::DeviceIoControl, &::GetOverlappedResult, &::CancelIoEx };
		set(&stalledCalls);
	} else if (verb == "simulate") {
		auto set = library.function<TorvaneTestSetDeviceCallsCall>("TorvaneTestSetDeviceCalls");
		if (!set)
			return false;
		scanner = std::make_unique<torvane::sim::VirtualScanner>(torvane::sim::Model::RM735);
		scanner->setFullSpeed(true);
		scanners = std::make_unique<VirtualScannerSet>();
		scanners->plug(0, *scanner);
		set(installFakeDevices(scanners.get()));
	} else if (verb == "setScanParameter" || verb == "scan") {
		ScanRequest request;
		if (!parseRequest(argument, request))
			return false;
		const ScanParameter parameter = scanParameterFor(request, scannerWidth(library));
		if (verb == "setScanParameter") {
			auto setScanParameter = library.function<decltype(&::SetScanParameter)>("SetScanParameter");
			if (!setScanParameter)
				return false;
			print("setScanParameter", std::to_string(setScanParameter(&parameter)));
			return true;
		}
		if (!scanner)
			return false;
		std::vector<uint8_t> raw;
		std::vector<uint8_t> image;
		std::string failure;
		const bool scanned = scanThrough(
			library, parameter, 65536, [&] { raw = scanner->rawImage(); }, image, failure);
		print("scan", scanned ? "1" : "0");
		if (!scanned)
			print("scan.failure", failure);
		print("image.bytes", std::to_string(image.size()));
		print("raw.bytes", std::to_string(raw.size()));
		// The front end counts its lines; the scanner may send more.
		const bool equalsRaw =
			raw.size() >= image.size() && std::equal(image.begin(), image.end(), raw.begin());
		print("image.equalsRaw", scanned && equalsRaw ? "1" : "0");
	} else if (verb == "spawn") {
		auto function = library.function<int (*)()>(argument.c_str());
		if (!function)
			return false;
		HANDLE thread = CreateThread(
			nullptr, 0, [](LPVOID f) -> DWORD { return static_cast<DWORD>(reinterpret_cast<int (*)()>(f)()); },
			reinterpret_cast<void *>(function), 0, nullptr);
		if (!thread)
			return false;
		CloseHandle(thread);
	} else if (verb == "exit") {
		std::fflush(stdout);
		ExitProcess(0);
	} else if (verb == "signal") {
		HANDLE event = openEvent(argument);
		if (!event)
			return false;
		SetEvent(event);
		CloseHandle(event);
	} else if (verb == "wait") {
		HANDLE event = openEvent(argument);
		if (!event)
			return false;
		print("wait", WaitForSingleObject(event, 30000) == WAIT_OBJECT_0 ? "1" : "0");
		CloseHandle(event);
	} else {
		return false;
	}
	return true;
}

} // namespace

int main(int argc, char **argv)
{
	if (argc < 2) {
		std::fprintf(stderr, "usage: %s library.dll step...\n", argv[0]);
		return 2;
	}
	int status = 0;
	{
		Library library(argv[1]);
		if (!library.loaded()) {
			std::fprintf(stderr, "cannot load %s (error %lu)\n", argv[1], GetLastError());
			return 3;
		}
		for (int i = 2; i < argc && status == 0; ++i) {
			if (!runStep(library, argv[i])) {
				std::fprintf(stderr, "step failed: %s\n", argv[i]);
				status = 4;
			}
		}
		// The library goes before the scanner that answers its calls.
		if (auto set = library.function<TorvaneTestSetDeviceCallsCall>("TorvaneTestSetDeviceCalls"))
			set(nullptr);
	}
	scanners.reset();
	scanner.reset();
	return status;
}
