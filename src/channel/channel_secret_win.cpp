#include <windows.h>

#include "channel/auth.hpp"
#include "runtime/log.hpp"
#include "base/text.hpp"
#include "base/unique.hpp"
#include "store/crypto.hpp"
#include "store/file_io.hpp"
#include "store/protected_store.hpp"

namespace guardian {
namespace {

enum class CreateOutcome { created, exists, write_failed, fatal };

// One exclusive create of "channel.bin" holding the sealed secret.
CreateOutcome create_channel_file(const std::wstring& path, const Bytes& blob) {
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_EXISTS) return CreateOutcome::exists;
    log_error("channel.bin create failed: " + win_error_text(error));
    return CreateOutcome::fatal;
  }
  DWORD wrote = 0;
  const bool ok = WriteFile(file.get(), blob.data(), static_cast<DWORD>(blob.size()), &wrote, nullptr) &&
                  wrote == blob.size();
  FlushFileBuffers(file.get());
  file.reset();
  if (ok) return CreateOutcome::created;
  DeleteFileW(path.c_str());
  return CreateOutcome::write_failed;
}

}  // namespace

bool read_channel_key(const ProtectedStore& store, std::string_view fingerprint, Bytes& key) {
  Bytes secret;
  const bool ok = store.read(kChannelFile, secret) && secret.size() == kChannelSecretSize;
  if (ok) key = derive_channel_key(secret, fingerprint);
  std::fill(secret.begin(), secret.end(), 0);
  return ok && key.size() == 32;
}

Bytes load_or_create_channel_secret(const ProtectedStore& store) {
  const std::wstring path = store.path_of(kChannelFile);
  for (int attempt = 0; attempt < 3; ++attempt) {
    Bytes secret(kChannelSecretSize, 0);
    Bytes blob;
    bool try_read = true;
    if (random_bytes(secret.data(), secret.size()) && store.seal(secret, blob)) {
      switch (create_channel_file(path, blob)) {
        case CreateOutcome::created:
          log_info("channel.bin created");
          return secret;
        case CreateOutcome::fatal:
          return {};
        case CreateOutcome::write_failed:
          try_read = false;
          break;
        case CreateOutcome::exists:
          break;
      }
    }
    std::fill(secret.begin(), secret.end(), 0);
    if (!try_read) continue;

    Bytes existing;
    if (store.read(kChannelFile, existing) && existing.size() == kChannelSecretSize) return existing;
    std::fill(existing.begin(), existing.end(), 0);
    // Another process may be writing the file right now: give it time, more when it is
    // still empty.
    Sleep(50);
    Bytes raw;
    if (read_whole_file(path, raw) && raw.empty()) Sleep(200);
  }
  log_error("channel.bin unreadable");
  return {};
}

}  // namespace guardian
