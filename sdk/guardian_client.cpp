// The C boundary of the client library (guardian_client.h) over the channel's client. Nothing
// of C++ crosses it: each entry catches whatever the code below may throw, and every text it
// hands out is allocated here and freed by guardian_free.
//
// A host may call open, cancel and close from DllMain, or at process exit, when the threads
// inside its other calls may already be gone: those three take no loader lock of their own,
// start nothing, and close never waits on a thread that no longer runs.
#include <windows.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "guardian_client.h"

#include "base/json_text.hpp"
#include "base/module_path.hpp"
#include "base/paths.hpp"
#include "base/unique.hpp"
#include "build_config.hpp"
#include "channel/channel_client.hpp"
#include "channel/channel_places.hpp"
#include "channel/pipe_client.hpp"
#include "docs/signed_document.hpp"
#include "sdk_rules.hpp"

using guardian::ClientResult;

static_assert(static_cast<int>(ClientResult::ok) == GUARDIAN_OK);
static_assert(static_cast<int>(ClientResult::no_server) == GUARDIAN_NO_SERVER);
static_assert(static_cast<int>(ClientResult::untrusted_server) == GUARDIAN_UNTRUSTED_SERVER);
static_assert(static_cast<int>(ClientResult::io) == GUARDIAN_IO);
static_assert(static_cast<int>(ClientResult::bad_json) == GUARDIAN_BAD_JSON);
static_assert(static_cast<int>(ClientResult::no_key) == GUARDIAN_NO_KEY);
static_assert(static_cast<int>(ClientResult::not_authentic) == GUARDIAN_NOT_AUTHENTIC);
static_assert(static_cast<int>(ClientResult::not_ok) == GUARDIAN_NOT_OK);
static_assert(static_cast<int>(ClientResult::bad_argument) == GUARDIAN_BAD_ARGUMENT);
static_assert(static_cast<int>(ClientResult::cancelled) == GUARDIAN_CANCELLED);
static_assert(static_cast<int>(ClientResult::internal) == GUARDIAN_INTERNAL);
static_assert(static_cast<int>(ClientResult::untrusted_client) == GUARDIAN_UNTRUSTED_CLIENT);
static_assert(static_cast<int>(ClientResult::access_denied) == GUARDIAN_ACCESS_DENIED);
// The record's layout is the interface: the first version's fields stay where they were.
static_assert(offsetof(guardian_client_options, storage_folder) + sizeof(void*) == GUARDIAN_CLIENT_OPTIONS_SIZE_V1);
static_assert(guardian::sdk::kOptionsSizeV1 == GUARDIAN_CLIENT_OPTIONS_SIZE_V1);

namespace {

// One cancellation: the calls that began before guardian_client_cancel share its event.
struct Token {
  guardian::UniqueHandle event = guardian::make_event();
};

// The last failure of one thread on a client; thread is its serial (ThreadSerials).
struct Failure {
  uintptr_t thread = 0;
  std::string text;
};

// Each thread's serial number, given when it first has a failure to keep: unlike a thread id,
// never given again, so a thread that takes an ended thread's id does not take its failures.
class ThreadSerials {
 public:
  ThreadSerials() = default;
  ThreadSerials(const ThreadSerials&) = delete;
  ThreadSerials& operator=(const ThreadSerials&) = delete;
  ~ThreadSerials() {
    if (slot_ != TLS_OUT_OF_INDEXES) TlsFree(slot_);
  }

  // The calling thread's serial; 0 when it has none and give is not set. Without a slot (the
  // process is out of them) the thread's id stands in.
  uintptr_t of_this_thread(bool give) {
    if (slot_ == TLS_OUT_OF_INDEXES) return GetCurrentThreadId();
    auto serial = reinterpret_cast<uintptr_t>(TlsGetValue(slot_));
    if (serial == 0 && give) {
      serial = ++next_;
      if (!TlsSetValue(slot_, reinterpret_cast<void*>(serial))) serial = 0;
    }
    return serial;
  }

 private:
  const DWORD slot_ = TlsAlloc();
  std::atomic<uintptr_t> next_{0};
};

ThreadSerials thread_serials;

}  // namespace

