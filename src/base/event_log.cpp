// Portable: no Windows headers.
#include "base/event_log.hpp"

#include "base/log_format.hpp"

namespace guardian {

uint16_t event_type_of(uint32_t id) {
  switch (id >> 30) {
    case 3:
      return 1;  // EVENTLOG_ERROR_TYPE
    case 2:
      return 2;  // EVENTLOG_WARNING_TYPE
    default:
      return 4;  // EVENTLOG_INFORMATION_TYPE
  }
}

std::string event_insert_text(std::string_view text) {
  std::string shown;
  append_log_text(shown, text);
  std::string out;
  for (size_t i = 0; i < shown.size(); ++i) {
    out += shown[i];
    if (shown[i] == '%' && i + 1 < shown.size() && shown[i + 1] == '%') out += ' ';
  }
  if (out.size() <= kEventInsertMaxBytes) return out;
  size_t cut = kEventInsertMaxBytes;
  while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;  // not inside a character
  out.resize(cut);
  return out;
}

bool EventQueue::push(uint32_t id, std::initializer_list<std::string_view> inserts) {
  if (entries_.size() >= kCapacity) {
    ++dropped_;
    return false;
  }
  QueuedEvent entry{id, {}};
  for (std::string_view insert : inserts) entry.inserts.push_back(event_insert_text(insert));
  entries_.push_back(std::move(entry));
  return true;
}

std::optional<QueuedEvent> EventQueue::take() {
  if (!entries_.empty()) {
    QueuedEvent next = std::move(entries_.front());
    entries_.pop_front();
    return next;
  }
  if (dropped_ == 0) return std::nullopt;
  QueuedEvent note{static_cast<uint32_t>(AgentEvent::events_dropped), {std::to_string(dropped_)}};
  dropped_ = 0;
  return note;
}

}  // namespace guardian
