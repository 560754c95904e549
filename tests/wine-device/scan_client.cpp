// SPDX-License-Identifier: MIT
// A front end in miniature, built for Linux and for Windows from this one
// source, so that the same settings reach RM735.so through torvane-sim's
// socket and RM735.dll through \\.\usbscanN under Wine: loads the library
// named first and runs the steps that follow, one "key=value" line each.
//
//   init                 InitializeDriver and InitializeScanner
//   scan:<xres>,<mode>,<bits>,<file>
//                        an A4 page (2480 x 3508 at 300 dpi) from the top
//                        left corner: SetScanParameter, StartScan, ReadScan
//                        in 64 KiB pieces, StopScan; the image bytes go to
//                        <file>; scan=<1|0>, scan.bytes, scan.ms (from
//                        SetScanParameter to the end of StopScan),
//                        scan.stop=<StopScan's result>
//   nvm                  ReadNVMData: nvm=<result>,<128 bytes in hex>
//   nvmWrite:<offset>,<byte>
//                        ReadNVMData, the byte changed, WriteNVMData:
//                        nvmWrite=<result>
//   call:<Export>        an int(void) export: <Export>=<result>
//   timed:<Export>       the same, and <Export>.ms=<duration>
//   buttonWait:<ms>      ReadPushButton every 50 ms until it reports a
//                        press or <ms> have passed: button=<8 bytes in hex>
//                        (zeros when none came), button.polls=<count>
//
// Exit code 0, 2 on a bad step, 3 when the library does not load.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#include "torvane/torvane.h"

namespace {

void *loadLibrary(const char *path)
{
#if defined(_WIN32)
	return reinterpret_cast<void *>(LoadLibraryA(path));
#else
	return dlopen(path, RTLD_NOW | RTLD_LOCAL);
#endif
}

void *symbol(void *library, const char *name)
{
#if defined(_WIN32)
	return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(library), name));
#else
	return dlsym(library, name);
#endif
}

template<typename Function>
Function function(void *library, const char *name)
{
	return reinterpret_cast<Function>(symbol(library, name));
}

void sleepMs(unsigned int ms)
{
#if defined(_WIN32)
	Sleep(ms);
#else
	usleep(ms * 1000);
#endif
}

void print(const std::string &key, const std::string &value)
{
	std::printf("%s=%s\n", key.c_str(), value.c_str());
	std::fflush(stdout);
}

int callInt(void *library, const char *name)
{
	auto call = function<int (*)()>(library, name);
	return call ? call() : -1;
}

// An A4 page at `xres` dpi in the given mode, the frame in 1/300 inch.
ScanParameter a4Page(uint16_t xres, uint8_t mode, uint8_t bits)
{
	ScanParameter parameter{};
	parameter.Width = 2480;
	parameter.Length = 3508;
	parameter.PixelNum = static_cast<uint16_t>(parameter.Width * xres / 300);
	parameter.LineNum = static_cast<uint16_t>(parameter.Length * xres / 300);
	parameter.ScanMode = mode;
	parameter.BitPerPixel = bits;
	parameter.HTPatternNo = 1;
	parameter.XRes = xres;
	parameter.YRes = xres;
	return parameter;
}

bool scanPage(void *library, const std::string &argument)
{
	unsigned int xres = 0, mode = 0, bits = 0;
	int consumed = 0;
	if (std::sscanf(argument.c_str(), "%u,%u,%u,%n", &xres, &mode, &bits, &consumed) != 3 || consumed == 0)
		return false;
	const std::string file = argument.substr(static_cast<size_t>(consumed));
	const ScanParameter parameter =
		a4Page(static_cast<uint16_t>(xres), static_cast<uint8_t>(mode), static_cast<uint8_t>(bits));
	const size_t lineBytes = (static_cast<size_t>(parameter.PixelNum) * parameter.BitPerPixel + 7) / 8;
	std::vector<unsigned char> image(lineBytes * parameter.LineNum);

	auto setScanParameter = function<decltype(&::SetScanParameter)>(library, "SetScanParameter");
	auto readScan = function<decltype(&::ReadScan)>(library, "ReadScan");
	const auto started = std::chrono::steady_clock::now();
	bool scanned = setScanParameter && readScan && setScanParameter(&parameter) == 1 &&
		       callInt(library, "StartScan") == 1;
	for (size_t done = 0; scanned && done < image.size();) {
		const uint32_t piece = static_cast<uint32_t>(std::min<size_t>(65536, image.size() - done));
		scanned = readScan(nullptr, image.data() + done, piece) == 1;
		done += piece;
	}
	const int stopped = callInt(library, "StopScan");
	scanned = stopped == 1 && scanned;
	const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
	print("scan", scanned ? "1" : "0");
	print("scan.bytes", std::to_string(image.size()));
	print("scan.ms", std::to_string(ms.count()));
	print("scan.stop", std::to_string(stopped));
	FILE *out = std::fopen(file.c_str(), "wb");
	if (!out)
		return false;
	const bool written = std::fwrite(image.data(), 1, image.size(), out) == image.size();
	return std::fclose(out) == 0 && written;
}

