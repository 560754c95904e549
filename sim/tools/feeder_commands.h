// SPDX-License-Identifier: MIT
// torvane-sim's document feeder: --feeder and the stdin commands load,
// empty, jam and double-feed.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "torvane_sim/virtual_scanner.h"

namespace torvane::sim {

// Loads the sheets of each spec (file, folder or "chart") into the feeder;
// false with a message in `error` when one cannot be loaded (nothing is
// loaded then).
bool loadFeederSheets(VirtualScanner &scanner, const std::vector<std::string> &specs, std::string *error);

// Runs a feeder command ("load FILE...", "empty", "jam [N]", "double-feed
// N"); false when `verb` is none of them. `note` tells the user what happened.
bool runFeederCommand(VirtualScanner &scanner, const std::string &verb, const std::string &argument,
		      const std::function<void(const std::string &)> &note);

} // namespace torvane::sim
