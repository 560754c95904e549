// SPDX-License-Identifier: MIT
// The TCP listener of the virtual scanners: one accepting thread on
// 127.0.0.1; each connection is attached to the scanner its first request
// names and then served by the SimServer like an open of its Unix socket.

#include "torvane_sim/tcp_listener.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "torvane_protocol/byte_order.h"
#include "torvane_protocol/socket_wire.h"

namespace torvane::sim {

namespace {

// A client that connects and says nothing must not hold the listener up.
constexpr int kAttachTimeoutMs = 5000;

// Receives exactly `length` bytes within the attach time-out.
bool receiveAttach(int fd, uint8_t *bytes, size_t length)
{
	while (length > 0) {
		pollfd entry{ fd, POLLIN, 0 };
		const int ready = ::poll(&entry, 1, kAttachTimeoutMs);
		if (ready < 0 && errno == EINTR)
			continue;
		if (ready <= 0)
			return false;
		const ssize_t n = ::recv(fd, bytes, length, MSG_DONTWAIT);
		if (n < 0 && (errno == EINTR || errno == EAGAIN))
			continue;
		if (n <= 0)
			return false;
		bytes += n;
		length -= static_cast<size_t>(n);
	}
	return true;
}

void sendAttachReply(int fd, uint32_t result)
{
	const protocol::WireHeader header = protocol::encodeReplyHeader({ result, 0 });
	[[maybe_unused]] ssize_t n = ::send(fd, header.data(), header.size(), MSG_NOSIGNAL);
}

} // namespace

class TcpListener::Private
{
public:
	explicit Private(SimServer &server) : server_(server) {}

	~Private()
	{
		stopping_ = true;
		if (wakeFd_ >= 0) {
			const uint64_t one = 1;
			[[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof(one));
		}
		if (thread_.joinable())
			thread_.join();
		if (listenFd_ >= 0)
			::close(listenFd_);
		if (wakeFd_ >= 0)
			::close(wakeFd_);
	}

	bool listen(uint16_t port, std::string *error)
	{
		auto fail = [&](const char *what) {
			if (error)
				*error = std::string(what) + " 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
			return false;
		};
		if (listenFd_ >= 0)
			return fail("already listening on");
		listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
		wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
		if (listenFd_ < 0 || wakeFd_ < 0)
			return fail("cannot make a socket for");
		const int on = 1;
		::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
		sockaddr_in address{};
		address.sin_family = AF_INET;
		address.sin_port = htons(port);
		address.sin_addr.s_addr = htonl(INADDR_LOOPBACK); // never another address
		if (::bind(listenFd_, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
		    ::listen(listenFd_, 64) != 0)
			return fail("cannot listen on");
		socklen_t length = sizeof(address);
		if (::getsockname(listenFd_, reinterpret_cast<sockaddr *>(&address), &length) != 0)
			return fail("cannot read the port of");
		port_ = ntohs(address.sin_port);
		thread_ = std::thread([this] { acceptLoop(); });
		return true;
	}

	uint16_t port() const { return port_; }

private:
	void acceptLoop()
	{
		while (!stopping_) {
			pollfd entries[2] = { { listenFd_, POLLIN, 0 }, { wakeFd_, POLLIN, 0 } };
			const int ready = ::poll(entries, 2, -1);
			if (stopping_ || (ready < 0 && errno != EINTR))
				return;
			if (ready > 0 && (entries[0].revents & POLLIN))
				acceptOne();
		}
	}

	void acceptOne()
	{
		const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
		if (fd < 0) {
			// Out of descriptors or memory: back off instead of spinning.
			if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED)
				std::this_thread::sleep_for(std::chrono::milliseconds(10));
			return;
		}
		// Every request waits for its reply: small replies must leave at once.
		const int on = 1;
		::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
		uint8_t attach[protocol::kWireHeaderLength + protocol::kWireWordLength];
		if (!receiveAttach(fd, attach, sizeof(attach))) {
			::close(fd);
			return;
		}
		protocol::WireHeader header;
		std::memcpy(header.data(), attach, header.size());
		const auto [op, length] = protocol::decodeRequestHeader(header);
		if (op != kOpAttach || length != protocol::kWireWordLength) {
			::close(fd);
			return;
		}
		const uint32_t number = protocol::readLittleEndian32(attach + protocol::kWireHeaderLength);
		// The reply goes before the hand-over: once adopted, the socket
		// belongs to the scanner's connection thread.
		if (server_.scanner(number) == nullptr) {
			sendAttachReply(fd, kAttachNoSuchDevice);
			::close(fd);
			return;
		}
		sendAttachReply(fd, protocol::kWireSuccess);
		server_.adopt(number, fd); // an unplug in between closes it: the device vanished
	}

	SimServer &server_;
	int listenFd_ = -1;
	int wakeFd_ = -1;
	uint16_t port_ = 0;
	std::atomic<bool> stopping_{ false };
	std::thread thread_;
};

TcpListener::TcpListener(SimServer &server) : d_(std::make_unique<Private>(server)) {}

TcpListener::~TcpListener() = default;

bool TcpListener::listen(uint16_t port, std::string *error)
{
	return d_->listen(port, error);
}

uint16_t TcpListener::port() const
{
	return d_->port();
}

} // namespace torvane::sim
