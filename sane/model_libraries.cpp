// SPDX-License-Identifier: MIT
// The driver library of each scanner model (RM735.so, KT918.so, ...), found
// beside the backend when installed or in the build tree, loaded once per
// process and never unloaded.

#include "model_libraries.h"

#include <map>
#include <memory>
#include <mutex>

#include <unistd.h>

#include "debug_output.h"

#ifndef TORVANE_INSTALLED_DRIVER_DIR
#define TORVANE_INSTALLED_DRIVER_DIR ""
#endif
#ifndef TORVANE_BUILD_LIBRARY_DIR
#define TORVANE_BUILD_LIBRARY_DIR ""
#endif

namespace torvane::sane {

namespace {

// The models of the supported scanners, tried in this order for discovery.
constexpr const char *kModels[] = { "RM735", "RM736", "RM737", "RM740", "RM745", "RM750", "KT910",
				    "KT912", "KT918", "KT920", "KT925", "KT930", "KT940", "KT950" };

struct LoadedLibraries {
	std::mutex mutex;
	std::map<std::string, std::unique_ptr<client::DriverLibrary>> byModel;
};

// Never destroyed: a driver library stays mapped until the process ends, and
// its table must outlive every static destructor that could still call it.
LoadedLibraries &loaded()
{
	static auto *libraries = new LoadedLibraries;
	return *libraries;
}

std::vector<std::string> searchListFor(const std::string &model)
{
	std::vector<std::string> list;
	for (const std::string &folder : driverFolders())
		list.push_back(folder + "/" + model + ".so");
	return list;
}

} // namespace

std::vector<std::string> driverFolders()
{
	std::vector<std::string> folders;
	const std::string own = client::moduleDir(reinterpret_cast<const void *>(&driverFolders));
	if (!own.empty())
		folders.push_back(own + "/../torvane");
	for (const char *folder : { TORVANE_INSTALLED_DRIVER_DIR, TORVANE_BUILD_LIBRARY_DIR })
		if (*folder)
			folders.push_back(folder);
	return folders;
}

client::DriverLibrary *libraryForModel(const std::string &model, std::string *error)
{
	LoadedLibraries &libraries = loaded();
	std::lock_guard<std::mutex> guard(libraries.mutex);
	auto found = libraries.byModel.find(model);
	if (found != libraries.byModel.end())
		return found->second.get();
	// The models' libraries are often one file under several names: a second
	// model gets a loader namespace of its own, so that it is mapped again
	// under its own name (the name the library checks the scanner against).
	const bool ownNamespace = !libraries.byModel.empty();
	std::unique_ptr<client::DriverLibrary> library =
		client::DriverLibrary::load(searchListFor(model), error, ownNamespace);
	if (!library)
		return nullptr;
	debugLog(kDebugDetail, "driver library of %s: %s", model.c_str(), library->path().c_str());
	client::DriverLibrary *pointer = library.get();
	libraries.byModel.emplace(model, std::move(library));
	return pointer;
}

client::DriverLibrary *discoveryLibrary(std::string *error)
{
	{
		LoadedLibraries &libraries = loaded();
		std::lock_guard<std::mutex> guard(libraries.mutex);
		if (!libraries.byModel.empty())
			return libraries.byModel.begin()->second.get();
	}
	for (const char *model : kModels)
		for (const std::string &path : searchListFor(model))
			if (::access(path.c_str(), F_OK) == 0)
				return libraryForModel(model, error);
	*error = "no driver library found in:";
	for (const std::string &folder : driverFolders())
		*error += " " + folder;
	return nullptr;
}

} // namespace torvane::sane
