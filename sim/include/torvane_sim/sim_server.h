// SPDX-License-Identifier: MIT
// Serves virtual scanners as device files: Unix stream sockets DIR/usbscanN.
//
// Wire contract (all integers little-endian u32): a request is op, length and
// `length` payload bytes; each gets exactly one reply starting with result
// (0 success) and count. op 1 WRITE: payload the bytes written, reply count =
// bytes accepted. op 2 READ: payload max, reply count <= max then the bytes.
// op 3 IOCTL: payload code and input, reply count then the output bytes. The
// reply to the wait on device events (0x80002008) comes only with a button
// press; until then the connection stays silent.
//
// One thread per connection; a connection closed or shut down by the driver
// ends its thread at once, also while a reply is withheld (stalled read,
// button wait) or paced. A request longer than 64 MiB or an unknown op closes
// the connection.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "torvane_sim/virtual_scanner.h"

namespace torvane::sim {

class SimServer
{
public:
	// Serves under `directory`, created (one level) when missing.
	explicit SimServer(std::string directory);
	// Unplugs every scanner and joins every thread.
	~SimServer();
	SimServer(const SimServer &) = delete;
	SimServer &operator=(const SimServer &) = delete;

	// $TORVANE_DEVICE_DIR, or an empty text when it is not set.
	static std::string defaultDirectory();

	const std::string &directory() const;
	// directory() + "/usbscanN"
	std::string socketPath(unsigned int number) const;

	// Plugs `scanner` in as usbscanN: binds and listens on the socket (a stale
	// socket file is replaced). Fails when the number is taken, the scanner
	// is already plugged in, or the socket cannot be made.
	bool plug(std::shared_ptr<VirtualScanner> scanner, unsigned int number, std::string *error = nullptr);
	// Closes the listening socket, removes the socket file, closes every
	// connection (abandoning any exchange in progress) and joins their
	// threads. False when nothing is plugged in under that number.
	bool unplug(unsigned int number);
	// Unplugs usbscanFROM and plugs the same scanner in as usbscanTO (its
	// state is kept, as when a cable is pulled and pushed back).
	bool replug(unsigned int from, unsigned int to, std::string *error = nullptr);
	// Unplugs everything.
	void stop();

	// Serves `fd`, a connected stream socket, as one more open of usbscanN,
	// exactly as a connection accepted on its Unix socket (the TCP listener
	// hands its connections over here). Takes `fd` in every case: false, with
	// `fd` closed, when nothing is plugged in under that number.
	bool adopt(unsigned int number, int fd);

	std::vector<unsigned int> numbers() const;
	std::shared_ptr<VirtualScanner> scanner(unsigned int number) const;
	// Connections currently open on usbscanN.
	size_t connectionCount(unsigned int number) const;

private:
	class Private;
	std::unique_ptr<Private> d_;
};

} // namespace torvane::sim
