// SPDX-License-Identifier: MIT
// POSIX: the loops for moving a whole buffer (or the parts of one message)
// through write(), send(), sendmsg() or recv(), which may move less than
// asked or be interrupted by a signal.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include <sys/types.h>
#include <sys/uio.h>

namespace torvane::platform {

// Calls `move(pointer, bytesLeft)` until all `length` bytes are moved. A
// result of 0 (peer closed) or an error other than EINTR fails.
template<typename Byte, typename Move>
bool transferAll(Byte *data, size_t length, Move &&move)
{
	while (length > 0) {
		const ssize_t n = move(data, length);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		data += n;
		length -= static_cast<size_t>(n);
	}
	return true;
}

// Calls `move(parts, count)` (sendmsg, writev) until every byte of the
// `count` parts is moved, stepping past what each call moved. The parts are
// changed on the way. A result of 0 or an error other than EINTR fails.
template<typename Move>
bool transferAllParts(iovec *parts, size_t count, Move &&move)
{
	while (count > 0 && parts->iov_len == 0) {
		++parts;
		--count;
	}
	while (count > 0) {
		ssize_t n = move(parts, count);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		// Whole parts moved, then into the part where this call stopped.
		while (count > 0 && static_cast<size_t>(n) >= parts->iov_len) {
			n -= static_cast<ssize_t>(parts->iov_len);
			++parts;
			--count;
		}
		if (count > 0) {
			parts->iov_base = static_cast<uint8_t *>(parts->iov_base) + n;
			parts->iov_len -= static_cast<size_t>(n);
		}
	}
	return true;
}

} // namespace torvane::platform
