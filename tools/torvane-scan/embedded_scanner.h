// SPDX-License-Identifier: MIT
// The built-in simulated scanner: a virtual scanner with the test chart on its
// glass, served in a private temporary folder, so that torvane-scan produces
// a real scan on a machine without a scanner.
#pragma once

#include <memory>
#include <string>

namespace torvane::scan {

class EmbeddedScanner
{
public:
	~EmbeddedScanner();
	EmbeddedScanner(const EmbeddedScanner &) = delete;
	EmbeddedScanner &operator=(const EmbeddedScanner &) = delete;

	// Serves a scanner of `model` (RM735 when the simulator does not know the
	// name) and sets TORVANE_DEVICE_DIR to its folder. Must run before the
	// driver library is loaded. Null with `error` on failure.
	static std::unique_ptr<EmbeddedScanner> start(const std::string &model, std::string *error);

	const std::string &directory() const { return directory_; }
	// One line for the user, e.g. "a simulated RM735 (document: test chart (A4))".
	const std::string &description() const { return description_; }

private:
	EmbeddedScanner();

	class Private;
	std::unique_ptr<Private> d_;
	std::string directory_;
	std::string description_;
};

} // namespace torvane::scan
