// SPDX-License-Identifier: MIT
// Test support: isolation of each test process.

#include "support/test_environment.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "driver/device_lock.h"
#include "driver/driver_state.h"
#include "platform/platform.h"
#include "platform/posix/shared_state.h"

namespace torvane::test {

namespace {

std::string makeTempDir()
{
	std::string pattern = std::filesystem::temp_directory_path().string() + "/torvane-test-XXXXXX";
	std::vector<char> buffer(pattern.begin(), pattern.end());
	buffer.push_back('\0');
	if (!mkdtemp(buffer.data()))
		std::abort();
	return buffer.data();
}

// One instance name, configuration file and shared object per test process.
class ProcessIsolation : public ::testing::Environment
{
public:
	void SetUp() override
	{
		pid_ = getpid();
		const std::string instance = "test-" + std::to_string(pid_);
		setenv("TORVANE_INSTANCE", instance.c_str(), 1);
		configDir_ = makeTempDir();
		setenv("TORVANE_REGISTRY", (configDir_ + "/twain.conf").c_str(), 1);
	}
	void TearDown() override
	{
		// A forked child leaves the parent's state alone.
		if (getpid() != pid_)
			return;
		shm_unlink(platform::sharedStateName().c_str());
		std::error_code ignored;
		std::filesystem::remove_all(configDir_, ignored);
	}

private:
	pid_t pid_ = 0;
	std::string configDir_;
};

[[maybe_unused]] ::testing::Environment *const isolation =
	::testing::AddGlobalTestEnvironment(new ProcessIsolation);

} // namespace

TempDir::TempDir() : path_(makeTempDir()) {}

TempDir::~TempDir()
{
	std::error_code ignored;
	std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::file(const std::string &name) const
{
	return path_ + "/" + name;
}

void writeConfig(const std::string &contents)
{
	std::ofstream out(std::getenv("TORVANE_REGISTRY"), std::ios::binary | std::ios::trunc);
	out << contents;
}

void configureLogging(uint32_t level, const std::string &savePath)
{
	writeConfig("DEBUGLEVEL=" + std::to_string(level) + "\nSAVEPATH=" + savePath + "\n");
}

void removeConfig()
{
	std::remove(std::getenv("TORVANE_REGISTRY"));
}

std::string readFile(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	std::ostringstream contents;
	contents << in.rdbuf();
	return contents.str();
}

std::vector<uint8_t> readBinaryFile(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool exists(const std::string &path)
{
	return std::filesystem::exists(path);
}

void attachDriver()
{
	using namespace driver;
	driverState.resetConfigurationAndRegisters();
	setLockWaitMs(10000);
	processAttach();
}

void detachDriver()
{
	driver::processDetach();
}

std::string libraryDir()
{
	const char *binary = std::getenv("TORVANE_BINARY_DIR");
	return std::string(binary ? binary : ".") + "/lib";
}

} // namespace torvane::test