// One client: the channel's client, the calls inside it (which close waits for, by thread),
// and the last failure of each thread that used it lately.
struct guardian_client {
  guardian_client(guardian::ClientSettings settings, guardian::KeySettings keys, uint32_t limit)
      : channel(std::move(settings), std::move(keys)), call_limit_ms(limit) {}

  guardian::ChannelClient channel;
  const uint32_t call_limit_ms;
  std::mutex lock;
  std::condition_variable idle;
  std::shared_ptr<Token> token = std::make_shared<Token>();
  std::vector<DWORD> callers;  // the thread of each call in progress
  bool closing = false;
  std::array<Failure, 64> failures;
  size_t next_failure = 0;
};

namespace {

using namespace guardian;

constexpr wchar_t kPipePrefix[] = L"\\\\.\\pipe\\";
// A record this much larger than this version's is not an options record.
constexpr uint32_t kMaxOptionsSize = 4096;
// How long close waits for calls whose threads still run, before it leaves the client as it is.
constexpr DWORD kCloseWaitMs = 5000;

guardian_result to_c(ClientResult result) { return static_cast<guardian_result>(result); }

// Runs an entry's body; what it throws ends as a result.
template <class Body>
guardian_result guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {  // std::bad_alloc, or a thread or lock the system refused
    return GUARDIAN_INTERNAL;
  }
}

