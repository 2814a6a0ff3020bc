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

// JSON from outside the agent (requests, replies, documents, files) is refused when it nests
// deeper than this; no message of the system comes near it, and nothing that is accepted can
// then make a recursive walk (the library's indented dump, a caller's own) overflow a stack.
inline constexpr int kMaxJsonDepth = 64;

// True when the JSON text opens no more than limit arrays and objects inside each other.
// Brackets inside strings do not count; text that is not JSON is left to the parser. The
// parser takes a NUL outside a string for the end of the text, and so does this count.
template <class It>
inline bool json_text_depth_within(It first, It last, int limit) {
  int depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (; first != last; ++first) {
    const unsigned char c = static_cast<unsigned char>(*first);
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '\0') {
      return true;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return false;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return true;
}

// True when the value holds no more than limit arrays and objects inside each other. Walks
// with a stack of its own, so any value the library can hold is measured safely.
bool json_depth_within(const nlohmann::json& value, int limit);

// Parses text from outside without exceptions: a discarded value when it is not JSON or
// nests deeper than kMaxJsonDepth.
template <class It>
inline nlohmann::json parse_json(It first, It last) {
  if (!json_text_depth_within(first, last, kMaxJsonDepth)) return nlohmann::json(nlohmann::json::value_t::discarded);
  return nlohmann::json::parse(first, last, nullptr, false);
}

}  // namespace guardian
