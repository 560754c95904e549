// SPDX-License-Identifier: MIT
// Support of the Windows tests.

#include "support/win_test_support.h"

#include <atomic>
#include <cstring>

namespace torvane::wintest {

namespace {

constexpr const char *kConfigKey = "SOFTWARE\\Torvane\\TWAIN";

std::atomic<unsigned> counter{ 0 };

std::string uniqueName(const std::string &purpose)
{
	return purpose + "-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++) + "-" +
	       std::to_string(GetTickCount());
}

void removeTree(const std::string &folder)
{
	WIN32_FIND_DATAA entry;
	HANDLE find = FindFirstFileA((folder + "*").c_str(), &entry);
	if (find != INVALID_HANDLE_VALUE) {
		do {
			const std::string name = entry.cFileName;
			if (name == "." || name == "..")
				continue;
			const std::string path = folder + name;
			if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
				removeTree(path + "\\");
			else
				DeleteFileA(path.c_str());
		} while (FindNextFileA(find, &entry));
		FindClose(find);
	}
	RemoveDirectoryA(folder.c_str());
}

// Quotes one argument for CreateProcess's command line.
std::string quote(const std::string &argument)
{
	if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos)
		return argument;
	std::string quoted = "\"";
	for (char c : argument) {
		if (c == '"')
			quoted += '\\';
		quoted += c;
	}
	return quoted + "\"";
}

struct ReaderContext {
	HANDLE pipe;
	std::string *output;
};

// Drains the child's output so that it never blocks on a full pipe.
DWORD WINAPI readerMain(LPVOID argument)
{
	auto *context = static_cast<ReaderContext *>(argument);
	char buffer[4096];
	DWORD got = 0;
	while (ReadFile(context->pipe, buffer, sizeof(buffer), &got, nullptr) && got > 0)
		context->output->append(buffer, got);
	delete context;
	return 0;
}

} // namespace

TempDir::TempDir()
{
	char base[MAX_PATH + 1] = {};
	GetTempPathA(sizeof(base), base);
	for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
		const std::string candidate = std::string(base) + uniqueName("torvane") + "\\";
		if (CreateDirectoryA(candidate.c_str(), nullptr))
			path_ = candidate;
	}
	if (path_.empty())
		std::abort();
}

TempDir::~TempDir()
{
	removeTree(path_);
}

std::string readFile(const std::string &path)
{
	std::string contents;
	HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
				  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
	if (file == INVALID_HANDLE_VALUE)
		return contents;
	char buffer[4096];
	DWORD got = 0;
	while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0)
		contents.append(buffer, got);
	CloseHandle(file);
	return contents;
}

bool writeFile(const std::string &path, const std::string &contents)
{
	HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
				  nullptr);
	if (file == INVALID_HANDLE_VALUE)
		return false;
	DWORD written = 0;
	const bool ok = WriteFile(file, contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr) &&
			written == contents.size();
	CloseHandle(file);
	return ok;
}

bool fileExists(const std::string &path)
{
	return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string programDir()
{
	char path[MAX_PATH + 1] = {};
	GetModuleFileNameA(nullptr, path, MAX_PATH);
	std::string folder = path;
	return folder.substr(0, folder.rfind('\\') + 1);
}

std::string copyAs(const std::string &source, const TempDir &dir, const std::string &name)
{
	const std::string target = dir.file(name);
	if (!CopyFileA(source.c_str(), target.c_str(), FALSE))
		return {};
	return target;
}

void removeConfigKey()
{
	RegDeleteKeyA(HKEY_LOCAL_MACHINE, kConfigKey);
}

void setConfigValue(const char *name, DWORD type, const void *data, DWORD size)
{
	HKEY key = nullptr;
	if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kConfigKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
	    ERROR_SUCCESS)
		std::abort();
	RegSetValueExA(key, name, 0, type, static_cast<const BYTE *>(data), size);
	RegCloseKey(key);
}

void setConfigNumber(const char *name, DWORD value)
{
	setConfigValue(name, REG_DWORD, &value, sizeof(value));
}

