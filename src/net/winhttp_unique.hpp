#pragma once
// Owner type for WinHTTP handles (sessions, connections, requests).
#include <windows.h>
#include <winhttp.h>

#include "base/unique.hpp"

namespace guardian {

struct WinHttpHandleTraits {
  using Type = HINTERNET;
  static Type invalid() { return nullptr; }
  static void close(Type h) { WinHttpCloseHandle(h); }
};
using UniqueInternet = Unique<WinHttpHandleTraits>;

}  // namespace guardian
