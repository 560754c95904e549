// SPDX-License-Identifier: MIT
// A minimal client of the device socket wire contract.

#include "raw_client.h"

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace torvane::simtest {

namespace {

void put32(std::vector<uint8_t> &out, uint32_t value)
{
	for (int i = 0; i < 4; ++i)
		out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint32_t get32(const uint8_t *in)
{
	return in[0] | in[1] << 8 | in[2] << 16 | static_cast<uint32_t>(in[3]) << 24;
}

} // namespace

RawClient::~RawClient()
{
	close();
}

bool RawClient::connect(const std::string &path)
{
	close();
	sockaddr_un address{};
	if (path.size() >= sizeof(address.sun_path))
		return false;
	address.sun_family = AF_UNIX;
	std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
	fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (fd_ < 0)
		return false;
	if (::connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
		close();
		return false;
	}
	return true;
}

bool RawClient::connectTcp(uint16_t port, std::optional<uint32_t> number)
{
	close();
	sockaddr_in address{};
	address.sin_family = AF_INET;
	address.sin_port = htons(port);
	address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (fd_ < 0)
		return false;
	if (::connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
		close();
		return false;
	}
	if (!number)
		return true;
	std::vector<uint8_t> word;
	put32(word, *number);
	return sendRequest(0x100, word);
}

void RawClient::close()
{
	if (fd_ >= 0)
		::close(fd_);
	fd_ = -1;
}

void RawClient::shutdownBoth()
{
	if (fd_ >= 0)
		::shutdown(fd_, SHUT_RDWR);
}

bool RawClient::sendRequest(uint32_t op, const std::vector<uint8_t> &payload)
{
	std::vector<uint8_t> request;
	put32(request, op);
	put32(request, static_cast<uint32_t>(payload.size()));
	request.insert(request.end(), payload.begin(), payload.end());
	size_t sent = 0;
	while (sent < request.size()) {
		const ssize_t n = ::send(fd_, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
		if (n <= 0)
			return false;
		sent += static_cast<size_t>(n);
	}
	return true;
}

bool RawClient::receiveAll(void *data, size_t length)
{
	auto *bytes = static_cast<uint8_t *>(data);
	while (length > 0) {
		const ssize_t n = ::recv(fd_, bytes, length, 0);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		bytes += n;
		length -= static_cast<size_t>(n);
	}
	return true;
}

Reply RawClient::receiveDataReply()
{
	Reply reply;
	uint8_t header[8];
	if (!receiveAll(header, sizeof(header)))
		return reply;
	reply.result = get32(header);
	reply.count = get32(header + 4);
	reply.data.resize(reply.count);
	if (reply.count && !receiveAll(reply.data.data(), reply.count))
		return reply;
	reply.received = true;
	return reply;
}

Reply RawClient::write(const std::vector<uint8_t> &bytes)
{
	if (!sendRequest(1, bytes))
		return {};
	return receiveHeaderReply();
}

Reply RawClient::receiveHeaderReply()
{
	Reply reply;
	uint8_t header[8];
	if (!receiveAll(header, sizeof(header)))
		return reply;
	reply.result = get32(header);
	reply.count = get32(header + 4);
	reply.received = true;
	return reply;
}

Reply RawClient::read(uint32_t max)
{
	std::vector<uint8_t> payload;
	put32(payload, max);
	if (!sendRequest(2, payload))
		return {};
	return receiveDataReply();
}

Reply RawClient::control(uint32_t code, const std::vector<uint8_t> &input)
{
	std::vector<uint8_t> payload;
	put32(payload, code);
	payload.insert(payload.end(), input.begin(), input.end());
	if (!sendRequest(3, payload))
		return {};
	return receiveDataReply();
}

bool RawClient::readable(int ms)
{
	pollfd entry{ fd_, POLLIN, 0 };
	return ::poll(&entry, 1, ms) > 0;
}

bool RawClient::closedByPeer(int ms)
{
	if (!readable(ms))
		return false;
	// EOF, or a reset when the server never accepted the connection.
	uint8_t byte;
	const ssize_t n = ::recv(fd_, &byte, 1, MSG_PEEK);
	return n == 0 || (n < 0 && errno == ECONNRESET);
}

Exchange exchange(const std::string &path, const std::vector<uint8_t> &block, uint32_t dataIn,
		  const std::vector<uint8_t> &dataOut, uint32_t maxPerRead)
{
	Exchange result;
	RawClient client(path);
	if (!client.connected())
		return result;
	Reply written = client.write(block);
	if (!written.received || written.result != 0 || written.count != block.size())
		return result;
	int empty = 0;
	while (result.dataIn.size() < dataIn) {
		const uint32_t missing = dataIn - static_cast<uint32_t>(result.dataIn.size());
		Reply reply = client.read(std::min(missing, maxPerRead));
		++result.reads;
		if (!reply.received || reply.result != 0 || reply.count > missing)
			return result;
		if (reply.count == 0 && ++empty > 50)
			return result;
		result.dataIn.insert(result.dataIn.end(), reply.data.begin(), reply.data.end());
	}
	if (!dataOut.empty()) {
		Reply reply = client.write(dataOut);
		if (!reply.received || reply.result != 0)
			return result;
	}
	Reply status = client.read(1);
	if (!status.received || status.result != 0 || status.count != 1)
		return result;
	result.status = status.data[0];
	result.ok = true;
	return result;
}

std::vector<uint8_t> inquiryBlock()
{
	return { 0x12, 0, 0, 0, 160, 0, 0, 0, 0, 0 };
}

std::vector<uint8_t> requestSenseBlock()
{
	return { 0x03, 0, 0, 0, 22, 0, 0, 0, 0, 0 };
}

std::vector<uint8_t> read10Block(uint8_t type, uint32_t length, uint16_t qualifier)
{
	return { 0x28, 0, type, 0, static_cast<uint8_t>(qualifier >> 8), static_cast<uint8_t>(qualifier),
		 static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length), 0 };
}

std::vector<uint8_t> send10Block(uint8_t type, uint16_t qualifier, uint32_t length)
{
	return { 0x2A, 0, type, 0, static_cast<uint8_t>(qualifier >> 8), static_cast<uint8_t>(qualifier),
		 static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length), 0 };
}

std::vector<uint8_t> simpleBlock(uint8_t op, uint8_t byte5)
{
	return { op, 0, 0, 0, 0, byte5, 0, 0, 0, 0 };
}

std::vector<uint8_t> setWindowBlock(uint32_t length)
{
	return { 0x24, 0, 0, 0, 0, 0, static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 8),
		 static_cast<uint8_t>(length), 0 };
}

