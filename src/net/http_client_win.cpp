// One attempt on WinHTTP in asynchronous mode: the calling thread starts each step and waits
// for its notification no longer than the attempt's deadline. When the deadline passes, closing
// the request handle cancels whatever is still running; this thread is the only one that ever
// calls WinHTTP with the attempt's handles, and it closes each of them once.
#include <windows.h>
#include <winhttp.h>

#include <memory>

#include "net/http_client.hpp"
#include "net/winhttp_api.hpp"
#include "net/winhttp_unique.hpp"
#include "base/text.hpp"
#include "base/unique.hpp"

namespace guardian {
namespace {

constexpr wchar_t kUserAgent[] = L"OstrivalGuardian/1.0";
constexpr DWORD kHostChars = 256;   // terminator included
constexpr DWORD kPathChars = 2048;  // terminator included

// Every call below runs after http_post_once has loaded the table.
const WinHttpApi& http() { return loaded_winhttp(); }

// What the request's notifications report to the waiting thread. WinHTTP holds a reference
// from the moment the request carries this record as its context until the request handle's
// closing notification, its last one, which may come after the attempt has returned. So the
// buffers WinHTTP reads from or writes into while a step runs (the request body, the read
// buffer) live here too.
struct Exchange {
  UniqueHandle done = make_event();  // set by the notification that ends the running step
  DWORD notification = 0;
  DWORD error = 0;  // from WINHTTP_CALLBACK_STATUS_REQUEST_ERROR
  DWORD bytes = 0;  // bytes available, or bytes read
  std::string request_body;
  std::string buffer;
  std::shared_ptr<Exchange> held_by_winhttp;
};

void CALLBACK on_status(HINTERNET, DWORD_PTR context, DWORD status, void* info, DWORD info_length) {
  auto* ex = reinterpret_cast<Exchange*>(context);
  if (!ex) return;  // the session, the connection, and the request before it carries the record
  switch (status) {
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING: {
      const std::shared_ptr<Exchange> last = std::move(ex->held_by_winhttp);
      return;  // the record may be gone once `last` is
    }
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
      break;
    case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
      ex->bytes = *static_cast<const DWORD*>(info);
      break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
      ex->bytes = info_length;
      break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
      ex->error = static_cast<const WINHTTP_ASYNC_RESULT*>(info)->dwError;
      break;
    default:
      return;
  }
  ex->notification = status;
  SetEvent(ex->done.get());
}

HttpResult failure(std::string error) {
  HttpResult r;
  r.error = std::move(error);
  return r;
}

HttpResult win_failure(const char* operation, DWORD code) {
  return failure(std::string(operation) + ": " + win_error_text(code));
}

bool set_dword_option(HINTERNET handle, DWORD option, DWORD value) {
  return http().WinHttpSetOption(handle, option, &value, sizeof value) != FALSE;
}

// Starts one step and waits for the notification that ends it, until the deadline. Returns 0
// when the step succeeded, otherwise the Windows error: the call's own, the one the
// notification carried, or ERROR_WINHTTP_TIMEOUT when the deadline came first (the step may
// still be running then; closing the request handle cancels it).
template <class Start>
DWORD run_step(Exchange& ex, ULONGLONG deadline, Start start) {
  ResetEvent(ex.done.get());
  ex.notification = 0;
  ex.error = 0;
  ex.bytes = 0;
  if (!start()) return GetLastError();
  const DWORD waited = WaitForSingleObject(ex.done.get(), ms_left(GetTickCount64(), deadline));
  if (waited == WAIT_TIMEOUT) return ERROR_WINHTTP_TIMEOUT;
  if (waited != WAIT_OBJECT_0) return GetLastError();
  if (ex.notification == WINHTTP_CALLBACK_STATUS_REQUEST_ERROR)
    return ex.error != 0 ? ex.error : ERROR_WINHTTP_INTERNAL_ERROR;
  return 0;
}

// A response header's text; empty when the answer does not have it.
std::optional<std::string> header_text(HINTERNET request, DWORD query) {
  DWORD size = 0;
  http().WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &size,
                      WINHTTP_NO_HEADER_INDEX);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return {};
  std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
  size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
  if (!http().WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &size,
                           WINHTTP_NO_HEADER_INDEX))
    return {};
  text.resize(size / sizeof(wchar_t));
  return to_utf8(text);
}

// Reads the body until WinHTTP reports its end (true), or a step fails, the deadline passes or
// the body has passed the cap (false). Whatever was read is kept.
bool read_body(HINTERNET request, Exchange& ex, ULONGLONG deadline, std::string& body) {
  for (;;) {
    if (ms_left(GetTickCount64(), deadline) == 0) return false;
    if (run_step(ex, deadline, [&] { return http().WinHttpQueryDataAvailable(request, nullptr); }) != 0) return false;
    if (ex.bytes == 0) return true;
    ex.buffer.assign(ex.bytes, '\0');
    const DWORD wanted = ex.bytes;
    if (run_step(ex, deadline, [&] { return http().WinHttpReadData(request, ex.buffer.data(), wanted, nullptr); }) != 0)
      return false;
    if (ex.bytes == 0) return true;
    body.append(ex.buffer.data(), ex.bytes < wanted ? ex.bytes : wanted);
    if (body.size() > kBodyCap) return false;
  }
}

}  // namespace

