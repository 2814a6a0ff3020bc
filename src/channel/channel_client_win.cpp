#include <windows.h>

#include <algorithm>
#include <atomic>

#include "base/json_text.hpp"
#include "base/own_thread.hpp"
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

// The key and its reads. A read (the identity pass when the identity is not known yet or went
// stale, then "channel.bin") runs on a thread of its own, which holds this state: the client
// may end, or its callers give up, while a read runs.
struct ChannelClient::KeyState {
  // One read: done is set when it has ended, whatever it came to.
  struct Load {
    UniqueHandle done = make_event();
    bool reload = false;
    ClientResult result = ClientResult::internal;
    std::string why;
  };

  KeyState(KeySettings settings, bool fixed_key) : keys(std::move(settings)), fixed(fixed_key) {}
  KeyState(const KeyState&) = delete;
  KeyState& operator=(const KeyState&) = delete;
  ~KeyState() {
    std::fill(key.begin(), key.end(), 0);
    // The job ends the identity child, if one still runs, as its last handle closes.
    if (HANDLE made = job.load()) CloseHandle(made);
  }

  // Starts a read on a thread of its own, under lock: the read, or null with why.
  static std::shared_ptr<Load> start(const std::shared_ptr<KeyState>& self, bool reload, std::string& why);
  // The read itself, on its thread: the key in fresh, or why not and whether to remember it.
  ClientResult read(Bytes& fresh, std::string& why, bool& remember);
  // A read from start to end, its result kept here and in load.
  void run(Load& load);

  const KeySettings keys;
  const bool fixed;
  const UniqueHandle closing = make_event();  // set as the client ends: a read ends with it
  std::atomic<HANDLE> job{nullptr};           // the identity child's job; made once, under lock

  // Guards what follows; never held during a read.
  std::mutex lock;
  Bytes key;
  uint64_t generation = 0;
  std::shared_ptr<Load> running;  // the read in progress, if any
  ClientResult failure = ClientResult::ok;
  std::string failure_detail;
  uint64_t failure_at = 0;
  uint64_t reload_at = 0;  // when a read of the key last brought nothing new

  // Only the thread of a read uses these (one read runs at a time).
  std::wstring storage_dir;
  std::string fingerprint;
  bool identity_stale = false;
  uint64_t identity_at = 0;
};

std::shared_ptr<ChannelClient::KeyState::Load> ChannelClient::KeyState::start(const std::shared_ptr<KeyState>& self,
                                                                             bool reload, std::string& why) {
  auto load = std::make_shared<Load>();
  if (!load->done || !self->closing) {  // without its end, a read could not be ended with the client
    why = "CreateEvent: " + win_error_text(GetLastError());
    return nullptr;
  }
  load->reload = reload;
  if (!self->job.load() && self->keys.identity == IdentitySource::agent_program)
    self->job.store(make_identity_job());  // null on failure: the pass then makes one of its own
  const OwnThread thread([self, load] { self->run(*load); });
  if (thread.error() != 0) {
    why = "CreateThread: " + win_error_text(thread.error());
    return nullptr;
  }
  self->running = load;
  return load;
}

ClientResult ChannelClient::KeyState::read(Bytes& fresh, std::string& why, bool& remember) {
  remember = false;
  if (storage_dir.empty()) storage_dir = keys.storage_dir.empty() ? storage_dir_in_use() : keys.storage_dir;
  const ULONGLONG now = GetTickCount64();
  if (fingerprint.empty() || (identity_stale && now - identity_at >= kIdentityRetryMs)) {
    // The pass has its own limit, whatever its callers' are: it ends early only with the client.
    DeviceIdentity identity;
    ChildPass pass;
    bool foreign_client = false;
    if (keys.identity == IdentitySource::own_thread) {
      pass = identity_on_own_thread(collect_device_identity, kIdentityPassLimitMs, closing.get(), identity, why);
      if (pass == ChildPass::failed) pass = ChildPass::no_resources;  // no thread for it
    } else {
      pass = identity_from_program(keys.agent_program, kIdentityPassLimitMs, closing.get(), identity, why, job.load(),
                                   &foreign_client);
      if (!why.empty() && pass != ChildPass::no_resources) why = "identity program: " + why;
    }
    identity_at = GetTickCount64();
    switch (pass) {
      case ChildPass::stopped:
        return ClientResult::cancelled;
      case ChildPass::no_resources:
        return ClientResult::internal;
      case ChildPass::timed_out:
      case ChildPass::failed:
        // A pass that another process held up by taking its pipe says nothing about the machine.
        remember = !foreign_client;
        return ClientResult::no_key;
      case ChildPass::done:
        break;
    }
    if (identity.fingerprint.size() != 64) {
      why = "the identity pass gave no fingerprint";
      remember = true;
      return ClientResult::no_key;
    }
    fingerprint = identity.fingerprint;
    identity_stale = false;
  }
  const ProtectedStore store(storage_dir, fingerprint);
  switch (load_channel_key(store, fingerprint, fresh)) {
    case ChannelFileState::opens:
      return ClientResult::ok;
    case ChannelFileState::does_not_open:
      identity_stale = true;
      why = to_utf8(store.path_of(kChannelFile)) + " does not open under this device's fingerprint (" +
            fingerprint.substr(0, 12) + "\xE2\x80\xA6)";
      return ClientResult::no_key;
    case ChannelFileState::missing:
      break;
  }
  why = to_utf8(store.path_of(kChannelFile)) + " is missing (has the agent run with this storage folder?)";
  return ClientResult::no_key;
}

