#include "channel/pipe_server.hpp"

#include <sddl.h>

#include <algorithm>

#include "base/json_text.hpp"
#include "base/log.hpp"
#include "base/text.hpp"
#include "channel/auth.hpp"
#include "channel/frame.hpp"

namespace guardian {
namespace {

int64_t tick_ms() { return static_cast<int64_t>(GetTickCount64()); }

// The first read of a frame asks for this much, so that a request of the system's own clients
// comes in one read. Bytes of a following frame that come with it are kept for that frame.
constexpr size_t kFirstReadBytes = 1024;
// A read or write that is done at once is handled on the spot, without a trip through the
// port; after this many in a row for one connection (a client that keeps frames queued), the
// next goes through the port, behind the other connections' completions.
constexpr int kInlineCompletions = 16;

}  // namespace

// One instance of the name and the one operation it has at a time. The completion key is the
// record; the record lives from start() until stop() has seen every operation come back.
struct PipeServer::Instance {
  enum class Step { resting, connecting, reading, writing };

  OVERLAPPED ov{};
  UniqueFile pipe;
  // Held while a completion of this instance is handled (the handler included), and to start
  // or cancel its operation, so a cancel for an overdue operation never hits the next one.
  std::mutex lock;
  Step step = Step::resting;
  // When the running operation is overdue (the frame's or the reply's deadline), or when a
  // resting instance is tried again; 0 for none. Read without the lock to time the waits.
  std::atomic<int64_t> due_ms{0};
  int64_t frame_due_ms = 0;  // the whole of the frame being read must be in by then
  bool posted = false;       // this completion was posted by the server, with posted_error
  DWORD posted_error = 0;
  // The instance's handle queues nothing for an operation done at once; the operation's
  // result is then left here (done_now) for complete() to handle.
  bool skip_on_success = false;
  bool done_now = false;
  DWORD done_bytes = 0;
  bool served = false;  // counted in live_ (and in live_untrusted_ unless trusted)
  bool share_end = false;  // ended for its share: its operation's completion ends the connection
  // To end for its share once the request it is in the middle of is answered, and at this time
  // at the latest; 0 for none. Set by whoever applies the shares, with or without the lock.
  std::atomic<int64_t> share_due_ms{0};

