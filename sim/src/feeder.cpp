// SPDX-License-Identifier: MIT
// The document feeder: the stack, its jams and double feeds, and loading it.

#include "torvane_sim/feeder.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

namespace torvane::sim {

void Feeder::load(std::vector<std::unique_ptr<DocumentSource>> sheets)
{
	for (auto &sheet : sheets)
		stack_.push_back(Sheet{ std::move(sheet) });
}

void Feeder::empty()
{
	stack_.clear();
}

void Feeder::jamAt(size_t n)
{
	if (n >= 1 && n <= stack_.size())
		stack_[n - 1].jams = true;
}

void Feeder::doubleFeedAt(size_t n)
{
	if (n >= 1 && n <= stack_.size())
		stack_[n - 1].doubled = true;
}

Feeder::Pull Feeder::pull(bool doubleFeedSensor)
{
	Pull pulled;
	if (stack_.empty())
		return pulled;
	Sheet sheet = std::move(stack_.front());
	stack_.erase(stack_.begin());
	// The sheet behind a double-fed one goes through with it.
	if (sheet.doubled && !stack_.empty())
		stack_.erase(stack_.begin());
	if (sheet.jams) {
		pulled.result = Result::Jam;
	} else if (sheet.doubled && doubleFeedSensor) {
		pulled.result = Result::DoubleFeed;
	} else {
		pulled.result = Result::Sheet;
		pulled.sheet = std::move(sheet.document);
	}
	return pulled;
}

namespace {

bool isImageFileName(const std::filesystem::path &path)
{
	std::string extension = path.extension().string();
	std::transform(extension.begin(), extension.end(), extension.begin(),
		       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
	return extension == ".png" || extension == ".pnm" || extension == ".pgm" || extension == ".ppm";
}

std::vector<std::filesystem::path> imageFilesIn(const std::filesystem::path &folder, std::error_code &failure)
{
	std::vector<std::filesystem::path> files;
	for (const auto &entry : std::filesystem::directory_iterator(folder, failure))
		if (entry.is_regular_file() && isImageFileName(entry.path()))
			files.push_back(entry.path());
	std::sort(files.begin(), files.end());
	return files;
}

} // namespace

std::vector<std::unique_ptr<DocumentSource>> loadSheets(const std::string &spec, std::string *error)
{
	std::vector<std::unique_ptr<DocumentSource>> sheets;
	std::error_code failure;
	if (spec != "chart" && std::filesystem::is_directory(spec, failure)) {
		const auto files = imageFilesIn(spec, failure);
		if (failure || files.empty()) {
			if (error)
				*error = spec + ": " + (failure ? failure.message() : "no PNG or PNM files");
			return {};
		}
		for (const auto &file : files) {
			auto sheet = loadDocument(file.string(), error);
			if (!sheet)
				return {};
			sheets.push_back(std::move(sheet));
		}
		return sheets;
	}
	auto sheet = loadDocument(spec, error);
	if (sheet)
		sheets.push_back(std::move(sheet));
	return sheets;
}

} // namespace torvane::sim
