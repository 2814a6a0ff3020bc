// Portable rules of the HTTP client: no Windows headers.
#include <cstdio>

#include "build_config.hpp"
#include "net/http_client.hpp"

namespace guardian {

std::pair<std::string, std::string> apikey_header() { return {"apikey", build::kApiKey}; }

std::pair<std::string, std::string> authorization_header(const std::string& value) {
  return {"Authorization", value};
}

std::string build_header_block(const HttpHeaders& headers) {
  std::string block = "Content-Type: application/json\r\nAccept: application/json\r\n";
  for (const auto& [name, value] : headers) {
    block += name;
    block += ": ";
    block += value;
    block += "\r\n";
  }
  return block;
}

HttpResult post_with_fallback(const std::function<HttpResult(bool)>& attempt) {
  HttpResult direct = attempt(false);
  if (direct.ok) return direct;
  HttpResult proxied = attempt(true);
  if (proxied.ok) return proxied;
  direct.error = "direct: " + direct.error + "; via proxy: " + proxied.error;
  return direct;
}

std::string net_check_line(const HttpResult& result, const std::string& url) {
  if (result.ok) return "backend answered: HTTP " + std::to_string(result.status) + " (" + url + ")\n";
  return "backend NOT reachable: " + result.error + " (" + url + ")\n";
}

}  // namespace guardian