// A NUL-terminated copy for the caller, freed by guardian_free; null when out of memory.
char* copy_out(std::string_view text) {
  auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (!copy) return nullptr;
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

// The failure text of this thread's last call on the client: set after a failure, cleared
// after a success. The oldest thread's entry gives way when every entry is taken.
void remember_failure(guardian_client* client, const std::string& text) {
  const uintptr_t self = thread_serials.of_this_thread(!text.empty());
  if (self == 0) return;  // a thread with no serial has no failure to clear
  std::lock_guard<std::mutex> hold(client->lock);
  for (Failure& failure : client->failures) {
    if (failure.thread == self) {
      failure.text = text;
      if (text.empty()) failure.thread = 0;
      return;
    }
  }
  if (text.empty()) return;
  Failure& slot = client->failures[client->next_failure];
  client->next_failure = (client->next_failure + 1) % client->failures.size();
  slot.thread = self;
  slot.text = text;
}

// A call on a client, counted with its thread while it runs, and given the cancellation in
// force as it entered; refused once the client is closing.
class Call {
 public:
  explicit Call(guardian_client* client) : client_(client) {
    std::lock_guard<std::mutex> hold(client_->lock);
    refused_ = client_->closing;
    if (refused_) return;
    client_->callers.push_back(GetCurrentThreadId());
    token_ = client_->token;
  }
  ~Call() {
    if (refused_) return;
    std::lock_guard<std::mutex> hold(client_->lock);
    auto& callers = client_->callers;
    for (auto it = callers.begin(); it != callers.end(); ++it) {
      if (*it == GetCurrentThreadId()) {
        callers.erase(it);
        break;
      }
    }
    if (callers.empty()) client_->idle.notify_all();
  }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;
  bool refused() const { return refused_; }

  // What bounds the call: its cancellation, the client's limit for a whole call, and where
  // the reason of a failure goes.
  CallControl control(std::string* detail) const {
    CallControl out;
    out.cancel_event = token_->event.get();
    if (client_->call_limit_ms != 0) out.deadline = GetTickCount64() + client_->call_limit_ms;
    out.detail = detail;
    return out;
  }

 private:
  guardian_client* client_;
  std::shared_ptr<Token> token_;
  bool refused_ = false;
};

// The result, with its failure text kept for guardian_client_last_failure.
guardian_result finish(guardian_client* client, ClientResult result, std::string detail) {
  if (result == ClientResult::ok) {
    detail.clear();
  } else if (result == ClientResult::cancelled) {
    detail = "cancelled by guardian_client_cancel or guardian_client_close";
  } else if (detail.empty()) {
    detail = client_result_text(result);
  }
  remember_failure(client, detail);
  return to_c(result);
}

// A local pipe's name. Win32 folds "." and ".." out of a "\\.\" path (and reads "/" as "\"),
// so "\\.\pipe\..\C:\x" would name a file, which the request would then be written into.
bool pipe_name_acceptable(std::wstring_view name) {
  const std::wstring_view prefix = kPipePrefix;
  if (name.size() <= prefix.size() || _wcsnicmp(name.data(), prefix.data(), prefix.size()) != 0) return false;
  if (name.find(L'/') != std::wstring_view::npos) return false;
  for (std::wstring_view rest = name.substr(prefix.size());;) {
    const size_t cut = rest.find(L'\\');
    const std::wstring_view segment = rest.substr(0, cut);
    if (segment.empty() || segment == L"." || segment == L"..") return false;
    if (cut == std::wstring_view::npos) return true;
    rest.remove_prefix(cut + 1);
  }
}

#if defined(__i386__) || defined(_M_IX86)
constexpr bool kX86Dll = true;
#else
constexpr bool kX86Dll = false;
#endif

// The options as settings; BAD_ARGUMENT for a record that is not one this version can read.
// Nothing here loads a library or starts anything: open may be called from DllMain.
guardian_result read_options(const guardian_client_options* given, ClientSettings& settings, KeySettings& keys,
                             uint32_t& call_limit_ms) {
  guardian_client_options options{};
  if (given) {
    const uint32_t size = given->size;
    if (!sdk::options_size_acceptable(size, sizeof options, kMaxOptionsSize)) return GUARDIAN_BAD_ARGUMENT;
    // Fields of a later version are accepted only at their default (zero).
    if (!sdk::bytes_zero(reinterpret_cast<const unsigned char*>(given), sizeof options, size))
      return GUARDIAN_BAD_ARGUMENT;
    // A record that ends inside a field is no version's record.
    if (sdk::field_cut(size, offsetof(guardian_client_options, call_limit_ms), sizeof options.call_limit_ms))
      return GUARDIAN_BAD_ARGUMENT;
    // Fields a smaller (older) record lacks stay zero.
    std::memcpy(&options, given, sdk::bytes_to_copy(size, sizeof options));
    if (!sdk::field_present(size, offsetof(guardian_client_options, call_limit_ms), sizeof options.call_limit_ms))
      options.call_limit_ms = 0;
  }
  if (options.flags & ~GUARDIAN_IDENTITY_IN_PROCESS) return GUARDIAN_BAD_ARGUMENT;
  if (options.pipe_name && !pipe_name_acceptable(options.pipe_name)) return GUARDIAN_BAD_ARGUMENT;
  // A folder that is not a full path would be completed by whatever the current directory is
  // when it is used.
  if ((options.server_folder && !is_full_path(options.server_folder)) ||
      (options.storage_folder && !is_full_path(options.storage_folder)))
    return GUARDIAN_BAD_ARGUMENT;

  const std::wstring library_dir = code_module_dir();
  if (library_dir.empty()) return GUARDIAN_INTERNAL;
  settings.pipe_name = options.pipe_name ? options.pipe_name : kGuardianPipe;
  settings.trusted_dir = options.server_folder ? std::wstring(options.server_folder)
                                                : sdk::default_trusted_folder(library_dir, kX86Dll);
  settings.timeout_ms = options.timeout_ms ? options.timeout_ms : kClientTimeoutMs;
  // Empty: the folder the service uses, looked up with the first key (it takes the shell's library).
  if (options.storage_folder) keys.storage_dir = options.storage_folder;
  keys.identity = (options.flags & GUARDIAN_IDENTITY_IN_PROCESS) ? IdentitySource::own_thread
                                                                  : IdentitySource::agent_program;
  // The agent's own program computes the identity: from the folder the client trusts.
  keys.agent_program = path_join(settings.trusted_dir, kAgentProgramName);
  call_limit_ms = options.call_limit_ms;
  return GUARDIAN_OK;
}

// Whether a thread of this process still runs. A thread that ended (as every other thread
// has once the process exits) never returns from its call.
bool thread_runs(DWORD thread_id) {
  if (thread_id == GetCurrentThreadId()) return false;  // its own call cannot end while it waits here
  const UniqueHandle thread(OpenThread(SYNCHRONIZE, FALSE, thread_id));
  return thread && WaitForSingleObject(thread.get(), 0) == WAIT_TIMEOUT;
}

// The client's lock, taken within the deadline: a thread that ExitProcess ended may have held it.
bool lock_until(std::unique_lock<std::mutex>& hold, ULONGLONG deadline) {
  while (!hold.try_lock()) {
    if (GetTickCount64() >= deadline) return false;
    Sleep(1);
  }
  return true;
}

// Waits, within the deadline, until no call runs on the client or none of the threads still
// inside a call runs any more. True when the client may be freed.
bool wait_for_calls(guardian_client* client, ULONGLONG deadline) {
  std::unique_lock<std::mutex> hold(client->lock, std::defer_lock);
  for (;;) {
    if (!lock_until(hold, deadline)) return false;
    if (client->callers.empty()) return true;
    const std::vector<DWORD> callers = client->callers;
    hold.unlock();
    bool any_runs = false;
    for (DWORD thread : callers) any_runs = any_runs || thread_runs(thread);
    if (!any_runs || GetTickCount64() >= deadline) return false;
    if (!lock_until(hold, deadline)) return false;
    client->idle.wait_for(hold, std::chrono::milliseconds(20), [client] { return client->callers.empty(); });
    hold.unlock();
  }
}

}  // namespace

