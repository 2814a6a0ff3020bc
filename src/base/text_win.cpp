#include <windows.h>

#include "base/text.hpp"
#include "base/unique.hpp"

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

namespace {

// The message of a code in a message table: the system's, or the module's when one is given;
// US English first, then whatever language the table has. 0 characters when it has none.
DWORD table_message(HMODULE module, unsigned long code, char (&buffer)[1024]) {
  const DWORD source = module ? FORMAT_MESSAGE_FROM_HMODULE : FORMAT_MESSAGE_FROM_SYSTEM;
  for (const DWORD language : {DWORD{MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)}, DWORD{0}}) {
    const DWORD n = FormatMessageA(source | FORMAT_MESSAGE_IGNORE_INSERTS, module, code, language, buffer,
                                   sizeof buffer, nullptr);
    if (n > 0 || !module) return n;
  }
  return 0;
}

}  // namespace

std::string win_error_text(unsigned long code) {
  const DWORD saved = GetLastError();
  char buffer[1024];
  std::string_view message;
  if (code >= kWinHttpFirstError && code <= kWinHttpLastError) {
    // WinHTTP's texts are in its own message table. The library is mapped as data only, from
    // System32, for this one lookup.
    const UniqueLibrary winhttp(
        LoadLibraryExW(L"winhttp.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_SEARCH_SYSTEM32));
    const DWORD n = winhttp ? table_message(winhttp.get(), code, buffer) : 0;
    message = n > 0 ? std::string_view(buffer, n) : winhttp_error_fallback(code);
  } else {
    message = std::string_view(buffer, table_message(nullptr, code, buffer));
  }
  SetLastError(saved);
  return compose_error_text(message, code);
}

}  // namespace guardian
