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

// Starts campaign_client with `arguments`, in this process's environment
// (TORVANE_DEVICE_DIR, TORVANE_INSTANCE, TORVANE_REGISTRY).
Client startClient(const std::vector<std::string> &arguments);
// Reads one line of the client's output; empty at its end or after `timeoutMs`.
std::string readLine(const Client &client, int timeoutMs);
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
