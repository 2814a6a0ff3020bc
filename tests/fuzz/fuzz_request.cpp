// A request payload as the pipe server hands it on: parsed, refused when it is not an
// object, otherwise answered by dispatch_request against a fixed identity and key. Each
// object is dispatched twice: as it came, and again carrying the right MAC over its own op
// and nonce, which takes it past the MAC check to the operation table.
// libFuzzer dictionary: json.dict
#include "channel/dispatch.hpp"
#include "channel/frame.hpp"
#include "fuzz_support.hpp"
#include "runtime/agent_context.hpp"

namespace {

using guardian::AgentContext;
using guardian::fuzz::channel_key;
using nlohmann::json;

AgentContext& context() {
  static AgentContext ctx(L"C:\\storage", L"C:\\install");
  static const bool ready = [] {
    ctx.identity.fingerprint = std::string(64, 'a');
    ctx.identity.parts = {{"cpu", "0123456789abcdef"}, {"mguid", "fedcba9876543210"}};
    ctx.identity.hardware = json{{"hostname", "host"}, {"ram_mb", 16384}};
    ctx.channel_key = channel_key();
    ctx.peer_since = 1700000000;
    return true;
  }();
  (void)ready;
  return ctx;
}

bool known_op(const std::string& op) { return op == "ping" || op == "specs" || op == "peer"; }

// What every reply must be, whatever the request: an authenticated envelope for the nonce
// the nonce rule gives, small enough for one frame.
std::string check_reply(const json& request, const json& reply) {
  FUZZ_CHECK(reply.is_object() && reply.size() == 4);
  FUZZ_CHECK(reply.contains("body") && reply.contains("mac"));
  FUZZ_CHECK(reply["ok"].is_boolean() && reply["nonce"].is_string() && reply["body"].is_object());
  const std::string nonce = reply["nonce"];
  const std::string sent = guardian::member_text(request, "nonce");
  if (!sent.empty() && sent.size() <= guardian::kMaxNonceBytes)
    FUZZ_CHECK(nonce == sent);
  else
    FUZZ_CHECK(guardian::fuzz::is_lower_hex(nonce, 32));
  FUZZ_CHECK(reply["body"]["nonce"] == nonce);
  const std::string wire = guardian::fuzz::check_reply_travels(reply, nonce);
  FUZZ_CHECK(!guardian::encode_frame(wire).empty());
  if (!reply["ok"].get<bool>()) {
    const json& error = reply["body"]["error"];
    FUZZ_CHECK(error == "bad_mac" || error == "unknown_op");
  }
  return nonce;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = guardian::fuzz::text_of(data, size);
  const json request = guardian::parse_json(text.begin(), text.end());
  if (request.is_discarded() || !request.is_object()) return 0;  // the server's "bad_request"

  const std::string op = guardian::member_text(request, "op");
  const json reply = guardian::dispatch_request(context(), request);
  check_reply(request, reply);
  if (op == "ping" || op == "specs") FUZZ_CHECK(reply["ok"] == true);

  json signed_request = request;
  const std::string nonce = guardian::member_text(request, "nonce");
  signed_request["mac"] = guardian::request_mac(channel_key(), op, nonce);
  const json answer = guardian::dispatch_request(context(), signed_request);
  check_reply(signed_request, answer);
  const bool nonce_kept = !nonce.empty() && nonce.size() <= guardian::kMaxNonceBytes;
  if (nonce_kept || op == "ping" || op == "specs") {
    FUZZ_CHECK(answer["ok"] == known_op(op));
    if (!known_op(op)) FUZZ_CHECK(answer["body"]["error"] == "unknown_op");
  } else {
    FUZZ_CHECK(answer["body"]["error"] == "bad_mac");  // the MAC was over a nonce the rule replaced
  }
  return 0;
}
