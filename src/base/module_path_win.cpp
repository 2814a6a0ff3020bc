#include <windows.h>

#include "base/module_path.hpp"
#include "base/paths.hpp"

namespace guardian {
namespace {

// The full path of a loaded module (null: the executable); empty on failure.
std::wstring path_of_module(HMODULE module) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    if (path.size() >= 32768) return {};
    path.resize(path.size() * 2);  // cut short: a longer path
  }
}

}  // namespace

std::wstring module_path() { return path_of_module(nullptr); }

std::wstring module_dir() { return dir_of(module_path()); }

std::wstring code_module_path() {
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(&code_module_path), &self))
    return {};
  return path_of_module(self);
}

std::wstring code_module_dir() {
  const std::wstring path = code_module_path();
  return path.empty() ? path : dir_of(path);
}

}  // namespace guardian
