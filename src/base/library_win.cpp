#include "base/library.hpp"

#include "base/paths.hpp"

namespace guardian {
namespace {

// The full path of a loaded module, however long; empty, with the error, on failure.
std::wstring module_file(HMODULE module, DWORD& error) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) {
      error = GetLastError();
      return {};
    }
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    if (path.size() >= 32768) {
      error = ERROR_INSUFFICIENT_BUFFER;
      return {};
    }
    path.resize(path.size() * 2);
  }
}

}  // namespace

HMODULE load_system_library(const wchar_t* name, std::string& error) {
  const HMODULE module = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!module) {
    const DWORD code = GetLastError();
    error = "LoadLibraryEx " + to_utf8(name) + ": " + win_error_text(code);
  }
  return module;
}

HMODULE load_library_beside(const void* inside, const wchar_t* name, std::string& error) {
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<const wchar_t*>(inside), &self)) {
    const DWORD code = GetLastError();
    error = "GetModuleHandleEx: " + win_error_text(code);
    return nullptr;
  }
  DWORD code = 0;
  const std::wstring own = module_file(self, code);
  if (own.empty()) {
    error = "GetModuleFileName: " + win_error_text(code);
    return nullptr;
  }
  const std::wstring path = path_join(dir_of(own), name);
  const HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!module) {
    const DWORD code = GetLastError();
    error = "LoadLibraryEx " + to_utf8(path) + ": " + win_error_text(code);
  }
  return module;
}

}  // namespace guardian