  // When the operation is overdue: its own deadline, or an earlier one for its share.
  int64_t due() const {
    const int64_t own = due_ms.load();
    const int64_t share = share_due_ms.load();
    return own != 0 && share != 0 ? std::min(own, share) : own;
  }
  // Since when the client has left the server's replies waiting: from the first reply write
  // that could not be done at once, until the client has kept quiet for a while (a read of its
  // next request waited kShareGraceMs), whatever it read meanwhile; 0 while it keeps up.
  int64_t unread_since_ms = 0;
  int64_t read_waits_since_ms = 0;  // when the read now pending began to wait; 0: none waits
  int64_t first_byte_ms = 0;  // when bytes last came with none before them unread; 0: none unread
  uint64_t completed_at = 0;  // when the completion being handled was taken from the port
  size_t slot = 0;         // its place in instances_ and in the shares
  uint64_t serial = 0;     // which connection of the instance, for the shares
  PeerCheck client;
  std::string inbox;  // bytes read and not yet taken by a frame: the first `have` of it
  size_t have = 0;
  std::string outbox;  // the reply frame being written
};

PipeServer::PipeServer(std::wstring pipe_name, std::wstring trusted_dir, RequestHandler handler, ShareLimits shares)
    : pipe_name_(std::move(pipe_name)),
      trusted_dir_(std::move(trusted_dir)),
      handler_(std::move(handler)),
      shares_([&shares] {
        shares.instances = kMaxConnections;
        return shares;
      }()) {}

PipeServer::~PipeServer() { stop(); }

bool PipeServer::start() {
  if (running_.load()) return true;
  name_taken_.store(false);
  stopping_.store(false);
  in_flight_.store(0);
  missing_.store(0);
  shares_due_ms_.store(0);
  {
    std::lock_guard<std::mutex> hold(mutex_);
    last_error_.clear();
  }
  {
    std::lock_guard<std::mutex> hold(shares_lock_);
    shares_ = ConnectionShares(shares_.limits());
  }
  auto fail = [this](std::string text) {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      last_error_ = std::move(text);
    }
    close_everything();
    return false;
  };

  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kPipeSddl, SDDL_REVISION_1, &sd, nullptr)) {
    const DWORD error = GetLastError();
    return fail("SDDL: " + win_error_text(error));
  }
  security_.reset(sd);
  port_.reset(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, kPipeWorkerThreads));
  if (!port_) {
    const DWORD error = GetLastError();
    return fail("CreateIoCompletionPort: " + win_error_text(error));
  }
  idle_event_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!idle_event_) {
    const DWORD error = GetLastError();
    return fail("CreateEvent: " + win_error_text(error));
  }

  // Every instance now, so that the name never has a free one another process could take.
  // One that fails for another reason than another server's instances rests and is made again.
  clock_steps_.note(precise_time_now(), monotonic_time_now());
  SECURITY_ATTRIBUTES sa{sizeof sa, security_.get(), FALSE};
  std::string first_failure;
  bool any = false;
  const int64_t retry_at = tick_ms() + kCreateRetryMs;  // one time for all, so one line per round
  for (size_t i = 0; i < kMaxConnections; ++i) {
    instances_.push_back(std::make_unique<Instance>());
    Instance& instance = *instances_.back();
    instance.slot = i;
    std::string failure;
    const Made made = make_instance(instance, sa, !any, failure);
    if (made == Made::taken) {
      name_taken_.store(true);
      return fail(failure);
    }
    if (made == Made::yes) {
      any = true;
    } else {
      if (first_failure.empty()) first_failure = failure;
      instance.due_ms.store(retry_at);
      ++missing_;
    }
  }

  for (size_t i = 0; i < kPipeWorkerThreads; ++i) {
    UniqueHandle worker(
        CreateThread(nullptr, kWorkerStackBytes, worker_main, this, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    if (!worker) {
      const DWORD error = GetLastError();
      return fail("CreateThread: " + win_error_text(error));
    }
    workers_.push_back(std::move(worker));
  }
  running_.store(true);
  if (!first_failure.empty()) {
    for (size_t i = missing_.load(); i > 0; --i) note_instance_failure(first_failure);  // one line, the rest counted
    log_error("pipe " + to_utf8(pipe_name_) + " is short of instances: " + std::to_string(missing_.load()) + " of " +
              std::to_string(kMaxConnections) +
              " could not be made; until they are, another program could add instances of the name");
  }
  // The workers run already, and a sweep may have made and armed an instance that failed
  // above: only the instances made here, still resting, are armed here.
  for (auto& instance : instances_) {
    std::lock_guard<std::mutex> hold(instance->lock);
    if (instance->pipe && instance->step == Instance::Step::resting && instance->due_ms.load() == 0)
      arm_connect(*instance);
  }
  return true;
}

void PipeServer::stop() {
  if (!running_.exchange(false)) return;
  // Nothing is started from here on; whatever runs is cancelled and comes back through the
  // port (a cancelled operation still completes, with ERROR_OPERATION_ABORTED), and only then
  // do the records and the buffers go.
  stopping_.store(true);
  for (auto& instance : instances_) {
    std::lock_guard<std::mutex> hold(instance->lock);
    if (instance->pipe) CancelIoEx(instance->pipe.get(), nullptr);
  }
  while (in_flight_.load() != 0) WaitForSingleObject(idle_event_.get(), INFINITE);
  close_everything();
  log_unreported(true);
  const int64_t now = tick_ms();
  if (const uint64_t count = share_lines_.take_unreported(now, true))
    log_warn("pipe: " + std::to_string(count) + " more connections ended for their share without a line");
  if (const uint64_t count = failure_lines_.take_unreported(now, true))
    log_error("pipe: " + std::to_string(count) + " more failed attempts to make an instance without a line");
}

void PipeServer::close_everything() {
  // One wake-up per worker; if one cannot be posted, closing the port wakes them all.
  bool posted = true;
  for (size_t i = 0; i < workers_.size(); ++i)
    if (!PostQueuedCompletionStatus(port_.get(), 0, 0, nullptr)) posted = false;
  if (!posted) port_.reset();
  for (auto& worker : workers_) WaitForSingleObject(worker.get(), INFINITE);
  workers_.clear();
  instances_.clear();  // closes the instances: connected clients see the pipe broken
  port_.reset();
  idle_event_.reset();
  security_.reset();
  live_.store(0);
  std::lock_guard<std::mutex> hold(mutex_);
  live_untrusted_ = 0;
}

std::string PipeServer::last_error() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return last_error_;
}

