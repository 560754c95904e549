// SPDX-License-Identifier: MIT
// The page a scan covers by default: A4, or Letter where the user's locale
// says the paper is letter (LC_PAPER), as every program of the desktop does.

#include "paper_size.h"

#include <cstdint>
#include <cstdlib>
#include <langinfo.h>
#include <locale.h>

namespace torvane::sane {

namespace {

// The territories whose paper is letter (glibc's locale data); used when the
// locale named is not installed.
constexpr const char *kLetterTerritories[] = { "US", "CA", "MX", "CL", "CO", "CR", "GT",
					       "NI", "PA", "PH", "PR", "SV", "VE", "DO" };

// "en_US.UTF-8@euro" -> "US".
std::string territoryOf(const std::string &locale)
{
	const size_t underscore = locale.find('_');
	if (underscore == std::string::npos)
		return "";
	const size_t end = locale.find_first_of(".@", underscore);
	return locale.substr(underscore + 1, end == std::string::npos ? std::string::npos : end - underscore - 1);
}

} // namespace

PaperSize paperOfLocale(const std::string &locale)
{
	if (locale.empty() || locale == "C" || locale == "POSIX" || locale.rfind("C.", 0) == 0)
		return kA4;
	if (locale_t data = ::newlocale(LC_PAPER_MASK, locale.c_str(), static_cast<locale_t>(nullptr))) {
		// glibc gives the width in whole millimetres, a word in the
		// pointer's low 32 bits: 216 for letter.
		const auto width = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(::nl_langinfo_l(_NL_PAPER_WIDTH, data)));
		::freelocale(data);
		return width == 216 ? kLetter : kA4;
	}
	const std::string territory = territoryOf(locale);
	for (const char *letter : kLetterTerritories)
		if (territory == letter)
			return kLetter;
	return kA4;
}

std::string paperLocaleName()
{
	for (const char *variable : { "LC_ALL", "LC_PAPER", "LANG" })
		if (const char *value = std::getenv(variable); value && *value)
			return value;
	return "";
}

} // namespace torvane::sane
