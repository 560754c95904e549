// SPDX-License-Identifier: MIT
// torvane-sim's document feeder: --feeder and the stdin commands.

#include "feeder_commands.h"

#include <cstdio>
#include <sstream>

#include "torvane_sim/fault_text.h"

namespace torvane::sim {

namespace {

std::vector<std::string> words(const std::string &text)
{
	std::istringstream stream(text);
	std::vector<std::string> all;
	for (std::string word; stream >> word;)
		all.push_back(word);
	return all;
}

std::string sheetCount(size_t n)
{
	return std::to_string(n) + (n == 1 ? " sheet" : " sheets");
}

} // namespace

bool loadFeederSheets(VirtualScanner &scanner, const std::vector<std::string> &specs, std::string *error)
{
	std::vector<std::unique_ptr<DocumentSource>> stack;
	for (const std::string &spec : specs) {
		auto sheets = loadSheets(spec, error);
		if (sheets.empty())
			return false;
		for (auto &sheet : sheets)
			stack.push_back(std::move(sheet));
	}
	scanner.loadFeeder(std::move(stack));
	return true;
}

bool runFeederCommand(VirtualScanner &scanner, const std::string &verb, const std::string &argument,
		      const std::function<void(const std::string &)> &note)
{
	if (verb == "load") {
		std::string error;
		if (argument.empty())
			std::fprintf(stderr, "torvane-sim: load wants one or more files or folders\n");
		else if (!loadFeederSheets(scanner, words(argument), &error))
			std::fprintf(stderr, "torvane-sim: %s\n", error.c_str());
		else
			note("feeder: " + sheetCount(scanner.sheetsInFeeder()));
		return true;
	}
	if (verb == "empty") {
		scanner.emptyFeeder();
		note("feeder: empty");
		return true;
	}
	if (verb != "jam" && verb != "double-feed")
		return false;
	const bool jam = verb == "jam";
	const auto n = argument.empty() && jam ? std::optional<uint32_t>(1) : parseNumber(argument, 0xFFFF);
	if (!n || *n == 0 || *n > scanner.sheetsInFeeder()) {
		std::fprintf(stderr, "torvane-sim: %s wants a sheet 1 to %zu from now\n", verb.c_str(),
			     scanner.sheetsInFeeder());
		return true;
	}
	if (jam)
		scanner.jamFeederAt(*n);
	else
		scanner.doubleFeedAt(*n);
	note(std::string(jam ? "jam" : "double feed") + " at sheet " + std::to_string(*n) + " from now");
	return true;
}

} // namespace torvane::sim
