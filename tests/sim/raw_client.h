// SPDX-License-Identifier: MIT
// A minimal client of the device socket wire contract, written from the
// contract alone so the tests check the server, not shared code.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace torvane::simtest {

struct Reply {
	uint32_t result = 0xFFFFFFFF;
	uint32_t count = 0;
	std::vector<uint8_t> data;
	bool received = false; // false: the connection ended first
};

class RawClient
{
public:
	RawClient() = default;
	explicit RawClient(const std::string &path) { connect(path); }
	~RawClient();
	RawClient(const RawClient &) = delete;
	RawClient &operator=(const RawClient &) = delete;

	bool connect(const std::string &path);
	// Connects to 127.0.0.1:port (the simulator's TCP listener) and, with a
	// number N, sends the attach request for usbscanN (its reply unread).
	bool connectTcp(uint16_t port, std::optional<uint32_t> number);
	// Receives a reply that carries no data (WRITE, attach).
	Reply receiveHeaderReply();
	bool connected() const { return fd_ >= 0; }
	void close();
	// Shuts the socket down as the driver does to interrupt a stalled read.
	void shutdownBoth();

	Reply write(const std::vector<uint8_t> &bytes);
	Reply read(uint32_t max);
	Reply control(uint32_t code, const std::vector<uint8_t> &input = {});

	// Sends a request without waiting for its reply.
	bool sendRequest(uint32_t op, const std::vector<uint8_t> &payload);
	// True when reply bytes (or the end of the connection) arrive within `ms`.
	bool readable(int ms);
	// Receives one READ/IOCTL reply (header and data).
	Reply receiveDataReply();
	// True when the server has closed the connection within `ms`.
	bool closedByPeer(int ms);

private:
	bool receiveAll(void *data, size_t length);
	int fd_ = -1;
};

// A whole exchange on a connection of its own: block, data in (asking for
// the missing bytes each time), data out, status.
struct Exchange {
	bool ok = false; // every transfer succeeded
	int status = -1;
	std::vector<uint8_t> dataIn;
	uint32_t reads = 0; // data READ requests made
};

Exchange exchange(const std::string &path, const std::vector<uint8_t> &block, uint32_t dataIn = 0,
		  const std::vector<uint8_t> &dataOut = {}, uint32_t maxPerRead = 0xFFFFFFFF);

// Command blocks as the driver builds them.
std::vector<uint8_t> inquiryBlock();
std::vector<uint8_t> requestSenseBlock();
std::vector<uint8_t> read10Block(uint8_t type, uint32_t length, uint16_t qualifier = 0x0A0D);
std::vector<uint8_t> send10Block(uint8_t type, uint16_t qualifier, uint32_t length);
std::vector<uint8_t> simpleBlock(uint8_t op, uint8_t byte5 = 0);
std::vector<uint8_t> setWindowBlock(uint32_t length = 79);

// A 79-byte window block as the driver builds one.
struct WindowRequest {
	uint16_t resolution = 300;
	uint32_t top = 0; // 1/1200 inch
	uint32_t width = 0;
	uint32_t length = 0;
	uint8_t composition = 5;
	uint8_t bitsPerChannel = 8;
	uint8_t modeFlags = 0x60;
	uint32_t bytesPerLine = 0;
	uint32_t lineCount = 0;
};
std::vector<uint8_t> windowBlock(const WindowRequest &request);

} // namespace torvane::simtest
