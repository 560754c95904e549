// SPDX-License-Identifier: MIT
// Where torvane-scan writes an image or a record: complete or not at all for
// files, in place for everything that cannot be replaced.
#pragma once

#include <string>

namespace torvane::scan {

// A regular file (or a new one) is written as an unnamed file in the folder
// of its final place (O_TMPFILE: nothing outlives a killed process) and gets
// its name only when complete, so that a failed or cancelled scan leaves
// neither a half-written file nor a part file, and an older file of that name
// stays as it was. Where the file system has no unnamed files, a hidden
// ".NAME.PID.N.part" beside it is used instead, and the part files of
// processes that are gone are removed first.
//
// Anything that is not a regular file - a device, a FIFO, a socket, or
// standard output for "-" - is written in place: it cannot be replaced (a
// device node must never become a regular file). A symbolic link is followed
// to its target, and the target is what gets written or replaced.
class OutputFile
{
public:
	explicit OutputFile(std::string path) : path_(std::move(path)) {}
	~OutputFile();
	OutputFile(const OutputFile &) = delete;
	OutputFile &operator=(const OutputFile &) = delete;

	// Opens the output; returns a descriptor that the caller owns (and must
	// close before commit), or -1 with `error`. `needsSeek`: the writer goes
	// back to earlier bytes (TIFF); an in-place output that cannot seek (a
	// FIFO, a pipe) is then written through an unnamed temporary file and
	// copied out at commit.
	int create(std::string *error, bool needsSeek = false);
	enum class Sync {
		None,
		ToDisk
	};
	// Gives the complete file its name (or copies the temporary file out).
	// Sync::ToDisk: a file that gets a name is flushed to the disk (fsync)
	// before it is linked into place, and its folder after.
	bool commit(std::string *error, Sync sync = Sync::None);
	// Drops what was written where it can be dropped (also done by the
	// destructor when not committed). In-place output keeps what it received.
	void discard();

	// True for devices, FIFOs and standard output.
	bool writesInPlace() const { return mode_ == Mode::InPlace || mode_ == Mode::Spooled; }
	// The hidden part file while one exists (only without unnamed files).
	const std::string &temporaryPath() const { return temporary_; }

private:
	enum class Mode {
		None,
		Unnamed,
		Named,
		InPlace,
		Spooled
	};

	int openInPlace(int fd, bool needsSeek, std::string *error);
	int openBeside(std::string *error);
	bool linkUnnamed(std::string *error);
	bool copySpool(std::string *error);
	bool syncFile(std::string *error);
	bool syncFolder(std::string *error);
	std::string failure(int number) const;
	void closeKept();

	std::string path_;
	std::string target_;	// path_ with symbolic links followed
	std::string temporary_; // the named part file
	int kept_ = -1;		// our own descriptor: the unnamed or part file, or the destination of a spool
	int spool_ = -1;	// the temporary file a spooled output is written to
	Mode mode_ = Mode::None;
	bool committed_ = false;
};

// Removes ".NAME.PID.N.part" files in `folder` (empty: the current folder)
// whose process PID no longer runs: what a killed scan left behind.
void removeDeadPartFiles(const std::string &folder, const std::string &name);

} // namespace torvane::scan
