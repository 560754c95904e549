// SPDX-License-Identifier: MIT
// The fault campaign's parent side: a virtual scanner served in this process
// and campaign_client processes started against it.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include <sys/types.h>

#include "support/scanner_fixture.h"

namespace torvane::test {

// A started campaign_client: its pid and the read end of its standard output.
// One still running at its destruction is killed.
struct Client {
	pid_t pid = -1;
	int output = -1;
	Client() = default;
	Client(pid_t started, int read) : pid(started), output(read) {}
	// Moved, the process goes with the new owner.
	Client(Client &&other) noexcept;
	Client &operator=(Client &&other) noexcept;
	~Client();
};

// Starts `program` with `arguments`, in this process's environment
// (TORVANE_DEVICE_DIR, TORVANE_INSTANCE, TORVANE_REGISTRY); its standard
// output (and its standard error too with `withErrors`) is the client's
// output.
Client startProgram(const std::string &program, const std::vector<std::string> &arguments, bool withErrors = false);
// Starts campaign_client with `arguments`.
Client startClient(const std::vector<std::string> &arguments);
// Starts sane_campaign_client with `arguments` in a private SANE
// configuration that lists the torvane backend alone; `conf` is its
// torvane.conf. An empty client (pid -1) where the backend is not built.
Client startSaneClient(const std::vector<std::string> &arguments, const std::string &conf);
bool saneClientBuilt();
// Reads one line of the client's output; empty at its end or after `timeoutMs`.
std::string readLine(const Client &client, int timeoutMs);
// The client's output until its end, or what came within `timeoutMs`.
std::string readToEnd(const Client &client, int timeoutMs);
// Waits until the client's output ends (it exited or replaced itself with exec).
void awaitOutputEnd(const Client &client, int timeoutMs);
// Waits for the client's end; its exit code, or 128 + signal.
int reap(Client &client);

// The campaign's scanner fixture: the scanner is served here, the driver is
// not attached in this process (the clients load it).
class CampaignTest : public ScannerTest
{
protected:
	void SetUp() override;
};

} // namespace torvane::test
