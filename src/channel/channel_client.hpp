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
  std::wstring storage_dir;
  IdentitySource identity = IdentitySource::agent_program;
  std::wstring agent_program;
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
  // new key, and a request it refused for its MAC is sent once more. cancel_event (a handle)
  // ends the request early as "cancelled"; without one, cancel_pending() does.
  ClientReply request(const std::string& op, void* cancel_event = nullptr);

  // The key, read now when it is not held yet: ok, no_key or cancelled.
  ClientResult load_key();

  // The companion's side: the request's MAC checked for op and nonce (ok or not_authentic),
  // and a reply envelope made for a body object, for the nonce the nonce rule gives.
  ClientResult check_request(std::string_view op, std::string_view nonce, std::string_view mac);
  ClientResult make_reply(bool ok, std::string_view nonce, nlohmann::json body, nlohmann::json& reply);

  // Ends every request and key load pending now; those begun later are not affected, unless
  // later_too is set (the client is being closed): they then end as "cancelled" too.
  void cancel_pending(bool later_too = false);

 private:
  struct Token;
  struct Exchange {
    ClientReply reply;
    std::string nonce;
  };

  std::shared_ptr<Token> current_token();
  ClientResult current_key(void* cancel_event, Bytes& key, uint64_t& generation);
  ClientResult load_key_locked(void* cancel_event, Bytes& key);
  bool reload_key(uint64_t seen_generation, void* cancel_event, Bytes& key);
  Exchange exchange(const std::string& op, const Bytes& key, void* cancel_event) const;

  const ClientSettings settings_;
  const KeySettings keys_;
  const bool fixed_key_;

  std::mutex token_lock_;
  std::shared_ptr<Token> token_;

  // Held while the key is read, so that one thread reads it and the others wait for it.
  std::mutex key_lock_;
  Bytes key_;
  uint64_t generation_ = 0;
  std::string fingerprint_;
  bool identity_stale_ = false;
  uint64_t identity_at_ = 0;
};

}  // namespace guardian
