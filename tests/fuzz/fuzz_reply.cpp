// A reply as a client receives it (the command-line client, the companion check and the client
// library): the text parsed, checked with verify_reply and judged as the client judges it (its
// result and the wire error code). Any parsed value is also used as a reply body:
// made into a reply, written to the wire and parsed again, it must still verify, and verify
// no more once the body changes.
// libFuzzer dictionary: json.dict
#include "channel/client_rules.hpp"
#include "fuzz_support.hpp"

namespace {

using guardian::ClientResult;
using guardian::fuzz::channel_key;
using nlohmann::json;

std::string body_nonce(const json& reply) {
  if (!reply.is_object() || !reply.contains("body") || !reply["body"].is_object()) return {};
  return guardian::member_text(reply["body"], "nonce");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = guardian::fuzz::text_of(data, size);
  const json value = guardian::parse_json(text.begin(), text.end());
  if (value.is_discarded()) return 0;

  // The received reply: whatever verify_reply says, it says the same of the reply written
  // again and parsed again, since the MAC covers the canonical form and not the text.
  const std::string nonce = body_nonce(value);
  const bool authentic = guardian::verify_reply(channel_key(), value, nonce);
  const std::string again = guardian::compact_json(value);
  const json reparsed = guardian::parse_json(again.begin(), again.end());
  FUZZ_CHECK(!reparsed.is_discarded());
  FUZZ_CHECK(authentic == guardian::verify_reply(channel_key(), reparsed, nonce));

  // The client's verdict: authentic exactly as verify_reply says; then ok only for a boolean
  // true "ok", and a refusal hands back the body's error code.
  const guardian::ReplyVerdict verdict = guardian::judge_reply(channel_key(), value, nonce);
  FUZZ_CHECK((verdict.result != ClientResult::not_authentic) == authentic);
  if (authentic) {
    const auto ok = value.find("ok");
    const bool ok_true = ok != value.end() && ok->is_boolean() && ok->get<bool>();
    FUZZ_CHECK(verdict.result == (ok_true ? ClientResult::ok : ClientResult::not_ok));
    FUZZ_CHECK(verdict.error_code == (ok_true ? std::string() : guardian::member_text(value["body"], "error")));
  }

  // The value as the body of a reply the agent makes. A body the receiver could not parse
  // (nested as deep as the limit, then one more level for the envelope) is out of scope.
  const std::string reply_nonce = nonce.empty() ? "n" : nonce;
  const json reply = guardian::make_reply(channel_key(), !authentic, reply_nonce, value);
  if (!guardian::json_depth_within(reply, guardian::kMaxJsonDepth)) return 0;
  guardian::fuzz::check_reply_travels(reply, reply_nonce);
  FUZZ_CHECK(guardian::judge_reply(channel_key(), reply, reply_nonce).result ==
             (authentic ? ClientResult::not_ok : ClientResult::ok));
  json changed = reply;
  json& body = changed["body"];
  if (body.contains("\x7f"))
    body.erase("\x7f");
  else
    body["\x7f"] = nullptr;
  FUZZ_CHECK(!guardian::verify_reply(channel_key(), changed, reply_nonce));
  return 0;
}
