#include <windows.h>

#include <cstdint>
#include <string_view>

#include "channel/auth.hpp"
#include "base/event_log.hpp"
#include "base/log.hpp"
#include "base/text.hpp"
#include "base/unique.hpp"
#include "store/crypto.hpp"
#include "store/file_io.hpp"
#include "store/protected_store.hpp"

namespace guardian {
namespace {

enum class CreateOutcome { created, exists, write_failed, fatal };

// "channel.bin.<pid>-<tid>.tmp": unique to the writing process and thread, so agents racing
// the first start never share a temporary file, and a stale one names the process that left it.
constexpr wchar_t kTempPattern[] = L"channel.bin.*.tmp";

std::wstring temp_name() {
  return std::wstring(kChannelFile) + L"." + std::to_wstring(GetCurrentProcessId()) + L"-" +
         std::to_wstring(GetCurrentThreadId()) + L".tmp";
}

// The value of 1 to 10 decimal digits; -1 for anything else.
int64_t decimal(std::wstring_view digits) {
  if (digits.empty() || digits.size() > 10) return -1;
  int64_t value = 0;
  for (wchar_t c : digits) {
    if (c < L'0' || c > L'9') return -1;
    value = value * 10 + (c - L'0');
  }
  return value;
}

// The process id in a name of our temporary pattern; 0 when the name is not one of ours.
DWORD temp_owner(std::wstring_view name) {
  constexpr std::wstring_view kPrefix = L"channel.bin.";
  constexpr std::wstring_view kSuffix = L".tmp";
  if (name.size() <= kPrefix.size() + kSuffix.size() || !name.starts_with(kPrefix) || !name.ends_with(kSuffix))
    return 0;
  const std::wstring_view ids = name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
  const size_t dash = ids.find(L'-');
  if (dash == std::wstring_view::npos) return 0;
  const int64_t pid = decimal(ids.substr(0, dash));
  const int64_t tid = decimal(ids.substr(dash + 1));
  return pid > 0 && pid <= 0xFFFFFFFFLL && tid >= 0 ? static_cast<DWORD>(pid) : 0;
}

// A process that has ended, or never was: its temporary file is stale. A process we may not
// look at counts as running.
bool process_gone(DWORD pid) {
  if (pid == GetCurrentProcessId()) return false;
  UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process) return GetLastError() == ERROR_INVALID_PARAMETER;
  DWORD code = 0;
  return GetExitCodeProcess(process.get(), &code) && code != STILL_ACTIVE;
}

// Removes the temporary files that a process killed while creating the secret left behind.
// Only names of our own pattern whose writer has gone are touched.
void remove_stale_temp_files(const ProtectedStore& store) {
  WIN32_FIND_DATAW entry;
  UniqueFind find(FindFirstFileW(store.path_of(kTempPattern).c_str(), &entry));
  if (!find) return;
  do {
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    const DWORD pid = temp_owner(entry.cFileName);
    if (pid != 0 && process_gone(pid)) DeleteFileW(store.path_of(entry.cFileName).c_str());
  } while (FindNextFileW(find.get(), &entry));
}

bool file_absent(const std::wstring& path) {
  if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return false;
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// "channel.bin" appears only whole: the sealed secret is written and flushed to a temporary
// file, which is then moved to the final name without replacing one that exists. A crash
// leaves at most a temporary file, and of two agents racing the first start one wins and the
// other reads the winner's file.
// error: the failing call's error, when the outcome is write_failed or fatal.
CreateOutcome create_channel_file(const std::wstring& path, const std::wstring& temp, const Bytes& blob,
                                  DWORD& error) {
  bool created = false;
  if (!write_flushed_file(temp, blob, &created)) {
    error = GetLastError();
    if (!created) {
      log_error("channel.bin create failed: " + win_error_text(error));
      return CreateOutcome::fatal;
    }
    log_warn("channel.bin write failed: " + win_error_text(error));
    return CreateOutcome::write_failed;
  }
  if (MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH)) return CreateOutcome::created;
  error = GetLastError();
  DeleteFileW(temp.c_str());
  if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) return CreateOutcome::exists;
  log_error("channel.bin create failed: " + win_error_text(error));
  return CreateOutcome::fatal;
}

// The secret in "channel.bin", quietly: what the file is to a reader with the store's
// fingerprint, and the 32 bytes when it opens.
ChannelFileState open_channel_file(const ProtectedStore& store, Bytes& secret) {
  Bytes blob;
  if (!read_whole_file(store.path_of(kChannelFile), blob)) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ChannelFileState::missing
                                                                          : ChannelFileState::does_not_open;
  }
  return store.unseal(blob, secret) && secret.size() == kChannelSecretSize ? ChannelFileState::opens
                                                                            : ChannelFileState::does_not_open;
}

}  // namespace

