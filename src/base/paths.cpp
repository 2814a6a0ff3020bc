// Portable: no Windows headers.
#include "base/paths.hpp"

#include <limits>

namespace guardian {
namespace {

bool is_drive_letter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// "UNC\" in any case, as a share's long form has it after "\\?\".
bool starts_with_unc(std::wstring_view rest) {
  return rest.size() >= 4 && (rest[0] == L'U' || rest[0] == L'u') && (rest[1] == L'N' || rest[1] == L'n') &&
         (rest[2] == L'C' || rest[2] == L'c') && rest[3] == L'\\';
}

}  // namespace

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
  if (starts_with_unc(rest)) return L"\\\\" + std::wstring(rest.substr(4));
  const bool drive = rest.size() >= 2 && rest[1] == L':' && is_drive_letter(rest[0]);
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

std::wstring volume_root_of(std::wstring_view folder) {
  return std::wstring(folder.substr(0, volume_root_length(folder))) + L"\\";
}

namespace {

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

// "C:" followed by a separator (with more after it or not).
bool starts_with_drive_root(std::wstring_view path) {
  return path.size() >= 3 && is_drive_letter(path[0]) && path[1] == L':' && is_separator(path[2]);
}

// "server\share" (with more after it or not); "." and "?" are no server's names.
bool starts_with_share(std::wstring_view path) {
  const size_t cut = path.find_first_of(L"\\/");
  if (cut == 0 || cut == std::wstring_view::npos) return false;
  const std::wstring_view server = path.substr(0, cut);
  if (server == L"." || server == L"?") return false;
  const std::wstring_view rest = path.substr(cut + 1);
  return !rest.empty() && !is_separator(rest[0]);
}

}  // namespace

bool is_full_path(std::wstring_view path) {
  if (path.starts_with(L"\\\\?\\")) {
    const std::wstring_view rest = path.substr(4);
    return starts_with_unc(rest) ? starts_with_share(rest.substr(4)) : starts_with_drive_root(rest);
  }
  if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) return starts_with_share(path.substr(2));
  return starts_with_drive_root(path);
}

bool is_volume_root(std::wstring_view folder) {
  while (!folder.empty() && is_separator(folder.back())) folder.remove_suffix(1);
  const size_t root = volume_root_length(folder);
  return root != 0 && root == folder.size();
}

std::wstring folder_to_open(std::wstring_view folder) {
  const std::wstring_view rest = folder.starts_with(L"\\\\?\\") ? folder.substr(4) : folder;
  const bool bare_drive = rest.size() == 2 && is_drive_letter(rest[0]) && rest[1] == L':';
  return bare_drive ? std::wstring(folder) + L'\\' : std::wstring(folder);
}

int32_t parse_leading_int(std::wstring_view text) { return parse_leading<wchar_t, int32_t>(text, true); }

int64_t parse_leading_int64(std::string_view text) { return parse_leading<char, int64_t>(text, false); }

}  // namespace guardian
