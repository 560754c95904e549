// SPDX-License-Identifier: MIT
// Device files over the simulated-scanner socket: the driver side of the wire
// contract, against a scripted peer.

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/posix/transfer_all.h"
#include "support/test_environment.h"

using namespace torvane;

namespace {

using Bytes = std::vector<uint8_t>;

void putU32(Bytes &out, uint32_t value)
{
	for (int i = 0; i < 4; ++i)
		out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint32_t getU32(const uint8_t *in)
{
	return in[0] | in[1] << 8 | in[2] << 16 | static_cast<uint32_t>(in[3]) << 24;
}

bool readExactly(int fd, void *data, size_t length)
{
	auto *bytes = static_cast<uint8_t *>(data);
	while (length > 0) {
		ssize_t n = ::read(fd, bytes, length);
		if (n <= 0)
			return false;
		bytes += n;
		length -= static_cast<size_t>(n);
	}
	return true;
}

struct Request {
	uint32_t op = 0;
	Bytes payload;
};

// A peer that accepts one connection on TORVANE_DEVICE_DIR/usbscan3 and
// answers each request with the reply its script makes.
class ScriptedPeer
{
public:
	using Script = std::function<Bytes(const Request &)>;

	// `pieceBytes`: each reply written in pieces of that many bytes (0: in one).
	explicit ScriptedPeer(Script script, size_t pieceBytes = 0) : script_(std::move(script)), pieceBytes_(pieceBytes)
	{
		setenv("TORVANE_DEVICE_DIR", dir_.path().c_str(), 1);
		listener_ = socket(AF_UNIX, SOCK_STREAM, 0);
		sockaddr_un address{};
		address.sun_family = AF_UNIX;
		std::snprintf(address.sun_path, sizeof(address.sun_path), "%s/usbscan3", dir_.path().c_str());
		EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
		EXPECT_EQ(listen(listener_, 4), 0);
		thread_ = std::thread([this] { serve(); });
	}
	~ScriptedPeer()
	{
		shutdown(listener_, SHUT_RDWR);
		close(listener_);
		thread_.join();
	}
	std::vector<Request> requests() const { return requests_; }

private:
	void serve()
	{
		int connection = accept(listener_, nullptr, nullptr);
		if (connection < 0)
			return;
		for (;;) {
			uint8_t header[8];
			if (!readExactly(connection, header, sizeof(header)))
				break;
			Request request{ getU32(header), Bytes(getU32(header + 4)) };
			if (!request.payload.empty() && !readExactly(connection, request.payload.data(), request.payload.size()))
				break;
			requests_.push_back(request);
			Bytes reply = script_(request);
			if (reply.empty())
				continue; // silent: the reply never comes
			if (!writeInPieces(connection, reply))
				break;
		}
		close(connection);
	}

	bool writeInPieces(int connection, const Bytes &reply) const
	{
		const size_t piece = pieceBytes_ ? pieceBytes_ : reply.size();
		for (size_t at = 0; at < reply.size(); at += piece) {
			const size_t n = std::min(piece, reply.size() - at);
			if (::write(connection, reply.data() + at, n) != static_cast<ssize_t>(n))
				return false;
		}
		return true;
	}

	test::TempDir dir_;
	Script script_;
	size_t pieceBytes_;
	int listener_ = -1;
	std::vector<Request> requests_;
	std::thread thread_;
};

Bytes reply(uint32_t result, const Bytes &data = {}, uint32_t count = UINT32_MAX)
{
	Bytes out;
	putU32(out, result);
	putU32(out, count == UINT32_MAX ? static_cast<uint32_t>(data.size()) : count);
	out.insert(out.end(), data.begin(), data.end());
	return out;
}

TEST(DeviceSocket, WriteReadAndControlFollowTheWireContract)
{
	ScriptedPeer peer([](const Request &r) {
		if (r.op == 1)
			return reply(0, {}, static_cast<uint32_t>(r.payload.size()));
		if (r.op == 2)
			return reply(0, { 0xAA, 0xBB });
		return reply(0, { 1, 2, 3, 4, 5, 6, 7, 8 });
	});
	auto device = platform::openDeviceFile("\\\\.\\usbscan3");
	ASSERT_NE(device, nullptr);

	const uint8_t block[10] = { 0x12, 0, 0, 0, 0xA0 };
	uint32_t count = 0;
	EXPECT_TRUE(device->write(block, 10, &count));
	EXPECT_EQ(count, 10u);

	uint8_t data[16] = {};
	EXPECT_TRUE(device->read(data, 16, &count));
	EXPECT_EQ(count, 2u);
	EXPECT_EQ(data[0], 0xAA);
	EXPECT_EQ(data[1], 0xBB);

	uint8_t descriptor[8] = {};
	EXPECT_TRUE(device->control(protocol::kIoctlGetDeviceDescriptor, descriptor, 8, descriptor, 8, &count));
	EXPECT_EQ(count, 8u);
	EXPECT_EQ(descriptor[7], 8);
	device.reset();

	const auto requests = peer.requests();
	ASSERT_EQ(requests.size(), 3u);
	EXPECT_EQ(requests[0].op, 1u);
	EXPECT_EQ(requests[0].payload, Bytes(block, block + 10));
	EXPECT_EQ(requests[1].op, 2u);
	EXPECT_EQ(requests[1].payload, (Bytes{ 16, 0, 0, 0 }));
	EXPECT_EQ(requests[2].op, 3u);
	// The descriptor buffer goes out as input too (all zero then).
	EXPECT_EQ(requests[2].payload, (Bytes{ 0x18, 0x20, 0x00, 0x80, 0, 0, 0, 0, 0, 0, 0, 0 }));
}

TEST(DeviceSocket, ANonZeroResultFailsTheCall)
{
	ScriptedPeer peer([](const Request &) { return reply(5, { 9 }); });
	auto device = platform::openDeviceFile("\\\\.\\usbscan3");
	ASSERT_NE(device, nullptr);
	uint8_t data[4] = {};
	uint32_t count = 0;
	EXPECT_FALSE(device->read(data, 4, &count));
}

TEST(DeviceSocket, MoreBytesThanAskedForAreCutToTheBuffer)
{
	ScriptedPeer peer([](const Request &r) {
		if (r.op == 2)
			return reply(0, Bytes(10, 0x55));
		return reply(0, {}, 0);
	});
	auto device = platform::openDeviceFile("\\\\.\\usbscan3");
	ASSERT_NE(device, nullptr);
	uint8_t data[6] = { 0, 0, 0, 0, 0x77, 0x77 };
	uint32_t count = 0;
	EXPECT_TRUE(device->read(data, 4, &count));
	EXPECT_EQ(count, 4u);
	EXPECT_EQ(data[4], 0x77); // nothing past the four bytes asked for
	// The connection stays in step: the next call gets its own reply.
	EXPECT_TRUE(device->write(data, 1, &count));
}

// A chunk of image data arrives in many pieces (the header split too); the
// read returns it whole, and the status read after it gets its own reply.
TEST(DeviceSocket, AReplyInSmallPiecesArrivesWhole)
{
	Bytes image(300007);
	for (size_t i = 0; i < image.size(); ++i)
		image[i] = static_cast<uint8_t>(i * 7 + i / 251);
	ScriptedPeer peer(
		[&](const Request &r) { return getU32(r.payload.data()) == 1 ? reply(0, { 0x02 }) : reply(0, image); }, 5);
	auto device = platform::openDeviceFile("\\\\.\\usbscan3");
	ASSERT_NE(device, nullptr);
	Bytes data(image.size() + 1, 0xEE);
	uint32_t count = 0;
	EXPECT_TRUE(device->read(data.data(), static_cast<uint32_t>(image.size()), &count));
	EXPECT_EQ(count, image.size());
	EXPECT_EQ(Bytes(data.begin(), data.end() - 1), image);
	EXPECT_EQ(data.back(), 0xEE);
	uint8_t status = 0;
	EXPECT_TRUE(device->read(&status, 1, &count));
	EXPECT_EQ(count, 1u);
	EXPECT_EQ(status, 0x02);
}

// The parts of one message go out in order through calls that each take a
// few bytes, one interrupted by a signal; empty parts are stepped over.
TEST(DeviceSocket, GatheredPartsGoOutWholeThroughShortMoves)
{
	char head[] = "ab", body[] = "cdefg", tail[] = "h";
	iovec parts[5] = { { head, 0 }, { head, 2 }, { body, 0 }, { body, 5 }, { tail, 1 } };
	std::string moved;
	int calls = 0;
	const bool whole = platform::transferAllParts(parts, 5, [&](iovec *first, size_t count) -> ssize_t {
		if (++calls == 2) {
			errno = EINTR;
			return -1;
		}
		size_t n = 0;
		for (size_t i = 0; i < count && n < 3; ++i)
			for (size_t j = 0; j < first[i].iov_len && n < 3; ++j, ++n)
				moved += static_cast<char *>(first[i].iov_base)[j];
		return static_cast<ssize_t>(n);
	});
	EXPECT_TRUE(whole);
	EXPECT_EQ(moved, "abcdefgh");
	EXPECT_EQ(calls, 4);

	iovec stalled[1] = { { body, 5 } };
	EXPECT_FALSE(platform::transferAllParts(stalled, 1, [](iovec *, size_t) -> ssize_t { return 0; }));
}

TEST(DeviceSocket, AMissingDeviceDoesNotOpen)
{
	test::TempDir dir;
	setenv("TORVANE_DEVICE_DIR", dir.path().c_str(), 1);
	EXPECT_EQ(platform::openDeviceFile("\\\\.\\usbscan0"), nullptr);
	unsetenv("TORVANE_DEVICE_DIR");
	EXPECT_EQ(platform::openDeviceFile("\\\\.\\usbscan0"), nullptr);
}

TEST(DeviceSocket, AnInterruptEndsAStalledReadAtOnceAndRefusesLaterOpens)
{
	ScriptedPeer peer([](const Request &) { return Bytes{}; }); // never answers
	auto interrupt = platform::createIoInterrupt();
	std::atomic<bool> failed{ false };
	std::thread reader([&] {
		platform::setThreadIoInterrupt(interrupt);
		auto device = platform::openDeviceFile("\\\\.\\usbscan3");
		ASSERT_NE(device, nullptr);
		uint8_t data[4];
		uint32_t count = 0;
		failed = !device->read(data, 4, &count);
		EXPECT_EQ(platform::openDeviceFile("\\\\.\\usbscan3"), nullptr);
	});
	platform::sleepMs(100);
	const auto start = std::chrono::steady_clock::now();
	platform::triggerIoInterrupt(*interrupt);
	reader.join();
	EXPECT_TRUE(failed);
	EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 1.0);
}

TEST(DeviceSocket, TheButtonWaitStaysSilentUntilThePeerAnswers)
{
	std::atomic<bool> answer{ false };
	ScriptedPeer peer([&](const Request &r) {
		EXPECT_EQ(r.op, 3u);
		EXPECT_EQ(getU32(r.payload.data()), protocol::kIoctlWaitOnDeviceEvent);
		while (!answer)
			std::this_thread::sleep_for(std::chrono::milliseconds(5));
		return reply(0, { 0x05, 0x00 });
	});
	auto wait = platform::openButtonWait("\\\\.\\usbscan3");
	ASSERT_NE(wait, nullptr);
	EXPECT_EQ(wait->start(), platform::ButtonWait::Start::Pending);
	uint8_t report[8] = {};
	uint32_t count = 0;
	EXPECT_EQ(wait->poll(report, &count), platform::ButtonWait::Poll::Pending);
	answer = true;
	platform::ButtonWait::Poll state = platform::ButtonWait::Poll::Pending;
	for (int i = 0; i < 200 && state == platform::ButtonWait::Poll::Pending; ++i) {
		platform::sleepMs(5);
		state = wait->poll(report, &count);
	}
	EXPECT_EQ(state, platform::ButtonWait::Poll::Delivered);
	EXPECT_EQ(count, 2u);
	EXPECT_EQ(report[0], 0x05);
}

} // namespace
