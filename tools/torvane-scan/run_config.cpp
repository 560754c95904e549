// SPDX-License-Identifier: MIT
// --debug-level and --log-dir: a configuration file for this run only.

#include "run_config.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace torvane::scan {

namespace {

constexpr const char *kDefaultConfigPath = "/etc/torvane/twain.conf";

bool setsValue(const std::string &line, const char *name)
{
	size_t start = line.find_first_not_of(" \t");
	if (start == std::string::npos || line[start] == '#')
		return false;
	const std::string prefix = std::string(name) + "=";
	return line.compare(start, prefix.size(), prefix) == 0;
}

} // namespace

std::string buildRunConfiguration(const std::string &existing, std::optional<uint32_t> level,
				  const std::string &logDir)
{
	std::istringstream in(existing);
	std::string text = "# torvane-scan: configuration of one run\n";
	std::string line;
	bool hasLevel = false;
	while (std::getline(in, line)) {
		if (!line.empty() && line.back() == '\r')
			line.pop_back();
		if (setsValue(line, "DEBUGLEVEL")) {
			if (level)
				continue;
			hasLevel = true;
		}
		if (setsValue(line, "SAVEPATH") && !logDir.empty())
			continue;
		text += line + "\n";
	}
	if (level)
		text += "DEBUGLEVEL=" + std::to_string(*level) + "\n";
	else if (!logDir.empty() && !hasLevel)
		text += "DEBUGLEVEL=2\n";
	if (!logDir.empty())
		text += "SAVEPATH=" + logDir + (logDir.back() == '/' ? "" : "/") + "\n";
	return text;
}

RunConfiguration::~RunConfiguration()
{
	std::error_code ignored;
	if (!folder_.empty())
		std::filesystem::remove_all(folder_, ignored);
}

std::unique_ptr<RunConfiguration> RunConfiguration::create(std::optional<uint32_t> level, const std::string &logDir,
							   std::string *error)
{
	std::error_code code;
	if (!logDir.empty()) {
		std::filesystem::create_directories(logDir, code);
		if (code || !std::filesystem::is_directory(logDir)) {
			*error = "cannot use the log folder '" + logDir + "': " +
				 (code ? code.message() : std::string("not a folder"));
			return nullptr;
		}
	}

	const char *current = std::getenv("TORVANE_REGISTRY");
	std::ifstream in(current && *current ? current : kDefaultConfigPath, std::ios::binary);
	std::stringstream existing;
	if (in)
		existing << in.rdbuf();

	std::unique_ptr<RunConfiguration> config(new RunConfiguration);
	std::string pattern = std::filesystem::temp_directory_path(code).string();
	if (code || pattern.empty())
		pattern = "/tmp";
	pattern += "/torvane-scan-XXXXXX";
	std::vector<char> buffer(pattern.begin(), pattern.end());
	buffer.push_back('\0');
	if (!::mkdtemp(buffer.data())) {
		*error = "cannot create a temporary folder for the driver's configuration";
		return nullptr;
	}
	config->folder_ = buffer.data();
	config->path_ = config->folder_ + "/twain.conf";

	std::ofstream out(config->path_, std::ios::binary | std::ios::trunc);
	out << buildRunConfiguration(existing.str(), level, logDir);
	out.close();
	if (!out) {
		*error = "cannot write the driver's configuration for this run";
		return nullptr;
	}
	::setenv("TORVANE_REGISTRY", config->path_.c_str(), 1);
	return config;
}

} // namespace torvane::scan
