// SPDX-License-Identifier: MIT
// The memory of every handle the source hands an application: through the
// manager's functions when it gave them (DAT_ENTRYPOINT), else GlobalAlloc,
// which is what a TWAIN 1.x manager and its applications expect.
#pragma once

#include "twain/twain_protocol.h"

namespace torvane::twain {

class HandleMemory
{
public:
	// The manager's functions, or none (null) for GlobalAlloc.
	void useManager(const TW_ENTRYPOINT *entry);
	bool fromManager() const { return allocate_ != nullptr; }

	TW_HANDLE allocate(TW_UINT32 size) const;
	void release(TW_HANDLE handle) const;
	void *lock(TW_HANDLE handle) const;
	void unlock(TW_HANDLE handle) const;

private:
	DSM_MEMALLOCATE allocate_ = nullptr;
	DSM_MEMFREE free_ = nullptr;
	DSM_MEMLOCK lock_ = nullptr;
	DSM_MEMUNLOCK unlock_ = nullptr;
};

} // namespace torvane::twain
