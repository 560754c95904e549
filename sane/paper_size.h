// SPDX-License-Identifier: MIT
// The page a scan covers by default: A4, or Letter where the user's locale
// says the paper is letter (LC_PAPER), as every program of the desktop does.
#pragma once

#include <string>

namespace torvane::sane {

struct PaperSize {
	double widthMm = 0;
	double lengthMm = 0;
};

inline constexpr PaperSize kA4{ 210.0, 297.0 };
inline constexpr PaperSize kLetter{ 215.9, 279.4 };

// The paper of the locale named `locale` ("en_US.UTF-8", "de_DE", "C", ...):
// its LC_PAPER data when the locale is installed, else by its territory.
PaperSize paperOfLocale(const std::string &locale);

// The locale that decides the paper: LC_ALL, then LC_PAPER, then LANG, as
// setlocale would choose it, without changing the process's locale.
std::string paperLocaleName();

} // namespace torvane::sane
