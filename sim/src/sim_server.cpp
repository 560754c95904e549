// SPDX-License-Identifier: MIT
// The socket server of the virtual scanners: one listening socket and one
// accepting thread per plugged scanner, one thread per connection.

#include "torvane_sim/sim_server.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include "torvane_protocol/byte_order.h"
#include "torvane_protocol/control_codes.h"
#include "torvane_protocol/socket_wire.h"

namespace torvane::sim {

namespace {

using protocol::kOpControl;
using protocol::kOpRead;
using protocol::kOpWrite;
using protocol::WireHeader;

constexpr uint32_t kMaxRequestLength = 64u << 20;

using Clock = std::chrono::steady_clock;

bool receiveAll(int fd, void *data, size_t length)
{
	auto *bytes = static_cast<uint8_t *>(data);
	while (length > 0) {
		const ssize_t n = ::recv(fd, bytes, length, 0);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		bytes += n;
		length -= static_cast<size_t>(n);
	}
	return true;
}

// Sends a reply header (result, count) and `count` data bytes in as few
// system calls as the socket allows.
bool sendReply(int fd, uint32_t result, const uint8_t *data, uint32_t count)
{
	WireHeader header = protocol::encodeReplyHeader({ result, count });
	iovec parts[2] = { { header.data(), header.size() }, { const_cast<uint8_t *>(data), count } };
	int first = 0;
	const int total = count ? 2 : 1;
	while (first < total) {
		msghdr message{};
		message.msg_iov = parts + first;
		message.msg_iovlen = static_cast<size_t>(total - first);
		ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		while (first < total && static_cast<size_t>(n) >= parts[first].iov_len) {
			n -= static_cast<ssize_t>(parts[first].iov_len);
			++first;
		}
		if (first < total) {
			parts[first].iov_base = static_cast<uint8_t *>(parts[first].iov_base) + n;
			parts[first].iov_len -= static_cast<size_t>(n);
		}
	}
	return true;
}

// A reply without data: WRITE (count = bytes accepted).
bool sendHeader(int fd, uint32_t result, uint32_t count)
{
	const WireHeader header = protocol::encodeReplyHeader({ result, count });
	size_t sent = 0;
	while (sent < header.size()) {
		const ssize_t n = ::send(fd, header.data() + sent, header.size() - sent, MSG_NOSIGNAL);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		sent += static_cast<size_t>(n);
	}
	return true;
}

void signalEvent(int fd)
{
	const uint64_t one = 1;
	[[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof(one));
}

void drainEvent(int fd)
{
	uint64_t value;
	[[maybe_unused]] ssize_t n = ::read(fd, &value, sizeof(value));
}

void setError(std::string *error, const std::string &message)
{
	if (error)
		*error = message;
}

// One open of the device file.
struct Connection {
	int fd = -1;
	int wakeFd = -1;
	std::thread thread;
	std::atomic<bool> stopping{ false };
	std::atomic<bool> done{ false };
	int acceptorWakeFd = -1; // tells the accepting thread to reap this one

	~Connection()
	{
		if (fd >= 0)
			::close(fd);
		if (wakeFd >= 0)
			::close(wakeFd);
	}

	void wake() { signalEvent(wakeFd); }

	// Stops the connection from outside: shutdown() wakes a blocked recv()
	// or send(), the event a wait or a paced pause.
	void shut()
	{
		stopping = true;
		::shutdown(fd, SHUT_RDWR);
		wake();
	}
};

// The connections of one plugged scanner; shared with the scanner's wake
// listener, which may still run while the plug goes away.
struct ConnectionSet {
	std::mutex mutex;
	std::vector<std::shared_ptr<Connection>> connections;

	void wakeAll()
	{
		std::vector<std::shared_ptr<Connection>> copies;
		{
			std::lock_guard<std::mutex> guard(mutex);
			copies = connections;
		}
		for (auto &connection : copies)
			if (!connection->done)
				connection->wake();
	}
};

// Serves one connection until it closes or is shut.
class ConnectionWorker
{
public:
	ConnectionWorker(std::shared_ptr<VirtualScanner> scanner, std::shared_ptr<Connection> connection)
		: scanner_(std::move(scanner)), connection_(std::move(connection))
	{
	}

	void run()
	{
		const uint64_t id = scanner_->openConnection();
		id_ = id;
		while (!connection_->stopping && serveRequest()) {
		}
		scanner_->closeConnection(id);
		connection_->done = true;
		signalEvent(connection_->acceptorWakeFd);
	}

private:
	enum class Wait {
		Woken,
		Gone
	};

	// Waits for a wake-up, the peer's hang-up or `deadline` (when given).
	Wait waitForEvent(const Clock::time_point *deadline = nullptr)
	{
		for (;;) {
			if (connection_->stopping)
				return Wait::Gone;
			pollfd entries[2] = { { connection_->fd, POLLRDHUP, 0 }, { connection_->wakeFd, POLLIN, 0 } };
			int timeout = -1;
			if (deadline) {
				const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
				if (left.count() <= 0)
					return Wait::Woken;
				timeout = static_cast<int>(std::min<int64_t>(left.count(), 1000));
			}
			const int ready = ::poll(entries, 2, timeout);
			if (ready < 0 && errno != EINTR)
				return Wait::Gone;
			if (ready > 0 && (entries[0].revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)))
				return Wait::Gone;
			if (ready > 0 && (entries[1].revents & POLLIN)) {
				drainEvent(connection_->wakeFd);
				return connection_->stopping ? Wait::Gone : Wait::Woken;
			}
			if (deadline && Clock::now() >= *deadline)
				return Wait::Woken;
		}
	}

	// Holds the reply back until the bytes could have crossed a USB pipe.
	bool pace(uint32_t bytes)
	{
		const uint64_t rate = scanner_->dataRate();
		if (rate == 0 || bytes == 0)
			return true;
		const auto now = Clock::now();
		if (paceDeadline_ < now)
			paceDeadline_ = now;
		paceDeadline_ += std::chrono::nanoseconds(static_cast<int64_t>(bytes * 1'000'000'000ull / rate));
		// Short debts are carried over rather than slept one by one.
		if (paceDeadline_ - now < std::chrono::milliseconds(2))
			return true;
		while (Clock::now() < paceDeadline_)
			if (waitForEvent(&paceDeadline_) == Wait::Gone)
				return false;
		return true;
	}

	// Waits in poll() for the next request rather than in recv(): every
	// buffer of a reply the driver takes frees send space and signals the
	// socket, and a thread asleep in recv() is woken (and sleeps again) for
	// each of them, at the reading side's expense. poll() asks for readable
	// data only, so those signals pass it by.
	bool requestArrived()
	{
		pollfd entry{ connection_->fd, POLLIN, 0 };
		for (;;) {
			const int ready = ::poll(&entry, 1, -1);
			if (ready > 0)
				return true; // data, or the hang-up the recv() then sees
			if (ready < 0 && errno != EINTR)
				return false;
		}
	}

	bool serveRequest()
	{
		WireHeader header;
		if (!requestArrived() || !receiveAll(connection_->fd, header.data(), header.size()))
			return false;
		const auto [op, length] = protocol::decodeRequestHeader(header);
		if (length > kMaxRequestLength)
			return false;
		payload_.resize(length);
		if (length > 0 && !receiveAll(connection_->fd, payload_.data(), length))
			return false;

		switch (op) {
		case kOpWrite: {
			const WriteReply reply = scanner_->write(id_, payload_);
			return sendHeader(connection_->fd, reply.result, reply.count);
		}
		case kOpRead:
			return length >= protocol::kWireWordLength &&
			       serveRead(protocol::readLittleEndian32(payload_.data()));
		case kOpControl:
			return length >= protocol::kWireWordLength &&
			       serveControl(protocol::readLittleEndian32(payload_.data()),
					    std::span<const uint8_t>(payload_).subspan(protocol::kWireWordLength));
		default:
			return false;
		}
	}

	bool serveRead(uint32_t max)
	{
		ReadReply reply;
		for (;;) {
			reply = scanner_->read(id_, max);
			if (!reply.stalled)
				break;
			if (waitForEvent() == Wait::Gone)
				return false;
		}
		if (reply.imageData && !pace(reply.length))
			return false;
		return sendReply(connection_->fd, reply.result, reply.data(), reply.length);
	}

	bool serveControl(uint32_t code, std::span<const uint8_t> input)
	{
		if (code != protocol::kIoctlWaitOnDeviceEvent) {
			const ControlReply reply = scanner_->control(id_, code, input);
			return sendReply(connection_->fd, reply.result, reply.output.data(),
					 static_cast<uint32_t>(reply.output.size()));
		}
		// The interrupt pipe: silent until a button is pressed.
		std::array<uint8_t, kButtonReportLength> report{};
		uint32_t count = 0;
		while (!scanner_->takeButtonPress(report, count))
			if (waitForEvent() == Wait::Gone)
				return false;
		return sendReply(connection_->fd, 0, report.data(), count);
	}

	std::shared_ptr<VirtualScanner> scanner_;
	std::shared_ptr<Connection> connection_;
	uint64_t id_ = 0;
	std::vector<uint8_t> payload_;
	Clock::time_point paceDeadline_{};
};

} // namespace

// One scanner plugged in under one number.
struct Plug {
	unsigned int number = 0;
	std::string path;
	std::shared_ptr<VirtualScanner> scanner;
	int listenFd = -1;
	int wakeFd = -1;
	int listenerId = 0;
	std::atomic<bool> stopping{ false };
	std::thread acceptor;
	std::shared_ptr<ConnectionSet> set = std::make_shared<ConnectionSet>();

	~Plug()
	{
		if (listenFd >= 0)
			::close(listenFd);
		if (wakeFd >= 0)
			::close(wakeFd);
	}

	void accept()
	{
		// close() sets stopping before it signals wakeFd, and a drain of
		// wakeFd for a finished connection may swallow that signal: stopping
		// is looked at again before every wait, or the acceptor would sleep
		// on and close() would wait for it for ever.
		while (!stopping) {
			pollfd entries[2] = { { listenFd, POLLIN, 0 }, { wakeFd, POLLIN, 0 } };
			const int ready = ::poll(entries, 2, -1);
			if (stopping)
				return;
			if (ready < 0) {
				if (errno == EINTR)
					continue;
				return;
			}
			if (entries[1].revents & POLLIN)
				drainEvent(wakeFd);
			reapFinished();
			if (entries[0].revents & POLLIN)
				acceptOne();
		}
	}

	void acceptOne()
	{
		const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
		if (fd < 0) {
			// Out of descriptors or memory: back off instead of spinning.
			if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED)
				std::this_thread::sleep_for(std::chrono::milliseconds(10));
			return;
		}
		serve(fd);
	}

	// Serves the connected socket `fd` on a thread of its own.
	void serve(int fd)
	{
		auto connection = std::make_shared<Connection>();
		connection->fd = fd;
		connection->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
		connection->acceptorWakeFd = wakeFd;
		if (connection->wakeFd < 0)
			return; // the destructor closes fd: the open fails for the driver
		// A large send buffer lets one image read leave in few system calls.
		const int bufferSize = 4 << 20;
		::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof(bufferSize));
		std::lock_guard<std::mutex> guard(set->mutex);
		try {
			connection->thread = std::thread([worker = ConnectionWorker(scanner, connection)]() mutable {
				worker.run();
			});
		} catch (const std::system_error &) {
			return; // no thread: the connection closes, the open fails
		}
		set->connections.push_back(connection);
	}

