#pragma once
// A small synchronous JSON-over-HTTP(S) client on WinHTTP: one POST, a fresh session per
// attempt, a direct attempt first and the machine's default proxy only when no answer came.
#include <functional>
#include <map>
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
  std::string error;        // empty when ok is true
};

inline constexpr unsigned long kHttpTimeoutMs = 15000;
inline constexpr size_t kBodyCap = 4194304;  // reading stops after the chunk that passes it

std::pair<std::string, std::string> apikey_header();
std::pair<std::string, std::string> authorization_header(const std::string& value);

// One attempt: direct when use_proxy is false, through the default WinHTTP proxy otherwise.
HttpResult http_post_once(const std::string& url, const std::string& body, const HttpHeaders& headers,
                          bool use_proxy);

// Direct attempt, then one proxy attempt when the direct one got no answer.
HttpResult http_post(const std::string& url, const std::string& body, const HttpHeaders& headers);

// --- portable pieces (http_rules.cpp) ---

// The request header block: the two JSON headers, then each entry as "name: value\r\n".
std::string build_header_block(const HttpHeaders& headers);

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
