#pragma once
// The agent's central record, one per agent run.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "device/identity.hpp"
#include "runtime/line_budget.hpp"
#include "store/protected_store.hpp"

namespace guardian {

class PipeServer;

struct AgentContext {
  AgentContext(std::wstring storage, std::wstring install)
      : storage_dir(std::move(storage)), install_dir(std::move(install)) {}

  std::wstring storage_dir;
  std::wstring install_dir;
  DeviceIdentity identity;
  ProtectedStore store;
  Bytes channel_key;
  // The one owner of the agent's pipe server. A shared_ptr only because its deleter is bound
  // where the server is made, so this record needs no Windows header.
  std::shared_ptr<PipeServer> pipe_server;

  // Guards the three companion fields; taken before the Logger's lock, never after.
  std::mutex state_lock;
  std::string peer_state = "ok";
  int64_t peer_since = 0;
  int32_t peer_failures = 0;

  int64_t watchdog_interval_sec = 60;

  // Lines about requests with a bad MAC. Whoever sends those lacks the key, and any user can
  // make a client in the install folder send them (with a storage directory of its own), so
  // they get a budget like the lines about untrusted clients.
  LineBudget bad_mac_lines{5, 60000};
};

}  // namespace guardian
