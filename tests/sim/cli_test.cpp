// SPDX-License-Identifier: MIT
// The torvane-sim program: help, usage errors, and a short served session
// driven through stdin and a timed button press.

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "raw_client.h"
#include "support/test_environment.h"

namespace torvane::simtest {

namespace {

std::string program()
{
	if (const char *binary = std::getenv("TORVANE_BINARY_DIR"))
		return std::string(binary) + "/bin/torvane-sim";
	// Run by hand: this program lives in <build>/tests/sim.
	return std::filesystem::read_symlink("/proc/self/exe").parent_path().string() + "/../../bin/torvane-sim";
}

// A running torvane-sim with pipes on stdin and stdout.
class SimProcess
{
public:
	explicit SimProcess(const std::vector<std::string> &arguments)
	{
		int input[2], output[2];
		if (::pipe(input) != 0 || ::pipe(output) != 0)
			return;
		pid_ = ::fork();
		if (pid_ == 0) {
			::dup2(input[0], STDIN_FILENO);
			::dup2(output[1], STDOUT_FILENO);
			::close(input[1]);
			::close(output[0]);
			std::vector<char *> argv;
			std::string name = program();
			argv.push_back(name.data());
			std::vector<std::string> copies = arguments;
			for (auto &argument : copies)
				argv.push_back(argument.data());
			argv.push_back(nullptr);
			::execv(name.c_str(), argv.data());
			::_exit(127);
		}
		::close(input[0]);
		::close(output[1]);
		in_ = input[1];
		out_ = output[0];
	}

	~SimProcess()
	{
		if (in_ >= 0)
			::close(in_);
		if (out_ >= 0)
			::close(out_);
		if (pid_ > 0 && !waited_) {
			::kill(pid_, SIGKILL);
			::waitpid(pid_, nullptr, 0);
		}
	}

	// The next line on stdout within `ms`, or empty.
	std::string line(int ms = 5000)
	{
		while (buffer_.find('\n') == std::string::npos) {
			pollfd entry{ out_, POLLIN, 0 };
			if (::poll(&entry, 1, ms) <= 0)
				return {};
			char chunk[256];
			const ssize_t n = ::read(out_, chunk, sizeof(chunk));
			if (n <= 0)
				return {};
			buffer_.append(chunk, static_cast<size_t>(n));
		}
		const size_t end = buffer_.find('\n');
		std::string text = buffer_.substr(0, end);
		buffer_.erase(0, end + 1);
		return text;
	}

	// Everything up to the end of stdout.
	std::string rest(int ms = 5000)
	{
		for (;;) {
			pollfd entry{ out_, POLLIN, 0 };
			if (::poll(&entry, 1, ms) <= 0)
				break;
			char chunk[4096];
			const ssize_t n = ::read(out_, chunk, sizeof(chunk));
			if (n <= 0)
				break;
			buffer_.append(chunk, static_cast<size_t>(n));
		}
		return std::exchange(buffer_, {});
	}

	// Reads lines until one contains `text`.
	bool expect(const std::string &text)
	{
		for (std::string next = line(); !next.empty(); next = line())
			if (next.find(text) != std::string::npos)
				return true;
		return false;
	}

	void signal(int number) { ::kill(pid_, number); }

	void send(const std::string &text) { [[maybe_unused]] ssize_t n = ::write(in_, text.data(), text.size()); }