HttpResult http_post_once(const std::string& url, const std::string& body, const HttpHeaders& headers,
                          bool use_proxy, unsigned long attempt_ms) {
  const ULONGLONG deadline = GetTickCount64() + attempt_ms;
  std::string unavailable;
  if (!winhttp(unavailable)) return failure(unavailable);
  const std::wstring wide_url = to_utf16(url);
  wchar_t host[kHostChars] = {};
  wchar_t path[kPathChars] = {};
  URL_COMPONENTS parts = {};
  parts.dwStructSize = sizeof parts;
  parts.lpszHostName = host;
  parts.dwHostNameLength = kHostChars;
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = kPathChars;
  if (wide_url.empty() || !http().WinHttpCrackUrl(wide_url.c_str(), static_cast<DWORD>(wide_url.size()), 0, &parts))
    return failure("bad url");
  const std::optional<std::string> block = build_header_block(headers);
  if (!block) return failure("bad header");

  UniqueInternet session(http().WinHttpOpen(kUserAgent,
                                     use_proxy ? WINHTTP_ACCESS_TYPE_DEFAULT_PROXY : WINHTTP_ACCESS_TYPE_NO_PROXY,
                                     WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC));
  if (!session) return win_failure("WinHttpOpen", GetLastError());
  // Set on the session, the callback serves the connection and the request opened from it.
  if (http().WinHttpSetStatusCallback(session.get(), on_status,
                               WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES,
                               0) == WINHTTP_INVALID_STATUS_CALLBACK)
    return win_failure("WinHttpSetStatusCallback", GetLastError());

  const int timeout = static_cast<int>(kHttpTimeoutMs);
  if (!http().WinHttpSetTimeouts(session.get(), timeout, timeout, timeout, timeout))
    return win_failure("WinHttpSetTimeouts", GetLastError());
  // TLS 1.2 and 1.3; WinHTTP builds that do not know the 1.3 flag refuse the pair, and then
  // TLS 1.2 alone. Never the system's defaults, which may still allow older versions.
  if (!set_dword_option(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS,
                        WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3) &&
      !set_dword_option(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2))
    return win_failure("WinHttpSetOption", GetLastError());

  UniqueInternet connection(http().WinHttpConnect(session.get(), host, parts.nPort, 0));
  if (!connection) return win_failure("WinHttpConnect", GetLastError());

  const auto ex = std::make_shared<Exchange>();
  if (!ex->done) return win_failure("CreateEvent", GetLastError());
  ex->request_body = body;

  const DWORD secure = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
  UniqueInternet request(http().WinHttpOpenRequest(connection.get(), L"POST", path, nullptr, WINHTTP_NO_REFERER,
                                            WINHTTP_DEFAULT_ACCEPT_TYPES, secure));
  if (!request) return win_failure("WinHttpOpenRequest", GetLastError());
  if (!set_dword_option(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, kHttpTimeoutMs))
    return win_failure("WinHttpSetOption", GetLastError());

  const std::wstring wide_block = to_utf16(*block);
  if (!http().WinHttpAddRequestHeaders(request.get(), wide_block.c_str(), static_cast<DWORD>(-1L),
                                WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE))
    return win_failure("WinHttpAddRequestHeaders", GetLastError());

  // From here on the request carries the record, and WinHTTP holds it until the closing
  // notification.
  DWORD_PTR context = reinterpret_cast<DWORD_PTR>(ex.get());
  ex->held_by_winhttp = ex;
  if (!http().WinHttpSetOption(request.get(), WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context)) {
    const DWORD error = GetLastError();
    ex->held_by_winhttp.reset();
    return win_failure("WinHttpSetOption", error);
  }

  const DWORD length = static_cast<DWORD>(ex->request_body.size());
  void* data = length == 0 ? WINHTTP_NO_REQUEST_DATA : ex->request_body.data();
  DWORD error = run_step(*ex, deadline, [&] {
    return http().WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, data, length, length, context);
  });
  if (error == 0) error = run_step(*ex, deadline, [&] { return http().WinHttpReceiveResponse(request.get(), nullptr); });
  if (error != 0) return win_failure("send/receive", error);

  HttpResult result;
  DWORD status = 0;
  DWORD status_size = sizeof status;
  if (http().WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                          WINHTTP_HEADER_NAME_BY_INDEX, &status, &status_size, WINHTTP_NO_HEADER_INDEX))
    result.status = status;
  const std::optional<std::string> content_length = header_text(request.get(), WINHTTP_QUERY_CONTENT_LENGTH);
  const bool transfer_coded = header_text(request.get(), WINHTTP_QUERY_TRANSFER_ENCODING).has_value();
  const bool ended = read_body(request.get(), *ex, deadline, result.body);
  result.complete = ended && body_complete(result.status, content_length, transfer_coded, result.body.size());
  result.ok = true;
  // request, connection and session close here, in that order; a step still running is
  // cancelled, and its record lives on until the request's closing notification.
  return result;
}

HttpResult http_post(const std::string& url, const std::string& body, const HttpHeaders& headers,
                     unsigned long attempt_ms) {
  return post_with_fallback(
      [&](bool use_proxy) { return http_post_once(url, body, headers, use_proxy, attempt_ms); });
}

}  // namespace guardian
