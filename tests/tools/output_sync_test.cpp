// SPDX-License-Identifier: MIT
// A file committed with Sync::ToDisk is flushed before it gets its name and
// its folder after: the calls that flush and name files are watched here (this
// program's own fsync, linkat and rename stand before the C library's).

#include <cstring>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "output_file.h"
#include "support/test_environment.h"

namespace {

bool watching = false;
std::vector<std::string> calls;

template<typename Function>
Function next(const char *name)
{
	return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" int fsync(int fd)
{
	static auto real = next<int (*)(int)>("fsync");
	struct stat info {};
	if (watching)
		calls.push_back(::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode) ? "fsync folder" : "fsync file");
	return real(fd);
}

extern "C" int linkat(int fromFolder, const char *from, int toFolder, const char *to, int flags)
{
	static auto real = next<int (*)(int, const char *, int, const char *, int)>("linkat");
	const int result = real(fromFolder, from, toFolder, to, flags);
	if (watching && result == 0)
		calls.push_back("link");
	return result;
}

extern "C" int rename(const char *from, const char *to)
{
	static auto real = next<int (*)(const char *, const char *)>("rename");
	const int result = real(from, to);
	if (watching && result == 0)
		calls.push_back("rename");
	return result;
}

namespace torvane::scan {
namespace {

std::vector<std::string> commitWatched(const std::string &path, OutputFile::Sync sync)
{
	OutputFile output(path);
	std::string error;
	const int fd = output.create(&error);
	EXPECT_GE(fd, 0) << error;
	EXPECT_EQ(::write(fd, "record", 6), 6);
	::close(fd);
	calls.clear();
	watching = true;
	EXPECT_TRUE(output.commit(&error, sync)) << error;
	watching = false;
	return calls;
}

TEST(OutputFile, ABackupIsOnTheDiskBeforeItsNameAndItsNameAfter)
{
	torvane::test::TempDir dir;
	using Calls = std::vector<std::string>;
	EXPECT_EQ(commitWatched(dir.file("nvm.bin"), OutputFile::Sync::ToDisk),
		  (Calls{ "fsync file", "link", "fsync folder" }));
	EXPECT_EQ(torvane::test::readFile(dir.file("nvm.bin")), "record");
	// Over an older file: the hidden name is renamed over it, then the folder
	// is flushed.
	EXPECT_EQ(commitWatched(dir.file("nvm.bin"), OutputFile::Sync::ToDisk),
		  (Calls{ "fsync file", "link", "rename", "fsync folder" }));
	// Images are not flushed.
	EXPECT_EQ(commitWatched(dir.file("page.pnm"), OutputFile::Sync::None), (Calls{ "link" }));
}

} // namespace
} // namespace torvane::scan
