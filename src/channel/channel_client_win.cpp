#include <windows.h>

#include <algorithm>

#include "base/json_text.hpp"
#include "base/text.hpp"
#include "base/unique.hpp"
#include "channel/auth.hpp"
#include "channel/channel_client.hpp"
#include "channel/channel_places.hpp"
#include "channel/pipe_client.hpp"
#include "device/identity.hpp"
#include "store/crypto.hpp"
#include "store/protected_store.hpp"

namespace guardian {
namespace {

bool signalled(void* event) { return event && WaitForSingleObject(static_cast<HANDLE>(event), 0) == WAIT_OBJECT_0; }

void tell(std::string* detail, const std::string& text) {
  if (detail) *detail = text;
}

// The time left before the call's deadline, at most cap; cap when the call has none.
unsigned long time_left(uint64_t deadline, unsigned long cap) {
  if (deadline == 0) return cap;
  const ULONGLONG now = GetTickCount64();
  return now >= deadline ? 0 : static_cast<unsigned long>(std::min<ULONGLONG>(cap, deadline - now));
}

constexpr char kLimitPassed[] = "the call's time limit passed";

}  // namespace

// One cancellation: every request begun before cancel_pending() holds the same event.
struct ChannelClient::Token {
  UniqueHandle event = make_event();
};

// A read of the key in progress: set when it has ended, whatever it came to.
struct ChannelClient::KeyLoad {
  UniqueHandle done = make_event();
};

ChannelClient::ChannelClient(ClientSettings settings, Bytes key)
    : settings_(std::move(settings)), fixed_key_(true), token_(std::make_shared<Token>()), key_(std::move(key)) {}

ChannelClient::ChannelClient(ClientSettings settings, KeySettings keys)
    : settings_(std::move(settings)), keys_(std::move(keys)), fixed_key_(false), token_(std::make_shared<Token>()) {}

ChannelClient::~ChannelClient() {
  std::fill(key_.begin(), key_.end(), 0);
  // The job ends the identity child, if one still runs, as its last handle closes.
  if (void* job = job_.load()) CloseHandle(static_cast<HANDLE>(job));
}

std::shared_ptr<ChannelClient::Token> ChannelClient::current_token() {
  std::lock_guard<std::mutex> hold(token_lock_);
  return token_;
}

CallControl ChannelClient::with_token(const CallControl& control, std::shared_ptr<Token>& token) {
  CallControl out = control;
  if (!out.cancel_event) {
    token = current_token();
    out.cancel_event = token->event.get();
  }
  return out;
}

void ChannelClient::cancel_pending(bool later_too) {
  auto fresh = later_too ? nullptr : std::make_shared<Token>();
  std::lock_guard<std::mutex> hold(token_lock_);
  if (token_->event) SetEvent(token_->event.get());
  if (fresh) token_ = std::move(fresh);
}

void ChannelClient::end_children() {
  if (void* job = job_.load()) TerminateJobObject(static_cast<HANDLE>(job), 1);
}

ClientResult ChannelClient::run_load(const CallControl& control, Bytes& key, std::string& why, bool& remember) {
  remember = false;
  if (storage_dir_.empty()) storage_dir_ = keys_.storage_dir.empty() ? default_storage_dir() : keys_.storage_dir;
  const ULONGLONG now = GetTickCount64();
  if (fingerprint_.empty() || (identity_stale_ && now - identity_at_ >= kIdentityRetryMs)) {
    const unsigned long limit = time_left(control.deadline, kIdentityPassLimitMs);
    if (limit == 0) {
      why = kLimitPassed;
      return ClientResult::no_key;
    }
    DeviceIdentity identity;
    ChildPass pass;
    if (keys_.identity == IdentitySource::own_thread) {
      pass = identity_on_own_thread(collect_device_identity, limit, control.cancel_event, identity, why);
      if (pass == ChildPass::failed) pass = ChildPass::no_resources;  // no thread for it
    } else {
      pass = identity_from_program(keys_.agent_program, limit, control.cancel_event, identity, why, job_.load());
      if (!why.empty() && pass != ChildPass::no_resources) why = "identity program: " + why;
    }
    identity_at_ = GetTickCount64();
    switch (pass) {
      case ChildPass::stopped:
        return ClientResult::cancelled;
      case ChildPass::no_resources:
        return ClientResult::internal;
      case ChildPass::timed_out:
        // Cut short by the call's own limit, the pass said nothing about the machine.
        remember = limit == kIdentityPassLimitMs;
        return ClientResult::no_key;
      case ChildPass::failed:
        remember = true;
        return ClientResult::no_key;
      case ChildPass::done:
        break;
    }
    if (identity.fingerprint.size() != 64) {
      why = "the identity pass gave no fingerprint";
      remember = true;
      return ClientResult::no_key;
    }
    fingerprint_ = identity.fingerprint;
    identity_stale_ = false;
  }
  const ProtectedStore store(storage_dir_, fingerprint_);
  switch (load_channel_key(store, fingerprint_, key)) {
    case ChannelFileState::opens:
      return ClientResult::ok;
    case ChannelFileState::does_not_open:
      identity_stale_ = true;
      why = to_utf8(store.path_of(kChannelFile)) + " does not open under this device's fingerprint (" +
            fingerprint_.substr(0, 12) + "\xE2\x80\xA6)";
      return ClientResult::no_key;
    case ChannelFileState::missing:
      break;
  }
  why = to_utf8(store.path_of(kChannelFile)) + " is missing (has the agent run with this storage folder?)";
  return ClientResult::no_key;
}

ClientResult ChannelClient::obtain_key(const CallControl& control, bool reload, uint64_t seen_generation, Bytes& key,
                                       uint64_t& generation) {
  std::unique_lock<std::mutex> hold(key_lock_);
  for (;;) {
    if (!key_.empty() && (!reload || generation_ != seen_generation)) {
      key = key_;
      generation = generation_;
      return ClientResult::ok;
    }
    if (fixed_key_) return ClientResult::no_key;
    if (signalled(control.cancel_event)) return ClientResult::cancelled;
    if (!load_) {
      const ULONGLONG now = GetTickCount64();
      if (reload) {
        // A read of the key that brought nothing new is not repeated at once: replies that do
        // not verify would otherwise cost a read of "channel.bin" each.
        if (reload_at_ != 0 && now - reload_at_ < kIdentityRetryMs) return ClientResult::no_key;
      } else if (failure_ != ClientResult::ok && now - failure_at_ < kIdentityRetryMs) {
        tell(control.detail, failure_detail_ + " (remembered for " + std::to_string(kIdentityRetryMs / 1000) + " s)");
        return failure_;
      }
      break;
    }
    // Another thread reads the key: wait for it, and take what it came to.
    const std::shared_ptr<KeyLoad> load = load_;
    hold.unlock();
    const HANDLE waits[2] = {load->done.get(), static_cast<HANDLE>(control.cancel_event)};
    const DWORD waited =
        WaitForMultipleObjects(control.cancel_event ? 2 : 1, waits, FALSE, time_left(control.deadline, INFINITE));
    hold.lock();
    if (waited == WAIT_OBJECT_0 + 1) return ClientResult::cancelled;
    if (waited != WAIT_OBJECT_0) {
      tell(control.detail, std::string(kLimitPassed) + " while another call computed the device identity");
      return ClientResult::no_key;
    }
  }

  // This thread reads the key; the others wait for it.
  auto load = std::make_shared<KeyLoad>();
  if (!load->done) return ClientResult::internal;
  if (!job_.load() && keys_.identity == IdentitySource::agent_program)
    job_.store(make_identity_job());  // null on failure: the pass then makes one of its own
  load_ = load;
  hold.unlock();
  Bytes fresh;
  std::string why;
  bool remember = false;
  ClientResult result = ClientResult::internal;
  try {
    result = run_load(control, fresh, why, remember);
  } catch (...) {  // out of memory: the waiting threads must still hear of the end
    why = "out of memory";
  }
  hold.lock();
  const ULONGLONG now = GetTickCount64();
  if (result == ClientResult::ok && reload && fresh == key_) {
    result = ClientResult::no_key;
    reload_at_ = now;
  } else if (result == ClientResult::ok) {
    std::fill(key_.begin(), key_.end(), 0);
    key_ = std::move(fresh);
    ++generation_;
    failure_ = ClientResult::ok;
    reload_at_ = 0;
  } else if (result != ClientResult::cancelled) {
    if (reload) reload_at_ = now;
    if (remember) {
      failure_ = result;
      failure_detail_ = why;
      failure_at_ = now;
    }
  }
  std::fill(fresh.begin(), fresh.end(), 0);
  load_.reset();
  SetEvent(load->done.get());
  if (result == ClientResult::ok) {
    key = key_;
    generation = generation_;
  } else {
    tell(control.detail, why);
  }
  return result;
}

ChannelClient::Exchange ChannelClient::exchange(const std::string& op, const Bytes& key,
                                                const CallControl& control) const {
  Exchange out;
  // Without a fresh nonce a reply could not be told from a replayed one.
  out.nonce = random_hex(16);
  if (out.nonce.empty()) {
    tell(control.detail, "no random nonce");
    return out;  // io
  }
  if (control.deadline != 0 && GetTickCount64() >= control.deadline) {
    tell(control.detail, kLimitPassed);
    return out;  // io
  }
  nlohmann::json reply;
  std::string error;
  PipeCallLimits limits;
  limits.timeout_ms = settings_.timeout_ms;
  limits.cancel_event = control.cancel_event;
  limits.deadline = control.deadline;
  limits.detail = control.detail;
  if (!pipe_request(settings_.pipe_name, settings_.trusted_dir, make_request(key, op, out.nonce), reply, error,
                    limits)) {
    out.reply.result = signalled(control.cancel_event) ? ClientResult::cancelled : client_result_of_error(error);
    return out;
  }
  if (is_client_refusal(reply)) {
    out.reply.result = ClientResult::untrusted_client;
    tell(control.detail, "the agent refuses this application (untrusted_client): the program does not run from "
                         "the agent's folder, or the agent could not identify its process");
    out.reply.reply = std::move(reply);
    return out;
  }
  ReplyVerdict verdict = judge_reply(key, reply, out.nonce);
  out.reply.result = verdict.result;
  out.reply.error_code = std::move(verdict.error_code);
  out.reply.reply = std::move(reply);
  if (out.reply.result == ClientResult::not_authentic)
    tell(control.detail, "the reply's MAC or nonce does not verify under the channel key");
  return out;
}

ClientReply ChannelClient::request(const std::string& op, void* cancel_event) {
  CallControl control;
  control.cancel_event = cancel_event;
  return request(op, control);
}

ClientReply ChannelClient::request(const std::string& op, const CallControl& given) {
  std::shared_ptr<Token> token;
  const CallControl control = with_token(given, token);
  ClientReply out;
  if (signalled(control.cancel_event)) {
    out.result = ClientResult::cancelled;
    return out;
  }
  Bytes key;
  uint64_t generation = 0;
  out.result = obtain_key(control, false, 0, key, generation);
  if (out.result != ClientResult::ok) return out;
  Exchange first = exchange(op, key, control);
  if (first.reply.result != ClientResult::not_authentic) return std::move(first.reply);

  // The agent may have made a new secret (its folder was reset): read the key again, once.
  Bytes fresh;
  uint64_t fresh_generation = 0;
  const ClientResult reread = obtain_key(control, true, generation, fresh, fresh_generation);
  if (reread == ClientResult::cancelled) {
    out.result = ClientResult::cancelled;
    return out;
  }
  if (reread != ClientResult::ok || fresh == key) {
    tell(control.detail, "the reply's MAC or nonce does not verify under the channel key");
    return std::move(first.reply);
  }
  const ReplyVerdict again = judge_reply(fresh, first.reply.reply, first.nonce);
  // Refused for the old key's MAC, the request did not run: it goes again under the new key.
  if (refused_for_mac(again)) return exchange(op, fresh, control).reply;
  if (again.result != ClientResult::not_authentic) {
    first.reply.result = again.result;
    first.reply.error_code = again.error_code;
  }
  return std::move(first.reply);
}

ClientResult ChannelClient::load_key(const CallControl& given) {
  std::shared_ptr<Token> token;
  const CallControl control = with_token(given, token);
  Bytes key;
  uint64_t generation = 0;
  const ClientResult result = obtain_key(control, false, 0, key, generation);
  std::fill(key.begin(), key.end(), 0);
  return result;
}

ClientResult ChannelClient::check_request(std::string_view op, std::string_view nonce, std::string_view mac,
                                          const CallControl& given) {
  std::shared_ptr<Token> token;
  const CallControl control = with_token(given, token);
  Bytes key;
  uint64_t generation = 0;
  const ClientResult result = obtain_key(control, false, 0, key, generation);
  if (result != ClientResult::ok) return result;
  return request_authentic(key, op, nonce, mac) ? ClientResult::ok : ClientResult::not_authentic;
}

ClientResult ChannelClient::make_reply(bool ok, std::string_view nonce, nlohmann::json body, nlohmann::json& reply,
                                       const CallControl& given) {
  if (!body.is_object()) return ClientResult::bad_argument;
  std::shared_ptr<Token> token;
  const CallControl control = with_token(given, token);
  Bytes key;
  uint64_t generation = 0;
  const ClientResult result = obtain_key(control, false, 0, key, generation);
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
