#pragma once
// The server side of a named pipe: one thread accepts clients, and each connected client is
// served on a thread of its own that reads framed JSON requests and writes the replies.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "base/unique.hpp"
#include "channel/pipe_io.hpp"
#include "base/line_budget.hpp"

namespace guardian {

// Takes one request object and the client's executable path; returns the reply.
using RequestHandler = std::function<nlohmann::json(const nlohmann::json& request, const std::wstring& client_image)>;

inline constexpr wchar_t kPipeSddl[] = L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;AU)";
// The whole of one request frame, however its bytes arrive.
inline constexpr DWORD kRequestReadTimeoutMs = 30000;
inline constexpr DWORD kReplyWriteTimeoutMs = 10000;
inline constexpr DWORD kCreateRetryMs = 2000;

// Connections served at once. Untrusted clients get a share of them and are disconnected at
// once beyond it, so trusted clients always find room; beyond the total no instance is
// offered, and new clients wait as for a busy pipe.
inline constexpr size_t kMaxConnections = 64;
inline constexpr size_t kMaxUntrustedConnections = 16;
// Address space reserved for each connection thread's stack. A connection parses and writes
// nothing deeper than the JSON depth limit, and every buffer it holds is on the heap.
inline constexpr SIZE_T kConnectionStackBytes = 256 * 1024;
// Lines about untrusted clients: a burst, then one a minute; the rest are counted and the
// count is given with the next line.
inline constexpr int kUntrustedLineBurst = 5;
inline constexpr int64_t kUntrustedLineIntervalMs = 60000;

class PipeServer {
 public:
  PipeServer(std::wstring pipe_name, std::wstring trusted_dir, RequestHandler handler);
  ~PipeServer();
  PipeServer(const PipeServer&) = delete;
  PipeServer& operator=(const PipeServer&) = delete;

  // Creates the first pipe instance on the caller's thread, with FILE_FLAG_FIRST_PIPE_INSTANCE,
  // then the stop event, marks the server running and starts its thread. False when the name
  // already has instances of another server (last_error() says so; nothing is logged), or
  // when the event or the thread cannot be created; the server is then not running. Any other
  // failure of the first instance is left to the server thread, which retries as it does for
  // every instance.
  bool start();

  // Acts once: signals the stop event, joins the server thread, then ends and joins every
  // connection thread (their waits include the stop event), and closes the event. So no
  // connection thread outlives the server or what its handler uses.
  void stop();

  bool running() const { return running_.load(); }
  std::string last_error() const;
  // Connection threads not yet joined (for tests and diagnostics).
  size_t connection_count() const;

 private:
  struct Connection {
    PipeServer* server = nullptr;
    UniqueFile pipe;
    PeerCheck client;
    UniqueHandle thread;
    std::atomic<bool> done{false};
  };

  static DWORD WINAPI connection_main(void* connection);
  void serve_loop();
  void serve_connection(Connection& connection);
  void set_last_error(std::string text);
  HANDLE create_instance(SECURITY_ATTRIBUTES& sa, DWORD first_instance_flag = 0);
  bool hand_off(UniqueFile pipe, PeerCheck client);
  void reap_connections(bool all);
  bool at_capacity(size_t about_to_start = 0) const;
  bool untrusted_share_used() const;
  DWORD wait_serving(const HANDLE* handles, DWORD count);
  void log_untrusted(const PeerCheck& client, const std::string& what);
  void log_unreported(bool force);

  std::wstring pipe_name_;
  std::wstring trusted_dir_;
  RequestHandler handler_;
  std::thread server_thread_;
  UniqueHandle stop_event_;
  UniqueHandle room_event_;    // auto-reset: a connection has ended
  UniqueFile first_instance_;  // made by start(), taken over by serve_loop
  std::atomic<bool> running_{false};
  LineBudget untrusted_lines_{kUntrustedLineBurst, kUntrustedLineIntervalMs};

  mutable std::mutex mutex_;  // guards last_error_, connections_ and the two counts
  std::string last_error_;
  std::list<std::unique_ptr<Connection>> connections_;
  size_t live_ = 0;            // connections whose thread still serves them
  size_t live_untrusted_ = 0;  // of which untrusted
};

}  // namespace guardian
