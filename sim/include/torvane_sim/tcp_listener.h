// SPDX-License-Identifier: MIT
// Serves the scanners of a SimServer over TCP on 127.0.0.1, for device files
// whose driver cannot reach a Unix socket (the Wine kernel driver).
//
// One port for every scanner. A connection opens with one attach request
// naming the scanner: op 0x100, length 4, the number N of usbscanN (u32 LE).
// The reply is result 0 and count 0 when usbscanN is plugged in; from then on
// the connection is one open of that device file, with the wire contract of
// the Unix sockets, served from the same scanner state, and it closes when
// the scanner is unplugged. When nothing is plugged in as usbscanN the reply
// is result 2 (no such device) and the connection closes. A first request of
// another kind closes the connection without a reply.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "torvane_sim/sim_server.h"

namespace torvane::sim {

inline constexpr uint32_t kOpAttach = 0x100;
inline constexpr uint32_t kAttachNoSuchDevice = 2;

class TcpListener
{
public:
	// Borrows `server`, which must outlive the listener.
	explicit TcpListener(SimServer &server);
	// Stops listening and ends the accepting thread; connections already
	// attached stay with their scanner.
	~TcpListener();
	TcpListener(const TcpListener &) = delete;
	TcpListener &operator=(const TcpListener &) = delete;

	// Binds 127.0.0.1:port (0: a free port the system picks) and starts
	// accepting. False with `error` set when the port cannot be had.
	bool listen(uint16_t port, std::string *error = nullptr);
	// The port bound, 0 before listen() succeeded.
	uint16_t port() const;

private:
	class Private;
	std::unique_ptr<Private> d_;
};

} // namespace torvane::sim
