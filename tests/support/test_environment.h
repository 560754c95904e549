// SPDX-License-Identifier: MIT
// Test support: every test process gets its own shared state, its own
// configuration file and its own log folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace torvane::test {

// A temporary folder, removed with its contents at destruction.
class TempDir
{
public:
	TempDir();
	~TempDir();
	TempDir(const TempDir &) = delete;
	TempDir &operator=(const TempDir &) = delete;

	const std::string &path() const { return path_; }
	// path() + "/" + name
	std::string file(const std::string &name) const;

private:
	std::string path_;
};

// Writes the configuration file named by TORVANE_REGISTRY.
void writeConfig(const std::string &contents);
// DEBUGLEVEL and SAVEPATH in one go (SAVEPATH written as given).
void configureLogging(uint32_t level, const std::string &savePath);
// Removes the configuration file: no key at all.
void removeConfig();

// Reads a whole file; empty when missing.
std::string readFile(const std::string &path);
std::vector<uint8_t> readBinaryFile(const std::string &path);
bool exists(const std::string &path);

// Resets the driver frame's process-wide state and runs process attach, as a
// fresh load of the library in this process would.
void attachDriver();
void detachDriver();

// The folder holding RM735.so and KT918.so in the build tree.
std::string libraryDir();

} // namespace torvane::test
