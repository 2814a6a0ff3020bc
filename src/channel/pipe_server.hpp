#pragma once
// The server side of a named pipe: every instance the name may have is made at start and kept
// until stop, and all of their I/O (connect, read, write) completes on one completion port
// served by a small fixed pool of worker threads, which also run the request handler.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/line_budget.hpp"
#include "base/unique.hpp"
#include "channel/connection_shares.hpp"
#include "channel/peer_rules.hpp"
#include "channel/pipe_io.hpp"

namespace guardian {

// Takes one request object and the client's executable path; returns the reply.
using RequestHandler = std::function<nlohmann::json(const nlohmann::json& request, const std::wstring& client_image)>;

inline constexpr wchar_t kPipeSddl[] = L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;AU)";
// The whole of one request frame, however its bytes arrive.
inline constexpr DWORD kRequestReadTimeoutMs = 30000;
inline constexpr DWORD kReplyWriteTimeoutMs = 10000;
// Pause before an instance that could not be made, or whose connect failed, is tried again.
inline constexpr DWORD kCreateRetryMs = 2000;
// An instance that keeps failing: its first failure is logged, then one line a minute with
// the number of failed attempts.
inline constexpr int64_t kCreateFailureLineIntervalMs = 60000;

// Connections served at once: the number of instances of the name, all made at start, so no
// other process can add one. Untrusted clients get a share of them and are disconnected at
// once beyond it. Every client process and user has a share too, and a few instances are kept
// free for newcomers (connection_shares.hpp): connections held open beyond a share are ended,
// so a new client finds an instance within its wait whoever holds the others.
inline constexpr size_t kMaxConnections = 64;
inline constexpr size_t kMaxUntrustedConnections = 16;
// Threads that serve the completion port. Handlers take microseconds ("ping", "specs",
// "peer"), so two keep the port drained while one of them writes a log line.
inline constexpr size_t kPipeWorkerThreads = 2;
// Address space reserved for each worker's stack. A request parses and writes nothing deeper
// than the JSON depth limit, and every buffer it holds is on the heap.
inline constexpr SIZE_T kWorkerStackBytes = 256 * 1024;
// Lines about untrusted clients: a burst, then one a minute; the rest are counted and the
// count is given with the next line.
inline constexpr int kUntrustedLineBurst = 5;
inline constexpr int64_t kUntrustedLineIntervalMs = 60000;
// The same budget for connections ended for their share.
inline constexpr int kShareLineBurst = 5;
inline constexpr int64_t kShareLineIntervalMs = 60000;
// A sweep that finds an overdue instance busy (its completion is being handled, which sets
// a new deadline) looks again after this long rather than at once.
inline constexpr DWORD kBusyInstanceRecheckMs = 10;

class PipeServer {
 public:
  PipeServer(std::wstring pipe_name, std::wstring trusted_dir, RequestHandler handler,
             ShareLimits shares = ShareLimits{kMaxConnections});
  ~PipeServer();
  PipeServer(const PipeServer&) = delete;
  PipeServer& operator=(const PipeServer&) = delete;

  // Makes the completion port, all kMaxConnections instances (the first with
  // FILE_FLAG_FIRST_PIPE_INSTANCE) and the workers, then lets every instance wait for a
  // client. False, with last_error() set and nothing left behind, when another process holds
  // instances of the name (name_taken(); nothing is logged), or when the port, the access
  // list or a worker cannot be made. An instance that fails for any other reason is made
  // again every kCreateRetryMs while the server runs; the log says when the name is short of
  // instances and when it is whole again, and the failures within a budget.
  bool start();

  // Acts once: no operation is started any more, every pending one is cancelled, and each
  // comes back through the port before the workers are joined and the instances closed. So
  // no completion and no handler runs after stop() returns. Never call it from a handler.
  void stop();

  bool running() const { return running_.load(); }
  std::string last_error() const;
  // start() failed because the name has instances of another process.
  bool name_taken() const { return name_taken_.load(); }
  // Clients connected and being served now (for tests and diagnostics).
  size_t connection_count() const { return live_.load(); }

 private:
  struct Instance;
  enum class Made { yes, taken, failed };

  static DWORD WINAPI worker_main(void* server);
  void worker_loop();
  Made make_instance(Instance& instance, SECURITY_ATTRIBUTES& sa, bool first, std::string& failure);
  bool post_result(Instance& instance, DWORD error, DWORD bytes = 0);
  void release_one();
  void arm_connect(Instance& instance);
  void start_io(Instance& instance, bool read, void* buffer, DWORD count, int64_t due_ms);
  void drop_client(Instance& instance);
  void end_connection(Instance& instance);
  void rest(Instance& instance);
  void on_connected(Instance& instance);
  void next_frame(Instance& instance);
  void answer_frame(Instance& instance, uint32_t length);
  void complete(Instance& instance, DWORD error, DWORD bytes, uint64_t completed_at);
  bool sweep();
  DWORD wait_ms(bool busy_skipped);
  void apply_shares(int64_t now, const Instance* held);
  bool end_for_share(const ShareEnding& ending, const Instance* held, std::vector<std::string>& lines);
  void note_instance_failure(const std::string& failure);
  void note_instance_made();
  void close_everything();
  void set_last_error(std::string text);
  void log_untrusted(const PeerCheck& client, const std::string& what);
  void log_unreported(bool force);
  void note_unreported_due();

  std::wstring pipe_name_;
  std::wstring trusted_dir_;
  RequestHandler handler_;
  std::atomic<bool> running_{false};
  std::atomic<bool> stopping_{false};  // no operation may be started once set
  std::atomic<bool> name_taken_{false};
  UniqueLocal security_;  // the pipe's security descriptor, for instances made again later
  UniqueHandle port_;
  UniqueHandle idle_event_;  // auto-reset: in_flight_ has come down to 0
  std::vector<std::unique_ptr<Instance>> instances_;
  std::vector<UniqueHandle> workers_;
  // Instances with an operation in the port's hands, or a completion being handled.
  std::atomic<size_t> in_flight_{0};
  std::atomic<size_t> live_{0};
  std::mutex sweep_lock_;  // one sweep at a time
  ProcessImageCache images_;
  ClockSteps clock_steps_;
  // Who holds which connection, by instance; its lock is taken after an instance's lock, and
  // an instance's lock is only tried (never waited for) while it is held.
  std::mutex shares_lock_;
  ConnectionShares shares_;
  std::atomic<int64_t> shares_due_ms_{0};  // when the share rules are to be applied again; 0: not
  uint64_t next_serial_ = 0;               // under shares_lock_
  LineBudget share_lines_{kShareLineBurst, kShareLineIntervalMs};
  // Instances that could not be made, and the budget of the lines about their failures.
  std::atomic<size_t> missing_{0};
  LineBudget failure_lines_{1, kCreateFailureLineIntervalMs};
  LineBudget untrusted_lines_{kUntrustedLineBurst, kUntrustedLineIntervalMs};
  std::mutex lines_lock_;                 // one reading of the budget's due time at a time
  std::atomic<int64_t> lines_due_ms_{0};  // when left-out refusals may have their line; 0: none

  mutable std::mutex mutex_;  // guards last_error_ and live_untrusted_
  std::string last_error_;
  size_t live_untrusted_ = 0;
};

}  // namespace guardian
