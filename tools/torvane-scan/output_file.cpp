// SPDX-License-Identifier: MIT
// Where torvane-scan writes an image or a record: complete or not at all for
// files, in place for everything that cannot be replaced.

#include "output_file.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace torvane::scan {

namespace {

// Linux follows at most 40 links in one path; so does the output.
constexpr int kMaxLinkDepth = 40;

std::string folderOf(const std::string &path)
{
	const size_t slash = path.find_last_of('/');
	return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string nameOf(const std::string &path)
{
	const size_t slash = path.find_last_of('/');
	return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The path with every symbolic link in its last component followed, also a
// link to a file that does not exist yet (which is then created). 0 or errno.
int followLinks(const std::string &path, std::string *target)
{
	std::string current = path;
	for (int depth = 0; depth < kMaxLinkDepth; ++depth) {
		struct stat info {};
		if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
			*target = current;
			return 0;
		}
		std::vector<char> text(static_cast<size_t>(info.st_size > PATH_MAX ? info.st_size : PATH_MAX) + 1);
		const ssize_t length = ::readlink(current.c_str(), text.data(), text.size());
		if (length <= 0 || static_cast<size_t>(length) >= text.size())
			return length < 0 ? errno : ENOENT;
		std::string link(text.data(), static_cast<size_t>(length));
		current = link.front() == '/' ? link : folderOf(current) + link;
	}
	return ELOOP;
}

// Every byte, through short writes and interrupted calls. 0 or errno.
int writeAll(int fd, const uint8_t *data, size_t size)
{
	while (size > 0) {
		const ssize_t written = ::write(fd, data, size);
		if (written < 0 && errno == EINTR)
			continue;
		if (written <= 0)
			return written < 0 ? errno : EIO;
		data += written;
		size -= static_cast<size_t>(written);
	}
	return 0;
}

// The process of a part file's PID is gone (not merely someone else's).
bool processGone(const std::string &digits)
{
	char *end = nullptr;
	errno = 0;
	const unsigned long pid = std::strtoul(digits.c_str(), &end, 10);
	if (errno != 0 || *end != '\0' || pid == 0 || pid > INT_MAX || static_cast<pid_t>(pid) == ::getpid())
		return false;
	return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

bool allDigits(const std::string &text)
{
	return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

} // namespace

void removeDeadPartFiles(const std::string &folder, const std::string &name)
{
	DIR *dir = ::opendir(folder.empty() ? "." : folder.c_str());
	if (!dir)
		return;
	const std::string prefix = "." + name + ".";
	const std::string suffix = ".part";
	while (const dirent *entry = ::readdir(dir)) {
		const std::string file = entry->d_name;
		if (file.size() <= prefix.size() + suffix.size() || file.compare(0, prefix.size(), prefix) != 0 ||
		    file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0)
			continue;
		// PID.N between the two.
		const std::string middle = file.substr(prefix.size(), file.size() - prefix.size() - suffix.size());
		const size_t dot = middle.find('.');
		if (dot == std::string::npos || !allDigits(middle.substr(dot + 1)) || !processGone(middle.substr(0, dot)))
			continue;
		::unlinkat(::dirfd(dir), file.c_str(), 0);
	}
	::closedir(dir);
}

OutputFile::~OutputFile()
{
	if (!committed_)
		discard();
	closeKept();
}

std::string OutputFile::failure(int number) const
{
	return "cannot write '" + path_ + "': " + std::strerror(number);
}

void OutputFile::closeKept()
{
	if (kept_ >= 0)
		::close(kept_);
	if (spool_ >= 0)
		::close(spool_);
	kept_ = spool_ = -1;
}

int OutputFile::create(std::string *error, bool needsSeek)
{
	if (path_ == "-") {
		const int fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
		if (fd < 0) {
			*error = failure(errno);
			return -1;
		}
		return openInPlace(fd, needsSeek, error);
	}
	if (nameOf(path_).empty()) {
		*error = "'" + path_ + "' names a folder, not a file";
		return -1;
	}
	if (const int number = followLinks(path_, &target_)) {
		*error = failure(number);
		return -1;
	}
	struct stat info {};
	if (::stat(target_.c_str(), &info) == 0) {
		if (S_ISDIR(info.st_mode)) {
			*error = "'" + path_ + "' is a folder";
			return -1;
		}
		if (!S_ISREG(info.st_mode)) {
			const int fd = ::open(target_.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
			if (fd < 0) {
				*error = failure(errno);
				return -1;
			}
			return openInPlace(fd, needsSeek, error);
		}
	}
	return openBeside(error);
}

int OutputFile::openInPlace(int fd, bool needsSeek, std::string *error)
{
	mode_ = Mode::InPlace;
	if (!needsSeek || ::lseek(fd, 0, SEEK_CUR) >= 0)
		return fd;
	// A pipe or FIFO: the writer gets a temporary file, copied out at commit.
	FILE *spool = std::tmpfile();
	if (spool) {
		spool_ = ::fcntl(::fileno(spool), F_DUPFD_CLOEXEC, 3);
		std::fclose(spool);
	}
	const int writerFd = spool_ >= 0 ? ::fcntl(spool_, F_DUPFD_CLOEXEC, 3) : -1;
	if (writerFd < 0) {
		*error = failure(errno);
		::close(fd);
		return -1;
	}
	kept_ = fd;
	mode_ = Mode::Spooled;
	return writerFd;
}

int OutputFile::openBeside(std::string *error)
{
	const std::string folder = folderOf(target_);
	const std::string name = nameOf(target_);
	// 0666 less the umask, as for any file a program creates. Readable too: a
	// multi-page TIFF reads its earlier pages' directories back to link them.
	const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
	if (fd >= 0) {
		kept_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
		if (kept_ < 0) {
			*error = failure(errno);
			::close(fd);
			return -1;
		}
		mode_ = Mode::Unnamed;
		return fd;
	}
	// File systems without unnamed files answer one of these.
	if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
		*error = failure(errno);
		return -1;
	}
	removeDeadPartFiles(folder, name);
	for (int attempt = 0; attempt < 100; ++attempt) {
		temporary_ = folder + "." + name + "." + std::to_string(::getpid()) + "." + std::to_string(attempt) + ".part";
		const int named = ::open(temporary_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
		if (named >= 0) {
			// Kept for a flush to the disk at commit.
			kept_ = ::fcntl(named, F_DUPFD_CLOEXEC, 3);
			mode_ = Mode::Named;
			return named;
		}
		if (errno != EEXIST) {
			*error = failure(errno);
			temporary_.clear();
			return -1;
		}
	}
	*error = "cannot write '" + path_ + "': no free temporary name beside it";
	temporary_.clear();
	return -1;
}

// Links the unnamed file straight to the final name when that is free;
// otherwise under a hidden name that is then renamed over the older file.
bool OutputFile::linkUnnamed(std::string *error)
{
	auto linkTo = [this](const std::string &name) {
		// AT_EMPTY_PATH needs a privilege; /proc's link to the descriptor does not.
		if (::linkat(kept_, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0)
			return 0;
		if (errno == EEXIST)
			return EEXIST;
		const std::string self = "/proc/self/fd/" + std::to_string(kept_);
		return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
	};
	int result = linkTo(target_);
	if (result == 0)
		return true;
	for (int attempt = 0; result == EEXIST && attempt < 100; ++attempt) {
		const std::string hidden = folderOf(target_) + "." + nameOf(target_) + "." + std::to_string(::getpid()) +
					   "." + std::to_string(attempt) + ".part";
		result = linkTo(hidden);
		if (result == 0 && ::rename(hidden.c_str(), target_.c_str()) != 0) {
			result = errno;
			::unlink(hidden.c_str());
			break;
		}
	}
	if (result != 0)
		*error = failure(result);
	return result == 0;
}

bool OutputFile::copySpool(std::string *error)
{
	std::vector<uint8_t> block(1 << 16);
	int result = ::lseek(spool_, 0, SEEK_SET) < 0 ? errno : 0;
	while (result == 0) {
		const ssize_t got = ::read(spool_, block.data(), block.size());
		if (got < 0 && errno == EINTR)
			continue;
		if (got <= 0) {
			result = got < 0 ? errno : 0;
			break;
		}
		result = writeAll(kept_, block.data(), static_cast<size_t>(got));
	}
	const int closed = ::close(kept_);
	kept_ = -1;
	if (result == 0 && closed != 0)
		result = errno;
	if (result != 0)
		*error = failure(result);
	return result == 0;
}

bool OutputFile::syncFile(std::string *error)
{
	if (kept_ >= 0 && ::fsync(kept_) == 0)
		return true;
	*error = failure(kept_ >= 0 ? errno : EBADF);
	return false;
}

bool OutputFile::syncFolder(std::string *error)
{
	const std::string folder = folderOf(target_);
	const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	// A file system that cannot flush a folder (EINVAL) keeps its names as
	// it keeps them.
	int result = fd < 0 ? errno : 0;
	if (fd >= 0) {
		if (::fsync(fd) != 0)
			result = errno;
		::close(fd);
	}
	if (result == 0 || result == EINVAL)
		return true;
	*error = failure(result);
	return false;
}

bool OutputFile::commit(std::string *error, Sync sync)
{
	const bool toDisk = sync == Sync::ToDisk;
	bool done = false;
	switch (mode_) {
	case Mode::Unnamed:
		done = (!toDisk || syncFile(error)) && linkUnnamed(error) && (!toDisk || syncFolder(error));
		break;
	case Mode::Named:
		done = (!toDisk || syncFile(error)) && ::rename(temporary_.c_str(), target_.c_str()) == 0;
		if (!done && error->empty())
			*error = failure(errno);
		else if (done)
			temporary_.clear();
		done = done && (!toDisk || syncFolder(error));
		break;
	case Mode::Spooled:
		done = copySpool(error);
		break;
	case Mode::InPlace:
		done = true;
		break;
	case Mode::None:
		*error = failure(EBADF);
		break;
	}
	closeKept();
	committed_ = done;
	return done;
}

void OutputFile::discard()
{
	if (!temporary_.empty())
		::unlink(temporary_.c_str());
	temporary_.clear();
	// The unnamed file goes with its last descriptor.
	closeKept();
}

} // namespace torvane::scan
