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

bool ConnectionShares::end_one(int64_t now_ms, ShareRule rule, const std::function<bool(const Entry&)>& holder,
                               const std::function<bool(const Entry&)>& spared_while_young,
                               const std::function<bool(const ShareEnding&)>& try_end, int64_t& next) {
  auto sooner = [&next](int64_t at) { next = next < 0 ? at : std::min(next, at); };
  std::vector<size_t> candidates;
  for (size_t slot = 0; slot < entries_.size(); ++slot) {
    const Entry& e = entries_[slot];
    if (!e.live || e.ending || !holder(e)) continue;
    if (now_ms - e.connected_ms < limits_.grace_ms && spared_while_young(e)) {
      sooner(e.connected_ms + limits_.grace_ms);
      continue;
    }
    candidates.push_back(slot);
  }
  std::sort(candidates.begin(), candidates.end(), [this](size_t a, size_t b) {
    return entries_[a].active_ms != entries_[b].active_ms ? entries_[a].active_ms < entries_[b].active_ms : a < b;
  });
  for (const size_t slot : candidates) {
    Entry& e = entries_[slot];
    if (try_end(ShareEnding{slot, e.serial, e.owner, rule})) {
      e.ending = true;
      return true;
    }
    sooner(now_ms + kShareRetryMs);  // being served now: its request ends soon
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
  for (size_t i = 0; i < entries_.size(); ++i)
    for (size_t j = 0; j < entries_.size(); ++j)
      if (counts[i].user && counts[j].user && entries_[j].owner.user == entries_[i].owner.user)
        counts[i].most_in_user = std::max(counts[i].most_in_user, counts[j].process);
  return counts;
}

int64_t ConnectionShares::apply(int64_t now_ms, const std::function<bool(const ShareEnding&)>& try_end) {
  int64_t next = -1;
  bool unmet = false;
  std::vector<Tally> counts = tally();
  const auto slot_of = [this](const Entry& e) { return static_cast<size_t>(&e - entries_.data()); };
  const auto of = [&](const Entry& e) -> const Tally& { return counts[slot_of(e)]; };
  // Ends one connection by rule among those holder admits; counts follow.
  const auto end = [&](ShareRule rule, const auto& holder, const auto& spared_while_young) {
    const bool ended = end_one(now_ms, rule, holder, spared_while_young, try_end, next);
    if (ended) counts = tally();
    else unmet = true;
    return ended;
  };
  // A process past its share gives up its old connections: never one in its first moments,
  // so that many requests at once from one process are all served.
  for (size_t i = 0; i < entries_.size(); ++i) {
    const ClientProcess process = entries_[i].owner.process;
    const auto same = [&process](const Entry& e) { return e.owner.process == process; };
    while (counts[i].process > limits_.per_process && end(ShareRule::process, same, [](const Entry&) { return true; })) {
    }
  }
  // A user past its share gives up connections of its processes that hold the most, and only
  // theirs (never a smaller process's because the biggest one's are new or busy); a process
  // past its own share is not spared for its connections' youth.
  for (size_t i = 0; i < entries_.size(); ++i) {
    const std::string user = entries_[i].owner.user;
    const auto biggest = [&](const Entry& e) { return e.owner.user == user && of(e).process == of(e).most_in_user; };
    const auto young_spared = [&](const Entry& e) { return of(e).process <= limits_.per_process; };
    while (counts[i].user > limits_.per_user && end(ShareRule::user, biggest, young_spared)) {
    }
  }
  // Too few instances free: the user holding the most gives one up, from its process holding
  // the most, and nobody else; a holder past a share is not spared for its connections' youth,
  // so one that opens connections again and again as they are ended cannot keep the reserve.
  while (held() + limits_.reserve > limits_.instances) {
    size_t top = 0;
    for (const Tally& t : counts) top = std::max(top, t.user);
    const auto biggest = [&](const Entry& e) { return of(e).user == top && of(e).process == of(e).most_in_user; };
    const auto young_spared = [&](const Entry& e) {
      return of(e).process <= limits_.per_process && of(e).user <= limits_.per_user;
    };
    if (!end(ShareRule::reserve, biggest, young_spared)) break;
  }
  pressed_ = unmet;
  if (!unmet) return -1;
  return next >= 0 ? next : now_ms + kShareRetryMs;
}

}  // namespace guardian
