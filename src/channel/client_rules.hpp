#pragma once
// What a client of the channel makes of one exchange, and what a companion checks and
// answers: the results a client reports, the verdict on a reply, and the nonce rule.
// Portable: no Windows headers.
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "store/hex.hpp"

namespace guardian {

// The outcome of a request. The four after ok are the pipe client's failure words.
enum class ClientResult {
  ok,                // an authentic reply with "ok" true
  no_server,         // the pipe does not exist, or every instance stayed busy
  untrusted_server,  // the server does not run from the folder it must run from
  io,                // the request or the reply did not get through, or no nonce could be made
  bad_json,          // the reply is not a JSON object
  no_key,            // no channel key: "channel.bin" missing or unreadable, or no device identity
  not_authentic,     // the reply's MAC or nonce does not verify
  not_ok,            // an authentic reply with "ok" not true; its body carries the error code
  bad_argument,      // the caller's input cannot make a request
  cancelled,         // ended by a cancellation before a reply came
  internal,          // out of memory or another resource of the process
  untrusted_client,  // the server's exact refusal of a client that does not run from its folder
  access_denied,     // the pipe refused this process its connection
};

// The result's short text: "ok", "no_server", ... ("unknown" outside the enumeration).
const char* client_result_text(ClientResult result);

// The pipe client's failure word as a result; a word it does not know counts as "io".
ClientResult client_result_of_error(std::string_view word);

// The server's refusal of a client outside its folder, exactly as it is sent:
// {"body":{"error":"untrusted_client"},"ok":false} and nothing else. It carries no MAC, so it
// says nothing about the key, which a client then keeps.
bool is_client_refusal(const nlohmann::json& reply);

struct ReplyVerdict {
  ClientResult result = ClientResult::not_authentic;  // ok, not_ok or not_authentic
  std::string error_code;  // with not_ok: the body's "error" when it is a string
};

// A reply judged against the key and the nonce that was sent: not_authentic unless
// verify_reply passes; then ok when the top-level "ok" is the boolean true, else not_ok.
ReplyVerdict judge_reply(const Bytes& key, const nlohmann::json& reply, std::string_view nonce);

// An authentic refusal of the request's MAC: the server holds another key than the one the
// request was made with, and did not run the request.
bool refused_for_mac(const ReplyVerdict& verdict);

// An operation name a client may send: 1 to kMaxOperationBytes bytes that reach the server
// as they are (valid UTF-8, which the wire's JSON text carries unchanged).
inline constexpr size_t kMaxOperationBytes = 256;
bool operation_acceptable(std::string_view op);

// The nonce rule of every server of the channel: a nonce of 1 to kMaxNonceBytes bytes is used
// as it is; another is replaced by a fresh random one (empty only when the generator fails),
// over which no request MAC can match.
std::string reply_nonce(std::string_view request_nonce);

// A companion's check of a request: its MAC is right for op and nonce under the key, and the
// nonce is one the nonce rule keeps.
bool request_authentic(const Bytes& key, std::string_view op, std::string_view nonce, std::string_view mac);

}  // namespace guardian
