// SPDX-License-Identifier: MIT
// Support of the Windows tests: temporary folders, the driver's registry key,
// loaded DLLs and second processes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <windows.h>

namespace torvane::wintest {

// A fresh folder under the Windows temporary folder, removed with its
// contents at destruction. path() ends with a backslash, as SAVEPATH does.
class TempDir
{
public:
	TempDir();
	~TempDir();
	TempDir(const TempDir &) = delete;
	TempDir &operator=(const TempDir &) = delete;

	const std::string &path() const { return path_; }
	std::string file(const std::string &name) const { return path_ + name; }

private:
	std::string path_;
};

std::string readFile(const std::string &path);
bool writeFile(const std::string &path, const std::string &contents);
bool fileExists(const std::string &path);

// The folder of the running program, with a trailing backslash: the test
// programs, the helper and the DLLs are built into one folder.
std::string programDir();

// Copies `source` into `dir` under `name`; returns the new path.
std::string copyAs(const std::string &source, const TempDir &dir, const std::string &name);

// HKLM\SOFTWARE\Torvane\TWAIN: removed, or (re)written value by value.
void removeConfigKey();
void setConfigNumber(const char *name, DWORD value);
void setConfigText(const char *name, const std::string &text);
void setConfigValue(const char *name, DWORD type, const void *data, DWORD size);

// A DLL loaded with LoadLibraryA and freed at destruction.
class Library
{
public:
	explicit Library(const std::string &path);
	~Library();
	Library(const Library &) = delete;
	Library &operator=(const Library &) = delete;

	bool loaded() const { return module_ != nullptr; }
	HMODULE module() const { return module_; }
	// The address of an export, null when missing.
	void *symbol(const char *name) const;
	template<typename Function>
	Function function(const char *name) const
	{
		return reinterpret_cast<Function>(symbol(name));
	}
	// Calls an int(void) export; -1000 when it is missing.
	int call(const char *name) const;

private:
	HMODULE module_ = nullptr;
};

// A named manual-reset event with a name unique to this process.
class NamedEvent
{
public:
	explicit NamedEvent(const std::string &purpose);
	~NamedEvent();
	NamedEvent(const NamedEvent &) = delete;
	NamedEvent &operator=(const NamedEvent &) = delete;

	const std::string &name() const { return name_; }
	void set();
	bool wait(DWORD timeoutMs);

private:
	std::string name_;
	HANDLE handle_ = nullptr;
};

// A second process whose standard output is collected.
class ChildProcess
{
public:
	ChildProcess() = default;
	~ChildProcess();
	ChildProcess(const ChildProcess &) = delete;
	ChildProcess &operator=(const ChildProcess &) = delete;

	bool start(const std::string &program, const std::vector<std::string> &arguments);
	// Waits for the end and collects the output; false on time-out (the
	// process is then ended).
	bool finish(DWORD timeoutMs);
	DWORD exitCode() const { return exitCode_; }
	const std::string &output() const { return output_; }
	// The values of the output lines "key=value", in order.
	std::vector<std::string> values(const std::string &key) const;
	// The value of the last such line; empty when missing.
	std::string value(const std::string &key) const;

private:
	void collect();

	HANDLE process_ = nullptr;
	HANDLE readPipe_ = nullptr;
	HANDLE reader_ = nullptr;
	std::string output_;
	DWORD exitCode_ = 0;
};

// Runs a process to its end: the output, or empty on failure.
std::string runProcess(const std::string &program, const std::vector<std::string> &arguments,
		       DWORD timeoutMs = 60000, DWORD *exitCode = nullptr);

} // namespace torvane::wintest