void PipeServer::set_last_error(std::string text) {
  std::lock_guard<std::mutex> hold(mutex_);
  last_error_ = std::move(text);
}

// An instance that could not be made: its first failure is logged, then one line a minute that
// counts the attempts left out.
void PipeServer::note_instance_failure(const std::string& failure) {
  set_last_error(failure);
  uint64_t skipped = 0;
  if (!failure_lines_.admit(tick_ms(), skipped)) return;
  std::string line = "pipe " + failure;
  if (skipped) line += "; " + std::to_string(skipped) + " more failed attempts without a line";
  log_error(line);
}

void PipeServer::note_instance_made() {
  if (--missing_ == 0)
    log_info("pipe " + to_utf8(pipe_name_) + " has all of its " + std::to_string(kMaxConnections) +
             " instances again");
}

// Every untrusted client costs at most a line from the budget; the line for an event that
// finds the budget spent is left out and counted.
void PipeServer::log_untrusted(const PeerCheck& client, const std::string& what) {
  uint64_t skipped = 0;
  if (!untrusted_lines_.admit(tick_ms(), skipped)) {
    note_unreported_due();
    return;
  }
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
  note_unreported_due();
}

// When the refusals left out may have their line, for the workers' waits, which then need no
// lock of the budget's: they run on every completion, the budget is wanted only in a flood.
void PipeServer::note_unreported_due() {
  std::lock_guard<std::mutex> hold(lines_lock_);
  const int64_t now = tick_ms();
  const int64_t due = untrusted_lines_.unreported_due_in(now);
  lines_due_ms_.store(due < 0 ? 0 : now + due);
}

PipeServer::Made PipeServer::make_instance(Instance& instance, SECURITY_ATTRIBUTES& sa, bool first,
                                           std::string& failure) {
  constexpr DWORD kFrameBuffer = kMaxFramePayload + kFrameHeaderSize;
  // The server reads the client's messages as a byte stream: a frame is taken from the bytes
  // whatever messages carry them, and no read ends with part of a message (ERROR_MORE_DATA).
  // Its writes are still messages, one frame each, as clients read them.
  UniqueFile pipe(CreateNamedPipeW(pipe_name_.c_str(),
                                   PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_BYTE | PIPE_REJECT_REMOTE_CLIENTS,
                                   static_cast<DWORD>(kMaxConnections), kFrameBuffer, kFrameBuffer, 0, &sa));
  if (!pipe) {
    const DWORD error = GetLastError();
    failure = "CreateNamedPipe: " + win_error_text(error);
    // Busy: the name's instances are all made, so another process made some of them. Denied
    // for a first instance: the name already exists.
    return error == ERROR_PIPE_BUSY || (first && error == ERROR_ACCESS_DENIED) ? Made::taken : Made::failed;
  }
  if (!CreateIoCompletionPort(pipe.get(), port_.get(), reinterpret_cast<ULONG_PTR>(&instance), 0)) {
    const DWORD error = GetLastError();
    failure = "CreateIoCompletionPort: " + win_error_text(error);
    return Made::failed;
  }
  instance.skip_on_success =
      SetFileCompletionNotificationModes(pipe.get(), FILE_SKIP_COMPLETION_PORT_ON_SUCCESS) != FALSE;
  instance.pipe = std::move(pipe);
  return Made::yes;
}

