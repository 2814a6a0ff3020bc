// Portable: no Windows headers.
#include "channel/connection_shares.hpp"

#include <algorithm>
#include <utility>

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
  return count_process(entry.owner.process) > limits_.per_process ||
         count_user(entry.owner.user) > user_share(entry.owner.user) ||
         held_now + limits_.reserve > limits_.instances;
}

size_t ConnectionShares::user_share(const std::string& user) const {
  return user.empty() ? limits_.per_process : limits_.per_user;
}

bool ConnectionShares::end_one(int64_t now_ms, ShareRule rule, const std::vector<Tally>& counts,
                               const std::function<bool(const Entry&)>& holder, int64_t spared_ms,
                               const std::function<bool(const ShareEnding&)>& try_end, int64_t& next) {
  auto sooner = [&next](int64_t at) { next = next < 0 ? at : std::min(next, at); };
  // Only the top holder gives up a connection: the user holding the most, and within it the
  // process holding the most. While its connections are all new, the rules wait for them
  // rather than end someone else's: a holder must never shield itself with others' connections.
  const auto rank = [&counts](size_t slot) { return std::make_pair(counts[slot].user, counts[slot].process); };
  std::pair<size_t, size_t> top{0, 0};
  for (size_t slot = 0; slot < entries_.size(); ++slot) {
    const Entry& e = entries_[slot];
    if (e.live && !e.ending && holder(e)) top = std::max(top, rank(slot));
  }
  std::vector<size_t> candidates;
  for (size_t slot = 0; slot < entries_.size(); ++slot) {
    const Entry& e = entries_[slot];
    if (!e.live || e.ending || !holder(e) || rank(slot) != top) continue;
    if (now_ms - e.connected_ms < spared_ms) {
      sooner(e.connected_ms + spared_ms);
      continue;
    }
    candidates.push_back(slot);
  }
  // Least recently active first.
  std::sort(candidates.begin(), candidates.end(), [&](size_t a, size_t b) {
    if (entries_[a].active_ms != entries_[b].active_ms) return entries_[a].active_ms < entries_[b].active_ms;
    return a < b;
  });
  for (const size_t slot : candidates) {
    Entry& e = entries_[slot];
    if (try_end(ShareEnding{slot, e.serial, e.owner, rule})) {
      e.ending = true;
      return true;
    }
    sooner(now_ms + kShareRetryMs);  // its server is busy with it this instant
  }
  return false;
}

std::vector<ConnectionShares::Tally> ConnectionShares::tally() const {
  std::vector<Tally> counts(entries_.size());
  for (size_t i = 0; i < entries_.size(); ++i) {
    const Entry& e = entries_[i];
    if (!e.live || e.ending) continue;
    for (const Entry& other : entries_) {
      if (!other.live || other.ending) continue;
      if (other.owner.process == e.owner.process) ++counts[i].process;
      if (other.owner.user == e.owner.user) ++counts[i].user;
    }
  }
  return counts;
}

int64_t ConnectionShares::apply(int64_t now_ms, const std::function<bool(const ShareEnding&)>& try_end) {
  int64_t next = -1;
  bool unmet = false;
  std::vector<Tally> counts = tally();
  // Ends one connection by rule among those holder admits, none younger than spared_ms.
  const auto end = [&](ShareRule rule, const auto& holder, int64_t spared_ms) {
    const bool ended = end_one(now_ms, rule, counts, holder, spared_ms, try_end, next);
    if (ended) counts = tally();
    else unmet = true;
    return ended;
  };
  // A process past its share gives up its own connections, none in its first second: many
  // requests at once from one process are all served.
  for (size_t i = 0; i < entries_.size(); ++i) {
    const ClientProcess process = entries_[i].owner.process;
    const auto same = [&process](const Entry& e) { return e.owner.process == process; };
    while (counts[i].process > limits_.per_process && end(ShareRule::process, same, limits_.grace_ms)) {
    }
  }
  // A user past its share gives up its connections, its process holding the most first. Past a
  // share a connection is spared only until its first request could have come.
  for (size_t i = 0; i < entries_.size(); ++i) {
    const std::string user = entries_[i].owner.user;
    const auto same = [&user](const Entry& e) { return e.owner.user == user; };
    while (counts[i].user > user_share(user) && end(ShareRule::user, same, limits_.first_request_ms)) {
    }
  }
  // Too few instances free: a connection goes, the user holding the most first and within it the
  // process holding the most.
  while (held() + limits_.reserve > limits_.instances &&
         end(ShareRule::reserve, [](const Entry&) { return true; }, limits_.first_request_ms)) {
  }
  pressed_ = unmet;
  if (!unmet) return -1;
  return next >= 0 ? next : now_ms + kShareRetryMs;
}

}  // namespace guardian
