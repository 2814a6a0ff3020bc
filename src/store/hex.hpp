#pragma once
// Hexadecimal text, two characters per byte (portable).
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace guardian {

using Bytes = std::vector<uint8_t>;

std::string to_hex(const uint8_t* data, size_t size);
inline std::string to_hex(const Bytes& bytes) { return to_hex(bytes.data(), bytes.size()); }

// Either case accepted. Odd length: false with out untouched. A non-hex character: false
// (out then holds a partial result that must not be used).
bool from_hex(std::string_view text, Bytes& out);

inline Bytes bytes_of(std::string_view text) { return Bytes(text.begin(), text.end()); }

}  // namespace guardian