bool read_channel_key(const ProtectedStore& store, std::string_view fingerprint, Bytes& key) {
  Bytes secret;
  const bool ok = store.read(kChannelFile, secret) && secret.size() == kChannelSecretSize;
  if (ok) key = derive_channel_key(secret, fingerprint);
  std::fill(secret.begin(), secret.end(), 0);
  return ok && key.size() == 32;
}

ChannelFileState probe_channel_file(const ProtectedStore& store) {
  Bytes secret;
  const ChannelFileState state = open_channel_file(store, secret);
  std::fill(secret.begin(), secret.end(), 0);
  return state;
}

ChannelFileState load_channel_key(const ProtectedStore& store, std::string_view fingerprint, Bytes& key) {
  Bytes secret;
  ChannelFileState state = open_channel_file(store, secret);
  if (state == ChannelFileState::opens) {
    Bytes derived = derive_channel_key(secret, fingerprint);
    if (derived.size() == 32) {
      key = std::move(derived);
    } else {
      state = ChannelFileState::does_not_open;
    }
  }
  std::fill(secret.begin(), secret.end(), 0);
  return state;
}

ChannelFileProblem channel_file_problem(const ProtectedStore& store) {
  using Kind = ChannelFileProblem::Kind;
  Bytes blob;
  const std::wstring path = store.path_of(kChannelFile);
  if (!read_whole_file(path, blob)) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return {};
    // A folder is refused as if access were denied: said as what it is.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
        !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
      return {Kind::folder, "cannot be read: a folder stands where it belongs", error};
    if (error == ERROR_TIMEOUT)
      return {Kind::unreadable, "cannot be read within " + std::to_string(kFileReadLimitMs / 1000) +
                                    " s: another program holds it", error};
    return {Kind::unreadable, "cannot be read: " + win_error_text(error), error};
  }
  Bytes secret;
  const bool unsealed = store.unseal(blob, secret);
  const size_t size = secret.size();
  std::fill(secret.begin(), secret.end(), 0);
  // A file cut short or overwritten does not unseal either, and cannot be told apart.
  if (!unsealed)
    return {Kind::sealed_elsewhere,
            "was sealed under another device fingerprint, or damaged (the hardware changed, the file came from "
            "another machine, or it was cut short or overwritten)"};
  if (size != kChannelSecretSize)
    return {Kind::not_a_secret, "opens, but holds " + std::to_string(size) + " bytes, not a secret"};
  return {};
}

std::string channel_folder_steps(const std::string& path) {
  return "sc stop OstrivalGuardian, rmdir /s \"" + path +
         "\" (after saving what it holds), sc start OstrivalGuardian: it makes a new secret, which the companion and "
         "the suite's applications read once restarted";
}

std::string channel_renewal_steps(const std::string& path) {
  return "sc stop OstrivalGuardian, del \"" + path +
         "\", sc start OstrivalGuardian, then restart the companion and the suite's applications, which read the "
         "new key";
}

Bytes load_or_create_channel_secret(const ProtectedStore& store, std::string* failure) {
  const std::wstring path = store.path_of(kChannelFile);
  const std::wstring temp = store.path_of(temp_name());
  remove_stale_temp_files(store);
  DWORD write_error = 0;  // the last failed write of a new file
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (file_absent(path)) {
      Bytes secret(kChannelSecretSize, 0);
      Bytes blob;
      if (random_bytes(secret.data(), secret.size()) && store.seal(secret, blob)) {
        DWORD error = 0;
        switch (create_channel_file(path, temp, blob, error)) {
          case CreateOutcome::created: {
            // A new key for every client: whoever holds the earlier one no longer verifies.
            const std::string where = to_utf8(path);
            log_info("channel.bin created: a new channel secret, in " + where +
                     "; every client that holds an earlier key must read it again (restart the companion and the "
                     "suite's applications)");
            report_event(AgentEvent::secret_created, {where});
            return secret;
          }
          case CreateOutcome::fatal:
            if (failure) *failure = "channel.bin could not be created: " + win_error_text(error);
            return {};
          case CreateOutcome::write_failed:
            write_error = error;
            std::fill(secret.begin(), secret.end(), 0);
            continue;
          case CreateOutcome::exists:  // another process was first: read its file
            break;
        }
      }
      std::fill(secret.begin(), secret.end(), 0);
    }

    Bytes existing;
    if (store.read(kChannelFile, existing) && existing.size() == kChannelSecretSize) return existing;
    std::fill(existing.begin(), existing.end(), 0);
    // A file this program made is never incomplete; one that does not open may still be held
    // or being replaced from outside: give that a moment, more when it is empty.
    Sleep(50);
    Bytes raw;
    if (read_whole_file(path, raw) && raw.empty()) Sleep(200);
  }
  // A new file that could not be written (a full disk, say) is not one that cannot be read.
  if (write_error != 0 && file_absent(path)) {
    const std::string why = "channel.bin could not be written: " + win_error_text(write_error);
    log_error(why);
    if (failure) *failure = why;
    return {};
  }
  log_error("channel.bin unreadable");
  return {};
}

}  // namespace guardian
