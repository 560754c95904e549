// SPDX-License-Identifier: MIT
// Image files in a build without an image file reader (the Windows tests,
// which scan the test chart): every load fails with a message.

#include "torvane_sim/document.h"

namespace torvane::sim {

std::unique_ptr<ImageDocument> ImageDocument::load(const std::string &path, std::string *error)
{
	if (error)
		*error = path + ": image files are not read in this build";
	return nullptr;
}

} // namespace torvane::sim
