#pragma once
// One client of a pipe of the channel. The agent's client commands, its companion check and
// the client library all send their requests through it: the channel key (given, or read
// from "channel.bin" under the device identity and kept), a request with a fresh nonce, the
// exchange through pipe_request, and the verdict on the reply. Any number of threads may use
// one client at once.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "channel/client_rules.hpp"
#include "store/hex.hpp"

namespace guardian {

inline constexpr unsigned long kClientTimeoutMs = 30000;

// A failed identity pass is remembered this long: calls in that time get its result at once
// instead of running the pass again. The same holds for a key read again that brought no new
// key, and an identity under which "channel.bin" did not open is computed again at most this
// often (right after a boot a pass may not see the machine whole, and a later one does).
inline constexpr unsigned long kIdentityRetryMs = 5000;

struct ClientSettings {
  std::wstring pipe_name;
  std::wstring trusted_dir;  // the folder the server must run from; empty: not checked
  unsigned long timeout_ms = kClientTimeoutMs;
};

// How a client that reads "channel.bin" comes by the device identity that opens it.
enum class IdentitySource {
  agent_program,  // agent_program run with --fingerprint in a child process
  own_thread,     // collect_device_identity on a thread of its own, in this process
};

struct KeySettings {
  std::wstring storage_dir;  // empty: the default storage folder, looked up when the key is first read
  IdentitySource identity = IdentitySource::agent_program;
  std::wstring agent_program;
};

// What bounds one call, and where it says why it failed.
struct CallControl {
  void* cancel_event = nullptr;   // ends the call as "cancelled" (else the client's cancel_pending)
  uint64_t deadline = 0;          // a GetTickCount64 time by which the whole call ends; 0: none
  std::string* detail = nullptr;  // on failure: what failed, with the Windows error, paths and programs
};

struct ClientReply {
  ClientResult result = ClientResult::io;
  nlohmann::json reply;    // the reply object as it came, whenever one came; null otherwise
  std::string error_code;  // with not_ok: the wire error code
};

class ChannelClient {
 public:
  // A client whose key is given and never changes (the agent's own, for its companion).
  ChannelClient(ClientSettings settings, Bytes key);
  // A client that reads its key from "channel.bin" when it first needs it.
  ChannelClient(ClientSettings settings, KeySettings keys);
  ~ChannelClient();
  ChannelClient(const ChannelClient&) = delete;
  ChannelClient& operator=(const ChannelClient&) = delete;

  // One request for op. A reply that does not verify under the key held makes the client read
  // its key again, once: when the agent has made a new secret, the reply verifies under the
  // new key, and a request it refused for its MAC is sent once more. The agent's refusal of a
  // client outside its folder is "untrusted_client", and keeps the key. cancel_event (a
  // handle) ends the request early as "cancelled"; without one, cancel_pending() does.
  ClientReply request(const std::string& op, void* cancel_event = nullptr);
  ClientReply request(const std::string& op, const CallControl& control);

  // The key, read now when it is not held yet: ok, no_key, internal or cancelled. The read
  // (the identity pass and "channel.bin") belongs to the client, not to a call: it runs on a
  // thread of its own, until its result, the client's end or the pass's own limit. Every call
  // that needs it meanwhile waits for it and shares its result, or gives up on its own cancel
  // ("cancelled") or deadline ("no_key") and leaves it running for a later call. A failed
  // identity pass is remembered for kIdentityRetryMs.
  ClientResult load_key(const CallControl& control = {});

  // The companion's side: the request's MAC checked for op and nonce (ok or not_authentic),
  // and a reply envelope made for a body object, for the nonce the nonce rule gives.
  ClientResult check_request(std::string_view op, std::string_view nonce, std::string_view mac,
                             const CallControl& control = {});
  ClientResult make_reply(bool ok, std::string_view nonce, nlohmann::json body, nlohmann::json& reply,
                          const CallControl& control = {});

  // Ends every request and key load pending now; those begun later are not affected, unless
  // later_too is set (the client is being closed): they then end as "cancelled" too, and so
  // does a read of the key in progress.
  void cancel_pending(bool later_too = false);

  // Ends a read of the key in progress and the identity child, if one runs, without waiting
  // for anything: for a client that is closed, or left behind by a host that cannot wait for
  // its calls to return.
  void end_children();

 private:
  struct Token;
  struct KeyState;
  struct Exchange {
    ClientReply reply;
    std::string nonce;
  };

  std::shared_ptr<Token> current_token();
  CallControl with_token(const CallControl& control, std::shared_ptr<Token>& token);
  ClientResult obtain_key(const CallControl& control, bool reload, uint64_t seen_generation, Bytes& key,
                          uint64_t& generation);
  Exchange exchange(const std::string& op, const Bytes& key, const CallControl& control) const;

  const ClientSettings settings_;

  std::mutex token_lock_;
  std::shared_ptr<Token> token_;

  // The key and its reads, shared with the thread that runs a read, which may outlive the client.
  const std::shared_ptr<KeyState> state_;
};

}  // namespace guardian
