// SPDX-License-Identifier: MIT
// Fault rules and button reports written as text.

#include "torvane_sim/fault_text.h"

#include <charconv>

namespace torvane::sim {

namespace {

struct KindName {
	const char *name;
	FaultKind kind;
};

constexpr KindName kKindNames[] = {
	{ "check", FaultKind::CheckCondition },
	{ "status", FaultKind::Status },
	{ "fail-block", FaultKind::FailBlockWrite },
	{ "fail-data", FaultKind::FailDataPhase },
	{ "fail-status", FaultKind::FailStatusRead },
	{ "short", FaultKind::ShortRead },
	{ "empty", FaultKind::EmptyRead },
	{ "stall", FaultKind::StallRead },
};

std::optional<FaultRule> failure(std::string *error, const std::string &message)
{
	if (error)
		*error = message;
	return std::nullopt;
}

int hexDigit(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	return -1;
}

// One to two hexadecimal digits.
std::optional<uint8_t> parseHexByte(std::string_view text)
{
	if (text.empty() || text.size() > 2)
		return std::nullopt;
	int value = 0;
	for (char c : text) {
		const int digit = hexDigit(c);
		if (digit < 0)
			return std::nullopt;
		value = value * 16 + digit;
	}
	return static_cast<uint8_t>(value);
}

// KEY/ASC/ASCQ, or the 22 bytes as 44 hexadecimal digits.
std::optional<SenseData> parseSense(std::string_view text)
{
	const size_t first = text.find('/');
	if (first != std::string_view::npos) {
		const size_t second = text.find('/', first + 1);
		if (second == std::string_view::npos)
			return std::nullopt;
		auto key = parseHexByte(text.substr(0, first));
		auto asc = parseHexByte(text.substr(first + 1, second - first - 1));
		auto ascq = parseHexByte(text.substr(second + 1));
		if (!key || !asc || !ascq || *key > 0x0F)
			return std::nullopt;
		return makeSense(*key, *asc, *ascq);
	}
	auto bytes = parseHexBytes(text);
	if (!bytes || bytes->size() != kSenseLength)
		return std::nullopt;
	SenseData sense{};
	std::copy(bytes->begin(), bytes->end(), sense.begin());
	return sense;
}

} // namespace

std::optional<uint32_t> parseNumber(std::string_view text, uint32_t max)
{
	int base = 10;
	if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
		base = 16;
		text.remove_prefix(2);
	}
	if (text.empty())
		return std::nullopt;
	uint64_t value = 0;
	auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), value, base);
	if (problem != std::errc() || end != text.data() + text.size() || value > max)
		return std::nullopt;
	return static_cast<uint32_t>(value);
}

std::optional<std::vector<uint8_t>> parseHexBytes(std::string_view text)
{
	std::vector<uint8_t> bytes;
	size_t i = 0;
	while (i < text.size()) {
		const char c = text[i];
		if (c == ' ' || c == ',' || c == ':') {
			++i;
			continue;
		}
		if (i + 1 >= text.size())
			return std::nullopt;
		const int high = hexDigit(c);
		const int low = hexDigit(text[i + 1]);
		if (high < 0 || low < 0)
			return std::nullopt;
		bytes.push_back(static_cast<uint8_t>(high << 4 | low));
		i += 2;
	}
	return bytes;
}

std::optional<FaultRule> parseFaultRule(std::string_view text, std::string *error)
{
	const std::string whole(text);
	const size_t comma = text.find(',');
	const std::string_view kindText = text.substr(0, comma);
	FaultRule rule;
	bool known = false;
	for (const KindName &entry : kKindNames) {
		if (kindText == entry.name) {
			rule.kind = entry.kind;
			known = true;
		}
	}
	if (!known)
		return failure(error, "unknown fault kind in \"" + whole + "\"");
	if (rule.kind == FaultKind::CheckCondition)
		rule.status = kStatusCheckCondition;

	bool haveOp = false;
	bool haveSense = false;
	text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
	while (!text.empty()) {
		const size_t next = text.find(',');
		const std::string_view field = text.substr(0, next);
		text = next == std::string_view::npos ? std::string_view{} : text.substr(next + 1);
		const size_t equals = field.find('=');
		if (equals == std::string_view::npos)
			return failure(error, "expected name=value in \"" + whole + "\"");
		const std::string_view name = field.substr(0, equals);
		const std::string_view value = field.substr(equals + 1);
		const std::string bad = "bad " + std::string(name) + " in \"" + whole + "\"";
		if (name == "op") {
			auto number = parseNumber(value, 0xFF);
			if (!number)
				return failure(error, bad);
			rule.operationCode = static_cast<uint8_t>(*number);
			haveOp = true;
		} else if (name == "type") {
			auto number = parseNumber(value, 0xFF);
			if (!number)
				return failure(error, bad);
			rule.dataType = static_cast<uint8_t>(*number);
		} else if (name == "count") {
			if (value == "always") {
				rule.count = FaultRule::kAlways;
			} else {
				auto number = parseNumber(value, 0x7FFFFFFF);
				if (!number || *number == 0)
					return failure(error, bad);
				rule.count = static_cast<int>(*number);
			}
		} else if (name == "sense") {
			auto sense = parseSense(value);
			if (!sense)
				return failure(error, bad);
			rule.sense = *sense;
			haveSense = true;
		} else if (name == "status") {
			auto number = parseNumber(value, 0xFF);
			if (!number)
				return failure(error, bad);
			rule.status = static_cast<uint8_t>(*number);
		} else if (name == "bytes") {
			auto number = parseNumber(value);
			if (!number || *number == 0)
				return failure(error, bad);
			rule.maxBytes = *number;
		} else {
			return failure(error, "unknown field " + std::string(name) + " in \"" + whole + "\"");
		}
	}
	if (!haveOp)
		return failure(error, "op= missing in \"" + whole + "\"");
	if (rule.kind == FaultKind::CheckCondition && !haveSense)
		return failure(error, "sense= missing in \"" + whole + "\"");
	return rule;
}

} // namespace torvane::sim
