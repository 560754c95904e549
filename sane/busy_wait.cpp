// SPDX-License-Identifier: MIT
// How long sane_start waits for a scanner that another program's scan holds.

#include "busy_wait.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "debug_output.h"

namespace torvane::sane {

namespace {

constexpr const char *kDefaultConfigFolder = "/etc/sane.d";

// The folders SANE reads backend configuration from, in order.
std::vector<std::string> configFolders()
{
	const char *list = std::getenv("SANE_CONFIG_DIR");
	if (!list || !*list)
		return { kDefaultConfigFolder };
	std::vector<std::string> folders;
	std::string text = list;
	size_t start = 0;
	for (size_t colon; (colon = text.find(':', start)) != std::string::npos; start = colon + 1)
		folders.push_back(text.substr(start, colon - start));
	folders.push_back(text.substr(start));
	// A trailing ':' appends the default folder.
	if (text.back() == ':')
		folders.back() = kDefaultConfigFolder;
	return folders;
}

} // namespace

std::chrono::milliseconds busyWaitFromConfig(const std::string &text, std::chrono::milliseconds fallback)
{
	std::istringstream lines(text);
	std::string line;
	std::chrono::milliseconds limit = fallback;
	while (std::getline(lines, line)) {
		std::istringstream words(line);
		std::string key, value, rest;
		if (!(words >> key) || key != "busy-wait")
			continue;
		char *end = nullptr;
		words >> value;
		const long seconds = std::strtol(value.c_str(), &end, 10);
		if (value.empty() || *end != '\0' || seconds < 0 || seconds > kLongestBusyWait.count() || (words >> rest)) {
			debugLog(kDebugWarning, "torvane.conf: '%s' is not 'busy-wait SECONDS'", line.c_str());
			continue;
		}
		limit = std::chrono::seconds(seconds);
	}
	return limit;
}

std::chrono::milliseconds busyWaitLimit()
{
	for (const std::string &folder : configFolders()) {
		if (folder.empty())
			continue;
		std::ifstream file(folder + "/torvane.conf");
		if (!file)
			continue;
		std::ostringstream text;
		text << file.rdbuf();
		return busyWaitFromConfig(text.str(), kDefaultBusyWait);
	}
	return kDefaultBusyWait;
}

} // namespace torvane::sane