	// Joins the threads of connections the driver has closed.
	void reapFinished()
	{
		std::vector<std::shared_ptr<Connection>> finished;
		{
			std::lock_guard<std::mutex> guard(set->mutex);
			auto it = std::stable_partition(set->connections.begin(), set->connections.end(),
							[](const auto &c) { return !c->done; });
			finished.assign(it, set->connections.end());
			set->connections.erase(it, set->connections.end());
		}
		for (auto &connection : finished)
			if (connection->thread.joinable())
				connection->thread.join();
	}

	// Closes everything; returns when no thread of this plug runs.
	void close()
	{
		stopping = true;
		signalEvent(wakeFd);
		if (acceptor.joinable())
			acceptor.join();
		scanner->removeWakeListener(listenerId);
		::close(listenFd);
		listenFd = -1;
		::unlink(path.c_str());

		std::vector<std::shared_ptr<Connection>> connections;
		{
			std::lock_guard<std::mutex> guard(set->mutex);
			connections.swap(set->connections);
		}
		for (auto &connection : connections)
			connection->shut();
		for (auto &connection : connections)
			if (connection->thread.joinable())
				connection->thread.join();
	}
};

class SimServer::Private
{
public:
	std::string directory;
	mutable std::mutex mutex;
	std::map<unsigned int, std::unique_ptr<Plug>> plugs;

