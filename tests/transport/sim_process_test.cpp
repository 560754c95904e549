// SPDX-License-Identifier: MIT
// A scanner served by torvane-sim in another process is found through the
// shared object, as a front end finds it.

#include <cstdio>
#include <string>

#include <dlfcn.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/test_environment.h"

namespace {

TEST(SimulatorProcess, InitializeDriverFindsAScannerServedByTorvaneSim)
{
	torvane::test::TempDir devices;
	const std::string sim = torvane::test::libraryDir() + "/../bin/torvane-sim";
	int ready[2];
	ASSERT_EQ(pipe(ready), 0);
	pid_t child = fork();
	if (child == 0) {
		dup2(ready[1], STDOUT_FILENO);
		close(ready[0]);
		execl(sim.c_str(), sim.c_str(), "--dir", devices.path().c_str(), "--number", "4", "--model", "KT918",
		      "--ignore-stdin", static_cast<char *>(nullptr));
		perror(sim.c_str());
		_exit(127);
	}
	close(ready[1]);
	FILE *out = fdopen(ready[0], "r");
	// Wait for the ready line; the lines before it describe the scanner.
	char line[256] = {};
	bool isReady = false;
	while (!isReady && fgets(line, sizeof(line), out))
		isReady = std::string(line).find(" ready at ") != std::string::npos;
	ASSERT_TRUE(isReady);

	setenv("TORVANE_DEVICE_DIR", devices.path().c_str(), 1);
	torvane::test::removeConfig();
	void *library = dlopen((torvane::test::libraryDir() + "/KT918.so").c_str(), RTLD_NOW | RTLD_LOCAL);
	ASSERT_NE(library, nullptr) << dlerror();
	auto initializeDriver = reinterpret_cast<int (*)()>(dlsym(library, "InitializeDriver"));
	ASSERT_NE(initializeDriver, nullptr);
	EXPECT_EQ(initializeDriver(), 1);
	dlclose(library);

	kill(child, SIGTERM);
	int status = 0;
	waitpid(child, &status, 0);
	EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
	fclose(out);
}

} // namespace
