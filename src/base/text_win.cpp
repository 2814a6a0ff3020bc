#include <windows.h>

#include "base/text.hpp"

namespace guardian {

std::string to_utf8(std::wstring_view text) {
  if (text.empty()) return {};
  const int wide_len = static_cast<int>(text.size());
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), wide_len, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), wide_len, out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring to_utf16(std::string_view text) {
  if (text.empty()) return {};
  const int narrow_len = static_cast<int>(text.size());
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), narrow_len, nullptr, 0);
  if (n <= 0) return {};
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), narrow_len, out.data(), n);
  return out;
}

std::string win_error_text(unsigned long code) {
  char buffer[1024];
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                 MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), buffer, sizeof buffer, nullptr);
  return compose_error_text(std::string_view(buffer, n), code);
}

}  // namespace guardian
