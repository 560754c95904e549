// SPDX-License-Identifier: MIT
// Runs the built programs as separate processes for the end-to-end tests.

#include "process_runner.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>

#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace torvane::scan::test {

namespace {

std::string readAll(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::string> environmentWith(const EnvironmentChanges &changes)
{
	std::vector<std::string> env;
	for (char **entry = environ; *entry; ++entry) {
		const std::string text = *entry;
		const std::string name = text.substr(0, text.find('='));
		if (!changes.count(name))
			env.push_back(text);
	}
	for (const auto &[name, value] : changes)
		if (value)
			env.push_back(name + "=" + *value);
	return env;
}

int uniqueNumber()
{
	static int counter = 0;
	return ++counter;
}

} // namespace

std::string binaryPath(const std::string &program)
{
	const char *dir = std::getenv("TORVANE_BINARY_DIR");
	return std::string(dir ? dir : ".") + "/bin/" + program;
}

ChildProcess::ChildProcess(const std::string &program, const std::vector<std::string> &args,
			   const EnvironmentChanges &env, const std::string &outputFolder)
{
	const int number = uniqueNumber();
	outPath_ = outputFolder + "/child" + std::to_string(number) + ".out";
	errPath_ = outputFolder + "/child" + std::to_string(number) + ".err";

	int pipeFds[2];
	if (::pipe2(pipeFds, O_CLOEXEC) != 0)
		return;
	posix_spawn_file_actions_t actions;
	posix_spawn_file_actions_init(&actions);
	posix_spawn_file_actions_adddup2(&actions, pipeFds[0], 0);
	posix_spawn_file_actions_addopen(&actions, 1, outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
	posix_spawn_file_actions_addopen(&actions, 2, errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);

	std::vector<std::string> argStrings;
	argStrings.push_back(program);
	argStrings.insert(argStrings.end(), args.begin(), args.end());
	std::vector<char *> argv;
	for (auto &arg : argStrings)
		argv.push_back(arg.data());
	argv.push_back(nullptr);
	std::vector<std::string> envStrings = environmentWith(env);
	std::vector<char *> envp;
	for (auto &entry : envStrings)
		envp.push_back(entry.data());
	envp.push_back(nullptr);

	// The child starts with default signal handling (gtest may have changed it).
	posix_spawnattr_t attributes;
	posix_spawnattr_init(&attributes);
	sigset_t defaults;
	sigemptyset(&defaults);
	sigaddset(&defaults, SIGINT);
	sigaddset(&defaults, SIGTERM);
	sigaddset(&defaults, SIGPIPE);
	posix_spawnattr_setsigdefault(&attributes, &defaults);
	sigset_t none;
	sigemptyset(&none);
	posix_spawnattr_setsigmask(&attributes, &none);
	posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

	pid_t pid = -1;
	if (posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data()) == 0)
		pid_ = pid;
	posix_spawn_file_actions_destroy(&actions);
	posix_spawnattr_destroy(&attributes);
	::close(pipeFds[0]);
	input_ = pipeFds[1];
}

ChildProcess::~ChildProcess()
{
	if (pid_ > 0 && !result_) {
		::kill(pid_, SIGKILL);
		wait(10000);
	}
	closeInput();
}

void ChildProcess::signal(int number)
{
	if (pid_ > 0 && !result_)
		::kill(pid_, number);
}

void ChildProcess::writeInput(const std::string &text)
{
	if (input_ >= 0) {
		// The child may have gone: no SIGPIPE for the test.
		std::signal(SIGPIPE, SIG_IGN);
		[[maybe_unused]] ssize_t written = ::write(input_, text.data(), text.size());
	}
}

void ChildProcess::closeInput()
{
	if (input_ >= 0)
		::close(input_);
	input_ = -1;
}

RunResult ChildProcess::wait(int timeoutMs)
{
	if (result_)
		return *result_;
	RunResult result;
	if (pid_ <= 0) {
		result.err = "could not start the program";
		result_ = result;
		return result;
	}
	const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
	int status = 0;
	for (;;) {
		const pid_t done = ::waitpid(pid_, &status, WNOHANG);
		if (done == pid_ || done < 0)
			break;
		if (std::chrono::steady_clock::now() >= deadline) {
			::kill(pid_, SIGKILL);
			::waitpid(pid_, &status, 0);
			result.err = "(killed after " + std::to_string(timeoutMs) + " ms)\n";
			break;
		}
		std::this_thread::sleep_for(std::chrono::milliseconds(5));
	}
	result.exited = WIFEXITED(status);
	result.exitCode = result.exited ? WEXITSTATUS(status) : -1;
	result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
	result.out = readAll(outPath_);
	result.err += readAll(errPath_);
	result_ = result;
	return result;
}

std::string ChildProcess::output() const
{
	return readAll(outPath_);
}

std::string ChildProcess::errors() const
{
	return readAll(errPath_);
}

std::string fullDevice(const std::string &folder)
{
	if (::geteuid() != 0)
		return "/dev/full";
	const std::string node = folder + "/full";
	const int fd = ::mknod(node.c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0 ? ::open(node.c_str(), O_WRONLY) : -1;
	if (fd < 0)
		return "/dev/full"; // a folder without device nodes
	::close(fd);
	return node;
}

uint64_t bytesBeingWritten(pid_t pid, const std::string &folder)
{
	const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
	uint64_t largest = 0;
	std::error_code error;
	for (const auto &entry : std::filesystem::directory_iterator(fds, error)) {
		const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
		struct stat info {};
		if (!error && target.rfind(folder + "/", 0) == 0 && ::stat(entry.path().c_str(), &info) == 0 &&
		    S_ISREG(info.st_mode) && static_cast<uint64_t>(info.st_size) > largest)
			largest = static_cast<uint64_t>(info.st_size);
	}
	return largest;
}

RunResult run(const std::string &program, const std::vector<std::string> &args, const EnvironmentChanges &env,
	      const std::string &outputFolder, int timeoutMs)
{
	ChildProcess child(program, args, env, outputFolder);
	child.closeInput();
	return child.wait(timeoutMs);
}

SimulatorProcess::SimulatorProcess(const std::string &deviceFolder, const std::string &outputFolder,
				   const std::vector<std::string> &extraArgs)
{
	std::vector<std::string> args = { "--dir", deviceFolder };
	args.insert(args.end(), extraArgs.begin(), extraArgs.end());
	child_ = std::make_unique<ChildProcess>(binaryPath("torvane-sim"), args, EnvironmentChanges{}, outputFolder);
	// Ready when it prints its ready line (or gone when it fails to start).
	const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
	while (child_->started() && std::chrono::steady_clock::now() < deadline) {
		const std::string out = child_->output();
		const size_t at = out.find(" ready at ");
		if (at != std::string::npos) {
			readyLine_ = out.substr(0, out.find('\n', at));
			ready_ = true;
			break;
		}
		// Gone already? (Looked at without reaping it.)
		siginfo_t info{};
		if (::waitid(P_PID, static_cast<id_t>(child_->pid()), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
		    info.si_pid == child_->pid())
			break;
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
	}
}

SimulatorProcess::~SimulatorProcess()
{
	child_->writeInput("quit\n");
	child_->closeInput();
	child_->signal(SIGTERM);
	child_->wait(10000);
}

void SimulatorProcess::command(const std::string &line)
{
	child_->writeInput(line + "\n");
}

} // namespace torvane::scan::test
