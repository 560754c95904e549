// SPDX-License-Identifier: MIT
// --debug-level and --log-dir: a configuration file for this run only. The
// driver reads its configuration when it is loaded, so the file is written and
// TORVANE_REGISTRY pointed at it before the library is loaded.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace torvane::scan {

// The configuration text of the run: the lines of `existing` without
// DEBUGLEVEL and SAVEPATH where they are overridden, then the new values.
// A log folder alone gives level 2 unless `existing` sets a level. SAVEPATH
// is a plain prefix of the log file names, so the folder gets a trailing '/'.
std::string buildRunConfiguration(const std::string &existing, std::optional<uint32_t> level,
				  const std::string &logDir);

class RunConfiguration
{
public:
	~RunConfiguration();
	RunConfiguration(const RunConfiguration &) = delete;
	RunConfiguration &operator=(const RunConfiguration &) = delete;

	// Creates the log folder when missing, writes the file in a private
	// temporary folder and sets TORVANE_REGISTRY. Null with `error` on failure.
	static std::unique_ptr<RunConfiguration> create(std::optional<uint32_t> level, const std::string &logDir,
							std::string *error);

	const std::string &path() const { return path_; }

private:
	RunConfiguration() = default;

	std::string folder_;
	std::string path_;
};

} // namespace torvane::scan