// A result that Windows does not queue (a failure at once), queued by the server itself, so
// that every result is handled in one place: complete().
bool PipeServer::post_result(Instance& instance, DWORD error, DWORD bytes) {
  instance.posted = true;
  instance.posted_error = error;
  if (PostQueuedCompletionStatus(port_.get(), bytes, reinterpret_cast<ULONG_PTR>(&instance), &instance.ov)) return true;
  instance.posted = false;
  return false;
}

void PipeServer::release_one() {
  if (--in_flight_ == 0) SetEvent(idle_event_.get());
}

// The caller holds the instance's lock for all of the functions below.

void PipeServer::arm_connect(Instance& instance) {
  instance.step = Instance::Step::connecting;
  instance.due_ms.store(0);
  if (stopping_.load()) return;
  instance.ov = OVERLAPPED{};
  ++in_flight_;
  if (ConnectNamedPipe(instance.pipe.get(), &instance.ov)) {
    // Done at once: with skip-on-success the port is told nothing, so the server tells it.
    if (!instance.skip_on_success || post_result(instance, 0)) return;
    release_one();
    rest(instance);
    return;
  }
  const DWORD error = GetLastError();
  if (error == ERROR_IO_PENDING) return;
  // A client that came before the call (ERROR_PIPE_CONNECTED), or came and went (ERROR_NO_DATA).
  if (post_result(instance, error == ERROR_PIPE_CONNECTED ? 0 : error)) return;
  release_one();
  rest(instance);
}

void PipeServer::start_io(Instance& instance, bool read, void* buffer, DWORD count, int64_t due_ms) {
  instance.step = read ? Instance::Step::reading : Instance::Step::writing;
  if (stopping_.load()) return;
  instance.ov = OVERLAPPED{};
  ++in_flight_;
  const BOOL started = read ? ReadFile(instance.pipe.get(), buffer, count, nullptr, &instance.ov)
                            : WriteFile(instance.pipe.get(), buffer, count, nullptr, &instance.ov);
  const DWORD error = started ? ERROR_SUCCESS : GetLastError();
  // A reply that cannot be written at once finds the client's side full: it has not read what
  // it was sent. That counts from the first such reply until the client has been quiet, not
  // until it takes one more reply, which a client that reads one reply for each request it
  // queues would always do.
  if (!started) {
    if (read) instance.read_waits_since_ms = tick_ms();
    else if (instance.unread_since_ms == 0) instance.unread_since_ms = tick_ms();
  }
  if (started && instance.skip_on_success) {
    // Done at once, and nothing queued: complete() goes on with it. It runs the caller's
    // completion, which holds a count of its own, so this one never brings in_flight_ to 0.
    --in_flight_;
    DWORD bytes = 0;
    GetOverlappedResult(instance.pipe.get(), &instance.ov, &bytes, FALSE);
    instance.done_now = true;
    instance.done_bytes = bytes;
    return;
  }
  if (!started) {
    if (error != ERROR_IO_PENDING && !post_result(instance, error)) {
      release_one();
      rest(instance);
      return;
    }
  }
  instance.due_ms.store(due_ms);
}

