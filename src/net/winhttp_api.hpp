#pragma once
// WinHTTP through a table of the functions the HTTP client calls, loaded from System32 when a
// request is first made: the agent's service loop never makes one, so the library stays out
// of the running agent.
#include <windows.h>
#include <winhttp.h>

#include <string>

namespace guardian {

struct WinHttpApi {
  decltype(&::WinHttpCrackUrl) WinHttpCrackUrl = nullptr;
  decltype(&::WinHttpOpen) WinHttpOpen = nullptr;
  decltype(&::WinHttpSetStatusCallback) WinHttpSetStatusCallback = nullptr;
  decltype(&::WinHttpSetTimeouts) WinHttpSetTimeouts = nullptr;
  decltype(&::WinHttpSetOption) WinHttpSetOption = nullptr;
  decltype(&::WinHttpConnect) WinHttpConnect = nullptr;
  decltype(&::WinHttpOpenRequest) WinHttpOpenRequest = nullptr;
  decltype(&::WinHttpAddRequestHeaders) WinHttpAddRequestHeaders = nullptr;
  decltype(&::WinHttpSendRequest) WinHttpSendRequest = nullptr;
  decltype(&::WinHttpReceiveResponse) WinHttpReceiveResponse = nullptr;
  decltype(&::WinHttpQueryHeaders) WinHttpQueryHeaders = nullptr;
  decltype(&::WinHttpQueryDataAvailable) WinHttpQueryDataAvailable = nullptr;
  decltype(&::WinHttpReadData) WinHttpReadData = nullptr;
  decltype(&::WinHttpCloseHandle) WinHttpCloseHandle = nullptr;
};

// The table, loaded on the first call (a one-time initialisation) and kept; null when the
// library or one of its functions could not be had, and error then says why (the same
// text on every call).
const WinHttpApi* winhttp(std::string& error);

// The table once loaded, for code that only runs with a handle WinHTTP gave.
const WinHttpApi& loaded_winhttp();

}  // namespace guardian
