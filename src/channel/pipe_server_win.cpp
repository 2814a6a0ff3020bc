#include "channel/pipe_server.hpp"

#include <sddl.h>

#include "channel/auth.hpp"
#include "channel/frame.hpp"
#include "base/json_text.hpp"
#include "base/log.hpp"
#include "base/text.hpp"

namespace guardian {
namespace {

int64_t tick_ms() { return static_cast<int64_t>(GetTickCount64()); }

}  // namespace

PipeServer::PipeServer(std::wstring pipe_name, std::wstring trusted_dir, RequestHandler handler)
    : pipe_name_(std::move(pipe_name)), trusted_dir_(std::move(trusted_dir)), handler_(std::move(handler)) {}

PipeServer::~PipeServer() { stop(); }

bool PipeServer::start() {
  if (running_.load()) return true;
  // Windows refuses a "first" instance of a name that another server has: this server then
  // stays down rather than share the name (clients would reach either server at random).
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (ConvertStringSecurityDescriptorToSecurityDescriptorW(kPipeSddl, SDDL_REVISION_1, &sd, nullptr)) {
    UniqueLocal sd_owner(sd);
    SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
    first_instance_.reset(create_instance(sa, FILE_FLAG_FIRST_PIPE_INSTANCE));
    const DWORD error = first_instance_ ? 0 : GetLastError();
    if (error == ERROR_ACCESS_DENIED) {
      std::lock_guard<std::mutex> hold(mutex_);
      last_error_ = "CreateNamedPipe: " + win_error_text(error);
      return false;
    }
  }
  stop_event_ = make_event();
  room_event_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!stop_event_ || !room_event_) {
    first_instance_.reset();
    return false;
  }
  running_.store(true);
  try {
    server_thread_ = std::thread([this] { serve_loop(); });
  } catch (const std::system_error&) {
    running_.store(false);
    stop_event_.reset();
    first_instance_.reset();
    return false;
  }
  return true;
}

void PipeServer::stop() {
  if (!running_.exchange(false)) return;
  SetEvent(stop_event_.get());
  if (server_thread_.joinable()) {
    if (server_thread_.get_id() == std::this_thread::get_id()) {
      // Joining from the server thread itself would wait for ever; its own caller ends it.
      server_thread_.detach();
    } else {
      server_thread_.join();
    }
  }
  reap_connections(true);
  log_unreported(true);
  stop_event_.reset();
  room_event_.reset();
}

std::string PipeServer::last_error() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return last_error_;
}

size_t PipeServer::connection_count() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return connections_.size();
}

void PipeServer::set_last_error(std::string text) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    last_error_ = text;
  }
  log_error("pipe " + text);
}

bool PipeServer::at_capacity(size_t about_to_start) const {
  std::lock_guard<std::mutex> hold(mutex_);
  return live_ + about_to_start >= kMaxConnections;
}

bool PipeServer::untrusted_share_used() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return live_untrusted_ >= kMaxUntrustedConnections;
}

void PipeServer::reap_connections(bool all) {
  std::list<std::unique_ptr<Connection>> finished;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      if (all || (*it)->done.load()) {
        finished.push_back(std::move(*it));
        it = connections_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& c : finished)
    if (c->thread) WaitForSingleObject(c->thread.get(), INFINITE);
}

// Every untrusted client costs at most a line from the budget; the line for an event that
// finds the budget spent is left out and counted.
void PipeServer::log_untrusted(const PeerCheck& client, const std::string& what) {
  uint64_t skipped = 0;
  if (!untrusted_lines_.admit(tick_ms(), skipped)) return;
  std::string line = "pipe: untrusted client pid " + std::to_string(client.pid) + " image " + to_utf8(client.image);
  if (client.verdict == PeerVerdict::reused) line += " (created after it connected: its process id was reused)";
  if (client.verdict == PeerVerdict::unidentified) line += " (process not identified)";
  line += what;
  if (skipped) line += "; " + std::to_string(skipped) + " more refused without a line";
  log_warn(line);
}

