// SPDX-License-Identifier: MIT
// Deriving the model name from the library's file name.

#include "ability/model_name.h"

#include <cstring>

#include "ability/inquiry.h"
#include "driver/driver_state.h"

namespace torvane::ability {

namespace {

bool isSeparator(char c)
{
	// '/' too: on POSIX the loader's path uses it.
	return c == '\\' || c == '/';
}

} // namespace

std::string_view modelNameFromPath(std::string_view path)
{
	// Walk back from the end keeping two positions: P0 ends the name, P1 is
	// the separator before it. A '.' or separator records the next position;
	// a '_' moves the position recorded last (so "RM735_x64.dll" ends at the
	// '_'). Without a P1 the name runs from the start of the path.
	size_t end = path.size();
	size_t begin = 0;
	int recorded = 0;
	for (size_t i = path.size(); i-- > 0 && recorded < 2;) {
		const char c = path[i];
		if (c == '.' || isSeparator(c)) {
			if (recorded == 0)
				end = i;
			else
				begin = i + 1;
			++recorded;
		} else if (c == '_' && recorded == 1) {
			end = i;
		}
	}
	if (end < begin)
		return {};
	return path.substr(begin, end - begin);
}

bool matchModelName(const uint8_t *productId, std::string_view libraryPath)
{
	const std::string_view model = modelNameFromPath(libraryPath);
	if (model.empty() || model.size() > kInquiryProductIdSize)
		return false;
	const char *product = reinterpret_cast<const char *>(productId);
	const size_t productLength = strnlen(product, kInquiryProductIdSize);
	return productLength == model.size() && std::memcmp(product, model.data(), model.size()) == 0;
}

bool MatchModelName(const uint8_t *productId)
{
	const size_t length = strnlen(driver::driverState.LibraryPath, sizeof(driver::driverState.LibraryPath));
	return matchModelName(productId, std::string_view(driver::driverState.LibraryPath, length));
}

} // namespace torvane::ability
