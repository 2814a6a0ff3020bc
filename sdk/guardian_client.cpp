// The C boundary of the client library (guardian_client.h) over the channel's client. Nothing
// of C++ crosses it: each entry catches whatever the code below may throw, and every text it
// hands out is allocated here and freed by guardian_free.
#include <windows.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

#include "guardian_client.h"

#include "base/json_text.hpp"
#include "base/paths.hpp"
#include "build_config.hpp"
#include "channel/channel_client.hpp"
#include "channel/pipe_client.hpp"
#include "docs/signed_document.hpp"
#include "runtime/config.hpp"

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

// One client: the channel's client, and the count of calls inside it, which close waits for.
struct guardian_client {
  guardian_client(guardian::ClientSettings settings, guardian::KeySettings keys)
      : channel(std::move(settings), std::move(keys)) {}

  guardian::ChannelClient channel;
  std::mutex lock;
  std::condition_variable idle;
  int calls = 0;
  bool closing = false;
};

namespace {

using namespace guardian;

constexpr wchar_t kPipePrefix[] = L"\\\\.\\pipe\\";
// A record this much larger than this version's is not an options record.
constexpr uint32_t kMaxOptionsSize = 4096;
constexpr wchar_t kAgentProgram[] = L"ostrival_guardian.exe";

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

// A call on a client, counted while it runs; refused once the client is closing.
class Call {
 public:
  explicit Call(guardian_client* client) : client_(client) {
    std::lock_guard<std::mutex> hold(client_->lock);
    refused_ = client_->closing;
    if (!refused_) ++client_->calls;
  }
  ~Call() {
    if (refused_) return;
    std::lock_guard<std::mutex> hold(client_->lock);
    if (--client_->calls == 0) client_->idle.notify_all();
  }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;
  bool refused() const { return refused_; }

 private:
  guardian_client* client_;
  bool refused_ = false;
};

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

// The options as settings; BAD_ARGUMENT for a record that is not one this version can read.
guardian_result read_options(const guardian_client_options* given, ClientSettings& settings, KeySettings& keys) {
  guardian_client_options options{};
  if (given) {
    if (given->size < sizeof options || given->size > kMaxOptionsSize) return GUARDIAN_BAD_ARGUMENT;
    // Fields of a later version are accepted only at their default (zero).
    const auto* bytes = reinterpret_cast<const unsigned char*>(given);
    for (size_t i = sizeof options; i < given->size; ++i)
      if (bytes[i] != 0) return GUARDIAN_BAD_ARGUMENT;
    std::memcpy(&options, given, sizeof options);
  }
  if (options.flags & ~GUARDIAN_IDENTITY_IN_PROCESS) return GUARDIAN_BAD_ARGUMENT;
  if (options.pipe_name && !pipe_name_acceptable(options.pipe_name)) return GUARDIAN_BAD_ARGUMENT;
  if ((options.server_folder && !*options.server_folder) || (options.storage_folder && !*options.storage_folder))
    return GUARDIAN_BAD_ARGUMENT;

  const std::wstring library_dir = code_module_dir();
  if (library_dir.empty()) return GUARDIAN_INTERNAL;
  settings.pipe_name = options.pipe_name ? options.pipe_name : kGuardianPipe;
  settings.trusted_dir = options.server_folder ? options.server_folder : library_dir;
  settings.timeout_ms = options.timeout_ms ? options.timeout_ms : kClientTimeoutMs;
  keys.storage_dir = options.storage_folder ? options.storage_folder : default_storage_dir();
  keys.identity = (options.flags & GUARDIAN_IDENTITY_IN_PROCESS) ? IdentitySource::own_thread
                                                                  : IdentitySource::agent_program;
  keys.agent_program = path_join(library_dir, kAgentProgram);
  return GUARDIAN_OK;
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
    const guardian_result read = read_options(options, settings, keys);
    if (read != GUARDIAN_OK) return read;
    *client = std::make_unique<guardian_client>(std::move(settings), std::move(keys)).release();
    return GUARDIAN_OK;
  });
}

