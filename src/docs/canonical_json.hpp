#pragma once
// The one canonical serialisation of a JSON value: no whitespace, members in byte order of
// their names, ECMAScript number text, byte-wise string escaping. Every reply MAC and every
// document signature is computed over it.
#include <string>

#include <nlohmann/json.hpp>

namespace guardian {

std::string to_canonical_json(const nlohmann::json& value);

// Appends the canonical form of value to out.
void append_canonical_json(std::string& out, const nlohmann::json& value);

// The number form on its own, for a finite double.
void append_canonical_number(std::string& out, double value);

}  // namespace guardian
