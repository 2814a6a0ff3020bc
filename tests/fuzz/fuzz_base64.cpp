// Base64 as signatures arrive, decoded leniently. Refused exactly when a character outside
// the two alphabets, "=", space, CR and LF appears, and then the output is left alone;
// otherwise every six significant bits give the bytes in order: as many bytes as whole
// octets, the same bytes from either alphabet and with the skipped characters removed, and
// the bytes encoded again decode to themselves.
#include "docs/base64.hpp"
#include "fuzz_support.hpp"
#include "test_signer.hpp"

namespace {

bool significant(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '-' ||
         c == '/' || c == '_';
}
bool skipped(char c) { return c == '=' || c == ' ' || c == '\r' || c == '\n'; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = guardian::fuzz::text_of(data, size);
  const guardian::Bytes untouched = {0xde, 0xad};
  guardian::Bytes out = untouched;
  const bool decoded = guardian::decode_base64_lenient(text, out);

  std::string standard;  // the significant characters, in the standard alphabet
  bool acceptable = true;
  for (const char c : text) {
    if (significant(c))
      standard += c == '-' ? '+' : c == '_' ? '/' : c;
    else if (!skipped(c))
      acceptable = false;
  }
  FUZZ_CHECK(decoded == acceptable);
  if (!decoded) {
    FUZZ_CHECK(out == untouched);
    return 0;
  }
  FUZZ_CHECK(out.size() == standard.size() * 6 / 8);
  guardian::Bytes plain;
  FUZZ_CHECK(guardian::decode_base64_lenient(standard, plain) && plain == out);
  guardian::Bytes again;
  FUZZ_CHECK(guardian::decode_base64_lenient(guardian::test::base64_encode(out), again) && again == out);
  return 0;
}