void ChannelClient::KeyState::run(Load& load) {
  Bytes fresh;
  std::string why;
  bool remember = false;
  ClientResult result = ClientResult::internal;
  try {
    result = read(fresh, why, remember);
  } catch (...) {  // out of memory: the waiting calls must still hear of the end
    why = "out of memory";
  }
  std::lock_guard<std::mutex> hold(lock);
  const ULONGLONG now = GetTickCount64();
  if (result == ClientResult::ok && load.reload && fresh == key) {
    result = ClientResult::no_key;
    reload_at = now;
  } else if (result == ClientResult::ok) {
    std::fill(key.begin(), key.end(), 0);
    key = std::move(fresh);
    ++generation;
    failure = ClientResult::ok;
    reload_at = 0;
  } else if (result != ClientResult::cancelled) {
    if (load.reload) reload_at = now;
    if (remember) {
      failure = result;
      failure_detail = why;
      failure_at = now;
    }
  }
  std::fill(fresh.begin(), fresh.end(), 0);
  load.result = result;
  load.why = std::move(why);
  if (running.get() == &load) running.reset();
  SetEvent(load.done.get());
}

ChannelClient::ChannelClient(ClientSettings settings, Bytes key)
    : settings_(std::move(settings)),
      token_(std::make_shared<Token>()),
      state_(std::make_shared<KeyState>(KeySettings{}, true)) {
  state_->key = std::move(key);
}

ChannelClient::ChannelClient(ClientSettings settings, KeySettings keys)
    : settings_(std::move(settings)),
      token_(std::make_shared<Token>()),
      state_(std::make_shared<KeyState>(std::move(keys), false)) {}

// A read still running ends with the client, as does its identity child; neither is waited for.
ChannelClient::~ChannelClient() { end_children(); }

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
  if (later_too) SetEvent(state_->closing.get());
  auto fresh = later_too ? nullptr : std::make_shared<Token>();
  std::lock_guard<std::mutex> hold(token_lock_);
  if (token_->event) SetEvent(token_->event.get());
  if (fresh) token_ = std::move(fresh);
}

void ChannelClient::end_children() {
  SetEvent(state_->closing.get());
  if (HANDLE job = state_->job.load()) TerminateJobObject(job, 1);
}

ClientResult ChannelClient::obtain_key(const CallControl& control, bool reload, uint64_t seen_generation, Bytes& key,
                                       uint64_t& generation) {
  KeyState& state = *state_;
  std::unique_lock<std::mutex> hold(state.lock);
  const auto take_key = [&] {
    if (state.key.empty() || (reload && state.generation == seen_generation)) return false;
    key = state.key;
    generation = state.generation;
    return true;
  };
  if (take_key()) return ClientResult::ok;
  if (state.fixed) return ClientResult::no_key;
  if (signalled(control.cancel_event)) return ClientResult::cancelled;
  std::shared_ptr<KeyState::Load> load = state.running;
  if (!load) {
    const ULONGLONG now = GetTickCount64();
    if (reload) {
      // A read of the key that brought nothing new is not repeated at once: replies that do
      // not verify would otherwise cost a read of "channel.bin" each.
      if (state.reload_at != 0 && now - state.reload_at < kIdentityRetryMs) return ClientResult::no_key;
    } else if (state.failure != ClientResult::ok && now - state.failure_at < kIdentityRetryMs) {
      tell(control.detail, state.failure_detail + " (remembered for " + duration_text(kIdentityRetryMs) + ")");
      return state.failure;
    }
    std::string why;
    load = KeyState::start(state_, reload, why);
    if (!load) {
      tell(control.detail, why);
      return ClientResult::internal;
    }
  }
  hold.unlock();
  // The read in progress, this call's or an earlier one's, waited for within this call's own
  // cancel and deadline; the cancel first, so that a call cancelled as the read ends is
  // cancelled. A call that gives up leaves the read running for later calls.
  const HANDLE cancel = static_cast<HANDLE>(control.cancel_event);
  const unsigned long allowed = time_left(control.deadline, INFINITE);
  const HANDLE waits[2] = {cancel, load->done.get()};
  const DWORD waited = cancel ? WaitForMultipleObjects(2, waits, FALSE, allowed)
                              : WaitForSingleObject(load->done.get(), allowed);
  if (cancel && waited == WAIT_OBJECT_0) return ClientResult::cancelled;
  if (waited != (cancel ? WAIT_OBJECT_0 + 1 : WAIT_OBJECT_0)) {
    tell(control.detail, std::string(kLimitPassed) + " while the device identity and the key were read: no result " +
                             "within " + duration_text(allowed) + " (the read goes on for later calls)");
    return ClientResult::no_key;
  }
  hold.lock();
  if (take_key()) return ClientResult::ok;
  tell(control.detail, load->why);
  return load->result == ClientResult::ok ? ClientResult::no_key : load->result;
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
