// SPDX-License-Identifier: MIT
// Win32: the driver's configuration, read-only values of the registry key
// HKLM\SOFTWARE\Torvane\TWAIN\.

#include <cstring>
#include <string>

#include <windows.h>

#include "platform/platform.h"

namespace torvane::platform {

namespace {

constexpr const char *kConfigKey = "SOFTWARE\\Torvane\\TWAIN\\";

// The key, opened for query access only and closed again after one value:
// every read sees the registry as it is now.
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

} // namespace

// The registry is read at every call: nothing is kept.
void releaseConfigValues() {}

std::optional<uint32_t> readConfigNumber(const char *name)
{
	ConfigKey key;
	if (!key.get())
		return std::nullopt;
	// A value of another type (text, binary) is not taken as a number: its
	// bytes would give a level nobody set.
	DWORD type = 0;
	DWORD value = 0;
	DWORD size = sizeof(value);
	if (RegQueryValueExA(key.get(), name, nullptr, &type, reinterpret_cast<BYTE *>(&value), &size) != ERROR_SUCCESS ||
	    type != REG_DWORD || size != sizeof(value))
		return std::nullopt;
	return value;
}

bool readConfigText(const char *name, char *out, size_t size)
{
	if (size == 0)
		return false;
	ConfigKey key;
	if (!key.get())
		return false;

	// The whole value is read first, whatever its length, and then cut to
	// the caller's buffer: a value stored without its terminator, or longer
	// than the buffer, never leaves the buffer unterminated.
	DWORD type = 0;
	DWORD length = 0;
	if (RegQueryValueExA(key.get(), name, nullptr, &type, nullptr, &length) != ERROR_SUCCESS || !isTextType(type))
		return false;
	std::string text(length + 1, '\0');
	DWORD got = length;
	if (RegQueryValueExA(key.get(), name, nullptr, &type, reinterpret_cast<BYTE *>(text.data()), &got) !=
		    ERROR_SUCCESS ||
	    !isTextType(type))
		return false;
	text.resize(got < length ? got : length);
	text.resize(std::strlen(text.c_str()));

	const size_t copied = text.size() < size - 1 ? text.size() : size - 1;
	std::memcpy(out, text.data(), copied);
	out[copied] = '\0';
	return true;
}

} // namespace torvane::platform
