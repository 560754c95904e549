// SPDX-License-Identifier: MIT
// POSIX: device files \\.\usbscanN as Unix stream sockets served by a
// (simulated) scanner under $TORVANE_DEVICE_DIR, speaking the wire of
// torvane_protocol/socket_wire.h.

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/posix/device_backends.h"
#include "platform/posix/fork_guard.h"
#include "platform/posix/io_interrupt.h"
#include "platform/posix/transfer_all.h"
#include "torvane_protocol/byte_order.h"
#include "torvane_protocol/socket_wire.h"

namespace torvane::platform {

namespace {

using protocol::kOpControl;
using protocol::kOpRead;
using protocol::kOpWrite;
using protocol::WireHeader;

// The parts of one request in one system call where the socket takes them
// (the scanner then wakes once per request, not once per part).
bool sendAllParts(int fd, iovec *parts, size_t count)
{
	return transferAllParts(parts, count, [fd](iovec *first, size_t left) {
		msghdr message{};
		message.msg_iov = first;
		message.msg_iovlen = left;
		return ::sendmsg(fd, &message, MSG_NOSIGNAL);
	});
}

// MSG_WAITALL: the kernel waits for the whole length, so a large read takes
// one system call rather than one per buffer the sender queued. It still
// returns early on a signal, the peer's close or a shutdown() (StopScan's
// interrupt), which the loop sees as for a plain recv().
bool receiveAll(int fd, void *data, size_t length)
{
	return transferAll(static_cast<uint8_t *>(data), length,
			   [fd](uint8_t *bytes, size_t n) { return ::recv(fd, bytes, n, MSG_WAITALL); });
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
	const char *directory = std::getenv(protocol::kDeviceDirectoryVariable);
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
	sockaddr_un address{};
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

// Closes the connection last, after it has left the interrupt. A child
// forked meanwhile gives up its copy (fork_guard.h).
struct OwnedSocket {
	explicit OwnedSocket(int fd) : fd(fd) { registerDeviceDescriptor(fd); }
	~OwnedSocket()
	{
		unregisterDeviceDescriptor(fd);
		::close(fd);
	}
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
		WireHeader header = protocol::encodeRequestHeader({ op, headLength + bodyLength });
		iovec parts[3] = { { header.data(), header.size() },
				   { const_cast<void *>(head), headLength },
				   { const_cast<void *>(body), bodyLength } };
		return sendAllParts(fd(), parts, 3);
	}

	// The header of the reply: result and count. False when the connection ends first.
	bool receiveReplyHeader(protocol::ReplyHeader *reply)
	{
		WireHeader header;
		if (!receiveAll(fd(), header.data(), header.size()))
			return false;
		*reply = protocol::decodeReplyHeader(header);
		return true;
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
		protocol::ReplyHeader reply;
		if (!connection_->sendRequest(kOpWrite, nullptr, 0, data, length) ||
		    !connection_->receiveReplyHeader(&reply))
			return false;
		*written = std::min(reply.count, length);
		return reply.result == protocol::kWireSuccess;
	}

	bool read(void *data, uint32_t length, uint32_t *got) override
	{
		*got = 0;
		uint8_t max[protocol::kWireWordLength];
		protocol::writeLittleEndian32(max, length);
		protocol::ReplyHeader reply;
		if (!connection_->sendRequest(kOpRead, max, sizeof(max), nullptr, 0) ||
		    !connection_->receiveReplyHeader(&reply))
			return false;
		// A device that sends more than asked for is cut to the buffer.
		if (!connection_->receiveData(static_cast<uint8_t *>(data), length, reply.count))
			return false;
		*got = std::min(reply.count, length);
		return reply.result == protocol::kWireSuccess;
	}

	bool control(uint32_t code, const void *in, uint32_t inLength, void *out, uint32_t outLength,
		     uint32_t *returned) override
	{
		if (returned)
			*returned = 0;
		uint8_t codeBytes[protocol::kWireWordLength];
		protocol::writeLittleEndian32(codeBytes, code);
		protocol::ReplyHeader reply;
		if (!connection_->sendRequest(kOpControl, codeBytes, sizeof(codeBytes), in, in ? inLength : 0) ||
		    !connection_->receiveReplyHeader(&reply))
			return false;
		if (!connection_->receiveData(static_cast<uint8_t *>(out), out ? outLength : 0, reply.count))
			return false;
		if (returned)
			*returned = std::min(reply.count, out ? outLength : 0);
		return reply.result == protocol::kWireSuccess;
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
		uint8_t codeBytes[protocol::kWireWordLength];
		protocol::writeLittleEndian32(codeBytes, protocol::kIoctlWaitOnDeviceEvent);
		if (!connection_->sendRequest(kOpControl, codeBytes, sizeof(codeBytes), nullptr, 0))
			return Start::Failed;
		return Start::Pending;
	}

	Poll poll(uint8_t report[8], uint32_t *count) override
	{
		*count = 0;
		pollfd entry{ connection_->fd(), POLLIN, 0 };
		int ready = ::poll(&entry, 1, 0);
		if (ready == 0)
			return Poll::Pending;
		if (ready < 0)
			return errno == EINTR ? Poll::Pending : Poll::Ended;
		protocol::ReplyHeader reply;
		if (!connection_->receiveReplyHeader(&reply))
			return Poll::Ended;
		if (!connection_->receiveData(report, protocol::kDeviceEventLength, reply.count))
			return Poll::Ended;
		if (reply.result != protocol::kWireSuccess || reply.count == 0)
			return Poll::Ended;
		*count = std::min(reply.count, protocol::kDeviceEventLength);
		return Poll::Delivered;
	}

private:
	std::unique_ptr<SocketConnection> connection_;
};

} // namespace

bool socketDevicesConfigured()
{
	const char *directory = std::getenv(protocol::kDeviceDirectoryVariable);
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