void PipeServer::log_unreported(bool force) {
  if (const uint64_t count = untrusted_lines_.take_unreported(tick_ms(), force))
    log_warn("pipe: " + std::to_string(count) + " more refused without a line");
}

// Waits for one of the handles; meanwhile writes the line for untrusted clients that were
// left out, as soon as the budget allows.
DWORD PipeServer::wait_serving(const HANDLE* handles, DWORD count) {
  for (;;) {
    const int64_t due = untrusted_lines_.unreported_due_in(tick_ms());
    const DWORD wait = WaitForMultipleObjects(count, handles, FALSE, due < 0 ? INFINITE : static_cast<DWORD>(due));
    if (wait != WAIT_TIMEOUT) return wait;
    log_unreported(false);
  }
}

HANDLE PipeServer::create_instance(SECURITY_ATTRIBUTES& sa, DWORD first_instance_flag) {
  constexpr DWORD kFrameBuffer = kMaxFramePayload + kFrameHeaderSize;
  return CreateNamedPipeW(pipe_name_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | first_instance_flag,
                          PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_REJECT_REMOTE_CLIENTS,
                          PIPE_UNLIMITED_INSTANCES, kFrameBuffer, kFrameBuffer, 0, &sa);
}

DWORD WINAPI PipeServer::connection_main(void* connection) {
  auto* self = static_cast<Connection*>(connection);
  self->server->serve_connection(*self);
  return 0;
}

bool PipeServer::hand_off(UniqueFile pipe, PeerCheck client) {
  auto connection = std::make_unique<Connection>();
  Connection* self = connection.get();
  self->server = this;
  self->pipe = std::move(pipe);
  self->client = std::move(client);
  const bool trusted = self->client.verdict == PeerVerdict::trusted;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    connections_.push_back(std::move(connection));
    ++live_;
    if (!trusted) ++live_untrusted_;
  }
  // The list owns the connection before its thread runs; the thread ends by marking it done.
  self->thread.reset(CreateThread(nullptr, kConnectionStackBytes, connection_main, self,
                                  STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
  if (self->thread) return true;
  // No thread for this client: it is disconnected, the server goes on.
  DisconnectNamedPipe(self->pipe.get());
  std::lock_guard<std::mutex> hold(mutex_);
  --live_;
  if (!trusted) --live_untrusted_;
  connections_.remove_if([self](const std::unique_ptr<Connection>& c) { return c.get() == self; });
  return false;
}

void PipeServer::serve_loop() {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kPipeSddl, SDDL_REVISION_1, &sd, nullptr)) {
    const DWORD error = GetLastError();
    set_last_error("SDDL: " + win_error_text(error));
    return;
  }
  UniqueLocal sd_owner(sd);
  SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
  const HANDLE stop = stop_event_.get();
  const HANDLE room = room_event_.get();

  // The next instance is created as soon as a client has connected, before that client is
  // judged and handed to its thread: the pipe name never disappears between two clients, and
  // the next client finds an instance at once (a new instance takes a client even before
  // ConnectNamedPipe is called on it). At the connection limit no instance is offered: new
  // clients find the pipe busy and wait until a connection ends.
  UniqueFile listening = std::move(first_instance_);
  while (running_.load()) {
    reap_connections(false);
    if (!listening && at_capacity()) {
      const HANDLE waits[2] = {stop, room};
      if (wait_serving(waits, 2) == WAIT_OBJECT_0) break;
      continue;
    }
    if (!listening) {
      listening.reset(create_instance(sa));
      if (!listening) {
        const DWORD error = GetLastError();
        set_last_error("CreateNamedPipe: " + win_error_text(error));
        if (WaitForSingleObject(stop, kCreateRetryMs) == WAIT_OBJECT_0) break;
        continue;
      }
    }

    UniqueHandle connect_event = make_event();
    OVERLAPPED ov{};
    ov.hEvent = connect_event.get();
    bool connected = false;
    if (ConnectNamedPipe(listening.get(), &ov)) {
      connected = true;
    } else {
      const DWORD error = GetLastError();
      if (error == ERROR_PIPE_CONNECTED) {
        connected = true;
      } else if (error == ERROR_NO_DATA) {
        // A client came and went before the wait began (a second agent looking for the
        // name's owner does so). The instance is made free again and kept: closing it could
        // leave the name without any instance for a moment, and a client then finds no pipe.
        if (DisconnectNamedPipe(listening.get())) continue;
      } else if (error == ERROR_IO_PENDING) {
        // A connection that ends meanwhile only wakes the loop to reap its thread.
        const HANDLE waits[3] = {connect_event.get(), stop, room};
        DWORD wait;
        while ((wait = wait_serving(waits, 3)) == WAIT_OBJECT_0 + 2) reap_connections(false);
        if (wait != WAIT_OBJECT_0) {
          CancelIo(listening.get());
          DWORD ignored = 0;
          GetOverlappedResult(listening.get(), &ov, &ignored, TRUE);
          listening.reset();
          continue;
        }
        DWORD ignored = 0;
        connected = GetOverlappedResult(listening.get(), &ov, &ignored, FALSE) != FALSE;
      }
    }
    connect_event.reset();
    if (!connected || !running_.load()) {
      listening.reset();
      continue;
    }

    const uint64_t connected_at = precise_time_now();
    UniqueFile accepted = std::move(listening);
    if (!at_capacity(1)) {
      listening.reset(create_instance(sa));
      if (!listening) {
        const DWORD error = GetLastError();
        set_last_error("CreateNamedPipe: " + win_error_text(error));
      }
    }

    // Who the client is, decided here, once for the connection: before any thread is spent
    // on it, and while the process that connected is most likely still there.
    ULONG pid = 0;
    PeerCheck client;
    if (GetNamedPipeClientProcessId(accepted.get(), &pid)) client = check_peer_process(pid, connected_at, trusted_dir_);
    client.pid = pid;
    if (client.verdict != PeerVerdict::trusted && untrusted_share_used()) {
      log_untrusted(client, ": disconnected, the untrusted share of " + std::to_string(kMaxUntrustedConnections) +
                                " connections is in use");
      DisconnectNamedPipe(accepted.get());
      continue;
    }
    hand_off(std::move(accepted), std::move(client));
  }
}

