// Portable: no Windows headers.
#include "channel/connection_shares.hpp"

#include <algorithm>

namespace guardian {

ConnectionShares::ConnectionShares(ShareLimits limits) : limits_(limits), entries_(limits.instances) {}

void ConnectionShares::connected(size_t slot, uint64_t serial, ClientOwner owner, int64_t now_ms) {
  if (slot >= entries_.size()) return;
  Entry& entry = entries_[slot];
  entry.live = true;
  entry.ending = false;
  entry.serial = serial;
  entry.owner = std::move(owner);
  entry.connected_ms = now_ms;
  entry.active_ms = now_ms;
  if (over(entry)) pressed_ = true;
}

void ConnectionShares::active(size_t slot, int64_t now_ms) {
  if (slot < entries_.size() && entries_[slot].live) entries_[slot].active_ms = now_ms;
}

void ConnectionShares::ended(size_t slot) {
  if (slot < entries_.size()) entries_[slot] = Entry{};
}

size_t ConnectionShares::held() const {
  return static_cast<size_t>(std::count_if(entries_.begin(), entries_.end(),
                                           [](const Entry& e) { return e.live && !e.ending; }));
}

size_t ConnectionShares::count_process(const ClientProcess& process) const {
  return static_cast<size_t>(std::count_if(entries_.begin(), entries_.end(), [&](const Entry& e) {
    return e.live && !e.ending && e.owner.process == process;
  }));
}

size_t ConnectionShares::count_user(const std::string& user) const {
  return static_cast<size_t>(std::count_if(entries_.begin(), entries_.end(), [&](const Entry& e) {
    return e.live && !e.ending && e.owner.user == user;
  }));
}

bool ConnectionShares::over(const Entry& entry) const {
  const size_t held_now = held();
  return count_process(entry.owner.process) > limits_.per_process || count_user(entry.owner.user) > limits_.per_user ||
         held_now + limits_.reserve > limits_.instances;
}

bool ConnectionShares::end_one(int64_t now_ms, ShareRule rule, const std::function<bool(const Entry&)>& filter,
                               const std::function<bool(const ShareEnding&)>& try_end, int64_t& next) {
  auto sooner = [&next](int64_t at) { next = next < 0 ? at : std::min(next, at); };
  struct Candidate {
    size_t slot, user_count, process_count;
    int64_t active_ms;
  };
  std::vector<Candidate> candidates;
  for (size_t slot = 0; slot < entries_.size(); ++slot) {
    const Entry& e = entries_[slot];
    if (!e.live || e.ending || !filter(e)) continue;
    if (now_ms - e.connected_ms < limits_.grace_ms) {
      sooner(e.connected_ms + limits_.grace_ms);
      continue;
    }
    candidates.push_back({slot, count_user(e.owner.user), count_process(e.owner.process), e.active_ms});
  }
  std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
    if (a.user_count != b.user_count) return a.user_count > b.user_count;
    if (a.process_count != b.process_count) return a.process_count > b.process_count;
    if (a.active_ms != b.active_ms) return a.active_ms < b.active_ms;
    return a.slot < b.slot;
  });
  for (const Candidate& c : candidates) {
    Entry& e = entries_[c.slot];
    if (try_end(ShareEnding{c.slot, e.serial, e.owner, rule})) {
      e.ending = true;
      return true;
    }
    sooner(now_ms + kShareRetryMs);  // being served now: its request ends soon
  }
  return false;
}

int64_t ConnectionShares::apply(int64_t now_ms, const std::function<bool(const ShareEnding&)>& try_end) {
  int64_t next = -1;
  // While every connection is in its first moments (many requests at once), nothing can be
  // ended: only when the first of them may be.
  int64_t young_until = -1;
  for (const Entry& e : entries_) {
    if (!e.live || e.ending) continue;
    if (now_ms - e.connected_ms >= limits_.grace_ms) {
      young_until = -1;
      break;
    }
    const int64_t until = e.connected_ms + limits_.grace_ms;
    young_until = young_until < 0 ? until : std::min(young_until, until);
  }
  if (young_until >= 0) return young_until;
  bool unmet = false;
  // Each process, then each user, over its share: the first entry of each stands for it.
  const auto keep_shares = [&](const auto& key_of, size_t share, ShareRule rule) {
    for (size_t i = 0; i < entries_.size(); ++i) {
      const Entry& e = entries_[i];
      if (!e.live || e.ending) continue;
      const auto key = key_of(e);
      const auto same = [&](const Entry& other) { return key_of(other) == key; };
      const auto held_by = [&](const Entry& other) { return other.live && !other.ending && same(other); };
      if (std::any_of(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(i), held_by)) continue;
      while (static_cast<size_t>(std::count_if(entries_.begin(), entries_.end(), held_by)) > share) {
        if (!end_one(now_ms, rule, same, try_end, next)) {
          unmet = true;
          break;
        }
      }
    }
  };
  keep_shares([](const Entry& e) -> const ClientProcess& { return e.owner.process; }, limits_.per_process,
              ShareRule::process);
  keep_shares([](const Entry& e) -> const std::string& { return e.owner.user; }, limits_.per_user, ShareRule::user);
  while (held() + limits_.reserve > limits_.instances) {
    if (!end_one(now_ms, ShareRule::reserve, [](const Entry&) { return true; }, try_end, next)) {
      unmet = true;
      break;
    }
  }
  pressed_ = unmet;
  if (!unmet) return -1;
  return next >= 0 ? next : now_ms + kShareRetryMs;
}

}  // namespace guardian
