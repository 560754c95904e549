// SPDX-License-Identifier: MIT
// POSIX: one loop for moving a whole buffer through write(), send() or recv(),
// which may move less than asked or be interrupted by a signal.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include <sys/types.h>

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

} // namespace torvane::platform
