// SPDX-License-Identifier: MIT
// Loading the driver DLL with LoadLibrary (Windows): RM735.dll and its 27
// exports, as the TWAIN data source finds it in its own folder.

#include "client/driver_library.h"

#include <windows.h>

namespace torvane::client {

namespace {

std::string folderOf(HMODULE module)
{
	char path[MAX_PATH];
	const DWORD length = ::GetModuleFileNameA(module, path, sizeof(path));
	if (length == 0 || length >= sizeof(path))
		return {};
	std::string text(path, length);
	const size_t slash = text.find_last_of("\\/");
	return slash == std::string::npos ? std::string() : text.substr(0, slash);
}

} // namespace

std::vector<std::string> dllSearchList(const std::string &model, const std::string &folder)
{
	if (folder.empty())
		return {};
	return { folder + "\\" + model + ".dll" };
}

DriverLibrary::~DriverLibrary()
{
	// Never freed: the driver's process detach runs when the process ends,
	// and a scan thread that could not be joined must keep its code.
}

std::unique_ptr<DriverLibrary> DriverLibrary::load(const std::vector<std::string> &searchList, std::string *error,
						   bool /*ownNamespace*/)
{
	std::string reasons;
	for (const std::string &path : searchList) {
		if (::GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES)
			continue;
		// The DLL's own folder comes first for what it imports in turn.
		HMODULE module = ::LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
		if (!module) {
			reasons += "\n  " + path + ": error " + std::to_string(::GetLastError());
			continue;
		}
		const auto lookup = [](void *library, const char *name) {
			return reinterpret_cast<void *>(::GetProcAddress(static_cast<HMODULE>(library), name));
		};
		std::string missing;
		if (std::unique_ptr<DriverLibrary> library = resolved(module, path, lookup, &missing))
			return library;
		reasons += "\n  " + path + " does not export " + missing;
	}
	*error = loadFailure(searchList, reasons);
	return nullptr;
}

std::string executableDir()
{
	return folderOf(nullptr);
}

std::string moduleDir(const void *address)
{
	HMODULE module = nullptr;
	if (!::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
				  static_cast<LPCSTR>(address), &module))
		return {};
	return folderOf(module);
}

} // namespace torvane::client
