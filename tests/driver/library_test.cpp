// SPDX-License-Identifier: MIT
// The shared object: loads, attaches, and exports C functions only.

#include <array>
#include <cstdio>
#include <set>
#include <string>

#include <dlfcn.h>

#include <gtest/gtest.h>

#include "support/test_environment.h"

namespace {

// Every name the library may export; no others.
const std::set<std::string> kExports = {
	"InitializeDriver",
	"TerminateDriver",
	"ResetScanner",
	"ResetPushButton",
	"CheckPushButton",
	"DoCancel",
	"GetScannerAbility",
	"GetScannerAbilityEx",
	"InitializeScanner",
	"GetScannerStatus",
	"GetScannerStatusEx",
	"GetLightStatus",
	"SetScanParameter",
	"SetGammaTable",
	"StartScan",
	"ReadScan",
	"StopScan",
	"ReadNVMData",
	"WriteNVMData",
	"InitializeNVM",
	"TestNVM",
	"CheckNVMData",
	"SetNVRAMValue",
	"InitialButton",
	"ReadPushButton",
	"SetPowerSaveTime",
	"SendPowerOffTime",
};

std::set<std::string> definedDynamicSymbols(const std::string &library)
{
	std::set<std::string> names;
	const std::string command = "nm -D --defined-only " + library;
	FILE *pipe = popen(command.c_str(), "r");
	if (!pipe)
		return names;
	std::array<char, 512> line{};
	while (fgets(line.data(), line.size(), pipe)) {
		char type = 0;
		char name[400] = {};
		if (sscanf(line.data(), "%*s %c %399s", &type, name) == 2)
			names.insert(name);
	}
	pclose(pipe);
	return names;
}

TEST(SharedObject, ExportsOnlyTheDriverFunctions)
{
	const auto names = definedDynamicSymbols(torvane::test::libraryDir() + "/RM735.so");
	ASSERT_FALSE(names.empty());
	for (const auto &name : names)
		EXPECT_TRUE(kExports.count(name)) << "unexpected export " << name;
	for (const char *frame : { "TerminateDriver", "ResetScanner", "ResetPushButton", "CheckPushButton", "DoCancel" })
		EXPECT_TRUE(names.count(frame)) << "missing export " << frame;
}

TEST(SharedObject, LoadsUnderBothModelNamesWithoutConfiguration)
{
	torvane::test::removeConfig();
	for (const char *model : { "RM735.so", "KT918.so" }) {
		const std::string path = torvane::test::libraryDir() + "/" + model;
		void *library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
		ASSERT_NE(library, nullptr) << dlerror();
		auto reset = reinterpret_cast<int (*)()>(dlsym(library, "ResetScanner"));
		ASSERT_NE(reset, nullptr);
		EXPECT_EQ(reset(), 1);
		auto terminate = reinterpret_cast<int (*)()>(dlsym(library, "TerminateDriver"));
		ASSERT_NE(terminate, nullptr);
		EXPECT_EQ(terminate(), 1);
		dlclose(library);
	}
}

} // namespace