void PipeServer::drop_client(Instance& instance) {
  if (instance.served) {
    instance.served = false;
    {
      std::lock_guard<std::mutex> hold(shares_lock_);
      shares_.ended(instance.slot);
    }
    instance.share_due_ms.store(0);
    --live_;
    if (instance.client.verdict != PeerVerdict::trusted) {
      std::lock_guard<std::mutex> hold(mutex_);
      --live_untrusted_;
    }
  }
  instance.client = PeerCheck{};
  instance.share_end = false;
  instance.unread_since_ms = 0;
  instance.read_waits_since_ms = 0;
  instance.first_byte_ms = 0;
  std::string().swap(instance.inbox);
  std::string().swap(instance.outbox);
  instance.have = 0;
}

// The instance is made free (the client's end breaks) and waits for the next client.
void PipeServer::end_connection(Instance& instance) {
  drop_client(instance);
  DisconnectNamedPipe(instance.pipe.get());
  arm_connect(instance);
}

// An instance that cannot go on now is tried again after a pause.
void PipeServer::rest(Instance& instance) {
  drop_client(instance);
  if (instance.pipe) DisconnectNamedPipe(instance.pipe.get());
  instance.step = Instance::Step::resting;
  instance.due_ms.store(tick_ms() + kCreateRetryMs);
}

// Who the client is, decided here, once for the connection, from one handle to its process:
// its image, its creation time and its user.
void PipeServer::on_connected(Instance& instance) {
  // The connection was made before its completion was taken from the port: that moment, not
  // this one, is what a process must have been created before.
  const uint64_t connected_at = instance.completed_at ? instance.completed_at : precise_time_now();
  const uint64_t stepped_back = clock_steps_.note(connected_at, monotonic_time_now());
  ULONG pid = 0;
  PeerCheck client;
  if (GetNamedPipeClientProcessId(instance.pipe.get(), &pid))
    client = check_peer_process(pid, connected_at, trusted_dir_, &images_, stepped_back);
  client.pid = pid;
  if (client.verdict != PeerVerdict::trusted) {
    std::unique_lock<std::mutex> hold(mutex_);
    if (live_untrusted_ >= kMaxUntrustedConnections) {
      hold.unlock();
      log_untrusted(client, ": disconnected, the untrusted share of " + std::to_string(kMaxUntrustedConnections) +
                                " connections is in use");
      DisconnectNamedPipe(instance.pipe.get());
      arm_connect(instance);
      return;
    }
    ++live_untrusted_;
  }
  ++live_;
  instance.served = true;
  const int64_t now = tick_ms();
  bool apply = false;
  {
    std::lock_guard<std::mutex> hold(shares_lock_);
    instance.serial = ++next_serial_;
    instance.share_due_ms.store(0);
    shares_.connected(instance.slot, instance.serial,
                      ClientOwner{{pid, client.created}, client.user, to_utf8(client.image)}, now);
    // Applied now when the newcomer took the reserve, or when no time to apply them is set;
    // otherwise at that time (the sweep's).
    const int64_t due = shares_due_ms_.load();
    apply = shares_.pressed() && (shares_.reserve_short() || due == 0 || due <= now);
  }
  instance.client = std::move(client);
  instance.frame_due_ms = now + kRequestReadTimeoutMs;
  if (apply) apply_shares(now, &instance);
  next_frame(instance);
}

// The share rules applied: the connections they end are ended through end_for_share.
void PipeServer::apply_shares(int64_t now, const Instance* held) {
  std::vector<std::string> lines;
  {
    std::lock_guard<std::mutex> hold(shares_lock_);
    const int64_t next = shares_.apply(
        now, [&](const ShareEnding& ending) { return end_for_share(ending, held, lines); });
    shares_due_ms_.store(next < 0 ? 0 : std::max<int64_t>(next, 1));
  }
  for (const std::string& line : lines) {
    uint64_t skipped = 0;
    if (share_lines_.admit(tick_ms(), skipped))
      log_warn(skipped ? line + "; " + std::to_string(skipped) + " more ended without a line" : line);
  }
}

