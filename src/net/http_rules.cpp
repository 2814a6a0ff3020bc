// Portable rules of the HTTP client: no Windows headers.
#include <cstdio>
#include <string_view>

#include "build_config.hpp"
#include "net/http_client.hpp"

namespace guardian {

std::pair<std::string, std::string> apikey_header() { return {"apikey", build::kApiKey}; }

std::pair<std::string, std::string> authorization_header(const std::string& value) {
  return {"Authorization", value};
}

namespace {

bool breaks_a_line(std::string_view text) { return text.find_first_of(std::string_view("\r\n\0", 3)) != text.npos; }

}  // namespace

std::optional<std::string> build_header_block(const HttpHeaders& headers) {
  std::string block = "Content-Type: application/json\r\nAccept: application/json\r\n";
  for (const auto& [name, value] : headers) {
    if (name.empty() || name.find(':') != name.npos || breaks_a_line(name) || breaks_a_line(value)) return {};
    block += name;
    block += ": ";
    block += value;
    block += "\r\n";
  }
  return block;
}

bool body_complete(unsigned long status, const std::optional<std::string>& content_length, bool transfer_coded,
                   uint64_t received) {
  if (status == 204 || status == 304) return received == 0;
  if (transfer_coded || !content_length) return true;
  // Content-Length: digits only, optional blanks around them, no list of values.
  std::string_view text = *content_length;
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  if (text.empty() || text.size() > 19) return false;
  uint64_t expected = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    expected = expected * 10 + static_cast<uint64_t>(c - '0');
  }
  return received == expected;
}

unsigned long ms_left(uint64_t now_ms, uint64_t deadline_ms) {
  if (now_ms >= deadline_ms) return 0;
  const uint64_t left = deadline_ms - now_ms;
  return left < 0xFFFFFFFEull ? static_cast<unsigned long>(left) : 0xFFFFFFFEul;
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
