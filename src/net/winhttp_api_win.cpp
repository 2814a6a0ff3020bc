#include "net/winhttp_api.hpp"

#include "base/library.hpp"
#include "base/loaded_table.hpp"

namespace guardian {
namespace {

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

const LoadedTable<WinHttpApi>& loaded() { return load_once<WinHttpApi, load>(); }

}  // namespace

const WinHttpApi* winhttp(std::string& error) { return ready_table(loaded(), error); }

const WinHttpApi& loaded_winhttp() { return loaded().api; }

}  // namespace guardian