// Ends a connection for its share: at once if it waits for a request now, has been sending one
// for as long as a connection is spared at first, or has not read the reply written to it for
// that long (a client that reads its replies takes them at once; one that does not would
// otherwise hold the connection for the whole write limit): its operation is cancelled, and the
// completion ends the connection (also one that completed meanwhile: the client is the share's
// holder). Otherwise, in the middle of a request or being served this instant, it ends once
// that request is answered, and within that time at the latest. Called under shares_lock_, so
// it only tries the instance's lock.
bool PipeServer::end_for_share(const ShareEnding& ending, const Instance* held, std::vector<std::string>& lines) {
  if (ending.slot >= instances_.size() || stopping_.load()) return false;
  Instance& instance = *instances_[ending.slot];
  if (&instance == held || instance.share_due_ms.load() != 0) return false;
  const int64_t now = tick_ms();
  const int64_t grace = shares_.limits().grace_ms;
  const char* what = "a busy connection (once its request is answered)";
  std::unique_lock<std::mutex> hold(instance.lock, std::try_to_lock);
  if (hold) {
    if (!instance.served || instance.serial != ending.serial || instance.share_end) return false;
    const bool reading = instance.step == Instance::Step::reading;
    const bool waiting = reading && instance.have == 0;
    const bool slow = reading && instance.have != 0 && now - instance.first_byte_ms >= grace;
    const bool unread = instance.unread_since_ms != 0 && now - instance.unread_since_ms >= grace;
    if (waiting || slow || unread) {
      instance.share_end = true;
      CancelIoEx(instance.pipe.get(), &instance.ov);
      what = waiting ? "an idle connection" : slow ? "a connection slow to send its request"
                                                   : "a connection that reads no reply";
    } else {
      instance.share_due_ms.store(now + grace);
    }
  } else {
    // Its handler holds it. The shares' entry is this connection's while shares_lock_ is held
    // (its end removes the entry under that lock before the mark is cleared), so the mark is
    // for this connection and no later one.
    instance.share_due_ms.store(now + grace);
  }
  const ShareLimits& limits = shares_.limits();
  std::string why;
  switch (ending.rule) {
    case ShareRule::process:
      why = "its process holds more than " + std::to_string(limits.per_process) + " of the pipe's connections";
      break;
    case ShareRule::user:
      why = "its user's processes hold more than " +
            std::to_string(ending.owner.user.empty() ? limits.per_process : limits.per_user) +
            " of the pipe's connections";
      break;
    case ShareRule::reserve:
      why = std::to_string(limits.reserve) + " of the pipe's " + std::to_string(limits.instances) +
            " instances are kept free for new clients";
      break;
  }
  lines.push_back(std::string("pipe: ended ") + what + " of pid " + std::to_string(ending.owner.process.pid) +
                  " image " + ending.owner.image + " user " +
                  (ending.owner.user.empty() ? std::string("(unknown)") : ending.owner.user) + ": " + why);
  return true;
}

// Answers the next frame when all of its bytes are in; otherwise reads more of it, within the
// frame's deadline.
void PipeServer::next_frame(Instance& instance) {
  size_t want = kFrameHeaderSize;
  if (instance.have >= kFrameHeaderSize) {
    const uint32_t length = frame_length(reinterpret_cast<const uint8_t*>(instance.inbox.data()));
    if (length > kMaxFramePayload) {
      end_connection(instance);
      return;
    }
    if (instance.have >= kFrameHeaderSize + length) {
      answer_frame(instance, length);
      return;
    }
    want = kFrameHeaderSize + length;
  }
  instance.inbox.resize(std::max({want, kFirstReadBytes, instance.inbox.size()}));
  start_io(instance, true, instance.inbox.data() + instance.have,
           static_cast<DWORD>(instance.inbox.size() - instance.have), instance.frame_due_ms);
}

