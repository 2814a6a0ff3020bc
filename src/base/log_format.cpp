// Portable: no Windows headers.
#include "base/log_format.hpp"

#include <cstdio>
#include <utility>

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

namespace {

// The length of the well-formed UTF-8 character at the start of text and its code point; 0
// when the bytes there are not one (a stray continuation byte, a sequence cut short, an
// overlong form, a surrogate, or a value past U+10FFFF).
size_t utf8_character(std::string_view text, uint32_t& code_point) {
  const auto byte = [&text](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  size_t length = 0;
  uint32_t low = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, code_point = lead & 0x1F, low = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, code_point = lead & 0x0F, low = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, code_point = lead & 0x07, low = 0x10000;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    code_point = (code_point << 6) | (byte(i) & 0x3F);
  }
  if (code_point < low || code_point > 0x10FFFF || (code_point >= 0xD800 && code_point <= 0xDFFF)) return 0;
  return length;
}

// Characters that would let a text pass for something else on an administrator's screen: the
// C1 controls (U+009B is a terminal's escape), the bidirectional controls, which reorder what
// follows them, the line and paragraph separators, and the format characters and fillers that
// show as nothing (so that two paths that differ only by them look alike).
bool deceptive(uint32_t c) {
  return (c >= 0x80 && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069) || c == 0x2028 || c == 0x2029 || c == 0x00AD || c == 0x034F ||
         c == 0x115F || c == 0x1160 || c == 0x180E || (c >= 0x200B && c <= 0x200D) || (c >= 0x2060 && c <= 0x2064) ||
         (c >= 0x206A && c <= 0x206F) || c == 0x3164 || c == 0xFEFF || c == 0xFFA0 || (c >= 0xFFF9 && c <= 0xFFFB) ||
         (c >= 0xFE00 && c <= 0xFE0F) || (c >= 0xE0000 && c <= 0xE007F);
}

}  // namespace

void append_log_text(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  size_t run = 0;  // start of the pending run of bytes copied unchanged
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F) {
      ++i;
      continue;
    }
    uint32_t code_point = 0;
    const size_t length = c < 0x80 ? 1 : utf8_character(text.substr(i), code_point);
    if (length > 1 && !deceptive(code_point)) {
      i += length;
      continue;
    }
    out.append(text, run, i - run);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (length > 1) {  // a character that may not be shown as itself
      const bool wide = code_point > 0xFFFF;
      out += wide ? "\\U" : "\\u";
      for (int shift = wide ? 28 : 12; shift >= 0; shift -= 4) out += kHex[(code_point >> shift) & 0x0F];
    } else {  // a control byte, or a byte that is no part of a character
      const char esc[4] = {'\\', 'x', kHex[c >> 4], kHex[c & 0x0F]};
      out.append(esc, 4);
    }
    i += length > 1 ? length : 1;
    run = i;
  }
  out.append(text, run, text.size() - run);
}

std::string visible_text(std::string_view text) {
  std::string out;
  append_log_text(out, text);
  return out;
}

namespace {

// "YYYY-MM-DDTHH:MM:SS.mmmZ [thread] WARN  " or "... ERROR ": the layout of format_log_line.
// 1 for WARN, 2 for ERROR, 0 for any other line.
int problem_level(std::string_view line) {
  constexpr size_t kTimeChars = 24;  // up to and including the "Z"
  if (line.size() < kTimeChars + 2 || line[kTimeChars - 1] != 'Z' || line.substr(kTimeChars, 2) != " [") return 0;
  size_t at = kTimeChars + 2;
  const size_t digits = at;
  while (at < line.size() && line[at] >= '0' && line[at] <= '9') ++at;
  if (at == digits || line.substr(at, 2) != "] ") return 0;
  const std::string_view level = line.substr(at + 2);
  return level.starts_with("WARN  ") ? 1 : level.starts_with("ERROR ") ? 2 : 0;
}

}  // namespace

std::vector<std::string> log_problem_lines(std::string_view text, bool starts_at_a_line, size_t most,
                                           size_t max_bytes) {
  std::vector<std::pair<std::string_view, int>> found;  // each line with its level
  size_t begin = 0;
  if (!starts_at_a_line) {
    const size_t first_end = text.find('\n');
    begin = first_end == text.npos ? text.size() : first_end + 1;
  }
  while (begin < text.size()) {
    size_t end = text.find('\n', begin);
    if (end == text.npos) end = text.size();
    std::string_view line = text.substr(begin, end - begin);
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (const int level = problem_level(line)) found.emplace_back(line, level);
    begin = end + 1;
  }
  size_t left[3] = {0, most, most};  // of each level, from the end
  std::vector<bool> kept(found.size());
  for (size_t i = found.size(); i-- > 0;) {
    if (left[found[i].second] == 0) continue;
    --left[found[i].second];
    kept[i] = true;
  }
  std::vector<std::string> out;
  for (size_t i = 0; i < found.size(); ++i) {
    if (!kept[i]) continue;
    std::string_view line = found[i].first;
    const bool cut = line.size() > max_bytes;
    if (cut) {
      size_t keep = max_bytes;
      while (keep > 0 && (static_cast<unsigned char>(line[keep]) & 0xC0) == 0x80) --keep;
      line = line.substr(0, keep);
    }
    std::string shown;
    append_log_text(shown, line);
    if (cut) shown += "...";
    out.push_back(std::move(shown));
  }
  return out;
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
