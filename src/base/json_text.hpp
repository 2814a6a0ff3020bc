#pragma once
// JSON text as the system writes it: compact on the wire and in files, indented by 2 on the
// console. Never throws: a string that is not valid UTF-8 (which the parser never produces)
// is written with replacement characters instead of raising.
#include <string>

#include <nlohmann/json.hpp>

namespace guardian {

inline std::string compact_json(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

inline std::string pretty_json(const nlohmann::json& value) {
  return value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Parses text without exceptions; a discarded value when it is not JSON.
template <class It>
inline nlohmann::json parse_json(It first, It last) {
  return nlohmann::json::parse(first, last, nullptr, false);
}

}  // namespace guardian
