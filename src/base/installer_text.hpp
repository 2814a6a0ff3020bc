#pragma once
// Text that the MSI's custom action hands to Windows Installer, which formats every message:
// kept apart from the action so it can be tested on its own.
// Portable: no Windows headers.
#include <string>
#include <string_view>

namespace guardian {

// text as a template that formats to itself: Windows Installer reads [ ] { } in a message's
// template (and in the fields it inserts) as properties, file keys, environment variables and
// conditional groups, so each one is written as its escape sequence ([\[] [\]] [\{] [\}]).
inline std::wstring installer_literal(std::wstring_view text) {
  std::wstring out;
  out.reserve(text.size());
  for (const wchar_t c : text) {
    if (c == L'[' || c == L']' || c == L'{' || c == L'}') {
      out += L"[\\";
      out += c;
      out += L']';
    } else {
      out += c;
    }
  }
  return out;
}

// Keeps the last `most` bytes of a program's output, whose last lines say how it ended, from
// the first whole line within them; returns how many bytes were left out.
inline size_t keep_output_tail(std::string& output, size_t most) {
  if (output.size() <= most) return 0;
  size_t from = output.size() - most;
  if (output[from - 1] != '\n') {
    const size_t eol = output.find('\n', from);
    if (eol != std::string::npos) from = eol + 1;  // else one long line: its end is kept
  }
  output.erase(0, from);
  return from;
}

}  // namespace guardian
