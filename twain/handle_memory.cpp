// SPDX-License-Identifier: MIT
// Handles through the manager's memory functions or GlobalAlloc.

#include "twain/handle_memory.h"

namespace torvane::twain {

void HandleMemory::useManager(const TW_ENTRYPOINT *entry)
{
	const bool complete = entry && entry->DSM_MemAllocate && entry->DSM_MemFree && entry->DSM_MemLock &&
			      entry->DSM_MemUnlock;
	allocate_ = complete ? entry->DSM_MemAllocate : nullptr;
	free_ = complete ? entry->DSM_MemFree : nullptr;
	lock_ = complete ? entry->DSM_MemLock : nullptr;
	unlock_ = complete ? entry->DSM_MemUnlock : nullptr;
}

TW_HANDLE HandleMemory::allocate(TW_UINT32 size) const
{
	return allocate_ ? allocate_(size) : ::GlobalAlloc(GHND, size);
}

void HandleMemory::release(TW_HANDLE handle) const
{
	if (!handle)
		return;
	if (free_)
		free_(handle);
	else
		::GlobalFree(handle);
}

void *HandleMemory::lock(TW_HANDLE handle) const
{
	return lock_ ? lock_(handle) : ::GlobalLock(handle);
}

void HandleMemory::unlock(TW_HANDLE handle) const
{
	if (unlock_)
		unlock_(handle);
	else
		::GlobalUnlock(handle);
}

} // namespace torvane::twain
