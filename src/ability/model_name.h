// SPDX-License-Identifier: MIT
// The model check: the scanner's product identification must equal the
// model name carried in the library's own file name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace torvane::ability {

// The model name part of a library path: the characters between the last
// separator and the first '.' or '_' after it ("C:\drivers\RM735_x64.dll" and
// "/usr/lib/RM735.so" both give "RM735"; "RM735.beta.dll" gives "beta"). A
// path without a separator gives everything before that end.
std::string_view modelNameFromPath(std::string_view path);

// True when the zero-padded 16-byte product identification equals the model
// name of `libraryPath`. Never reads more than 16 bytes of `productId`; a
// model name longer than 16 characters, or an empty one, matches nothing.
bool matchModelName(const uint8_t *productId, std::string_view libraryPath);

// matchModelName against the library's own path (LibraryPath).
bool MatchModelName(const uint8_t *productId);

} // namespace torvane::ability
