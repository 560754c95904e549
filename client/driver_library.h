// SPDX-License-Identifier: MIT
// The driver library, loaded by model name as a TWAIN data source loads its
// DLL, and its 27 exported functions resolved into a table.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <torvane/torvane.h>

namespace torvane::client {

// Every function the library exports, in the order of torvane.h.
#define TORVANE_DRIVER_FUNCTIONS(X) \
	X(InitializeDriver)         \
	X(TerminateDriver)          \
	X(ResetScanner)             \
	X(ResetPushButton)          \
	X(CheckPushButton)          \
	X(DoCancel)                 \
	X(GetScannerAbility)        \
	X(GetScannerAbilityEx)      \
	X(InitializeScanner)        \
	X(GetScannerStatus)         \
	X(GetScannerStatusEx)       \
	X(GetLightStatus)           \
	X(SetScanParameter)         \
	X(SetGammaTable)            \
	X(StartScan)                \
	X(ReadScan)                 \
	X(StopScan)                 \
	X(ReadNVMData)              \
	X(WriteNVMData)             \
	X(InitializeNVM)            \
	X(TestNVM)                  \
	X(CheckNVMData)             \
	X(SetNVRAMValue)            \
	X(InitialButton)            \
	X(ReadPushButton)           \
	X(SetPowerSaveTime)         \
	X(SendPowerOffTime)

// Function pointers typed from the declarations of torvane.h.
struct DriverApi {
#define TORVANE_DRIVER_POINTER(name) decltype(&::name) name = nullptr;
	TORVANE_DRIVER_FUNCTIONS(TORVANE_DRIVER_POINTER)
#undef TORVANE_DRIVER_POINTER
};

// Where the library of `model` is looked for, in order: the explicit path
// alone when one is given; otherwise MODEL.so in the lib folder beside the
// executable's folder, then in the installed driver folder (<libdir>/torvane),
// then in the build tree, then by its bare name through the normal library path.
std::vector<std::string> librarySearchList(const std::string &model, const std::string &explicitPath,
					   const std::string &executableDir, const std::string &buildLibraryDir,
					   const std::string &installedDir = "");

class DriverLibrary
{
public:
	~DriverLibrary();
	DriverLibrary(const DriverLibrary &) = delete;
	DriverLibrary &operator=(const DriverLibrary &) = delete;

	// Loads the first library of the search list that loads and exports all
	// 27 functions. Null with `error` when none does. `ownNamespace` loads it
	// with its own copy of every dependency (Linux): the libraries of two
	// models are often one file under two names, which the loader would
	// otherwise map once, under the first name (and the library checks the
	// scanner's model against the name it was loaded under). Windows maps
	// each file name of its own.
	static std::unique_ptr<DriverLibrary> load(const std::vector<std::string> &searchList, std::string *error,
						   bool ownNamespace = false);

	const DriverApi &api() const { return api_; }
	const std::string &path() const { return path_; }

	// The code of the last failure, fetched (and cleared) with GetScannerStatusEx.
	int32_t takeLastError() const;

private:
	DriverLibrary() = default;
	// The library loaded as `handle` from `path` with its 27 functions
	// looked up by `lookup`; null, with the names not found in `missing`,
	// when one is absent.
	static std::unique_ptr<DriverLibrary> resolved(void *handle, const std::string &path,
						       void *(*lookup)(void *handle, const char *name),
						       std::string *missing);

	void *handle_ = nullptr;
	std::string path_;
	DriverApi api_;
};

// Windows: MODEL.dll in `folder` (the data source's own folder), the one
// place looked in, so that a DLL of another program is never taken.
std::vector<std::string> dllSearchList(const std::string &model, const std::string &folder);

// The error of a load that found no library: every place looked in, and why
// each candidate found was not taken.
std::string loadFailure(const std::vector<std::string> &searchList, const std::string &reasons);

// The folder of the running executable.
std::string executableDir();

// The folder of the shared object (or program) holding `address`.
std::string moduleDir(const void *address);

// RM735 from .../RM735.so (or ...\\RM735.dll on Windows): the model a
// library file is named for.
std::string libraryModel(const std::string &path);

} // namespace torvane::client