void setConfigText(const char *name, const std::string &text)
{
	setConfigValue(name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
}

Library::Library(const std::string &path) : module_(LoadLibraryA(path.c_str())) {}

Library::~Library()
{
	if (module_)
		FreeLibrary(module_);
}

void *Library::symbol(const char *name) const
{
	if (!module_)
		return nullptr;
	return reinterpret_cast<void *>(GetProcAddress(module_, name));
}

int Library::call(const char *name) const
{
	auto function = this->function<int (*)()>(name);
	return function ? function() : -1000;
}

NamedEvent::NamedEvent(const std::string &purpose) : name_("Local\\" + uniqueName(purpose))
{
	handle_ = CreateEventA(nullptr, TRUE, FALSE, name_.c_str());
	if (!handle_)
		std::abort();
}

NamedEvent::~NamedEvent()
{
	CloseHandle(handle_);
}

void NamedEvent::set()
{
	SetEvent(handle_);
}

bool NamedEvent::wait(DWORD timeoutMs)
{
	return WaitForSingleObject(handle_, timeoutMs) == WAIT_OBJECT_0;
}

ChildProcess::~ChildProcess()
{
	if (process_) {
		TerminateProcess(process_, 1);
		finish(5000);
	}
}

bool ChildProcess::start(const std::string &program, const std::vector<std::string> &arguments)
{
	SECURITY_ATTRIBUTES inherit{ sizeof(inherit), nullptr, TRUE };
	HANDLE writePipe = nullptr;
	if (!CreatePipe(&readPipe_, &writePipe, &inherit, 0))
		return false;
	SetHandleInformation(readPipe_, HANDLE_FLAG_INHERIT, 0);

	std::string commandLine = quote(program);
	for (const std::string &argument : arguments)
		commandLine += " " + quote(argument);
	std::vector<char> line(commandLine.begin(), commandLine.end());
	line.push_back('\0');

	STARTUPINFOA startup{};
	startup.cb = sizeof(startup);
	startup.dwFlags = STARTF_USESTDHANDLES;
	startup.hStdOutput = writePipe;
	startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
	startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
	PROCESS_INFORMATION info{};
	const BOOL started = CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
					    &startup, &info);
	CloseHandle(writePipe);
	if (!started) {
		CloseHandle(readPipe_);
		readPipe_ = nullptr;
		return false;
	}
	CloseHandle(info.hThread);
	process_ = info.hProcess;
	collect();
	return true;
}

void ChildProcess::collect()
{
	reader_ = CreateThread(nullptr, 0, readerMain, new ReaderContext{ readPipe_, &output_ }, 0, nullptr);
}

bool ChildProcess::finish(DWORD timeoutMs)
{
	if (!process_)
		return false;
	bool ended = WaitForSingleObject(process_, timeoutMs) == WAIT_OBJECT_0;
	if (!ended) {
		TerminateProcess(process_, 1);
		WaitForSingleObject(process_, 5000);
	}
	GetExitCodeProcess(process_, &exitCode_);
	CloseHandle(process_);
	process_ = nullptr;
	if (reader_) {
		WaitForSingleObject(reader_, 5000);
		CloseHandle(reader_);
		reader_ = nullptr;
	}
	if (readPipe_) {
		CloseHandle(readPipe_);
		readPipe_ = nullptr;
	}
	return ended;
}

std::vector<std::string> ChildProcess::values(const std::string &key) const
{
	std::vector<std::string> found;
	const std::string prefix = key + "=";
	size_t start = 0;
	while (start < output_.size()) {
		size_t end = output_.find('\n', start);
		if (end == std::string::npos)
			end = output_.size();
		std::string line = output_.substr(start, end - start);
		if (!line.empty() && line.back() == '\r')
			line.pop_back();
		if (line.compare(0, prefix.size(), prefix) == 0)
			found.push_back(line.substr(prefix.size()));
		start = end + 1;
	}
	return found;
}

std::string ChildProcess::value(const std::string &key) const
{
	const std::vector<std::string> found = values(key);
	return found.empty() ? std::string() : found.back();
}

std::string runProcess(const std::string &program, const std::vector<std::string> &arguments, DWORD timeoutMs,
		       DWORD *exitCode)
{
	ChildProcess child;
	if (!child.start(program, arguments))
		return {};
	child.finish(timeoutMs);
	if (exitCode)
		*exitCode = child.exitCode();
	return child.output();
}

} // namespace torvane::wintest
