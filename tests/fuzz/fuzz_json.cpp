// JSON text from outside, parsed as every receiver parses it, and its canonical form: the
// canonical text parses to an equal value and is its own canonical form, the value is
// nested no deeper than the parser allows (and refused only when it is nested deeper), and
// the compact form written to the wire parses back to the same value.
// libFuzzer dictionary: json.dict
#include "docs/canonical_json.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = guardian::fuzz::text_of(data, size);
  const nlohmann::json value = guardian::parse_json(text.begin(), text.end());
  // The depth check before parsing agrees with the parser: of the texts the library parses,
  // exactly those nested deeper than the limit are refused.
  const nlohmann::json plain = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
  if (!plain.is_discarded())
    FUZZ_CHECK(value.is_discarded() == !guardian::json_depth_within(plain, guardian::kMaxJsonDepth));
  if (value.is_discarded()) return 0;
  FUZZ_CHECK(guardian::json_depth_within(value, guardian::kMaxJsonDepth));

  const std::string canonical = guardian::to_canonical_json(value);
  const nlohmann::json reparsed = guardian::parse_json(canonical.begin(), canonical.end());
  FUZZ_CHECK(!reparsed.is_discarded());
  FUZZ_CHECK(reparsed == value);
  FUZZ_CHECK(guardian::to_canonical_json(reparsed) == canonical);

  const std::string compact = guardian::compact_json(value);
  const nlohmann::json from_wire = guardian::parse_json(compact.begin(), compact.end());
  FUZZ_CHECK(!from_wire.is_discarded());
  FUZZ_CHECK(from_wire == value);
  FUZZ_CHECK(guardian::to_canonical_json(from_wire) == canonical);
  return 0;
}
