// SPDX-License-Identifier: MIT
// The built-in simulated scanner, served in a private temporary folder.

#include "embedded_scanner.h"

#include <cstdlib>
#include <filesystem>
#include <vector>

#include <torvane_sim/sim_server.h>
#include <torvane_sim/virtual_scanner.h>

namespace torvane::scan {

class EmbeddedScanner::Private
{
public:
	std::unique_ptr<sim::SimServer> server;
};

EmbeddedScanner::EmbeddedScanner() : d_(std::make_unique<Private>()) {}

EmbeddedScanner::~EmbeddedScanner()
{
	// Unplugs the scanner and joins its threads before the folder goes.
	d_->server.reset();
	std::error_code ignored;
	if (!directory_.empty())
		std::filesystem::remove_all(directory_, ignored);
}

namespace {

// A private folder whose socket paths fit a Unix socket address.
std::string makePrivateFolder()
{
	std::error_code code;
	std::vector<std::string> bases;
	const std::string temp = std::filesystem::temp_directory_path(code).string();
	if (!code && !temp.empty() && temp.size() < 60)
		bases.push_back(temp);
	bases.push_back("/tmp");
	for (const std::string &base : bases) {
		std::string pattern = base + "/torvane-scan-sim-XXXXXX";
		std::vector<char> buffer(pattern.begin(), pattern.end());
		buffer.push_back('\0');
		if (::mkdtemp(buffer.data()))
			return buffer.data();
	}
	return {};
}

} // namespace

std::unique_ptr<EmbeddedScanner> EmbeddedScanner::start(const std::string &model, std::string *error)
{
	std::unique_ptr<EmbeddedScanner> embedded(new EmbeddedScanner);
	embedded->directory_ = makePrivateFolder();
	if (embedded->directory_.empty()) {
		*error = "no temporary folder for the simulated scanner";
		return nullptr;
	}

	const sim::Model simModel = sim::modelFromName(model).value_or(sim::Model::RM735);
	auto scanner = std::make_shared<sim::VirtualScanner>(simModel);
	embedded->d_->server = std::make_unique<sim::SimServer>(embedded->directory_);
	std::string reason;
	if (!embedded->d_->server->plug(scanner, 0, &reason)) {
		*error = "the simulated scanner could not be started: " + reason;
		return nullptr;
	}
	embedded->description_ = std::string("a simulated ") + sim::modelName(simModel) + " (document: " +
				 scanner->documentDescription() + ")";
	::setenv("TORVANE_DEVICE_DIR", embedded->directory_.c_str(), 1);
	return embedded;
}

} // namespace torvane::scan
