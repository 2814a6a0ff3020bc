// Portable: no Windows headers.
#include "channel/client_rules.hpp"

#include <array>

#include "base/json_text.hpp"
#include "channel/auth.hpp"
#include "store/crypto.hpp"

namespace guardian {
namespace {

constexpr std::array<const char*, 13> kResultTexts = {
    "ok",           "no_server", "untrusted_server", "io",       "bad_json",         "no_key",       "not_authentic",
    "not_ok",       "bad_argument", "cancelled",     "internal", "untrusted_client", "access_denied"};

bool nonce_kept(std::string_view nonce) { return !nonce.empty() && nonce.size() <= kMaxNonceBytes; }

}  // namespace

const char* client_result_text(ClientResult result) {
  const auto index = static_cast<size_t>(result);
  return index < kResultTexts.size() ? kResultTexts[index] : "unknown";
}

ClientResult client_result_of_error(std::string_view word) {
  for (ClientResult r : {ClientResult::no_server, ClientResult::untrusted_server, ClientResult::bad_json,
                         ClientResult::access_denied})
    if (word == client_result_text(r)) return r;
  return ClientResult::io;
}

bool is_client_refusal(const nlohmann::json& reply) {
  static const nlohmann::json refusal = {{"body", {{"error", "untrusted_client"}}}, {"ok", false}};
  return reply == refusal;
}

ReplyVerdict judge_reply(const Bytes& key, const nlohmann::json& reply, std::string_view nonce) {
  ReplyVerdict verdict;
  if (!verify_reply(key, reply, nonce)) return verdict;
  const auto ok = reply.find("ok");
  if (ok != reply.end() && ok->is_boolean() && ok->get<bool>()) {
    verdict.result = ClientResult::ok;
  } else {
    verdict.result = ClientResult::not_ok;
    verdict.error_code = member_text(reply["body"], "error");
  }
  return verdict;
}

bool refused_for_mac(const ReplyVerdict& verdict) {
  return verdict.result == ClientResult::not_ok && verdict.error_code == "bad_mac";
}

bool operation_acceptable(std::string_view op) {
  if (op.empty() || op.size() > kMaxOperationBytes) return false;
  // Bytes that are not UTF-8 would be replaced on the way out, and the MAC made over them
  // would not match what the server reads.
  const std::string wire = compact_json(nlohmann::json(std::string(op)));
  const nlohmann::json back = parse_json(wire.begin(), wire.end());
  return back.is_string() && back.get_ref<const std::string&>() == op;
}

std::string reply_nonce(std::string_view request_nonce) {
  return nonce_kept(request_nonce) ? std::string(request_nonce) : random_hex(16);
}

bool request_authentic(const Bytes& key, std::string_view op, std::string_view nonce, std::string_view mac) {
  return nonce_kept(nonce) && request_mac_valid(key, op, nonce, mac);
}

}  // namespace guardian
