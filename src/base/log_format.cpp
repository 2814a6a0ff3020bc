// Portable: no Windows headers.
#include "base/log_format.hpp"

#include <cstdio>

namespace guardian {

std::string format_log_line(const LogClock& t, unsigned long thread_id, std::string_view level,
                            std::string_view message) {
  char prefix[64];
  const std::string level_text(level);
  int n = std::snprintf(prefix, sizeof prefix, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ [%lu] %-5s ", t.year, t.month,
                        t.day, t.hour, t.minute, t.second, t.millisecond, thread_id, level_text.c_str());
  if (n < 0) n = 0;
  if (n >= static_cast<int>(sizeof prefix)) n = sizeof prefix - 1;
  std::string line;
  line.reserve(static_cast<size_t>(n) + message.size() + 2);
  line.append(prefix, static_cast<size_t>(n));
  append_log_text(line, message);
  line.append("\r\n");
  return line;
}

void append_log_text(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  size_t run = 0;  // start of the pending run of bytes copied unchanged
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != 0x7F) continue;
    out.append(text, run, i - run);
    run = i + 1;
    switch (c) {
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default: {
        const char esc[4] = {'\\', 'x', kHex[c >> 4], kHex[c & 0x0F]};
        out.append(esc, 4);
      }
    }
  }
  out.append(text, run, text.size() - run);
}

std::wstring log_lock_name(std::wstring_view upper_case_full_path) {
  // FNV-1a over the UTF-16 code units: not a secret, only a short stable name.
  uint64_t hash = 14695981039346656037ULL;
  for (const wchar_t unit : upper_case_full_path) {
    hash ^= static_cast<uint16_t>(unit);
    hash *= 1099511628211ULL;
  }
  static constexpr wchar_t kHex[] = L"0123456789abcdef";
  std::wstring name = L"Global\\Ostrival.Guardian.Log.";
  for (int shift = 60; shift >= 0; shift -= 4) name += kHex[(hash >> shift) & 0x0F];
  return name;
}

}  // namespace guardian
