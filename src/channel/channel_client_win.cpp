#include <windows.h>

#include <algorithm>

#include "base/json_text.hpp"
#include "base/unique.hpp"
#include "channel/auth.hpp"
#include "channel/channel_client.hpp"
#include "channel/pipe_client.hpp"
#include "device/identity.hpp"
#include "store/crypto.hpp"
#include "store/protected_store.hpp"

namespace guardian {
namespace {

// An identity under which "channel.bin" did not open is collected again, at most this often:
// right after a boot a pass may not see the machine whole, and a later one does.
constexpr ULONGLONG kIdentityRetryMs = 5000;

bool signalled(void* event) { return event && WaitForSingleObject(static_cast<HANDLE>(event), 0) == WAIT_OBJECT_0; }

}  // namespace

// One cancellation: every request begun before cancel_pending() holds the same event.
struct ChannelClient::Token {
  UniqueHandle event = make_event();
};

ChannelClient::ChannelClient(ClientSettings settings, Bytes key)
    : settings_(std::move(settings)), fixed_key_(true), token_(std::make_shared<Token>()), key_(std::move(key)) {}

ChannelClient::ChannelClient(ClientSettings settings, KeySettings keys)
    : settings_(std::move(settings)), keys_(std::move(keys)), fixed_key_(false), token_(std::make_shared<Token>()) {}

ChannelClient::~ChannelClient() { std::fill(key_.begin(), key_.end(), 0); }

std::shared_ptr<ChannelClient::Token> ChannelClient::current_token() {
  std::lock_guard<std::mutex> hold(token_lock_);
  return token_;
}

void ChannelClient::cancel_pending(bool later_too) {
  auto fresh = later_too ? nullptr : std::make_shared<Token>();
  std::lock_guard<std::mutex> hold(token_lock_);
  if (token_->event) SetEvent(token_->event.get());
  if (fresh) token_ = std::move(fresh);
}

ClientResult ChannelClient::load_key_locked(void* cancel_event, Bytes& key) {
  const ULONGLONG now = GetTickCount64();
  if (fingerprint_.empty() || (identity_stale_ && now - identity_at_ >= kIdentityRetryMs)) {
    DeviceIdentity identity;
    if (keys_.identity == IdentitySource::own_thread) {
      identity = collect_identity_on_own_thread();
    } else {
      std::string why;
      if (identity_from_program(keys_.agent_program, kIdentityPassLimitMs, cancel_event, identity, why) ==
          ChildPass::stopped)
        return ClientResult::cancelled;
    }
    identity_at_ = GetTickCount64();
    if (identity.fingerprint.size() != 64) return ClientResult::no_key;
    fingerprint_ = identity.fingerprint;
    identity_stale_ = false;
  }
  switch (load_channel_key(ProtectedStore(keys_.storage_dir, fingerprint_), fingerprint_, key)) {
    case ChannelFileState::opens:
      return ClientResult::ok;
    case ChannelFileState::does_not_open:
      identity_stale_ = true;
      return ClientResult::no_key;
    case ChannelFileState::missing:
      break;
  }
  return ClientResult::no_key;
}

ClientResult ChannelClient::current_key(void* cancel_event, Bytes& key, uint64_t& generation) {
  std::lock_guard<std::mutex> hold(key_lock_);
  if (key_.empty()) {
    if (fixed_key_) return ClientResult::no_key;
    if (signalled(cancel_event)) return ClientResult::cancelled;
    const ClientResult loaded = load_key_locked(cancel_event, key_);
    if (loaded != ClientResult::ok) return loaded;
    ++generation_;
  }
  key = key_;
  generation = generation_;
  return ClientResult::ok;
}

bool ChannelClient::reload_key(uint64_t seen_generation, void* cancel_event, Bytes& key) {
  std::lock_guard<std::mutex> hold(key_lock_);
  if (fixed_key_) return false;
  if (generation_ == seen_generation) {
    Bytes fresh;
    if (load_key_locked(cancel_event, fresh) != ClientResult::ok || fresh == key_) return false;
    key_ = std::move(fresh);
    ++generation_;
  }
  key = key_;  // read again by this thread, or by another since the request was made
  return true;
}

ChannelClient::Exchange ChannelClient::exchange(const std::string& op, const Bytes& key, void* cancel_event) const {
  Exchange out;
  // Without a fresh nonce a reply could not be told from a replayed one.
  out.nonce = random_hex(16);
  if (out.nonce.empty()) return out;  // io
  nlohmann::json reply;
  std::string error;
  if (!pipe_request(settings_.pipe_name, settings_.trusted_dir, make_request(key, op, out.nonce), reply, error,
                    settings_.timeout_ms, cancel_event)) {
    out.reply.result = signalled(cancel_event) ? ClientResult::cancelled : client_result_of_error(error);
    return out;
  }
  ReplyVerdict verdict = judge_reply(key, reply, out.nonce);
  out.reply.result = verdict.result;
  out.reply.error_code = std::move(verdict.error_code);
  out.reply.reply = std::move(reply);
  return out;
}

ClientReply ChannelClient::request(const std::string& op, void* cancel_event) {
  std::shared_ptr<Token> token;
  if (!cancel_event) {
    token = current_token();
    cancel_event = token->event.get();
  }
  ClientReply out;
  if (signalled(cancel_event)) {
    out.result = ClientResult::cancelled;
    return out;
  }
  Bytes key;
  uint64_t generation = 0;
  out.result = current_key(cancel_event, key, generation);
  if (out.result != ClientResult::ok) return out;
  Exchange first = exchange(op, key, cancel_event);
  if (first.reply.result != ClientResult::not_authentic) return std::move(first.reply);

  // The agent may have made a new secret (its folder was reset): read the key again, once.
  Bytes fresh;
  if (!reload_key(generation, cancel_event, fresh) || fresh == key) return std::move(first.reply);
  const ReplyVerdict again = judge_reply(fresh, first.reply.reply, first.nonce);
  // Refused for the old key's MAC, the request did not run: it goes again under the new key.
  if (refused_for_mac(again)) return exchange(op, fresh, cancel_event).reply;
  if (again.result != ClientResult::not_authentic) {
    first.reply.result = again.result;
    first.reply.error_code = again.error_code;
  }
  return std::move(first.reply);
}

ClientResult ChannelClient::load_key() {
  const std::shared_ptr<Token> token = current_token();
  Bytes key;
  uint64_t generation = 0;
  const ClientResult result = current_key(token->event.get(), key, generation);
  std::fill(key.begin(), key.end(), 0);
  return result;
}

ClientResult ChannelClient::check_request(std::string_view op, std::string_view nonce, std::string_view mac) {
  const std::shared_ptr<Token> token = current_token();
  Bytes key;
  uint64_t generation = 0;
  const ClientResult result = current_key(token->event.get(), key, generation);
  if (result != ClientResult::ok) return result;
  return request_authentic(key, op, nonce, mac) ? ClientResult::ok : ClientResult::not_authentic;
}

ClientResult ChannelClient::make_reply(bool ok, std::string_view nonce, nlohmann::json body, nlohmann::json& reply) {
  if (!body.is_object()) return ClientResult::bad_argument;
  const std::shared_ptr<Token> token = current_token();
  Bytes key;
  uint64_t generation = 0;
  const ClientResult result = current_key(token->event.get(), key, generation);
  if (result != ClientResult::ok) return result;
  const std::string reply_for = reply_nonce(nonce);
  if (reply_for.empty()) return ClientResult::io;
  nlohmann::json made = guardian::make_reply(key, ok, reply_for, std::move(body));
  // A reply nested deeper than any receiver reads would never verify.
  if (!json_depth_within(made, kMaxJsonDepth)) return ClientResult::bad_argument;
  reply = std::move(made);
  return ClientResult::ok;
}

}  // namespace guardian
