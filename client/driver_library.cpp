// SPDX-License-Identifier: MIT
// The driver library: what the POSIX and the Windows loader share.

#include "client/driver_library.h"

#include <utility>

namespace torvane::client {

namespace {

#ifdef _WIN32
constexpr const char *kPathSeparators = "/\\";
#else
constexpr const char *kPathSeparators = "/";
#endif

} // namespace

std::vector<std::string> librarySearchList(const std::string &model, const std::string &explicitPath,
					   const std::string &executableDir, const std::string &buildLibraryDir,
					   const std::string &installedDir)
{
	if (!explicitPath.empty())
		return { explicitPath };
	const std::string file = model + ".so";
	std::vector<std::string> list;
	if (!executableDir.empty())
		list.push_back(executableDir + "/../lib/" + file);
	if (!installedDir.empty())
		list.push_back(installedDir + "/" + file);
	if (!buildLibraryDir.empty())
		list.push_back(buildLibraryDir + "/" + file);
	list.push_back(file);
	return list;
}

std::unique_ptr<DriverLibrary> DriverLibrary::resolved(void *handle, const std::string &path,
						       void *(*lookup)(void *handle, const char *name),
						       std::string *missing)
{
	std::unique_ptr<DriverLibrary> library(new DriverLibrary);
	library->handle_ = handle;
	library->path_ = path;
	missing->clear();
#define TORVANE_DRIVER_RESOLVE(name)                                                     \
	library->api_.name = reinterpret_cast<decltype(&::name)>(lookup(handle, #name)); \
	if (!library->api_.name)                                                         \
		*missing += missing->empty() ? #name : ", " #name;
	TORVANE_DRIVER_FUNCTIONS(TORVANE_DRIVER_RESOLVE)
#undef TORVANE_DRIVER_RESOLVE
	// A library without them stays loaded all the same: its attach has run,
	// and a library is never unloaded (see the destructor).
	return missing->empty() ? std::move(library) : nullptr;
}

std::string loadFailure(const std::vector<std::string> &searchList, const std::string &reasons)
{
	std::string looked;
	for (const std::string &path : searchList)
		looked += "\n  " + path;
	std::string error = "the driver library could not be loaded; looked for:" + looked;
	if (!reasons.empty())
		error += "\nreasons:" + reasons;
	return error;
}

int32_t DriverLibrary::takeLastError() const
{
	unsigned char status1 = 0, status2 = 0, status3 = 0;
	int32_t code = 0;
	api_.GetScannerStatusEx(&status1, &status2, &status3, &code);
	return code;
}

std::string libraryModel(const std::string &path)
{
	const size_t slash = path.find_last_of(kPathSeparators);
	const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
	const size_t dot = name.find('.');
	return dot == std::string::npos ? name : name.substr(0, dot);
}

} // namespace torvane::client
