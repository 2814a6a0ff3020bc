#include <windows.h>
#include <winhttp.h>

#include "net/http_client.hpp"
#include "net/winhttp_unique.hpp"
#include "base/text.hpp"

namespace guardian {
namespace {

constexpr wchar_t kUserAgent[] = L"OstrivalGuardian/1.0";
constexpr DWORD kHostChars = 256;   // terminator included
constexpr DWORD kPathChars = 2048;  // terminator included

HttpResult failure(std::string error) {
  HttpResult r;
  r.error = std::move(error);
  return r;
}

HttpResult win_failure(const char* operation, DWORD code) {
  return failure(std::string(operation) + ": " + win_error_text(code));
}

// Reads the body until the server has no more, a call fails, or the body has passed the cap.
// Whatever was read is kept.
std::string read_body(HINTERNET request) {
  std::string body;
  for (;;) {
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(request, &available) || available == 0) break;
    std::string chunk(available, '\0');
    DWORD got = 0;
    if (!WinHttpReadData(request, chunk.data(), available, &got) || got == 0) break;
    body.append(chunk.data(), got);
    if (body.size() > kBodyCap) break;
  }
  return body;
}

}  // namespace

HttpResult http_post_once(const std::string& url, const std::string& body, const HttpHeaders& headers,
                          bool use_proxy) {
  const std::wstring wide_url = to_utf16(url);
  wchar_t host[kHostChars] = {};
  wchar_t path[kPathChars] = {};
  URL_COMPONENTS parts = {};
  parts.dwStructSize = sizeof parts;
  parts.lpszHostName = host;
  parts.dwHostNameLength = kHostChars;
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = kPathChars;
  if (wide_url.empty() || !WinHttpCrackUrl(wide_url.c_str(), static_cast<DWORD>(wide_url.size()), 0, &parts))
    return failure("bad url");

  UniqueInternet session(WinHttpOpen(kUserAgent,
                                     use_proxy ? WINHTTP_ACCESS_TYPE_DEFAULT_PROXY : WINHTTP_ACCESS_TYPE_NO_PROXY,
                                     WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) return win_failure("WinHttpOpen", GetLastError());

  const int timeout = static_cast<int>(kHttpTimeoutMs);
  WinHttpSetTimeouts(session.get(), timeout, timeout, timeout, timeout);
  DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
  WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);

  UniqueInternet connection(WinHttpConnect(session.get(), host, parts.nPort, 0));
  if (!connection) return win_failure("WinHttpConnect", GetLastError());

  const DWORD secure = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
  UniqueInternet request(WinHttpOpenRequest(connection.get(), L"POST", path, nullptr, WINHTTP_NO_REFERER,
                                            WINHTTP_DEFAULT_ACCEPT_TYPES, secure));
  if (!request) return win_failure("WinHttpOpenRequest", GetLastError());

  const std::wstring block = to_utf16(build_header_block(headers));
  WinHttpAddRequestHeaders(request.get(), block.c_str(), static_cast<DWORD>(-1L),
                           WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE);

  const DWORD length = static_cast<DWORD>(body.size());
  void* data = body.empty() ? WINHTTP_NO_REQUEST_DATA : const_cast<char*>(body.data());
  if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, data, length, length, 0))
    return win_failure("send/receive", GetLastError());
  if (!WinHttpReceiveResponse(request.get(), nullptr)) return win_failure("send/receive", GetLastError());

  HttpResult result;
  DWORD status = 0;
  DWORD status_size = sizeof status;
  if (WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                          WINHTTP_HEADER_NAME_BY_INDEX, &status, &status_size, WINHTTP_NO_HEADER_INDEX))
    result.status = status;
  result.body = read_body(request.get());
  result.ok = true;
  // request, connection and session close here, in that order.
  return result;
}

HttpResult http_post(const std::string& url, const std::string& body, const HttpHeaders& headers) {
  return post_with_fallback([&](bool use_proxy) { return http_post_once(url, body, headers, use_proxy); });
}

}  // namespace guardian
