#pragma once
// Base64 decoding as signatures arrive: lenient about alphabet and padding, strict otherwise.
#include <string_view>

#include "store/hex.hpp"

namespace guardian {

// Accepts the standard and the URL-safe alphabet (even mixed), skips "=", spaces, CR and LF
// wherever they stand, and drops leftover bits at the end. Any other character: false, with
// out untouched.
bool decode_base64_lenient(std::string_view text, Bytes& out);

}  // namespace guardian
