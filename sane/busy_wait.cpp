// SPDX-License-Identifier: MIT
// How long sane_start waits for a scanner that another program's scan holds.

#include "busy_wait.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// The start of a regular file (never a FIFO or a device, which could make
// sane_start wait for ever); false when there is none.
bool readRegularFile(const std::string &path, std::string *text)
{
	constexpr size_t kMaxBytes = 64 * 1024;
	const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
	if (fd < 0)
		return false;
	struct stat info {};
	const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
	text->assign(regular ? kMaxBytes : 0, '\0');
	size_t got = 0;
	while (got < text->size()) {
		const ssize_t n = ::read(fd, text->data() + got, text->size() - got);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			break;
		got += static_cast<size_t>(n);
	}
	::close(fd);
	text->resize(got);
	return regular;
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
		std::string text;
		if (readRegularFile(folder + "/torvane.conf", &text))
			return busyWaitFromConfig(text, kDefaultBusyWait);
	}
	return kDefaultBusyWait;
}

} // namespace torvane::sane
