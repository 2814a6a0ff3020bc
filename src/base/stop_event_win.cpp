#include <windows.h>

#include <atomic>

#include "base/stop_event.hpp"

namespace guardian {
namespace {
// Created once by a host and never closed: the handlers may signal it at any time.
std::atomic<HANDLE> g_stop_event{nullptr};
}  // namespace

HANDLE stop_event() { return g_stop_event.load(); }

HANDLE create_stop_event() {
  HANDLE existing = g_stop_event.load();
  if (existing) return existing;
  HANDLE created = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!g_stop_event.compare_exchange_strong(existing, created)) {
    CloseHandle(created);
    return existing;
  }
  return created;
}

}  // namespace guardian