std::string hex(const void *data, size_t length)
{
	std::string text;
	char piece[3];
	for (size_t i = 0; i < length; ++i) {
		std::snprintf(piece, sizeof(piece), "%02X", static_cast<const unsigned char *>(data)[i]);
		text += piece;
	}
	return text;
}

bool waitForButton(void *library, const std::string &argument)
{
	auto readPushButton = function<decltype(&::ReadPushButton)>(library, "ReadPushButton");
	const long limit = std::strtol(argument.c_str(), nullptr, 10);
	if (!readPushButton || limit <= 0)
		return false;
	ButtonReport report{};
	const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit);
	unsigned int polls = 0;
	bool pressed = false;
	while (!pressed && std::chrono::steady_clock::now() < deadline) {
		report = {};
		readPushButton(&report);
		++polls;
		for (unsigned char byte : report.Bytes)
			pressed = pressed || byte != 0;
		if (!pressed)
			sleepMs(50);
	}
	print("button", hex(report.Bytes, sizeof(report.Bytes)));
	print("button.polls", std::to_string(polls));
	return true;
}

bool runStep(void *library, const std::string &step)
{
	const size_t colon = step.find(':');
	const std::string verb = step.substr(0, colon);
	const std::string argument = colon == std::string::npos ? std::string() : step.substr(colon + 1);
	if (verb == "init") {
		print("InitializeDriver", std::to_string(callInt(library, "InitializeDriver")));
		print("InitializeScanner", std::to_string(callInt(library, "InitializeScanner")));
		return true;
	}
	if (verb == "scan")
		return scanPage(library, argument);
	if (verb == "call" || verb == "timed") {
		const auto started = std::chrono::steady_clock::now();
		print(argument, std::to_string(callInt(library, argument.c_str())));
		const auto ms =
			std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
		if (verb == "timed")
			print(argument + ".ms", std::to_string(ms.count()));
		return true;
	}
	if (verb == "buttonWait")
		return waitForButton(library, argument);
	auto readNvm = function<decltype(&::ReadNVMData)>(library, "ReadNVMData");
	auto writeNvm = function<decltype(&::WriteNVMData)>(library, "WriteNVMData");
	if (!readNvm || !writeNvm)
		return false;
	NvmRecord record{};
	if (verb == "nvm") {
		const int result = readNvm(&record);
		print("nvm", std::to_string(result) + "," + hex(&record, sizeof(record)));
		return true;
	}
	unsigned int offset = 0, value = 0;
	if (verb == "nvmWrite" && std::sscanf(argument.c_str(), "%u,%u", &offset, &value) == 2 &&
	    offset < sizeof(record) && value < 256) {
		if (readNvm(&record) != 1)
			return print("nvmWrite", "read failed"), true;
		reinterpret_cast<unsigned char *>(&record)[offset] = static_cast<unsigned char>(value);
		print("nvmWrite", std::to_string(writeNvm(&record)));
		return true;
	}
	return false;
}

} // namespace

int main(int argc, char **argv)
{
	if (argc < 2) {
		std::fprintf(stderr, "usage: %s LIBRARY STEP...\n", argv[0]);
		return 2;
	}
	void *library = loadLibrary(argv[1]);
	if (!library)
		return 3;
	for (int i = 2; i < argc; ++i) {
		if (!runStep(library, argv[i])) {
			std::fprintf(stderr, "bad step: %s\n", argv[i]);
			return 2;
		}
	}
	return 0;
}
