// SPDX-License-Identifier: MIT
// The fault campaign's parent side: starting and watching client processes.

#include "campaign_support.h"
#include "campaign_common.h"

#include <cerrno>
#include <cstdlib>
#include <utility>

#include <fcntl.h>
#include <signal.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace torvane::test {

Client startClient(const std::vector<std::string> &arguments)
{
	int fds[2];
	if (pipe2(fds, O_CLOEXEC) != 0)
		return {};
	const std::string program = TORVANE_CAMPAIGN_CLIENT;
	const pid_t pid = fork();
	if (pid == 0) {
		// The client marks it close-on-exec itself: its output ends when it
		// ends or replaces itself with exec.
		dup2(fds[1], STDOUT_FILENO);
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