void PipeServer::serve_connection(Connection& connection) {
  const HANDLE pipe = connection.pipe.get();
  const HANDLE stop = stop_event_.get();
  const PeerCheck& client = connection.client;
  const bool trusted = client.verdict == PeerVerdict::trusted;

  std::string payload;
  while (read_frame(pipe, payload, kRequestReadTimeoutMs, stop)) {
    nlohmann::json reply;
    if (!trusted) {
      log_untrusted(client, "");
      reply = rejection_reply("untrusted_client");
    } else {
      const nlohmann::json request = parse_json(payload.begin(), payload.end());
      if (request.is_discarded() || !request.is_object()) {
        reply = rejection_reply("bad_request");
      } else {
        try {
          reply = handler_(request, client.image);
        } catch (const std::exception&) {
          reply = rejection_reply("bad_request");
        }
      }
    }
    const std::string text = compact_json(reply);
    if (!write_frame(pipe, text, kReplyWriteTimeoutMs, stop)) break;
  }
  DisconnectNamedPipe(pipe);
  // The slot is given back, and the connection marked done for the reaper (which waits for
  // the thread itself before it frees anything), before the server is woken: a wake-up must
  // always find what woke it. The instance is closed last, so that the server can offer a
  // new one while this one still holds the pipe name.
  {
    std::lock_guard<std::mutex> hold(mutex_);
    --live_;
    if (!trusted) --live_untrusted_;
  }
  connection.done.store(true);
  SetEvent(room_event_.get());
  connection.pipe.reset();
}

}  // namespace guardian
