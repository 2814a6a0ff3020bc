// The portable rules of the HTTP client: header block, body framing, deadline, fallback, check lines.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
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

TEST(HttpHeaderBlock, EntryThatWouldBreakTheBlockIsRefused) {
  const std::string nul(1, '\0');
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"X-A", "v\r\nX-Injected: 1"}, {"X-A", "v\n"}, {"X-A", "\rv"}, {"X-A", "v" + nul + "w"},
      {"X-A\r\nX-B", "v"},           {"X" + nul, "v"}, {"", "v"},      {"X-A: 1", "v"},
  };
  for (const auto& [name, value] : refused) {
    HttpHeaders headers{{"apikey", "k"}, {name, value}};
    EXPECT_FALSE(build_header_block(headers).has_value()) << name << " / " << value;
  }
  // What a header line may legitimately hold: blanks, colons and tabs in the value, UTF-8, empty.
  HttpHeaders fine{{"X-A", "a: b\tc é"}, {"X-B", ""}};
  EXPECT_EQ(build_header_block(fine),
            "Content-Type: application/json\r\nAccept: application/json\r\nX-A: a: b\tc é\r\nX-B: \r\n");
}

TEST(HttpBodyComplete, FramingRules) {
  using L = std::optional<std::string>;
  // Content-Length reached, short, or unreadable.
  EXPECT_TRUE(body_complete(200, L("19"), false, 19));
  EXPECT_TRUE(body_complete(200, L(" 0 "), false, 0));
  EXPECT_FALSE(body_complete(200, L("1000"), false, 19));
  EXPECT_FALSE(body_complete(200, L("19, 19"), false, 19));
  EXPECT_FALSE(body_complete(200, L("-1"), false, 0));
  EXPECT_FALSE(body_complete(200, L(""), false, 0));
  EXPECT_FALSE(body_complete(200, L("99999999999999999999"), false, 0));
  EXPECT_FALSE(body_complete(200, L("18446744073709551616"), false, 0));  // 2^64 must not wrap to 0
  EXPECT_TRUE(body_complete(200, L("18446744073"), false, 18446744073ull));
  // A transfer coding frames the body itself; Content-Length does not count then.
  EXPECT_TRUE(body_complete(200, L("1000"), true, 5));
  // Neither header: the connection's end is the framing.
  EXPECT_TRUE(body_complete(500, std::nullopt, false, 3));
  // 204 and 304 carry no body whatever their headers say.
  EXPECT_TRUE(body_complete(204, L("10"), false, 0));
  EXPECT_TRUE(body_complete(304, L("10"), false, 0));
}

TEST(HttpDeadline, MillisecondsLeft) {
  EXPECT_EQ(ms_left(1000, 61000), 60000u);
  EXPECT_EQ(ms_left(61000, 61000), 0u);
  EXPECT_EQ(ms_left(61001, 61000), 0u);  // passed: no wrap-around into a long wait
  EXPECT_EQ(ms_left(0, 1ull << 40), 0xFFFFFFFEul);  // never the infinite wait value
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
