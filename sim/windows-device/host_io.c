// SPDX-License-Identifier: MIT
// The TCP wire of the device driver: Winsock inside Wine's winedevice.exe
// (see host_io.h).

#include "host_io.h"

#include <string.h>

#include <winsock2.h>
#include <ws2tcpip.h>

enum {
	kOpAttach = 0x100,
	kWaitSliceMs = 50
};

static void putWord(uint8_t *out, uint32_t value)
{
	out[0] = (uint8_t)value;
	out[1] = (uint8_t)(value >> 8);
	out[2] = (uint8_t)(value >> 16);
	out[3] = (uint8_t)(value >> 24);
}

static uint32_t getWord(const uint8_t *in)
{
	return (uint32_t)in[0] | (uint32_t)in[1] << 8 | (uint32_t)in[2] << 16 | (uint32_t)in[3] << 24;
}

int hostStartup(void)
{
	WSADATA data;
	return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void hostShutdown(void)
{
	WSACleanup();
}

enum WireOutcome wireConnect(uint16_t port, uint32_t number, WireSocket *result)
{
	*result = WIRE_NO_SOCKET;
	if (port == 0)
		return WIRE_CLOSED; // no simulator named: no device
	SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
	if (s == INVALID_SOCKET)
		return WIRE_CLOSED;
	struct sockaddr_in address;
	memset(&address, 0, sizeof(address));
	address.sin_family = AF_INET;
	address.sin_port = htons(port);
	address.sin_addr.s_addr = htonl(INADDR_LOOPBACK); // the simulator, never another address
	if (connect(s, (struct sockaddr *)&address, sizeof(address)) != 0) {
		closesocket(s);
		return WIRE_CLOSED;
	}
	// Every request waits for its reply: small requests must leave at once.
	const BOOL on = TRUE;
	setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char *)&on, sizeof(on));
	const int bufferSize = 4 << 20;
	setsockopt(s, SOL_SOCKET, SO_RCVBUF, (const char *)&bufferSize, sizeof(bufferSize));

	uint8_t attach[12];
	putWord(attach, kOpAttach);
	putWord(attach + 4, 4);
	putWord(attach + 8, number);
	uint8_t reply[8];
	// The attach reply comes at once from a live simulator.
	enum WireOutcome outcome = wireSend((WireSocket)s, attach, sizeof(attach));
	if (outcome == WIRE_OK)
		outcome = wireReceive((WireSocket)s, reply, sizeof(reply), 5000, NULL);
	if (outcome == WIRE_OK && getWord(reply) != 0)
		outcome = WIRE_REFUSED;
	if (outcome != WIRE_OK) {
		closesocket(s);
		return outcome == WIRE_REFUSED ? WIRE_REFUSED : WIRE_CLOSED;
	}
	*result = (WireSocket)s;
	return WIRE_OK;
}

enum WireOutcome wireSend(WireSocket socket, const void *data, size_t length)
{
	const char *bytes = (const char *)data;
	while (length > 0) {
		const int piece = length > (1u << 30) ? (1 << 30) : (int)length;
		const int n = send((SOCKET)socket, bytes, piece, 0);
		if (n <= 0)
			return WIRE_CLOSED;
		bytes += n;
		length -= (size_t)n;
	}
	return WIRE_OK;
}

// Waits until `socket` is readable; WIRE_OK when it is.
static enum WireOutcome waitReadable(SOCKET socket, uint32_t *waited, uint32_t timeoutMs, volatile long *cancel)
{
	for (;;) {
		if (cancel && *cancel)
			return WIRE_CANCELLED;
		uint32_t slice = kWaitSliceMs;
		if (timeoutMs) {
			if (*waited >= timeoutMs)
				return WIRE_TIMEOUT;
			if (timeoutMs - *waited < slice)
				slice = timeoutMs - *waited;
		}
		fd_set readable;
		FD_ZERO(&readable);
		FD_SET(socket, &readable);
		struct timeval wait = { 0, (long)slice * 1000 };
		const int ready = select(0, &readable, NULL, NULL, &wait);
		if (ready < 0)
			return WIRE_CLOSED;
		if (ready > 0)
			return WIRE_OK;
		*waited += slice;
	}
}

enum WireOutcome wireReceive(WireSocket socket, void *data, size_t length, uint32_t timeoutMs,
			     volatile long *cancel)
{
	char *bytes = (char *)data;
	uint32_t waited = 0;
	while (length > 0) {
		const enum WireOutcome ready = waitReadable((SOCKET)socket, &waited, timeoutMs, cancel);
		if (ready != WIRE_OK)
			return ready;
		if (cancel && *cancel)
			return WIRE_CANCELLED;
		const int piece = length > (1u << 30) ? (1 << 30) : (int)length;
		const int n = recv((SOCKET)socket, bytes, piece, 0);
		if (n <= 0)
			return cancel && *cancel ? WIRE_CANCELLED : WIRE_CLOSED;
		bytes += n;
		length -= (size_t)n;
	}
	return WIRE_OK;
}

void wireWake(WireSocket socket)
{
	if (socket != WIRE_NO_SOCKET)
		shutdown((SOCKET)socket, SD_BOTH);
}

void wireClose(WireSocket socket)
{
	if (socket != WIRE_NO_SOCKET)
		closesocket((SOCKET)socket);
}
