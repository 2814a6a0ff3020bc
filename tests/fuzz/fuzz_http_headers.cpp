// The HTTPS client's rules over what callers and the network give them: the request header
// block built (or refused) from any header names and values, the completeness of a body and
// the time left before a deadline, the fallback from the direct attempt to the
// proxy attempt over any two outcomes, and the reachability line over any outcome and URL.
#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_support.hpp"
#include "net/http_client.hpp"

namespace {

using guardian::HttpHeaders;
using guardian::HttpResult;

bool single_line(std::string_view text) { return text.find_first_of(std::string_view("\r\n\0", 3)) == text.npos; }

// A block is refused exactly when some name is empty or holds ":", or some name or value holds
// CR, LF or NUL; otherwise it carries each header as exactly one line, after the two JSON
// header lines, in the map's order.
void check_header_block(const HttpHeaders& headers) {
  const std::optional<std::string> block = guardian::build_header_block(headers);
  std::string expected = "Content-Type: application/json\r\nAccept: application/json\r\n";
  bool acceptable = true;
  for (const auto& [name, value] : headers) {
    acceptable = acceptable && !name.empty() && name.find(':') == name.npos && single_line(name) && single_line(value);
    expected += name + ": " + value + "\r\n";
  }
  FUZZ_CHECK(block.has_value() == acceptable);
  if (block) FUZZ_CHECK(*block == expected);
}

// Whatever the server framed and whatever arrived: a body is complete only when its length
// matches a plain Content-Length, or the answer framed it otherwise; and the time left before
// a deadline never exceeds what remains.
void check_body_rules(FuzzedDataProvider& in) {
  const unsigned long status = in.ConsumeIntegral<uint16_t>();
  const bool has_length = in.ConsumeBool();
  const std::optional<std::string> length =
      has_length ? std::optional<std::string>(in.ConsumeRandomLengthString(24)) : std::nullopt;
  const bool transfer_coded = in.ConsumeBool();
  const uint64_t received = in.ConsumeIntegral<uint64_t>();
  const bool complete = guardian::body_complete(status, length, transfer_coded, received);
  if (status == 204 || status == 304) {
    FUZZ_CHECK(complete == (received == 0));
  } else if (!transfer_coded && length) {
    // A plain Content-Length of exactly what arrived is complete; a complete body never has
    // a Content-Length that names another number of bytes.
    if (*length == std::to_string(received)) FUZZ_CHECK(complete);
    if (complete) {
      const size_t first = length->find_first_not_of(" \t");
      const size_t last = length->find_last_not_of(" \t");
      FUZZ_CHECK(first != length->npos);
      const std::string digits = length->substr(first, last - first + 1);
      FUZZ_CHECK(digits.find_first_not_of("0123456789") == digits.npos && std::stoull(digits) == received);
    }
  } else {
    FUZZ_CHECK(complete);
  }
  const uint64_t now = in.ConsumeIntegral<uint64_t>();
  const uint64_t deadline = in.ConsumeIntegral<uint64_t>();
  const unsigned long left = guardian::ms_left(now, deadline);
  FUZZ_CHECK(now >= deadline ? left == 0 : (left > 0 && left <= deadline - now));
}

HttpResult outcome(FuzzedDataProvider& in) {
  HttpResult r;
  r.ok = in.ConsumeBool();
  if (r.ok) {
    r.status = in.ConsumeIntegral<uint32_t>();
    r.complete = in.ConsumeBool();
    r.body = in.ConsumeRandomLengthString(64);
  } else {
    r.error = in.ConsumeRandomLengthString(64);
  }
  return r;
}

bool same(const HttpResult& a, const HttpResult& b) {
  return a.ok == b.ok && a.complete == b.complete && a.status == b.status && a.body == b.body && a.error == b.error;
}

void check_fallback(const HttpResult& direct, const HttpResult& proxy) {
  int attempts = 0;
  const HttpResult r = guardian::post_with_fallback([&](bool use_proxy) {
    FUZZ_CHECK(use_proxy == (attempts++ == 1));
    return use_proxy ? proxy : direct;
  });
  FUZZ_CHECK(attempts == (direct.ok ? 1 : 2));
  if (direct.ok) {
    FUZZ_CHECK(same(r, direct));
  } else if (proxy.ok) {
    FUZZ_CHECK(same(r, proxy));
  } else {
    FUZZ_CHECK(!r.ok && r.status == direct.status && r.body.empty());
    FUZZ_CHECK(r.error == "direct: " + direct.error + "; via proxy: " + proxy.error);
  }
}

void check_net_check_line(const HttpResult& result, const std::string& url) {
  const std::string line = guardian::net_check_line(result, url);
  const std::string tail = " (" + url + ")\n";
  FUZZ_CHECK(line.size() > tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0);
  if (result.ok)
    FUZZ_CHECK(line.rfind("backend answered: HTTP " + std::to_string(result.status) + " (", 0) == 0);
  else
    FUZZ_CHECK(line.rfind("backend NOT reachable: " + result.error + " (", 0) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  HttpHeaders headers;
  if (in.ConsumeBool()) headers.insert(guardian::apikey_header());
  if (in.ConsumeBool()) headers.insert(guardian::authorization_header("Bearer " + in.ConsumeRandomLengthString(128)));
  const int extra = in.ConsumeIntegralInRange(0, 6);
  for (int i = 0; i < extra; ++i) {
    std::string name = in.ConsumeRandomLengthString(32);
    headers[name] = in.ConsumeRandomLengthString(128);
  }
  check_header_block(headers);
  check_body_rules(in);

  const HttpResult direct = outcome(in);
  const HttpResult proxy = outcome(in);
  check_fallback(direct, proxy);
  check_net_check_line(direct, in.ConsumeRemainingBytesAsString());
  return 0;
}
