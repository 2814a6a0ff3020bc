// Test helper: one POST through the HTTP client, the result printed as one JSON line.
// Usage: http_post_tool post|direct|proxy URL BODY [NAME VALUE]...
//   BODY is the body text, or "@" and a file that holds the body bytes.
//   post: http_post (direct, then proxy); direct/proxy: one http_post_once attempt.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include <nlohmann/json.hpp>

#include "base/binary_stdio.hpp"
#include "net/http_client.hpp"

int main(int argc, char** argv) {
  guardian::use_binary_stdio();
  if (argc < 4 || (argc - 4) % 2 != 0) {
    std::fprintf(stderr, "usage: http_post_tool post|direct|proxy URL BODY [NAME VALUE]...\n");
    return 64;
  }
  const std::string mode = argv[1];
  guardian::HttpHeaders headers;
  for (int i = 4; i + 1 < argc; i += 2) headers[argv[i]] = argv[i + 1];
  std::string body = argv[3];
  if (!body.empty() && body[0] == '@') {
    std::ifstream in(body.substr(1), std::ios::binary);
    body.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  guardian::HttpResult r;
  if (mode == "post")
    r = guardian::http_post(argv[2], body, headers);
  else
    r = guardian::http_post_once(argv[2], body, headers, mode == "proxy");
  const nlohmann::json out = {
      {"ok", r.ok}, {"status", r.status}, {"body", r.body}, {"complete", r.complete}, {"error", r.error}};
  const std::string text = out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  std::fwrite(text.data(), 1, text.size(), stdout);
  return 0;
}