guardian_result GUARDIAN_CALL guardian_client_load_key(guardian_client* client) {
  if (!client) return GUARDIAN_BAD_ARGUMENT;
  return guarded([&] {
    const Call call(client);
    return call.refused() ? GUARDIAN_CANCELLED : to_c(client->channel.load_key());
  });
}

guardian_result GUARDIAN_CALL guardian_client_send(guardian_client* client, const char* op, char** body,
                                                   char** error_code) {
  if (body) *body = nullptr;
  if (error_code) *error_code = nullptr;
  if (!client || !op) return GUARDIAN_BAD_ARGUMENT;
  return guarded([&] {
    if (!operation_acceptable(op)) return GUARDIAN_BAD_ARGUMENT;
    const Call call(client);
    if (call.refused()) return GUARDIAN_CANCELLED;
    const ClientReply answer = client->channel.request(op);
    if (answer.result != ClientResult::ok && answer.result != ClientResult::not_ok) return to_c(answer.result);
    char* body_text = body ? copy_out(compact_json(answer.reply.at("body"))) : nullptr;
    char* code_text = error_code && answer.result == ClientResult::not_ok ? copy_out(answer.error_code) : nullptr;
    if ((body && !body_text) || (error_code && answer.result == ClientResult::not_ok && !code_text)) {
      std::free(body_text);
      std::free(code_text);
      return GUARDIAN_INTERNAL;
    }
    if (body) *body = body_text;
    if (error_code) *error_code = code_text;
    return to_c(answer.result);
  });
}

void GUARDIAN_CALL guardian_client_cancel(guardian_client* client) {
  if (!client) return;
  guarded([&] {
    // Counted like any call, so that a close on another thread waits for it to return; a
    // client already closing is cancelling everything anyway.
    const Call call(client);
    if (!call.refused()) client->channel.cancel_pending();
    return GUARDIAN_OK;
  });
}

void GUARDIAN_CALL guardian_client_close(guardian_client* client) {
  if (!client) return;
  guarded([&] {
    {
      std::lock_guard<std::mutex> hold(client->lock);
      client->closing = true;
    }
    client->channel.cancel_pending(true);
    std::unique_lock<std::mutex> hold(client->lock);
    client->idle.wait(hold, [client] { return client->calls == 0; });
    return GUARDIAN_OK;
  });
  const std::unique_ptr<guardian_client> owned(client);
}

guardian_result GUARDIAN_CALL guardian_client_check_request(guardian_client* client, const char* op,
                                                            const char* nonce, const char* mac) {
  if (!client || !op || !nonce || !mac) return GUARDIAN_BAD_ARGUMENT;
  return guarded([&] {
    const Call call(client);
    return call.refused() ? GUARDIAN_CANCELLED : to_c(client->channel.check_request(op, nonce, mac));
  });
}

guardian_result GUARDIAN_CALL guardian_client_make_reply(guardian_client* client, int ok, const char* nonce,
                                                         const char* body, char** reply) {
  if (reply) *reply = nullptr;
  if (!client || !nonce || !body || !reply) return GUARDIAN_BAD_ARGUMENT;
  return guarded([&] {
    const std::string_view text(body);
    nlohmann::json parsed = parse_json(text.begin(), text.end());
    if (parsed.is_discarded()) return GUARDIAN_BAD_JSON;
    const Call call(client);
    if (call.refused()) return GUARDIAN_CANCELLED;
    nlohmann::json envelope;
    const ClientResult made = client->channel.make_reply(ok != 0, nonce, std::move(parsed), envelope);
    if (made != ClientResult::ok) return to_c(made);
    *reply = copy_out(compact_json(envelope));
    return *reply ? GUARDIAN_OK : GUARDIAN_INTERNAL;
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
