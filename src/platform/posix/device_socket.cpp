// SPDX-License-Identifier: MIT
// POSIX: device files \\.\usbscanN as Unix stream sockets served by a
// (simulated) scanner under $TORVANE_DEVICE_DIR.
//
// Wire contract, all integers little-endian u32: a request is op, length and
// `length` payload bytes; every request gets exactly one reply, which starts
// with result and count. op 1 WRITE (payload: the bytes), op 2 READ (payload:
// max; reply data: count bytes), op 3 IOCTL (payload: code, input; reply
// data: count output bytes). A result other than 0 fails the call.

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/posix/device_backends.h"
#include "platform/posix/io_interrupt.h"
#include "platform/posix/transfer_all.h"

namespace torvane::platform {

namespace {

enum : uint32_t { kOpWrite = 1, kOpRead = 2, kOpControl = 3 };

void putU32(uint8_t *out, uint32_t value)
{
	out[0] = static_cast<uint8_t>(value);
	out[1] = static_cast<uint8_t>(value >> 8);
	out[2] = static_cast<uint8_t>(value >> 16);
	out[3] = static_cast<uint8_t>(value >> 24);
}

uint32_t getU32(const uint8_t *in)
{
	return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
	       static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

bool sendAll(int fd, const void *data, size_t length)
{
	return transferAll(static_cast<const uint8_t *>(data), length,
			   [fd](const uint8_t *bytes, size_t n) { return ::send(fd, bytes, n, MSG_NOSIGNAL); });
}

bool receiveAll(int fd, void *data, size_t length)
{
	return transferAll(static_cast<uint8_t *>(data), length,
			   [fd](uint8_t *bytes, size_t n) { return ::recv(fd, bytes, n, 0); });
}

// Receives `count` bytes, keeping the first `keep` in `out`, discarding the rest.
bool receiveInto(int fd, uint8_t *out, uint32_t keep, uint32_t count)
{
	const uint32_t kept = std::min(keep, count);
	if (kept > 0 && !receiveAll(fd, out, kept))
		return false;
	uint8_t discard[4096];
	for (uint32_t rest = count - kept; rest > 0;) {
		const uint32_t piece = std::min<uint32_t>(rest, sizeof(discard));
		if (!receiveAll(fd, discard, piece))
			return false;
		rest -= piece;
	}
	return true;
}

// The socket path of a device name: the part after the last backslash.
std::string socketPathOf(const char *name)
{
	const char *directory = std::getenv("TORVANE_DEVICE_DIR");
	if (!directory || !*directory || !name)
		return {};
	const char *base = std::strrchr(name, '\\');
	base = base ? base + 1 : name;
	if (!*base || std::strchr(base, '/'))
		return {};
	return std::string(directory) + "/" + base;
}

int connectTo(const char *name)
{
	const std::string path = socketPathOf(name);
	sockaddr_un address {};
	if (path.empty() || path.size() >= sizeof(address.sun_path))
		return -1;
	address.sun_family = AF_UNIX;
	std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
	int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (fd < 0)
		return -1;
	if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
		::close(fd);
		return -1;
	}
	return fd;
}

// Closes the connection last, after it has left the interrupt.
struct OwnedSocket {
	explicit OwnedSocket(int fd) : fd(fd) {}
	~OwnedSocket() { ::close(fd); }
	OwnedSocket(const OwnedSocket &) = delete;
	OwnedSocket &operator=(const OwnedSocket &) = delete;
	int fd;
};

// One connection; registered with the opening thread's interrupt, if any.
class SocketConnection final : public InterruptibleIo
{
public:
	explicit SocketConnection(int fd) : socket_(fd) {}
	int fd() const { return socket_.fd; }

	bool enrol() { return registration_.enrol(this); }
	// shutdown() wakes a blocked recv()/send() at once; the owner closes.
	void interruptIo() override { ::shutdown(socket_.fd, SHUT_RDWR); }

	bool sendRequest(uint32_t op, const void *head, uint32_t headLength, const void *body, uint32_t bodyLength)
	{
		uint8_t header[8];
		putU32(header, op);
		putU32(header + 4, headLength + bodyLength);
		return sendAll(fd(), header, sizeof(header)) &&
		       (headLength == 0 || sendAll(fd(), head, headLength)) &&
		       (bodyLength == 0 || sendAll(fd(), body, bodyLength));
	}

