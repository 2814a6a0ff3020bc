// The Event Log sink of the service (rules in event_log.hpp). Entries are handed to the
// Event Log by a thread-pool work item, one at a time and never under the queue's lock, so a
// slow or stopped Event Log service holds up nothing but that work item.
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

#include "base/event_log.hpp"
#include "base/system_registration.hpp"
#include "base/text.hpp"
#include "messages.h"

namespace guardian {
namespace {

// Every ID the code reports is one the message table holds, with the same severity.
static_assert(static_cast<DWORD>(AgentEvent::started) == MSG_AGENT_STARTED);
static_assert(static_cast<DWORD>(AgentEvent::stopped) == MSG_AGENT_STOPPED);
static_assert(static_cast<DWORD>(AgentEvent::startup_failed) == MSG_STARTUP_FAILED);
static_assert(static_cast<DWORD>(AgentEvent::identity_slow) == MSG_IDENTITY_SLOW);
static_assert(static_cast<DWORD>(AgentEvent::identity_unsettled) == MSG_IDENTITY_UNSETTLED);
static_assert(static_cast<DWORD>(AgentEvent::companion_failing) == MSG_COMPANION_FAILING);
static_assert(static_cast<DWORD>(AgentEvent::companion_back) == MSG_COMPANION_BACK);
static_assert(static_cast<DWORD>(AgentEvent::log_unwritable) == MSG_LOG_UNWRITABLE);
static_assert(static_cast<DWORD>(AgentEvent::events_dropped) == MSG_EVENTS_DROPPED);
static_assert(static_cast<DWORD>(AgentEvent::installed) == MSG_INSTALLED);
static_assert(static_cast<DWORD>(AgentEvent::removed) == MSG_REMOVED);
static_assert(static_cast<DWORD>(AgentEvent::secret_created) == MSG_SECRET_CREATED);
static_assert(static_cast<DWORD>(AgentEvent::storage_fallback) == MSG_STORAGE_FALLBACK);
static_assert(static_cast<DWORD>(AgentEvent::install_failed) == MSG_INSTALL_FAILED);

class EventSink {
 public:
  void start() {
    std::lock_guard<std::mutex> hold(lock_);
    enabled_ = true;
  }

  void report(AgentEvent id, std::initializer_list<std::string_view> inserts) {
    std::lock_guard<std::mutex> hold(lock_);
    if (!enabled_) return;
    queue_.push(static_cast<uint32_t>(id), inserts);
    schedule();
  }

  bool flush(uint32_t timeout_ms) {
    std::unique_lock<std::mutex> hold(lock_);
    schedule();
    return idle_.wait_for(hold, std::chrono::milliseconds(timeout_ms), [this] { return !draining_ && queue_.empty(); });
  }

 private:
  // Under lock_. A work item that could not be submitted is tried again at the next report
  // or flush; the entries wait in the queue meanwhile.
  void schedule() {
    if (draining_ || queue_.empty()) return;
    draining_ = TrySubmitThreadpoolCallback(&EventSink::drain_callback, this, nullptr) != FALSE;
  }

  static void CALLBACK drain_callback(PTP_CALLBACK_INSTANCE, void* sink) { static_cast<EventSink*>(sink)->drain(); }

  void drain() {
    for (;;) {
      std::optional<QueuedEvent> next;
      {
        std::lock_guard<std::mutex> hold(lock_);
        next = queue_.take();
        if (!next) {
          draining_ = false;
          idle_.notify_all();
          return;
        }
      }
      write(*next);
    }
  }

  // Only the one running work item gets here. The source is registered on first use (the
  // Event Log may not run yet while the service starts) and kept for the process's life.
  // An entry the Event Log refuses is lost; nothing else is affected.
  void write(const QueuedEvent& entry) {
    if (!source_) source_ = RegisterEventSourceW(nullptr, kEventSourceName);
    if (!source_) return;
    std::vector<std::wstring> wide;
    for (const std::string& insert : entry.inserts) wide.push_back(to_utf16(insert));
    std::vector<LPCWSTR> strings;
    for (const std::wstring& insert : wide) strings.push_back(insert.c_str());
    ReportEventW(source_, event_type_of(entry.id), 0, entry.id, nullptr, static_cast<WORD>(strings.size()), 0,
                 strings.empty() ? nullptr : strings.data(), nullptr);
  }

  std::mutex lock_;  // guards every member but source_
  std::condition_variable idle_;
  EventQueue queue_;
  bool enabled_ = false;
  bool draining_ = false;
  HANDLE source_ = nullptr;
};

// Never destroyed: a work item may still be writing an entry while the process exits.
EventSink& sink() {
  alignas(EventSink) static unsigned char storage[sizeof(EventSink)];
  static EventSink* const instance = ::new (storage) EventSink();
  return *instance;
}

}  // namespace

void report_event(AgentEvent id, std::initializer_list<std::string_view> inserts) { sink().report(id, inserts); }

void start_event_log() { sink().start(); }

bool flush_event_log(uint32_t timeout_ms) { return sink().flush(timeout_ms); }

}  // namespace guardian
