// SPDX-License-Identifier: MIT
// Runs the built programs (torvane-scan, torvane-sim) as separate processes
// for the end-to-end tests.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace torvane::scan::test {

// The folder of the built programs: $TORVANE_BINARY_DIR/bin.
std::string binaryPath(const std::string &program);

// Environment changes for a child: a value sets the variable, nullopt removes it.
using EnvironmentChanges = std::map<std::string, std::optional<std::string>>;

struct RunResult {
	bool exited = false; // ended by exit(), not by a signal
	int exitCode = -1;
	int signal = 0;
	std::string out;
	std::string err;
};

// A running child whose standard output and error go to files, and whose
// standard input is a pipe.
class ChildProcess
{
public:
	ChildProcess(const std::string &program, const std::vector<std::string> &args, const EnvironmentChanges &env,
		     const std::string &outputFolder);
	~ChildProcess();
	ChildProcess(const ChildProcess &) = delete;
	ChildProcess &operator=(const ChildProcess &) = delete;

	bool started() const { return pid_ > 0; }
	pid_t pid() const { return pid_; }
	void signal(int number);
	void writeInput(const std::string &text);
	void closeInput();
	// Waits at most `timeoutMs`, then kills the child; the result says how it ended.
	RunResult wait(int timeoutMs = 60000);
	// Standard output so far.
	std::string output() const;
	// What it has written to stderr so far.
	std::string errors() const;

private:
	pid_t pid_ = -1;
	int input_ = -1;
	std::string outPath_, errPath_;
	std::optional<RunResult> result_;
};

// A device that is always full: /dev/full itself, or as root a node of the
// same device in `folder`, so that a fault can never harm the machine's own.
std::string fullDevice(const std::string &folder);

// The largest file under `folder` that process `pid` has open for writing
// (also an unnamed one); 0 when there is none.
uint64_t bytesBeingWritten(pid_t pid, const std::string &folder);

// Runs `program` to its end.
RunResult run(const std::string &program, const std::vector<std::string> &args, const EnvironmentChanges &env,
	      const std::string &outputFolder, int timeoutMs = 60000);

// A torvane-sim serving one scanner in `deviceFolder`, ready when
// constructed; its output goes to `outputFolder`.
class SimulatorProcess
{
public:
	SimulatorProcess(const std::string &deviceFolder, const std::string &outputFolder,
			 const std::vector<std::string> &extraArgs = {});
	~SimulatorProcess();

	bool ready() const { return ready_; }
	const std::string &readyLine() const { return readyLine_; }
	void command(const std::string &line);

private:
	std::unique_ptr<ChildProcess> child_;
	bool ready_ = false;
	std::string readyLine_;
};

} // namespace torvane::scan::test
