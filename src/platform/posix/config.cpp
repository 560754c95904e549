// SPDX-License-Identifier: MIT
// POSIX: the driver's configuration, a NAME=VALUE text file standing in for
// the registry key HKLM\SOFTWARE\Torvane\TWAIN\.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace torvane::platform {

namespace {

constexpr const char *kDefaultConfigPath = "/etc/torvane/twain.conf";

// Finds the value of `name` in the configuration file; false when the file
// or the line is missing. The file is read afresh on every call, as the
// registry is queried afresh.
bool findValue(const char *name, std::string *value)
{
	const char *path = std::getenv("TORVANE_REGISTRY");
	if (!path || !*path)
		path = kDefaultConfigPath;
	FILE *file = std::fopen(path, "rb");
	if (!file)
		return false;

	bool found = false;
	char line[1024];
	const size_t nameLength = std::strlen(name);
	while (std::fgets(line, sizeof(line), file)) {
		size_t length = std::strlen(line);
		while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r'))
			line[--length] = '\0';
		const char *start = line;
		while (*start == ' ' || *start == '\t')
			++start;
		if (*start == '#')
			continue;
		if (std::strncmp(start, name, nameLength) == 0 && start[nameLength] == '=') {
			*value = start + nameLength + 1;
			found = true; // the last line naming the value wins
		}
	}
	std::fclose(file);
	return found;
}

} // namespace

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
