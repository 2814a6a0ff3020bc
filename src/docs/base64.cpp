// Portable: no Windows headers.
#include "docs/base64.hpp"

namespace guardian {
namespace {

// The six-bit value of c, -1 for a character to skip, -2 for one that is refused.
int sextet(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  switch (c) {
    case '+':
    case '-':
      return 62;
    case '/':
    case '_':
      return 63;
    case '=':
    case ' ':
    case '\r':
    case '\n':
      return -1;
    default:
      return -2;
  }
}

}  // namespace

bool decode_base64_lenient(std::string_view text, Bytes& out) {
  Bytes bytes;
  bytes.reserve(text.size() * 3 / 4);
  uint32_t bits = 0;
  int held = 0;
  for (const char c : text) {
    const int v = sextet(c);
    if (v == -2) return false;
    if (v == -1) continue;
    bits = (bits << 6) | static_cast<uint32_t>(v);
    held += 6;
    if (held >= 8) {
      held -= 8;
      bytes.push_back(static_cast<uint8_t>(bits >> held));
      bits &= (1u << held) - 1;
    }
  }
  out = std::move(bytes);
  return true;
}

}  // namespace guardian