void PipeServer::answer_frame(Instance& instance, uint32_t length) {
  const char* payload = instance.inbox.data() + kFrameHeaderSize;
  nlohmann::json reply;
  if (instance.client.verdict != PeerVerdict::trusted) {
    log_untrusted(instance.client, "");
    reply = rejection_reply("untrusted_client");
  } else {
    const nlohmann::json request = parse_json(payload, payload + length);
    if (request.is_discarded() || !request.is_object()) {
      reply = rejection_reply("bad_request");
    } else {
      try {
        reply = handler_(request, instance.client.image);
      } catch (const std::exception&) {
        reply = rejection_reply("bad_request");
      }
    }
  }
  instance.inbox.erase(0, kFrameHeaderSize + length);
  instance.have -= kFrameHeaderSize + length;
  // Bytes of the next frame that came with this one keep the time the connection last had
  // nothing unread: a client that always sends the start of its next request with the end of
  // the last is sending one all the while.
  if (instance.have == 0) instance.first_byte_ms = 0;
  instance.outbox = encode_frame(compact_json(reply));
  if (instance.outbox.empty()) {  // longer than a frame may be
    end_connection(instance);
    return;
  }
  start_io(instance, false, instance.outbox.data(), static_cast<DWORD>(instance.outbox.size()),
           tick_ms() + kReplyWriteTimeoutMs);
}

void PipeServer::complete(Instance& instance, DWORD error, DWORD bytes, uint64_t completed_at) {
  {
    std::lock_guard<std::mutex> hold(instance.lock);
    instance.due_ms.store(0);
    instance.completed_at = completed_at;
    if (instance.posted) {
      instance.posted = false;
      error = instance.posted_error;
    }
    for (int inline_count = 0; !stopping_.load(); ++inline_count) {
      switch (instance.step) {
        case Instance::Step::connecting:
          if (error == 0) {
            on_connected(instance);
          } else if (error == ERROR_NO_DATA) {  // the client has gone already
            DisconnectNamedPipe(instance.pipe.get());
            arm_connect(instance);
          } else {
            rest(instance);
          }
          break;
        case Instance::Step::reading:
          // 0 bytes: the client closed its end (or wrote an empty message, which no frame is).
          if (error != 0 || bytes == 0 || instance.share_end) {
            end_connection(instance);
          } else {
            const int64_t now = tick_ms();
            if (instance.read_waits_since_ms != 0 &&
                now - instance.read_waits_since_ms >= shares_.limits().grace_ms)
              instance.unread_since_ms = 0;
            instance.read_waits_since_ms = 0;
            if (instance.have == 0) instance.first_byte_ms = now;
            instance.have += bytes;
            next_frame(instance);
          }
          break;
        case Instance::Step::writing:
          if (error != 0 || bytes != instance.outbox.size() || instance.share_end) {
            end_connection(instance);
          } else if (instance.share_due_ms.load() != 0 && instance.have != 0) {
            end_connection(instance);  // answered, and ended for its share before the next
          } else {
            // Ended for its share now that its request is answered: its next read's completion,
            // the client's close or its next request, ends it, and so does a second of quiet,
            // time for it to read the reply (an end of the connection would discard it).
            if (instance.share_due_ms.load() != 0) {
              instance.share_end = true;
              instance.share_due_ms.store(tick_ms() + shares_.limits().grace_ms);
            }
            std::string().swap(instance.outbox);
            const int64_t now = tick_ms();
            instance.frame_due_ms = now + kRequestReadTimeoutMs;
            {
              std::lock_guard<std::mutex> hold(shares_lock_);
              shares_.active(instance.slot, now);
            }
            next_frame(instance);
          }
          break;
        case Instance::Step::resting:
          break;
      }
      if (!instance.done_now) break;
      instance.done_now = false;
      error = 0;
      bytes = instance.done_bytes;
      if (inline_count + 1 >= kInlineCompletions) {
        ++in_flight_;
        if (!post_result(instance, 0, bytes)) {
          release_one();
          rest(instance);
        }
        break;
      }
    }
  }
  release_one();
}

