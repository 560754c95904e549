// SPDX-License-Identifier: MIT
// DS_Entry, the one export of TorvaneScanner.ds: every call of the manager
// goes to the process's one data source, one call at a time.

#include <mutex>

#include "client/driver_library.h"
#include "twain/data_source.h"

using namespace torvane::twain;

namespace {

DataSource &dataSource()
{
	// Never destroyed: the driver DLL it loaded stays loaded too.
	static DataSource *source =
		new DataSource(torvane::client::moduleDir(reinterpret_cast<const void *>(&dataSource)));
	return *source;
}

} // namespace

extern "C" TW_UINT16 WINAPI DS_Entry(TW_IDENTITY *origin, TW_UINT32 dg, TW_UINT16 dat,
				     TW_UINT16 msg, TW_MEMREF data)
{
	DataSource &source = dataSource();
	std::lock_guard<std::recursive_mutex> guard(source.mutex());
	return source.entry(origin, dg, dat, msg, data);
}
