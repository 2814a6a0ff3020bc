#pragma once
// A small synchronous JSON-over-HTTP(S) client on WinHTTP: one POST, a fresh session per
// attempt, a direct attempt first and the machine's default proxy only when no answer came.
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>

namespace guardian {

// The caller's extra headers, ordered by plain byte comparison of the names (so
// "Authorization" comes before "apikey"). The two JSON headers are always added by the client.
using HttpHeaders = std::map<std::string, std::string>;

struct HttpResult {
  bool ok = false;          // an HTTP response arrived, whatever its status
  unsigned long status = 0; // 0 when no response arrived or its status was unreadable
  std::string body;         // raw response bytes; empty when ok is false
  bool complete = false;    // body read to the end the server framed; false when a failed read,
                            // the attempt's deadline or the cap stopped the reading
  std::string error;        // empty when ok is true
};

inline constexpr unsigned long kHttpTimeoutMs = 15000;      // each WinHTTP phase
inline constexpr unsigned long kAttemptDeadlineMs = 60000;  // one attempt, whatever the server does
inline constexpr size_t kBodyCap = 4194304;  // reading stops after the chunk that passes it

std::pair<std::string, std::string> apikey_header();
std::pair<std::string, std::string> authorization_header(const std::string& value);

// One attempt: direct when use_proxy is false, through the default WinHTTP proxy otherwise.
// It ends within attempt_ms, whatever the server does.
HttpResult http_post_once(const std::string& url, const std::string& body, const HttpHeaders& headers,
                          bool use_proxy, unsigned long attempt_ms = kAttemptDeadlineMs);

// Direct attempt, then one proxy attempt when the direct one got no answer.
HttpResult http_post(const std::string& url, const std::string& body, const HttpHeaders& headers,
                     unsigned long attempt_ms = kAttemptDeadlineMs);

// The reachability probe: "{}" with the apikey header posted to url as http_post does; the
// backend counts as reachable when result.ok, whatever the status.
HttpResult reachability_probe(const std::string& url, unsigned long attempt_ms = kAttemptDeadlineMs);

// --- portable pieces (http_rules.cpp) ---

// The request header block: the two JSON headers, then each entry as "name: value\r\n".
// Empty when an entry would break the block or smuggle in a line of its own: a name that is
// empty or holds ':', or a name or value that holds CR, LF or NUL.
std::optional<std::string> build_header_block(const HttpHeaders& headers);

// Whether a body that WinHTTP reports as ended was read to the end the server framed.
// content_length is the Content-Length header's text when the answer has one; transfer_coded
// says the answer has a Transfer-Encoding header (then WinHTTP decodes the chunks and reports
// a stream broken before its final chunk as a failed read, and Content-Length does not count).
// A 204 or 304 answer has no body whatever its headers say; with neither header the
// connection's orderly end is the framing.
bool body_complete(unsigned long status, const std::optional<std::string>& content_length, bool transfer_coded,
                   uint64_t received);

// Milliseconds from now_ms until deadline_ms on the same millisecond clock; 0 once it has
// passed. Never the infinite wait value.
unsigned long ms_left(uint64_t now_ms, uint64_t deadline_ms);

// The fallback rule over an attempt function (argument: use_proxy). A status of any kind
// ends the request; when both attempts fail their errors are combined.
HttpResult post_with_fallback(const std::function<HttpResult(bool)>& attempt);

// The two lines of the reachability check; both end in "\n".
std::string net_check_line(const HttpResult& result, const std::string& url);

// The reachability probe against any origin and probe path: prints one line to standard
// output and returns 0 when the backend answered, 2 when not. net_check() uses the built-in
// origin and probe path.
int net_check_with(const std::string& origin, const std::string& probe_path);

// "--net-check": the reachability probe against the built-in backend; the exit code.
int net_check();

}  // namespace guardian
