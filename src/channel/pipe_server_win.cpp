#include "channel/pipe_server.hpp"

#include <sddl.h>

#include "channel/auth.hpp"
#include "channel/frame.hpp"
#include "channel/pipe_io.hpp"
#include "base/json_text.hpp"
#include "runtime/log.hpp"
#include "base/text.hpp"

namespace guardian {

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
  if (!stop_event_) {
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
  stop_event_.reset();
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
    if (c->thread.joinable()) c->thread.join();
}

HANDLE PipeServer::create_instance(SECURITY_ATTRIBUTES& sa, DWORD first_instance_flag) {
  constexpr DWORD kFrameBuffer = kMaxFramePayload + kFrameHeaderSize;
  return CreateNamedPipeW(pipe_name_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | first_instance_flag,
                          PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_REJECT_REMOTE_CLIENTS,
                          PIPE_UNLIMITED_INSTANCES, kFrameBuffer, kFrameBuffer, 0, &sa);
}

bool PipeServer::hand_off(UniqueFile pipe) {
  auto connection = std::make_unique<Connection>();
  Connection* self = connection.get();
  HANDLE raw = pipe.get();
  try {
    connection->thread = std::thread([this, raw, self] { serve_connection(raw, self); });
  } catch (const std::system_error&) {
    // No thread for this client: it is disconnected, the server goes on.
    DisconnectNamedPipe(raw);
    return false;
  }
  (void)pipe.release();  // the connection thread owns the instance now
  std::lock_guard<std::mutex> hold(mutex_);
  connections_.push_back(std::move(connection));
  return true;
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

  // The next instance is created before a connected one is handed to its thread, so the
  // pipe name never disappears between two clients.
  UniqueFile listening = std::move(first_instance_);
  while (running_.load()) {
    reap_connections(false);
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
      } else if (error == ERROR_IO_PENDING) {
        const HANDLE waits[2] = {connect_event.get(), stop};
        const DWORD wait = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
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

    UniqueFile client = std::move(listening);
    listening.reset(create_instance(sa));
    if (!listening) {
      const DWORD error = GetLastError();
      set_last_error("CreateNamedPipe: " + win_error_text(error));
    }
    hand_off(std::move(client));
  }
}

void PipeServer::serve_connection(HANDLE raw_pipe, Connection* self) {
  UniqueFile pipe(raw_pipe);
  const HANDLE stop = stop_event_.get();

  ULONG pid = 0;
  std::wstring image;
  if (GetNamedPipeClientProcessId(pipe.get(), &pid)) image = process_image_path(pid);
  const bool trusted = is_in_directory(image, trusted_dir_);

  std::string payload;
  while (read_frame(pipe.get(), payload, kRequestReadTimeoutMs, stop)) {
    nlohmann::json reply;
    if (!trusted) {
      log_warn("pipe: untrusted client pid " + std::to_string(pid) + " image " + to_utf8(image));
      reply = rejection_reply("untrusted_client");
    } else {
      const nlohmann::json request = parse_json(payload.begin(), payload.end());
      if (request.is_discarded() || !request.is_object()) {
        reply = rejection_reply("bad_request");
      } else {
        try {
          reply = handler_(request, image);
        } catch (const std::exception&) {
          reply = rejection_reply("bad_request");
        }
      }
    }
    const std::string text = compact_json(reply);
    if (!write_frame(pipe.get(), text, kReplyWriteTimeoutMs, stop)) break;
  }
  DisconnectNamedPipe(pipe.get());
  pipe.reset();
  self->done.store(true);
}

}  // namespace guardian
