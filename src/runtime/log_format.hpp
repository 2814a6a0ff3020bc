#pragma once
// Log line layout, kept apart from the file handling so it can be tested on its own.
#include <cstdint>
#include <string>
#include <string_view>

namespace guardian {

inline constexpr uint64_t kLogRotateBytes = 2097152;  // 2 MiB

struct LogClock {
  int year, month, day, hour, minute, second, millisecond;
};

// "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ [%lu] %-5s " + message + "\r\n". Control bytes in the
// message (below 0x20, and 0x7F) are written visibly as \r, \n, \t or \xHH, so one call
// always makes exactly one line, whatever text from outside the message carries.
std::string format_log_line(const LogClock& t, unsigned long thread_id, std::string_view level,
                            std::string_view message);

// Appends text with its control bytes escaped as format_log_line writes them.
void append_log_text(std::string& out, std::string_view text);

// The file is rotated first when its size plus the new line would pass the limit.
inline bool log_needs_rotation(uint64_t current_size, uint64_t line_size) {
  return current_size + line_size > kLogRotateBytes;
}

}  // namespace guardian
