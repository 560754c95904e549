// SPDX-License-Identifier: MIT
// Win32: the driver's configuration, read-only values of the registry key
// HKLM\SOFTWARE\Torvane\TWAIN\, kept until the key changes.

#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>

#include <windows.h>

#include "platform/platform.h"

namespace torvane::platform {

namespace {

constexpr const char *kConfigKey = "SOFTWARE\\Torvane\\TWAIN\\";

// The key, opened for query access only and closed again after one value;
// its last-write time tells whether the values kept are still those stored.
class ConfigKey
{
public:
	ConfigKey()
	{
		if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kConfigKey, 0, KEY_QUERY_VALUE, &key_) != ERROR_SUCCESS)
			key_ = nullptr;
	}
	~ConfigKey()
	{
		if (key_)
			RegCloseKey(key_);
	}
	ConfigKey(const ConfigKey &) = delete;
	ConfigKey &operator=(const ConfigKey &) = delete;

	HKEY get() const { return key_; }

private:
	HKEY key_ = nullptr;
};

bool isTextType(DWORD type)
{
	return type == REG_SZ || type == REG_EXPAND_SZ;
}

// A configuration value is a path or a number; a value above the limit of a
// whole configuration file on POSIX is not one, and counts as missing
// rather than being read in part.
constexpr DWORD kMaxValueBytes = 4u << 20;

// The key's last-write time has the system clock's coarse steps: a key
// written within this time of a read might be written again with the same
// stamp, so its values are read afresh until it is older (in 100 ns units).
constexpr int64_t kStampSlack = 20'000'000;

struct StoredValue {
	bool present = false;
	DWORD type = 0;
	std::string bytes;
};

// The values read since the key last changed, by name.
struct ConfigCache {
	std::mutex mutex;
	FILETIME lastWrite{};
	bool settled = false; // read long enough after its last write to be trusted
	std::map<std::string, StoredValue> values;
};

// Never destroyed, and not on the heap: a thread still logging while the
// process ends finds it, and an unloaded library leaves no block behind
// (releaseConfigValues gives back what the values hold).
ConfigCache &configCache()
{
	alignas(ConfigCache) static unsigned char storage[sizeof(ConfigCache)];
	static ConfigCache *cache = new (storage) ConfigCache;
	return *cache;
}

int64_t ticksOf(const FILETIME &time)
{
	return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

// The whole of one value of at most kMaxValueBytes. A value that grew
// between the two queries is missing this time.
StoredValue readValue(HKEY key, const char *name)
{
	StoredValue value;
	DWORD type = 0;
	DWORD length = 0;
	if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &length) != ERROR_SUCCESS || length > kMaxValueBytes)
		return value;
	value.bytes.resize(length);
	DWORD got = length;
	if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE *>(value.bytes.data()), &got) !=
	    ERROR_SUCCESS)
		return {};
	value.bytes.resize(got < length ? got : length);
	value.type = type;
	value.present = true;
	return value;
}

// The value `name` of the key, from the cache while the key's last-write
// time is the one seen when it was read.
StoredValue findValue(const char *name)
{
	ConfigKey key;
	if (!key.get())
		return {};
	FILETIME now{};
	GetSystemTimeAsFileTime(&now);
	FILETIME lastWrite{};
	const bool stamped = RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
					      nullptr, nullptr, nullptr, &lastWrite) == ERROR_SUCCESS;
	ConfigCache &cache = configCache();
	// A thread that finds the cache in use reads the registry itself rather
	// than wait.
	std::unique_lock lock(cache.mutex, std::try_to_lock);
	const bool cached = stamped && lock.owns_lock();
	if (cached) {
		if (!cache.settled || CompareFileTime(&cache.lastWrite, &lastWrite) != 0) {
			std::map<std::string, StoredValue>().swap(cache.values);
			cache.lastWrite = lastWrite;
			cache.settled = ticksOf(now) - ticksOf(lastWrite) > kStampSlack;
		}
		if (const auto found = cache.values.find(name); found != cache.values.end())
			return found->second;
	}
	StoredValue value = readValue(key.get(), name);
	if (cached && cache.settled)
		cache.values.emplace(name, value);
	return value;
}

} // namespace

void releaseConfigValues()
{
	ConfigCache &cache = configCache();
	std::unique_lock lock(cache.mutex, std::try_to_lock);
	if (!lock.owns_lock())
		return;
	std::map<std::string, StoredValue>().swap(cache.values);
	cache.settled = false;
}

std::optional<uint32_t> readConfigNumber(const char *name)
{
	// A value of another type (text, binary) is not taken as a number: its
	// bytes would give a level nobody set.
	const StoredValue value = findValue(name);
	if (!value.present || value.type != REG_DWORD || value.bytes.size() != sizeof(DWORD))
		return std::nullopt;
	DWORD number = 0;
	std::memcpy(&number, value.bytes.data(), sizeof(number));
	return number;
}

bool readConfigText(const char *name, char *out, size_t size)
{
	if (size == 0)
		return false;
	// The whole value is read first, whatever its length up to the limit,
	// and then cut to the caller's buffer: a value stored without its
	// terminator, or longer than the buffer, never leaves the buffer
	// unterminated.
	const StoredValue value = findValue(name);
	if (!value.present || !isTextType(value.type))
		return false;
	const void *nul = std::memchr(value.bytes.data(), '\0', value.bytes.size());
	const size_t length = nul ? static_cast<size_t>(static_cast<const char *>(nul) - value.bytes.data())
				  : value.bytes.size();
	const size_t copied = length < size - 1 ? length : size - 1;
	std::memcpy(out, value.bytes.data(), copied);
	out[copied] = '\0';
	return true;
}

} // namespace torvane::platform