	// The data that follows a READ or IOCTL reply.
	bool receiveData(uint8_t *out, uint32_t capacity, uint32_t count)
	{
		return receiveInto(fd(), out, capacity, count);
	}

private:
	OwnedSocket socket_;
	InterruptRegistration registration_;
};

std::unique_ptr<SocketConnection> openConnection(const char *name)
{
	int fd = connectTo(name);
	if (fd < 0)
		return nullptr;
	auto connection = std::make_unique<SocketConnection>(fd);
	if (!connection->enrol())
		return nullptr;
	return connection;
}

class SocketDeviceFile : public DeviceFile
{
public:
	explicit SocketDeviceFile(std::unique_ptr<SocketConnection> connection)
		: connection_(std::move(connection))
	{
	}

	bool write(const void *data, uint32_t length, uint32_t *written) override
	{
		*written = 0;
		uint32_t count = 0;
		if (!connection_->sendRequest(kOpWrite, nullptr, 0, data, length))
			return false;
		uint8_t header[8];
		if (!receiveAll(connection_->fd(), header, sizeof(header)))
			return false;
		count = getU32(header + 4);
		*written = std::min(count, length);
		return getU32(header) == 0;
	}

	bool read(void *data, uint32_t length, uint32_t *got) override
	{
		*got = 0;
		uint8_t max[4];
		putU32(max, length);
		if (!connection_->sendRequest(kOpRead, max, sizeof(max), nullptr, 0))
			return false;
		uint8_t header[8];
		if (!receiveAll(connection_->fd(), header, sizeof(header)))
			return false;
		const uint32_t count = getU32(header + 4);
		// A device that sends more than asked for is cut to the buffer.
		if (!connection_->receiveData(static_cast<uint8_t *>(data), length, count))
			return false;
		*got = std::min(count, length);
		return getU32(header) == 0;
	}

	bool control(uint32_t code, const void *in, uint32_t inLength, void *out, uint32_t outLength,
		     uint32_t *returned) override
	{
		if (returned)
			*returned = 0;
		uint8_t codeBytes[4];
		putU32(codeBytes, code);
		if (!connection_->sendRequest(kOpControl, codeBytes, sizeof(codeBytes), in, in ? inLength : 0))
			return false;
		uint8_t header[8];
		if (!receiveAll(connection_->fd(), header, sizeof(header)))
			return false;
		const uint32_t count = getU32(header + 4);
		if (!connection_->receiveData(static_cast<uint8_t *>(out), out ? outLength : 0, count))
			return false;
		if (returned)
			*returned = std::min(count, out ? outLength : 0);
		return getU32(header) == 0;
	}

private:
	std::unique_ptr<SocketConnection> connection_;
};

// The button wait: an IOCTL wait request sent on its own connection, whose
// reply arrives only when a button is pressed. poll() looks without blocking.
class SocketButtonWait : public ButtonWait
{
public:
	explicit SocketButtonWait(std::unique_ptr<SocketConnection> connection)
		: connection_(std::move(connection))
	{
	}

	Start start() override
	{
		uint8_t codeBytes[4];
		putU32(codeBytes, kIoctlWaitOnDeviceEvent);
		if (!connection_->sendRequest(kOpControl, codeBytes, sizeof(codeBytes), nullptr, 0))
			return Start::Failed;
		return Start::Pending;
	}

	Poll poll(uint8_t report[8], uint32_t *count) override
	{
		*count = 0;
		pollfd entry { connection_->fd(), POLLIN, 0 };
		int ready = ::poll(&entry, 1, 0);
		if (ready == 0)
			return Poll::Pending;
		if (ready < 0)
			return errno == EINTR ? Poll::Pending : Poll::Ended;
		uint8_t header[8];
		if (!receiveAll(connection_->fd(), header, sizeof(header)))
			return Poll::Ended;
		const uint32_t delivered = getU32(header + 4);
		if (!connection_->receiveData(report, 8, delivered))
			return Poll::Ended;
		if (getU32(header) != 0 || delivered == 0)
			return Poll::Ended;
		*count = std::min<uint32_t>(delivered, 8);
		return Poll::Delivered;
	}

private:
	std::unique_ptr<SocketConnection> connection_;
};

} // namespace

bool socketDevicesConfigured()
{
	const char *directory = std::getenv("TORVANE_DEVICE_DIR");
	return directory && *directory;
}

std::unique_ptr<DeviceFile> openSocketDeviceFile(const char *name)
{
	auto connection = openConnection(name);
	if (!connection)
		return nullptr;
	return std::make_unique<SocketDeviceFile>(std::move(connection));
}

std::unique_ptr<ButtonWait> openSocketButtonWait(const char *name)
{
	auto connection = openConnection(name);
	if (!connection)
		return nullptr;
	return std::make_unique<SocketButtonWait>(std::move(connection));
}

} // namespace torvane::platform
