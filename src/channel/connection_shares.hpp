#pragma once
// Fair shares of a pipe's instances. A pipe has a fixed number of instances, so a client that
// holds connections open (a request now and then is enough to keep each alive) could take
// every one of them and leave everyone else waiting. The server therefore keeps, for every
// connection, who holds it (the client's process and the user that process runs as) and when
// it was last active, and ends connections held beyond a share:
// - a process may hold kSharePerProcess connections;
// - the processes of one user together kSharePerUser (those of an unknown user together
//   kSharePerProcess: a process that hides its user gets no share of its own);
// - kShareFreeReserve instances are kept free for newcomers.
// The holder past a share gives up first, and only it: the user holding the most, and within
// it the process holding the most, its least recently active connection first. The server
// ends a connection at once while it waits for a request, has been sending one for a second,
// or has left replies unread for a second; one in the middle of a request is ended once that
// request is answered (within a second), so a request that is being handled or answered is
// never cut, and a client always in the middle of one is no shield. A new connection is spared
// for kShareFirstRequestMs, time enough to send its request, and while its process is within
// its share for kShareGraceMs, so that many requests at once from one process are served;
// meanwhile the rules wait for it, rather than end another holder's. A holder that opens
// connections again as fast as they are ended keeps none for long.
// Portable: no Windows headers; times are a monotonic clock in milliseconds.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace guardian {

// Chosen so that a suite of a few applications per user, each with a few requests in flight,
// on a terminal server with many users signed in, never meets them: the suite's clients send
// one request per connection and close it, so they hold nothing between requests.
inline constexpr size_t kSharePerProcess = 8;
inline constexpr size_t kSharePerUser = 32;
inline constexpr size_t kShareFreeReserve = 4;
inline constexpr int64_t kShareGraceMs = 1000;
inline constexpr int64_t kShareFirstRequestMs = 500;
// When the server cannot take a connection that should go this instant, the rules are applied
// again after this long.
inline constexpr int64_t kShareRetryMs = 100;

// One client process for as long as it lives: its id and its creation time.
struct ClientProcess {
  unsigned long pid = 0;
  uint64_t created = 0;
  bool operator==(const ClientProcess&) const = default;
};

// Who holds a connection: the process, and the user it runs as (empty when unknown; all such
// connections count as one user's).
struct ClientOwner {
  ClientProcess process;
  std::string user;
  std::string image;  // the program, as shown in the log
};

enum class ShareRule {
  process,  // the process holds more than its share
  user,     // the user's processes hold more than its share
  reserve,  // fewer instances than the reserve are free
};

struct ShareLimits {
  size_t instances = 64;
  size_t per_process = kSharePerProcess;
  size_t per_user = kSharePerUser;
  size_t reserve = kShareFreeReserve;
  int64_t grace_ms = kShareGraceMs;
  int64_t first_request_ms = kShareFirstRequestMs;
};

// A connection to end for its share: its slot and serial (which connection of the slot), its
// owner, and the rule.
struct ShareEnding {
  size_t slot = 0;
  uint64_t serial = 0;
  ClientOwner owner;
  ShareRule rule = ShareRule::reserve;
};

// Not thread-safe: the server calls it under a lock of its own.
class ConnectionShares {
 public:
  explicit ConnectionShares(ShareLimits limits);

  const ShareLimits& limits() const { return limits_; }

  // A client connected on a slot (0 to instances - 1); serial tells this connection from the
  // slot's earlier and later ones.
  void connected(size_t slot, uint64_t serial, ClientOwner owner, int64_t now_ms);
  // The connection was served a request (it is recently active from now).
  void active(size_t slot, int64_t now_ms);
  // The connection ended, for whatever reason.
  void ended(size_t slot);

  // True when a rule may be unmet: after a connection that took a process, a user or the free
  // instances past their share, until apply() has ended what it could.
  bool pressed() const { return pressed_; }

  // Ends what the rules say, least recently active first, through try_end, which ends the
  // connection it is given (at once, or once its request is answered) and says so, or says that
  // it cannot this instant; a connection it ended counts as gone from then on. Returns when to apply the rules again (a time in
  // now_ms's clock) while one is still unmet, or -1.
  int64_t apply(int64_t now_ms, const std::function<bool(const ShareEnding&)>& try_end);

  // Connections held now (those being ended not counted).
  size_t held() const;
  // Fewer instances free than the reserve.
  bool reserve_short() const { return held() + limits_.reserve > limits_.instances; }

 private:
  struct Entry {
    bool live = false;
    bool ending = false;
    uint64_t serial = 0;
    ClientOwner owner;
    int64_t connected_ms = 0;
    int64_t active_ms = 0;
  };

  // What each live connection's holders hold: its process and its user.
  struct Tally {
    size_t process = 0, user = 0;
  };

  size_t count_process(const ClientProcess& process) const;
  size_t count_user(const std::string& user) const;
  size_t user_share(const std::string& user) const;
  bool over(const Entry& entry) const;
  std::vector<Tally> tally() const;
  // Ends one of the connections holder admits (see apply for the order), none younger than
  // spared_ms; false when none could be ended now (next is then lowered to when to try again).
  bool end_one(int64_t now_ms, ShareRule rule, const std::vector<Tally>& counts,
               const std::function<bool(const Entry&)>& holder, int64_t spared_ms,
               const std::function<bool(const ShareEnding&)>& try_end, int64_t& next);

  ShareLimits limits_;
  std::vector<Entry> entries_;
  bool pressed_ = false;
};

}  // namespace guardian