	std::unique_ptr<Plug> take(unsigned int number)
	{
		std::lock_guard<std::mutex> guard(mutex);
		auto it = plugs.find(number);
		if (it == plugs.end())
			return nullptr;
		std::unique_ptr<Plug> plug = std::move(it->second);
		plugs.erase(it);
		return plug;
	}
};

SimServer::SimServer(std::string directory)
	: d_(std::make_unique<Private>())
{
	d_->directory = std::move(directory);
	if (!d_->directory.empty())
		::mkdir(d_->directory.c_str(), 0700);
}

SimServer::~SimServer()
{
	stop();
}

std::string SimServer::defaultDirectory()
{
	const char *directory = std::getenv(protocol::kDeviceDirectoryVariable);
	return directory ? directory : "";
}

const std::string &SimServer::directory() const
{
	return d_->directory;
}

std::string SimServer::socketPath(unsigned int number) const
{
	return d_->directory + "/" + protocol::kDeviceFilePrefix + std::to_string(number);
}

bool SimServer::plug(std::shared_ptr<VirtualScanner> scanner, unsigned int number, std::string *error)
{
	if (!scanner) {
		setError(error, "no scanner");
		return false;
	}
	std::lock_guard<std::mutex> guard(d_->mutex);
	if (d_->plugs.count(number)) {
		setError(error, "usbscan" + std::to_string(number) + " is taken");
		return false;
	}
	for (const auto &entry : d_->plugs) {
		if (entry.second->scanner == scanner) {
			setError(error, "the scanner is already plugged in as usbscan" + std::to_string(entry.first));
			return false;
		}
	}

	auto plug = std::make_unique<Plug>();
	plug->number = number;
	plug->path = socketPath(number);
	plug->scanner = std::move(scanner);

	sockaddr_un address{};
	if (d_->directory.empty() || plug->path.size() >= sizeof(address.sun_path)) {
		setError(error, "socket path empty or too long: " + plug->path);
		return false;
	}
	address.sun_family = AF_UNIX;
	std::memcpy(address.sun_path, plug->path.c_str(), plug->path.size() + 1);

	// A socket left behind by an earlier run is replaced; anything else stays.
	struct stat status {};
	if (::lstat(plug->path.c_str(), &status) == 0) {
		if (!S_ISSOCK(status.st_mode)) {
			setError(error, plug->path + " exists and is not a socket");
			return false;
		}
		::unlink(plug->path.c_str());
	}

	plug->listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	plug->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
	if (plug->listenFd < 0 || plug->wakeFd < 0 ||
	    ::bind(plug->listenFd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
	    ::listen(plug->listenFd, 64) != 0) {
		setError(error, "cannot listen on " + plug->path + ": " + std::strerror(errno));
		return false;
	}

	std::weak_ptr<ConnectionSet> set = plug->set;
	plug->listenerId = plug->scanner->addWakeListener([set] {
		if (auto live = set.lock())
			live->wakeAll();
	});
	Plug *raw = plug.get();
	plug->acceptor = std::thread([raw] { raw->accept(); });
	d_->plugs[number] = std::move(plug);
	return true;
}

bool SimServer::unplug(unsigned int number)
{
	std::unique_ptr<Plug> plug = d_->take(number);
	if (!plug)
		return false;
	plug->close();
	return true;
}

bool SimServer::replug(unsigned int from, unsigned int to, std::string *error)
{
	std::unique_ptr<Plug> plug = d_->take(from);
	if (!plug) {
		setError(error, "nothing plugged in as usbscan" + std::to_string(from));
		return false;
	}
	std::shared_ptr<VirtualScanner> scanner = plug->scanner;
	plug->close();
	plug.reset();
	return this->plug(std::move(scanner), to, error);
}

void SimServer::stop()
{
	for (unsigned int number : numbers())
		unplug(number);
}

bool SimServer::adopt(unsigned int number, int fd)
{
	// Under the server's lock: an unplug takes the plug out of the map first,
	// so the connection is either served and then closed by it, or refused.
	std::lock_guard<std::mutex> guard(d_->mutex);
	auto it = d_->plugs.find(number);
	if (it == d_->plugs.end()) {
		::close(fd);
		return false;
	}
	it->second->serve(fd);
	return true;
}

std::vector<unsigned int> SimServer::numbers() const
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	std::vector<unsigned int> list;
	for (const auto &entry : d_->plugs)
		list.push_back(entry.first);
	return list;
}

std::shared_ptr<VirtualScanner> SimServer::scanner(unsigned int number) const
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	auto it = d_->plugs.find(number);
	return it == d_->plugs.end() ? nullptr : it->second->scanner;
}

size_t SimServer::connectionCount(unsigned int number) const
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	auto it = d_->plugs.find(number);
	if (it == d_->plugs.end())
		return 0;
	std::lock_guard<std::mutex> setGuard(it->second->set->mutex);
	return static_cast<size_t>(std::count_if(it->second->set->connections.begin(),
						 it->second->set->connections.end(),
						 [](const auto &c) { return !c->done; }));
}

} // namespace torvane::sim
