#pragma once
// Owner type for WinHTTP handles (sessions, connections, requests).
#include <windows.h>
#include <winhttp.h>

#include "base/unique.hpp"
#include "net/winhttp_api.hpp"

namespace guardian {

struct WinHttpHandleTraits {
  using Type = HINTERNET;
  static Type invalid() { return nullptr; }
  static void close(Type h) { loaded_winhttp().WinHttpCloseHandle(h); }
};
using UniqueInternet = Unique<WinHttpHandleTraits>;

}  // namespace guardian
