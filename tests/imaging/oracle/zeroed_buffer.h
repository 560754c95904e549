// SPDX-License-Identifier: MIT
// A zero-filled byte buffer whose untouched pages cost nothing, for the 5 MiB
// blocks of the reference routines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace torvane::imaging::oracle {

class ZeroedBuffer
{
public:
	void assign(size_t bytes)
	{
		memory_.reset(static_cast<uint8_t *>(std::calloc(bytes ? bytes : 1, 1)));
		size_ = bytes;
	}
	void clear()
	{
		memory_.reset();
		size_ = 0;
	}
	size_t size() const { return size_; }
	uint8_t *data() { return memory_.get(); }
	const uint8_t *data() const { return memory_.get(); }
	uint8_t &operator[](size_t i) { return memory_.get()[i]; }
	const uint8_t &operator[](size_t i) const { return memory_.get()[i]; }

private:
	struct Free {
		void operator()(uint8_t *p) const { std::free(p); }
	};
	std::unique_ptr<uint8_t[], Free> memory_;
	size_t size_ = 0;
};

} // namespace torvane::imaging::oracle
