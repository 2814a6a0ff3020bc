// The "--net-check" command: one reachability probe against the built-in backend.
#include <cstdio>

#include "build_config.hpp"
#include "net/http_client.hpp"

namespace guardian {

HttpResult reachability_probe(const std::string& url, unsigned long attempt_ms) {
  HttpHeaders headers;
  headers.insert(apikey_header());
  return http_post(url, "{}", headers, attempt_ms);
}

int net_check_with(const std::string& origin, const std::string& probe_path) {
  const std::string url = origin + probe_path;
  const HttpResult result = reachability_probe(url);
  const std::string line = net_check_line(result, url);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
  return result.ok ? 0 : 2;
}

int net_check() { return net_check_with(build::kBackendOrigin, build::kProbePath); }

}  // namespace guardian
