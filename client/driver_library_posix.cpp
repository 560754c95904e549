// SPDX-License-Identifier: MIT
// Loading the driver library with dlopen (Linux): RM735.so and its 27 exports.

#include "client/driver_library.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

#include <dlfcn.h>
#include <unistd.h>

namespace torvane::client {

DriverLibrary::~DriverLibrary()
{
	// The library stays mapped until the process ends: its process detach
	// runs at exit, and nothing of it (a scan thread that could not be
	// joined, a pending button wait) can outlive its code.
}

std::unique_ptr<DriverLibrary> DriverLibrary::load(const std::vector<std::string> &searchList, std::string *error,
						   bool ownNamespace)
{
	std::string reasons;
	std::vector<std::string> tried;
	for (const std::string &path : searchList) {
		const bool isPath = path.find('/') != std::string::npos;
		if (isPath && ::access(path.c_str(), F_OK) != 0)
			continue;
		// Two places may name one file (the build tree is beside the
		// executable): it is tried once.
		if (isPath) {
			char resolved[PATH_MAX];
			const std::string real = ::realpath(path.c_str(), resolved) ? resolved : path;
			if (std::find(tried.begin(), tried.end(), real) != tried.end())
				continue;
			tried.push_back(real);
		}
		void *handle = ownNamespace ? ::dlmopen(LM_ID_NEWLM, path.c_str(), RTLD_NOW | RTLD_LOCAL)
					    : ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
		if (!handle) {
			const char *text = ::dlerror();
			reasons += std::string("\n  ") + (text ? text : path.c_str());
			continue;
		}

		const auto lookup = [](void *library, const char *name) { return ::dlsym(library, name); };
		std::string missing;
		if (std::unique_ptr<DriverLibrary> library = resolved(handle, path, lookup, &missing))
			return library;
		reasons += "\n  " + path + " does not export " + missing;
	}
	*error = loadFailure(searchList, reasons);
	return nullptr;
}

std::string executableDir()
{
	char path[PATH_MAX];
	const ssize_t length = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
	if (length <= 0)
		return {};
	path[length] = '\0';
	std::string text(path);
	const size_t slash = text.find_last_of('/');
	return slash == std::string::npos ? std::string() : text.substr(0, slash);
}

std::string moduleDir(const void *address)
{
	Dl_info info{};
	if (::dladdr(address, &info) == 0 || !info.dli_fname)
		return {};
	char resolved[PATH_MAX];
	const std::string path = ::realpath(info.dli_fname, resolved) ? resolved : info.dli_fname;
	const size_t slash = path.find_last_of('/');
	return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

} // namespace torvane::client
