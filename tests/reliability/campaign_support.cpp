// SPDX-License-Identifier: MIT
// The fault campaign's parent side: starting and watching client processes.

#include "campaign_support.h"
#include "campaign_common.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <utility>

#include <fcntl.h>
#include <signal.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace torvane::test {

Client startProgram(const std::string &program, const std::vector<std::string> &arguments, bool withErrors)
{
	int fds[2];
	if (pipe2(fds, O_CLOEXEC) != 0)
		return {};
	const pid_t pid = fork();
	if (pid == 0) {
		// The client marks it close-on-exec itself: its output ends when it
		// ends or replaces itself with exec.
		dup2(fds[1], STDOUT_FILENO);
		if (withErrors)
			dup2(fds[1], STDERR_FILENO);
		std::vector<char *> argv{ const_cast<char *>(program.c_str()) };
		for (const auto &argument : arguments)
			argv.push_back(const_cast<char *>(argument.c_str()));
		argv.push_back(nullptr);
		execv(program.c_str(), argv.data());
		_exit(127);
	}
	close(fds[1]);
	return { pid, fds[0] };
}

Client startClient(const std::vector<std::string> &arguments)
{
	return startProgram(TORVANE_CAMPAIGN_CLIENT, arguments);
}

bool saneClientBuilt()
{
	return *TORVANE_SANE_CAMPAIGN_CLIENT != '\0';
}

Client startSaneClient(const std::vector<std::string> &arguments, const std::string &conf)
{
	if (!saneClientBuilt())
		return {};
	// One configuration folder for the test's process and its children.
	static const TempDir folder;
	std::ofstream(folder.file("dll.conf")) << "torvane\n";
	std::ofstream(folder.file("torvane.conf")) << conf;
	setenv("SANE_CONFIG_DIR", folder.path().c_str(), 1);
	setenv("LC_PAPER", "C", 1);
	return startProgram(TORVANE_SANE_CAMPAIGN_CLIENT, arguments);
}

std::string readLine(const Client &client, int timeoutMs)
{
	std::string line;
	const auto start = std::chrono::steady_clock::now();
	while (secondsSince(start) * 1000 < timeoutMs) {
		pollfd ready{ client.output, POLLIN, 0 };
		if (poll(&ready, 1, 50) <= 0)
			continue;
		char c = 0;
		if (read(client.output, &c, 1) != 1)
			break;
		if (c == '\n')
			return line;
		line += c;
	}
	return line;
}

std::string readToEnd(const Client &client, int timeoutMs)
{
	std::string text;
	const auto start = std::chrono::steady_clock::now();
	while (secondsSince(start) * 1000 < timeoutMs) {
		pollfd ready{ client.output, POLLIN, 0 };
		if (poll(&ready, 1, 20) <= 0)
			continue;
		char piece[4096];
		const ssize_t got = read(client.output, piece, sizeof(piece));
		if (got <= 0)
			break;
		text.append(piece, static_cast<size_t>(got));
	}
	return text;
}

void awaitOutputEnd(const Client &client, int timeoutMs)
{
	const auto start = std::chrono::steady_clock::now();
	char c;
	while (secondsSince(start) * 1000 < timeoutMs) {
		pollfd ready{ client.output, POLLIN, 0 };
		if (poll(&ready, 1, 20) > 0 && read(client.output, &c, 1) <= 0)
			return;
	}
}

int reap(Client &client)
{
	int status = 0;
	while (waitpid(client.pid, &status, 0) < 0 && errno == EINTR) {
	}
	if (client.output >= 0)
		close(client.output);
	client.output = -1;
	client.pid = -1;
	return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

Client::Client(Client &&other) noexcept : pid(other.pid), output(other.output)
{
	other.pid = -1;
	other.output = -1;
}

Client &Client::operator=(Client &&other) noexcept
{
	std::swap(pid, other.pid);
	std::swap(output, other.output);
	return *this;
}

Client::~Client()
{
	if (pid > 0) {
		kill(pid, SIGKILL);
		reap(*this);
	}
}

void CampaignTest::SetUp()
{
	// The scanner fixture without the driver: the clients load the library
	// themselves, and this process keeps no claim on the shared state.
	serveScanner();
}

} // namespace torvane::test