extern "C" {

const char* GUARDIAN_CALL guardian_version(void) { return build::kVersion; }

const char* GUARDIAN_CALL guardian_result_text(guardian_result result) {
  return client_result_text(static_cast<ClientResult>(result));
}

guardian_result GUARDIAN_CALL guardian_client_open(const guardian_client_options* options, guardian_client** client) {
  if (!client) return GUARDIAN_BAD_ARGUMENT;
  *client = nullptr;
  return guarded([&] {
    ClientSettings settings;
    KeySettings keys;
    uint32_t call_limit_ms = 0;
    const guardian_result read = read_options(options, settings, keys, call_limit_ms);
    if (read != GUARDIAN_OK) return read;
    auto made = std::make_unique<guardian_client>(std::move(settings), std::move(keys), call_limit_ms);
    if (!made->token->event) return GUARDIAN_INTERNAL;
    *client = made.release();
    return GUARDIAN_OK;
  });
}

guardian_result GUARDIAN_CALL guardian_client_load_key(guardian_client* client) {
  if (!client) return GUARDIAN_BAD_ARGUMENT;
  return guarded([&] {
    const Call call(client);
    if (call.refused()) return GUARDIAN_CANCELLED;
    std::string detail;
    const ClientResult result = client->channel.load_key(call.control(&detail));
    return finish(client, result, std::move(detail));
  });
}

guardian_result GUARDIAN_CALL guardian_client_send(guardian_client* client, const char* op, char** body,
                                                   char** error_code) {
  if (body) *body = nullptr;
  if (error_code) *error_code = nullptr;
  if (!client || !op) return GUARDIAN_BAD_ARGUMENT;
  return guarded([&] {
    if (!operation_acceptable(op))
      return finish(client, ClientResult::bad_argument, "the operation is not 1 to 256 bytes of UTF-8");
    const Call call(client);
    if (call.refused()) return GUARDIAN_CANCELLED;
    std::string detail;
    const ClientReply answer = client->channel.request(op, call.control(&detail));
    if (answer.result != ClientResult::ok && answer.result != ClientResult::not_ok)
      return finish(client, answer.result, std::move(detail));
    char* body_text = body ? copy_out(compact_json(answer.reply.at("body"))) : nullptr;
    char* code_text = error_code && answer.result == ClientResult::not_ok ? copy_out(answer.error_code) : nullptr;
    if ((body && !body_text) || (error_code && answer.result == ClientResult::not_ok && !code_text)) {
      std::free(body_text);
      std::free(code_text);
      return finish(client, ClientResult::internal, "out of memory");
    }
    if (body) *body = body_text;
    if (error_code) *error_code = code_text;
    return finish(client, answer.result, "the agent refused the request: " + answer.error_code);
  });
}

void GUARDIAN_CALL guardian_client_cancel(guardian_client* client) {
  if (!client) return;
  guarded([&] {
    // Counted like any call, so that a close on another thread waits for it to return.
    const Call call(client);
    if (call.refused()) return GUARDIAN_OK;  // closing: everything is cancelled anyway
    auto fresh = std::make_shared<Token>();
    std::lock_guard<std::mutex> hold(client->lock);
    SetEvent(client->token->event.get());
    // Without a new event (out of handles) the signalled one stays, and later calls end at once.
    if (fresh->event) client->token = std::move(fresh);
    return GUARDIAN_OK;
  });
}

void GUARDIAN_CALL guardian_client_close(guardian_client* client) {
  if (!client) return;
  const ULONGLONG deadline = GetTickCount64() + kCloseWaitMs;
  bool free_it = false;
  guarded([&] {
    std::unique_lock<std::mutex> hold(client->lock, std::defer_lock);
    if (lock_until(hold, deadline)) {
      client->closing = true;
      SetEvent(client->token->event.get());
      hold.unlock();
      free_it = wait_for_calls(client, deadline);
    }
    return GUARDIAN_OK;
  });
  if (free_it) {
    const std::unique_ptr<guardian_client> owned(client);
    return;
  }
  // A call that will never return (its thread has ended, or waits for the loader lock this
  // thread holds) still uses the client: it stays, and only its identity child is ended.
  client->channel.end_children();
}

guardian_result GUARDIAN_CALL guardian_client_last_failure(guardian_client* client, char** text) {
  if (text) *text = nullptr;
  if (!client || !text) return GUARDIAN_BAD_ARGUMENT;
  return guarded([&] {
    std::string found;
    if (const uintptr_t self = thread_serials.of_this_thread(false)) {
      std::lock_guard<std::mutex> hold(client->lock);
      for (const Failure& failure : client->failures)
        if (failure.thread == self) found = failure.text;
    }
    *text = copy_out(found);
    return *text ? GUARDIAN_OK : GUARDIAN_INTERNAL;
  });
}

guardian_result GUARDIAN_CALL guardian_client_check_request(guardian_client* client, const char* op,
                                                            const char* nonce, const char* mac) {
  if (!client || !op || !nonce || !mac) return GUARDIAN_BAD_ARGUMENT;
  return guarded([&] {
    const Call call(client);
    if (call.refused()) return GUARDIAN_CANCELLED;
    std::string detail;
    const ClientResult result = client->channel.check_request(op, nonce, mac, call.control(&detail));
    if (result == ClientResult::not_authentic) detail = "the request's MAC or nonce does not verify";
    return finish(client, result, std::move(detail));
  });
}

guardian_result GUARDIAN_CALL guardian_client_make_reply(guardian_client* client, int ok, const char* nonce,
                                                         const char* body, char** reply) {
  if (reply) *reply = nullptr;
  if (!client || !nonce || !body || !reply) return GUARDIAN_BAD_ARGUMENT;
  return guarded([&] {
    const std::string_view text(body);
    nlohmann::json parsed = parse_json(text.begin(), text.end());
    if (parsed.is_discarded()) return finish(client, ClientResult::bad_json, "the body is not JSON");
    const Call call(client);
    if (call.refused()) return GUARDIAN_CANCELLED;
    nlohmann::json envelope;
    std::string detail;
    const ClientResult made = client->channel.make_reply(ok != 0, nonce, std::move(parsed), envelope,
                                                         call.control(&detail));
    if (made != ClientResult::ok) return finish(client, made, std::move(detail));
    *reply = copy_out(compact_json(envelope));
    return *reply ? finish(client, ClientResult::ok, {}) : finish(client, ClientResult::internal, "out of memory");
  });
}

guardian_result GUARDIAN_CALL guardian_verify_document(const char* document, char** payload) {
  if (payload) *payload = nullptr;
  if (!document || !payload) return GUARDIAN_BAD_ARGUMENT;
  return guarded([&] {
    std::string text;
    switch (verify_document_text(document, backend_public_key(), text)) {
      case DocumentCheck::not_json:
        return GUARDIAN_BAD_JSON;
      case DocumentCheck::not_authentic:
        return GUARDIAN_NOT_AUTHENTIC;
      case DocumentCheck::verified:
        break;
    }
    *payload = copy_out(text);
    return *payload ? GUARDIAN_OK : GUARDIAN_INTERNAL;
  });
}

void GUARDIAN_CALL guardian_free(void* memory) { std::free(memory); }

}  // extern "C"
