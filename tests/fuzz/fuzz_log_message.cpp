// Log lines with any message bytes: one call gives exactly one line, the fixed prefix and
// then the message with each control byte, each byte of no UTF-8 character and each character
// that could deceive a reader written visibly, ending in the one CR LF. Read
// back for its WARN and ERROR lines, a log of such a line holds exactly that one (never a
// line the message forged), and any text read so is safe to print.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <utility>

#include "fuzz_support.hpp"
#include "base/log_format.hpp"

namespace {

// The UTF-8 form of a code point.
std::string encode(uint32_t c) {
  std::string out;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

// The message as the log must show it: a character is one whose bytes are the UTF-8 form of
// its code point (so never overlong), neither a surrogate nor past U+10FFFF; the deceptive ones
// among them, and every byte that starts none, written visibly.
std::string visible(std::string_view message) {
  std::string out;
  char esc[12];
  for (size_t i = 0; i < message.size();) {
    const unsigned char c = static_cast<unsigned char>(message[i]);
    size_t taken = 0;
    for (size_t n = 2; n <= 4 && !taken && i + n <= message.size(); ++n) {
      uint32_t code = c & (0x7F >> n);
      for (size_t k = 1; k < n; ++k) code = (code << 6) | (static_cast<unsigned char>(message[i + k]) & 0x3F);
      if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF) || encode(code) != message.substr(i, n)) continue;
      taken = n;
      const bool bidi = code == 0x061C || code == 0x200E || code == 0x200F || (code >= 0x202A && code <= 0x202E) ||
                        (code >= 0x2066 && code <= 0x2069);
      const uint32_t invisible[] = {0x00AD, 0x034F, 0x115F, 0x1160, 0x180E, 0x3164, 0xFEFF, 0xFFA0};
      bool hidden = std::find(std::begin(invisible), std::end(invisible), code) != std::end(invisible);
      for (const auto& [low, high] : {std::pair<uint32_t, uint32_t>{0x200B, 0x200D}, {0x2060, 0x2064}, {0x206A, 0x206F},
                                     {0xFFF9, 0xFFFB}, {0xFE00, 0xFE0F}, {0xE0000, 0xE007F}})
        hidden = hidden || (code >= low && code <= high);
      if (code <= 0x9F || bidi || hidden || code == 0x2028 || code == 0x2029) {
        std::snprintf(esc, sizeof esc, code > 0xFFFF ? "\\U%08x" : "\\u%04x", static_cast<unsigned>(code));
        out += esc;
      } else {
        out += message.substr(i, n);
      }
    }
    if (taken) {
      i += taken;
      continue;
    }
    if (c == '\r')
      out += "\\r";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\t')
      out += "\\t";
    else if (c < 0x20 || c >= 0x7f) {
      std::snprintf(esc, sizeof esc, "\\x%02x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
    ++i;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  // The clock and thread id within what the system reports.
  guardian::LogClock t{};
  t.year = in.ConsumeIntegralInRange(1601, 30827);
  t.month = in.ConsumeIntegralInRange(1, 12);
  t.day = in.ConsumeIntegralInRange(1, 31);
  t.hour = in.ConsumeIntegralInRange(0, 23);
  t.minute = in.ConsumeIntegralInRange(0, 59);
  t.second = in.ConsumeIntegralInRange(0, 59);
  t.millisecond = in.ConsumeIntegralInRange(0, 999);
  const unsigned long thread = in.ConsumeIntegral<uint32_t>();
  const char* const levels[] = {"INFO", "WARN", "ERROR"};
  const char* level = levels[in.ConsumeIntegralInRange(0, 2)];
  const std::string message = in.ConsumeRemainingBytesAsString();

  const std::string line = guardian::format_log_line(t, thread, level, message);
  char prefix[64];
  std::snprintf(prefix, sizeof prefix, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ [%lu] %-5s ", t.year, t.month, t.day,
                t.hour, t.minute, t.second, t.millisecond, thread, level);
  FUZZ_CHECK(line == prefix + visible(message) + "\r\n");
  for (size_t i = 0; i + 2 < line.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(line[i]);
    FUZZ_CHECK(c >= 0x20 && c != 0x7f);
  }
  const std::vector<std::string> found = guardian::log_problem_lines(line + line, true, 9, line.size());
  const std::string level_text(level);
  if (t.year <= 9999) FUZZ_CHECK(found.size() == (level_text == "INFO" ? 0u : 2u));  // the layout's 4-digit year
  for (const std::string& shown : found) FUZZ_CHECK(shown == line.substr(0, line.size() - 2));
  for (const std::string& shown : guardian::log_problem_lines(message, false, 9, 40)) {
    FUZZ_CHECK(shown.size() <= 4 * 40 + 3);
    for (const char ch : shown) FUZZ_CHECK(static_cast<unsigned char>(ch) >= 0x20 && ch != 0x7f);
  }
  return 0;
}
