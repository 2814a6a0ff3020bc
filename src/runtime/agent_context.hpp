#pragma once
// The agent's central record, one per agent run.
#include <cstdint>
#include <memory>
#include <string>

#include "channel/channel_context.hpp"
#include "store/protected_store.hpp"

namespace guardian {

class PipeServer;

// The identity, the channel key and the companion's state are the ChannelContext's, which
// the request dispatch and the companion check are given.
struct AgentContext : ChannelContext {
  AgentContext(std::wstring storage, std::wstring install)
      : ChannelContext(std::move(install)), storage_dir(std::move(storage)) {}

  std::wstring storage_dir;
  bool own_storage = false;  // the agent's own folder (the default, or its fallback): it protects the dumps
  bool service = false;      // the service: it gives up the storage check's privileges after start-up
  ProtectedStore store;
  // The one owner of the agent's pipe server. A shared_ptr only because its deleter is bound
  // where the server is made, so this record needs no Windows header.
  std::shared_ptr<PipeServer> pipe_server;

  int64_t watchdog_interval_sec = 60;
};

}  // namespace guardian
