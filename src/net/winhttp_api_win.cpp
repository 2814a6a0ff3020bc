#include "net/winhttp_api.hpp"

#include "base/library.hpp"

namespace guardian {
namespace {

struct Loaded {
  WinHttpApi api;
  std::string error;
  bool ready = false;
};

bool load(WinHttpApi& api, std::string& error) {
  const HMODULE dll = load_system_library(L"winhttp.dll", error);
  return dll && resolve(dll, "WinHttpCrackUrl", api.WinHttpCrackUrl, error) &&
         resolve(dll, "WinHttpOpen", api.WinHttpOpen, error) &&
         resolve(dll, "WinHttpSetStatusCallback", api.WinHttpSetStatusCallback, error) &&
         resolve(dll, "WinHttpSetTimeouts", api.WinHttpSetTimeouts, error) &&
         resolve(dll, "WinHttpSetOption", api.WinHttpSetOption, error) &&
         resolve(dll, "WinHttpConnect", api.WinHttpConnect, error) &&
         resolve(dll, "WinHttpOpenRequest", api.WinHttpOpenRequest, error) &&
         resolve(dll, "WinHttpAddRequestHeaders", api.WinHttpAddRequestHeaders, error) &&
         resolve(dll, "WinHttpSendRequest", api.WinHttpSendRequest, error) &&
         resolve(dll, "WinHttpReceiveResponse", api.WinHttpReceiveResponse, error) &&
         resolve(dll, "WinHttpQueryHeaders", api.WinHttpQueryHeaders, error) &&
         resolve(dll, "WinHttpQueryDataAvailable", api.WinHttpQueryDataAvailable, error) &&
         resolve(dll, "WinHttpReadData", api.WinHttpReadData, error) &&
         resolve(dll, "WinHttpCloseHandle", api.WinHttpCloseHandle, error);
}

const Loaded& loaded() {
  static const Loaded once = [] {
    Loaded l;
    l.ready = load(l.api, l.error);
    return l;
  }();
  return once;
}

}  // namespace

const WinHttpApi* winhttp(std::string& error) {
  if (loaded().ready) return &loaded().api;
  error = loaded().error;
  return nullptr;
}

const WinHttpApi& loaded_winhttp() { return loaded().api; }

}  // namespace guardian
