#pragma once
// Shared by the fuzz targets: a property check that stops the run with a message (libFuzzer
// then keeps the input as a crash), fixed keys, and the checks several targets make.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "base/json_text.hpp"
#include "channel/auth.hpp"

// Unlike assert(), stays on in every build type.
#define FUZZ_CHECK(condition)                                                                   \
  do {                                                                                          \
    if (!(condition)) {                                                                         \
      std::fprintf(stderr, "property failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
      std::abort();                                                                             \
    }                                                                                           \
  } while (0)

namespace guardian::fuzz {

inline std::string_view text_of(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// The channel key of a fixed secret and fingerprint.
inline const Bytes& channel_key() {
  static const Bytes key = derive_channel_key(Bytes(32, 0x5a), std::string(64, 'a'));
  return key;
}

inline bool is_lower_hex(std::string_view text, size_t length) {
  if (text.size() != length) return false;
  for (const char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

// A reply as the agent writes it and a client parses it: the same value, still authentic for
// the nonce it carries. Returns the wire text.
inline std::string check_reply_travels(const nlohmann::json& reply, const std::string& nonce) {
  std::string wire = compact_json(reply);
  const nlohmann::json received = parse_json(wire.begin(), wire.end());
  FUZZ_CHECK(!received.is_discarded());
  FUZZ_CHECK(received == reply);
  FUZZ_CHECK(verify_reply(channel_key(), received, nonce));
  return wire;
}

}  // namespace guardian::fuzz
