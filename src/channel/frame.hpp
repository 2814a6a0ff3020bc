#pragma once
// The frame of every pipe in the system: a 4-byte little-endian length, then that many bytes
// of compact UTF-8 JSON.
#include <cstdint>
#include <string>
#include <string_view>

namespace guardian {

inline constexpr uint32_t kMaxFramePayload = 65536;
inline constexpr uint32_t kFrameHeaderSize = 4;

inline uint32_t frame_length(const uint8_t header[4]) {
  return static_cast<uint32_t>(header[0]) | (static_cast<uint32_t>(header[1]) << 8) |
         (static_cast<uint32_t>(header[2]) << 16) | (static_cast<uint32_t>(header[3]) << 24);
}

// The whole frame for a payload; empty when the payload is too long to be sent.
inline std::string encode_frame(std::string_view payload) {
  if (payload.size() > kMaxFramePayload) return {};
  const uint32_t n = static_cast<uint32_t>(payload.size());
  std::string frame;
  frame.reserve(kFrameHeaderSize + payload.size());
  frame += static_cast<char>(n & 0xFF);
  frame += static_cast<char>((n >> 8) & 0xFF);
  frame += static_cast<char>((n >> 16) & 0xFF);
  frame += static_cast<char>((n >> 24) & 0xFF);
  frame.append(payload);
  return frame;
}

}  // namespace guardian