// Ends what is overdue: an operation past its deadline is cancelled (its completion then ends
// the connection), a resting instance is made again and waits for a client, and the share
// rules are applied again when they were left unmet. The rest of the untrusted lines are
// written as soon as the budget allows. True when an overdue instance was left because it was
// busy (or another worker sweeps): its completion, being handled, sets its next deadline.
bool PipeServer::sweep() {
  const int64_t now = tick_ms();
  const int64_t lines_due = lines_due_ms_.load();
  if (lines_due != 0 && lines_due <= now) log_unreported(false);
  const int64_t shares_due = shares_due_ms_.load();
  if (shares_due != 0 && shares_due <= now) apply_shares(now, nullptr);
  bool overdue = false;
  for (const auto& instance : instances_) {
    const int64_t due = instance->due();
    if (due != 0 && due <= now) overdue = true;
  }
  if (!overdue) return false;
  std::unique_lock<std::mutex> one(sweep_lock_, std::try_to_lock);
  if (!one) return true;
  SECURITY_ATTRIBUTES sa{sizeof sa, security_.get(), FALSE};
  bool busy = false;
  for (const auto& entry : instances_) {
    Instance& instance = *entry;
    const int64_t due = instance.due();
    if (due == 0 || due > now) continue;
    std::unique_lock<std::mutex> hold(instance.lock, std::try_to_lock);
    if (!hold) {
      busy = true;
      continue;
    }
    if (instance.due() != due || stopping_.load()) continue;
    instance.due_ms.store(0);
    if (instance.step != Instance::Step::resting) {
      CancelIoEx(instance.pipe.get(), &instance.ov);
      continue;
    }
    if (!instance.pipe) {
      const bool first = std::none_of(instances_.begin(), instances_.end(), [](const auto& i) { return bool(i->pipe); });
      std::string failure;
      if (make_instance(instance, sa, first, failure) != Made::yes) {
        instance.due_ms.store(now + kCreateRetryMs);
        note_instance_failure(failure);
        continue;
      }
      note_instance_made();
    }
    arm_connect(instance);
  }
  return busy;
}

// Until the next deadline, line or application of the share rules, or without end when there
// is none; not less than kBusyInstanceRecheckMs when the sweep left a busy instance overdue.
DWORD PipeServer::wait_ms(bool busy_skipped) {
  const int64_t now = tick_ms();
  int64_t wait = -1;
  const auto sooner = [&](int64_t due) {
    if (due == 0) return;
    const int64_t left = std::max<int64_t>(0, due - now);
    if (wait < 0 || left < wait) wait = left;
  };
  sooner(lines_due_ms_.load());
  sooner(shares_due_ms_.load());
  for (const auto& instance : instances_) sooner(instance->due());
  if (busy_skipped && wait >= 0 && wait < static_cast<int64_t>(kBusyInstanceRecheckMs)) wait = kBusyInstanceRecheckMs;
  return wait < 0 ? INFINITE : static_cast<DWORD>(std::min<int64_t>(wait, 0x7FFFFFFF));
}

DWORD WINAPI PipeServer::worker_main(void* server) {
  static_cast<PipeServer*>(server)->worker_loop();
  return 0;
}

void PipeServer::worker_loop() {
  bool busy_skipped = false;
  for (;;) {
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* ov = nullptr;
    const BOOL ok = GetQueuedCompletionStatus(port_.get(), &bytes, &key, &ov, wait_ms(busy_skipped));
    const DWORD error = ok ? 0 : GetLastError();
    if (ov) {
      complete(*reinterpret_cast<Instance*>(key), error, bytes, precise_time_now());
    } else if (error != WAIT_TIMEOUT) {
      return;  // the wake-up that stop() posts, or the port closed
    }
    busy_skipped = sweep();
  }
}

}  // namespace guardian