	int wait()
	{
		int status = 0;
		::waitpid(pid_, &status, 0);
		waited_ = true;
		return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
	}

private:
	pid_t pid_ = -1;
	int in_ = -1;
	int out_ = -1;
	bool waited_ = false;
	std::string buffer_;
};

bool exists(const std::string &path)
{
	struct stat status {};
	return ::lstat(path.c_str(), &status) == 0;
}

} // namespace

TEST(SimCliTest, HelpDocumentsEveryOption)
{
	SimProcess sim({ "--help" });
	const std::string text = sim.rest();
	EXPECT_EQ(sim.wait(), 0);
	for (const char *option : { "--dir", "--model", "--number", "--also", "--vendor", "--product", "--document",
				    "--nvm", "--full-speed", "--rate", "--fault", "--press-after", "--unplug-after",
				    "--replug-after", "--ignore-stdin", "--quiet", "--help", "press BYTES", "unplug",
				    "replug N", "quit", "stall", "fail-block" })
		EXPECT_NE(text.find(option), std::string::npos) << option;
}

TEST(SimCliTest, BadUsageExitsWithTwo)
{
	test::TempDir dir;
	for (std::vector<std::string> arguments : std::vector<std::vector<std::string>>{
		     { "--model", "XY100", "--dir", dir.path() },
		     { "--fault", "check,op=1", "--dir", dir.path() },
		     { "--press-after", "10:0g", "--dir", dir.path() },
		     { "--number", "200", "--dir", dir.path() },
		     { "--no-such-option" } }) {
		SimProcess sim(arguments);
		EXPECT_EQ(sim.wait(), 2) << arguments[0];
	}
	// A document that cannot be loaded is a start-up error.
	SimProcess missing({ "--dir", dir.path(), "--document", dir.file("none.png") });
	EXPECT_EQ(missing.wait(), 1);
}

TEST(SimCliTest, ServesPressesUnplugsAndQuits)
{
	test::TempDir dir;
	SimProcess sim({ "--dir", dir.path(), "--model", "KT918", "--number", "4", "--press-after", "0:05",
			 "--fault", "check,op=0x12,sense=02/04/01", "--full-speed" });
	ASSERT_EQ(sim.line(), "torvane-sim: document: test chart (A4)");
	ASSERT_EQ(sim.line(), "torvane-sim: KT918 ready at " + dir.file("usbscan4"));

	RawClient client(dir.file("usbscan4"));
	ASSERT_TRUE(client.connected());
	EXPECT_EQ(client.control(0x80002018).data, (std::vector<uint8_t>{ 0x1A, 0x2F, 0x18, 0x09, 0x03, 0x01, 0x09, 0x04 }));
	Reply press = client.control(0x80002008);
	EXPECT_EQ(press.data, std::vector<uint8_t>{ 0x05 });
	client.close();

	// The fault from the command line.
	EXPECT_EQ(exchange(dir.file("usbscan4"), inquiryBlock(), 160).status, 2);
	EXPECT_EQ(exchange(dir.file("usbscan4"), requestSenseBlock(), 22).dataIn[12], 0x04);

	sim.send("press 07 04\n");
	EXPECT_TRUE(sim.expect("button pressed: 07 04"));
	EXPECT_EQ(RawClient(dir.file("usbscan4")).control(0x80002008).data, (std::vector<uint8_t>{ 0x07, 0x04 }));

	sim.send("replug 6\n");
	EXPECT_TRUE(sim.expect("plugged in at " + dir.file("usbscan6")));
	EXPECT_FALSE(exists(dir.file("usbscan4")));
	EXPECT_EQ(exchange(dir.file("usbscan6"), inquiryBlock(), 160).status, 0);

	sim.send("unplug\n");
	EXPECT_TRUE(sim.expect("unplugged usbscan6"));
	EXPECT_FALSE(exists(dir.file("usbscan6")));

	sim.send("quit\n");
	EXPECT_EQ(sim.wait(), 0);
}

TEST(SimCliTest, StopsOnSigtermAndRemovesItsSockets)
{
	test::TempDir dir;
	SimProcess sim({ "--dir", dir.path(), "--quiet", "--also", "2", "--unplug-after", "60000" });
	ASSERT_EQ(sim.line(), "torvane-sim: RM735 ready at " + dir.file("usbscan0"));
	ASSERT_EQ(sim.line(), "torvane-sim: RM735 ready at " + dir.file("usbscan2"));
	EXPECT_TRUE(exists(dir.file("usbscan2")));
	EXPECT_TRUE(RawClient(dir.file("usbscan2")).connected());
	// stdin stays open: only the signal stops it.
	sim.signal(SIGTERM);
	EXPECT_EQ(sim.wait(), 0);
	EXPECT_FALSE(exists(dir.file("usbscan0")));
	EXPECT_FALSE(exists(dir.file("usbscan2")));
}

} // namespace torvane::simtest
