// The portable rules of the HTTP client: header block, fallback, check lines.
#include <gtest/gtest.h>

#include <vector>

#include "net/http_client.hpp"

namespace guardian {
namespace {

TEST(HttpHeaderBlock, JsonHeadersThenMapOrder) {
  EXPECT_EQ(build_header_block({}), "Content-Type: application/json\r\nAccept: application/json\r\n");
  HttpHeaders headers;
  headers.insert(apikey_header());
  headers.insert(authorization_header("Bearer t0k"));
  EXPECT_EQ(build_header_block(headers),
            "Content-Type: application/json\r\nAccept: application/json\r\n"
            "Authorization: Bearer t0k\r\napikey: " +
                apikey_header().second + "\r\n");
  EXPECT_EQ(apikey_header().second.size(), 46u);
}

TEST(HttpFallback, AnyAnswerEndsTheRequest) {
  std::vector<bool> attempts;
  auto answer = [&](bool use_proxy) {
    attempts.push_back(use_proxy);
    HttpResult r;
    r.ok = true;
    r.status = 500;
    r.body = R"({"error":"x"})";
    return r;
  };
  const HttpResult r = post_with_fallback(answer);
  EXPECT_EQ(attempts, std::vector<bool>{false});
  EXPECT_EQ(r.status, 500u);
  EXPECT_EQ(r.body, R"({"error":"x"})");
}

TEST(HttpFallback, ProxyAnswerReplacesTheDirectFailure) {
  std::vector<bool> attempts;
  auto attempt = [&](bool use_proxy) {
    attempts.push_back(use_proxy);
    HttpResult r;
    if (use_proxy) {
      r.ok = true;
      r.status = 200;
    } else {
      r.error = "send/receive: refused";
    }
    return r;
  };
  const HttpResult r = post_with_fallback(attempt);
  EXPECT_EQ(attempts, (std::vector<bool>{false, true}));
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.status, 200u);
  EXPECT_EQ(r.error, "");
}

TEST(HttpFallback, BothFailuresCombinedInOrder) {
  auto attempt = [](bool use_proxy) {
    HttpResult r;
    r.error = use_proxy ? "second" : "first";
    return r;
  };
  const HttpResult r = post_with_fallback(attempt);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.status, 0u);
  EXPECT_EQ(r.error, "direct: first; via proxy: second");
}

TEST(NetCheckLine, BothForms) {
  HttpResult r;
  r.ok = true;
  r.status = 404;
  EXPECT_EQ(net_check_line(r, "https://h/p"), "backend answered: HTTP 404 (https://h/p)\n");
  r = HttpResult{};
  r.error = "direct: a; via proxy: b";
  EXPECT_EQ(net_check_line(r, "https://h/p"), "backend NOT reachable: direct: a; via proxy: b (https://h/p)\n");
}

}  // namespace
}  // namespace guardian
