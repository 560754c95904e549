// SPDX-License-Identifier: MIT
// The driver library of each scanner model (RM735.so, KT918.so, ...), found
// beside the backend when installed or in the build tree, loaded once per
// process and never unloaded.
#pragma once

#include <string>
#include <vector>

#include "client/driver_library.h"

namespace torvane::sane {

// The folders looked in, in order: `<backend folder>/../torvane` (installed:
// <libdir>/sane and <libdir>/torvane), the configured install folder, and the
// build tree's lib folder (the backend runs from <build>/sane).
std::vector<std::string> driverFolders();

// The library of `model`, loaded on first use; null with `error` when there is none.
client::DriverLibrary *libraryForModel(const std::string &model, std::string *error);

// A library to find the scanner with: one already loaded, else the first
// model whose file exists. Any model's library finds every supported scanner;
// only InitializeScanner checks the model.
client::DriverLibrary *discoveryLibrary(std::string *error);

} // namespace torvane::sane
