// SPDX-License-Identifier: MIT
// POSIX: the driver's configuration, a NAME=VALUE text file standing in for
// the registry key HKLM\SOFTWARE\Torvane\TWAIN\.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"

namespace torvane::platform {

namespace {

constexpr const char *kDefaultConfigPath = "/etc/torvane/twain.conf";

// A configuration file is a few lines; anything bigger is not one, and a file
// above this size is taken as missing rather than read in part (a cut line
// would give a value nobody wrote).
constexpr size_t kMaxConfigBytes = 4u << 20;

// File systems stamp changes with a coarse clock (down to whole seconds): a
// file read within this time of its last change might change again with the
// same stamp and size, so it is read again on every call until it is older.
constexpr int64_t kStampSlackNs = 2'000'000'000;

using Values = std::vector<std::pair<std::string, std::string>>;

struct FileIdentity {
	dev_t device = 0;
	ino_t inode = 0;
	off_t size = 0;
	int64_t modifiedNs = 0;
	int64_t changedNs = 0;

	bool operator==(const FileIdentity &) const = default;
};

int64_t nanoseconds(const timespec &time)
{
	return static_cast<int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

FileIdentity identityOf(const struct stat &info)
{
	return { info.st_dev, info.st_ino, info.st_size, nanoseconds(info.st_mtim), nanoseconds(info.st_ctim) };
}

const char *configPath()
{
	const char *path = std::getenv("TORVANE_REGISTRY");
	return path && *path ? path : kDefaultConfigPath;
}

// Every NAME=VALUE line of `text`, in file order. A line ends at '\n' (a
// trailing '\r' is dropped) however long it is, so a long comment stays one
// comment; a NUL byte ends the line's text.
Values parseLines(const std::string &text)
{
	Values values;
	size_t start = 0;
	while (start < text.size()) {
		size_t end = text.find('\n', start);
		if (end == std::string::npos)
			end = text.size();
		std::string line = text.substr(start, end - start);
		start = end + 1;
		line.resize(std::strlen(line.c_str()));
		while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
			line.pop_back();
		const size_t first = line.find_first_not_of(" \t");
		if (first == std::string::npos || line[first] == '#')
			continue;
		const size_t equals = line.find('=', first);
		if (equals == std::string::npos)
			continue;
		values.emplace_back(line.substr(first, equals - first), line.substr(equals + 1));
	}
	return values;
}

// Reads the whole of a regular file of at most kMaxConfigBytes. A FIFO, a
// device or a folder is refused without waiting (O_NONBLOCK: the open of a
// FIFO returns at once, and fstat then tells what it is).
bool readConfigFile(const char *path, std::string *text, FileIdentity *identity)
{
	const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
	if (fd < 0)
		return false;
	struct stat info {};
	bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
		  static_cast<uint64_t>(info.st_size) <= kMaxConfigBytes;
	if (ok) {
		*identity = identityOf(info);
		// Room for the file as it is and one byte more, which tells a file
		// that grew meanwhile; it may grow to one byte past the limit.
		text->resize(static_cast<size_t>(info.st_size) + 1);
		size_t got = 0;
		for (;;) {
			if (got == text->size()) {
				if (text->size() > kMaxConfigBytes)
					break;
				text->resize(std::min(text->size() * 2, kMaxConfigBytes + 1));
			}
			const ssize_t n = ::read(fd, text->data() + got, text->size() - got);
			if (n < 0 && errno == EINTR)
				continue;
			if (n <= 0) {
				ok = n == 0;
				break;
			}
			got += static_cast<size_t>(n);
		}
		ok = ok && got <= kMaxConfigBytes;
		text->resize(ok ? got : 0);
	}
	::close(fd);
	return ok;
}

// The values of the file last read, kept while the file is unchanged.
struct ConfigCache {
	std::mutex mutex;
	std::string path;
	FileIdentity identity;
	bool settled = false; // read long enough after its last change to be trusted
	Values values;
};

// Never destroyed, and not on the heap: a thread still logging while the
// process ends finds it, and a library unloaded with dlclose leaves no block
// behind (releaseConfigValues gives back what the values hold).
ConfigCache &configCache()
{
	alignas(ConfigCache) static unsigned char storage[sizeof(ConfigCache)];
	static ConfigCache *cache = new (storage) ConfigCache;
	return *cache;
}

int64_t wallClockNs()
{
	timespec now{};
	clock_gettime(CLOCK_REALTIME, &now);
	return nanoseconds(now);
}

// The value of `name` in `values`; the last line naming it wins.
bool lookUp(const Values &values, const char *name, std::string *value)
{
	for (auto it = values.rbegin(); it != values.rend(); ++it) {
		if (it->first == name) {
			*value = it->second;
			return true;
		}
	}
	return false;
}

// Finds the value of `name` in the configuration file; false when the file
// (or a regular file of a size allowed) or the line is missing. The values
// come from the cache when the file is the one read before, unchanged since.
bool findValue(const char *name, std::string *value)
{
	const char *path = configPath();
	ConfigCache &cache = configCache();
	// A thread that finds the cache in use (or a child forked while another
	// thread held it) reads the file itself rather than wait.
	std::unique_lock lock(cache.mutex, std::try_to_lock);
	struct stat info {};
	if (::stat(path, &info) != 0 || !S_ISREG(info.st_mode))
		return false;
	if (lock.owns_lock() && cache.settled && cache.path == path && cache.identity == identityOf(info))
		return lookUp(cache.values, name, value);

	const int64_t readStart = wallClockNs();
	std::string text;
	FileIdentity identity;
	if (!readConfigFile(path, &text, &identity))
		return false;
	Values values = parseLines(text);
	const bool found = lookUp(values, name, value);
	if (lock.owns_lock()) {
		cache.path = path;
		cache.identity = identity;
		cache.settled = readStart - identity.modifiedNs > kStampSlackNs &&
				readStart - identity.changedNs > kStampSlackNs;
		cache.values = std::move(values);
	}
	return found;
}

} // namespace

void releaseConfigValues()
{
	ConfigCache &cache = configCache();
	std::unique_lock lock(cache.mutex, std::try_to_lock);
	if (!lock.owns_lock())
		return;
	std::string().swap(cache.path);
	Values().swap(cache.values);
	cache.settled = false;
}

std::optional<uint32_t> readConfigNumber(const char *name)
{
	std::string text;
	if (!findValue(name, &text) || text.empty())
		return std::nullopt;
	char *end = nullptr;
	errno = 0;
	const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
	unsigned long long number = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
	while (end && (*end == ' ' || *end == '\t'))
		++end;
	if (errno != 0 || !end || *end != '\0' || number > 0xFFFFFFFFull || text[0] == '-')
		return std::nullopt;
	return static_cast<uint32_t>(number);
}

bool readConfigText(const char *name, char *out, size_t size)
{
	std::string text;
	if (size == 0 || !findValue(name, &text))
		return false;
	const size_t length = text.size() < size - 1 ? text.size() : size - 1;
	std::memcpy(out, text.data(), length);
	out[length] = '\0';
	return true;
}

} // namespace torvane::platform
