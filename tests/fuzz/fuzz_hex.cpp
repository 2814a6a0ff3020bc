// Hexadecimal text. Decoded exactly when its length is even and every character is a hex
// digit of either case; the bytes encode back to the text in lower case, and an odd length
// leaves the output alone. Any bytes, encoded, decode to themselves.
#include "fuzz_support.hpp"
#include "store/hex.hpp"

namespace {

bool hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = guardian::fuzz::text_of(data, size);
  const guardian::Bytes untouched = {0xbe, 0xef};
  guardian::Bytes out = untouched;
  const bool decoded = guardian::from_hex(text, out);

  bool acceptable = text.size() % 2 == 0;
  std::string lower;
  for (const char c : text) {
    if (!hex_digit(c)) acceptable = false;
    lower += (c >= 'A' && c <= 'F') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  FUZZ_CHECK(decoded == acceptable);
  if (decoded) FUZZ_CHECK(guardian::to_hex(out) == lower);
  if (text.size() % 2 != 0) FUZZ_CHECK(out == untouched);

  const guardian::Bytes bytes(data, data + size);
  guardian::Bytes back;
  FUZZ_CHECK(guardian::from_hex(guardian::to_hex(bytes), back) && back == bytes);
  return 0;
}
