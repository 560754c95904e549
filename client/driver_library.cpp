// SPDX-License-Identifier: MIT
// The driver library: what the POSIX and the Windows loader share.

#include "client/driver_library.h"

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