std::vector<uint8_t> windowBlock(const WindowRequest &request)
{
	std::vector<uint8_t> block(79, 0);
	block[7] = 71;
	uint8_t *d = block.data() + 8;
	auto put16 = [](uint8_t *at, uint32_t value) {
		at[0] = static_cast<uint8_t>(value >> 8);
		at[1] = static_cast<uint8_t>(value);
	};
	auto put32be = [](uint8_t *at, uint32_t value) {
		for (int i = 0; i < 4; ++i)
			at[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
	};
	put16(d + 2, request.resolution);
	put16(d + 4, request.resolution);
	put32be(d + 10, request.top);
	put32be(d + 14, request.width);
	put32be(d + 18, request.length);
	d[22] = d[23] = d[24] = 0x80;
	d[25] = request.composition;
	d[26] = request.bitsPerChannel;
	d[29] = 3;
	d[40] = 0xFF;
	d[41] = 0x1D;
	d[42] = request.modeFlags;
	d[43] = 0xFF;
	put16(d + 45, request.bytesPerLine & 0xFFFF);
	put16(d + 47, request.lineCount & 0xFFFF);
	d[59] = static_cast<uint8_t>(request.bytesPerLine >> 16);
	d[60] = static_cast<uint8_t>(request.lineCount >> 16);
	return block;
}

} // namespace torvane::simtest
