// Portable: no Windows headers.
#include "base/paths.hpp"

#include <limits>

namespace guardian {

std::wstring path_join(std::wstring_view dir, std::wstring_view name) {
  if (dir.empty()) return std::wstring(name);
  std::wstring out(dir);
  const wchar_t last = dir.back();
  if (last != L'\\' && last != L'/') out += L'\\';
  out += name;
  return out;
}

std::wstring dir_of(std::wstring_view path) {
  const size_t cut = path.find_last_of(L"\\/");
  if (cut == std::wstring_view::npos) return L".";
  return std::wstring(path.substr(0, cut));
}

std::wstring plain_path_form(std::wstring_view path) {
  if (!path.starts_with(L"\\\\?\\")) return std::wstring(path);
  const std::wstring_view rest = path.substr(4);
  if (rest.size() >= 4 && (rest[0] == L'U' || rest[0] == L'u') && (rest[1] == L'N' || rest[1] == L'n') &&
      (rest[2] == L'C' || rest[2] == L'c') && rest[3] == L'\\')
    return L"\\\\" + std::wstring(rest.substr(4));
  const bool drive = rest.size() >= 2 && rest[1] == L':' &&
                     ((rest[0] >= L'A' && rest[0] <= L'Z') || (rest[0] >= L'a' && rest[0] <= L'z'));
  return drive ? std::wstring(rest) : std::wstring(path);
}

namespace {

// The length of the volume root that path begins with: "C:", "\\server\share", the same
// after "\\?\" (or "\\?\UNC\" for a share); 0 for a relative path.
size_t volume_root_length(std::wstring_view path) {
  const bool long_form = path.starts_with(L"\\\\?\\") || path.starts_with(L"\\\\.\\");
  size_t at = long_form ? 4 : 0;
  const bool unc = long_form ? path.substr(4, 4) == L"UNC\\" : path.starts_with(L"\\\\");
  if (!unc) return path.size() >= at + 2 && path[at + 1] == L':' ? at + 2 : at;
  at = long_form ? 8 : 2;
  for (int part = 0; part < 2; ++part) {  // the server, then the share
    const size_t separator = path.find_first_of(L"\\/", at);
    if (separator == std::wstring_view::npos) return path.size();
    at = separator + 1;
  }
  return at - 1;
}

// Shared by both parsers: skip the white space, read the sign and the digits, saturating
// at [lo, hi].
template <class Char, class Int>
Int parse_leading(std::basic_string_view<Char> text, bool skip_all_space) {
  size_t i = 0;
  auto is_space = [&](Char c) {
    if (skip_all_space) return c == ' ' || (c >= '\t' && c <= '\r');
    return c == ' ' || c == '\t';
  };
  while (i < text.size() && is_space(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // Accumulate as a negative number so that the minimum value is reachable.
  constexpr Int lo = std::numeric_limits<Int>::min();
  constexpr Int hi = std::numeric_limits<Int>::max();
  Int acc = 0;
  bool overflow = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const Int digit = static_cast<Int>(text[i] - '0');
    if (overflow) continue;
    if (acc < (lo + digit) / 10) {
      overflow = true;
      continue;
    }
    acc = acc * 10 - digit;
  }
  if (overflow) return negative ? lo : hi;
  if (negative) return acc;
  return acc == lo ? hi : -acc;
}

}  // namespace

std::vector<std::wstring> folders_above(std::wstring_view folder) {
  std::vector<std::wstring> above;
  const size_t root = volume_root_length(folder);
  for (size_t cut = folder.find_last_of(L"\\/"); cut != std::wstring_view::npos && cut > root;
       cut = folder.find_last_of(L"\\/", cut - 1)) {
    above.emplace_back(folder.substr(0, cut));
  }
  return above;
}

int32_t parse_leading_int(std::wstring_view text) { return parse_leading<wchar_t, int32_t>(text, true); }

int64_t parse_leading_int64(std::string_view text) { return parse_leading<char, int64_t>(text, false); }

}  // namespace guardian
