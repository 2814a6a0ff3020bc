#pragma once
// The service's entries in the Windows Application log, under the source "OstrivalGuardian"
// (registered by "--install", see base/system_registration.hpp). The texts live in the
// message table compiled into the executable (resources/messages.mc); an entry carries only
// its ID and its inserts.
//
// Only the service, "--install" and "--uninstall" write entries: until start_event_log,
// report_event does nothing, so console runs and the other commands write none. Reporting
// never blocks and never fails the caller: entries wait in a small bounded queue that a
// thread-pool work item hands to the Event Log, which may be slow or stopped. When the queue
// is full an entry is dropped and counted, and the count becomes an entry of its own once the
// queue has emptied. The queue's lock is held for a few instructions only and nothing else is
// taken under it, so any thread may report at any time, the log's and the agent's locks held
// or not.
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace guardian {

// The message IDs as the message table holds them: the severity in the top two bits, the
// number that Event Viewer shows in the low 16.
enum class AgentEvent : uint32_t {
  started = 0x400003E8,             // 1000 information: version, pipe
  stopped = 0x400003E9,             // 1001 information
  startup_failed = 0xC00003EA,      // 1002 error: the reason, as in the log's ERROR line
  identity_slow = 0x800003EB,       // 1003 warning: seconds
  identity_unsettled = 0x800003EC,  // 1004 warning: seconds, the identity start-up went on with
  companion_failing = 0x800003ED,   // 1005 warning: failed checks in a row, why, what to do
  companion_back = 0x400003EE,      // 1006 information: failing since (UTC)
  log_unwritable = 0x800003EF,      // 1007 warning: the log's path, why
  events_dropped = 0x800003F0,      // 1008 warning: how many entries were dropped
  installed = 0x400003F1,           // 1009 information: version, program, what it replaced
  removed = 0x400003F2,             // 1010 information: version, program, what was removed
  secret_created = 0x400003F3,      // 1011 information: the path of the new channel.bin
  storage_fallback = 0xC00003F4,    // 1012 error: what stands where, what to remove, the folder used
  install_failed = 0xC00003F5,      // 1013 error: version, program, why (what --install printed last)
};

// Queues one entry; a no-op before start_event_log.
void report_event(AgentEvent id, std::initializer_list<std::string_view> inserts = {});

// The service host calls this once, before the agent body runs; so do "--install" and
// "--uninstall", for the entries that record them (which they flush before they exit).
void start_event_log();

// Waits up to timeout_ms until every queued entry has been handed to the Event Log; false
// when some were still waiting. The service calls it before it reports stopped, since the
// process ends soon after.
bool flush_event_log(uint32_t timeout_ms);

// --- the rules, portable so they can be tested on their own ---------------------------

// The ReportEvent type of an ID's severity: 1 error, 2 warning, 4 information.
uint16_t event_type_of(uint32_t id);

// An insert as written: control characters shown as the log shows them, "%%" broken up
// (Event Viewer would read it as a reference to another message), and at most
// kEventInsertMaxBytes bytes, cut at a character boundary.
inline constexpr size_t kEventInsertMaxBytes = 1024;
std::string event_insert_text(std::string_view text);

struct QueuedEvent {
  uint32_t id = 0;
  std::vector<std::string> inserts;
};

class EventQueue {
 public:
  static constexpr size_t kCapacity = 64;
  // False when the queue is full: the entry is dropped and counted.
  bool push(uint32_t id, std::initializer_list<std::string_view> inserts);
  // The oldest entry; once none is left, an events_dropped entry for whatever was dropped.
  std::optional<QueuedEvent> take();
  bool empty() const { return entries_.empty() && dropped_ == 0; }

 private:
  std::deque<QueuedEvent> entries_;
  uint64_t dropped_ = 0;
};

}  // namespace guardian
