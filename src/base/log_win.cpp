#include <windows.h>
#include <sddl.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <mutex>

#include "base/event_log.hpp"
#include "base/object_owner.hpp"
#include "base/unique.hpp"
#include "base/log.hpp"
#include "base/log_format.hpp"
#include "base/text.hpp"

namespace guardian {
namespace {

// How long a line waits for another writer of the same file.
constexpr DWORD kLogLockWaitMs = 1000;

// A log that has to be copied to rotate it is read whole; no log of ours comes near this.
constexpr LONGLONG kLogCopyLimitBytes = 64LL << 20;

// What a writer does with the lock: waits for it, releases it, and reads its owner.
constexpr DWORD kLogLockRights = SYNCHRONIZE | MUTEX_MODIFY_STATE | READ_CONTROL;
static_assert(kLogLockRights == 0x120001, "the lock's access list grants these rights by number");

// Creates the lock, or opens it with a writer's rights only, so that an access list which
// grants no more still lets the writer in. Whoever creates it lets LocalSystem, the
// Administrators and the creating user (two consoles of one user on their own folder) take
// it, so the service and an administrator's console share it whichever starts first. It is
// owned by the Administrators where the creator may name them (the service, an elevated
// console), since writers rely only on a lock that LocalSystem, the Administrators or they
// themselves own; otherwise by the creating user.
UniqueHandle create_log_lock(const std::wstring& name, DWORD& error) {
  const std::wstring user = process_user_sid();
  std::wstring dacl = L"D:(A;;0x120001;;;SY)(A;;0x120001;;;BA)";
  if (!user.empty() && user != L"S-1-5-18") dacl += L"(A;;0x120001;;;" + user + L")";
  for (const std::wstring& owner : {std::wstring(L"O:BA"), L"O:" + user}) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW((owner + dacl).c_str(), SDDL_REVISION_1, &sd, nullptr)) {
      error = GetLastError();
      continue;
    }
    const UniqueLocal sd_owner(sd);
    SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
    UniqueHandle lock(CreateMutexExW(&sa, name.c_str(), 0, kLogLockRights));
    error = GetLastError();
    if (lock || error != ERROR_INVALID_OWNER) return lock;
  }
  return {};
}

// The lock of a log file, shared with every other process that writes it. Null when it
// cannot be had, or when the name is held by an object that another user created (anyone
// may create a named object first; such a one is not relied on): lines are then written
// without it.
UniqueHandle open_log_lock(const std::wstring& path) {
  DWORD error = ERROR_SUCCESS;
  UniqueHandle lock = create_log_lock(log_file_lock_name(path), error);
  if (lock && error == ERROR_ALREADY_EXISTS && kernel_object_owner(lock.get()) == ObjectOwner::other) lock.reset();
  return lock;
}

uint64_t file_size_of(const std::wstring& path, bool& exists) {
  WIN32_FILE_ATTRIBUTE_DATA info;
  exists = GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &info) != FALSE;
  return exists ? (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow : 0;
}

// Moves the file to its ".1" name. When another program holds it open without delete
// sharing (a log viewer, say) the rename fails; the bound is then kept by copying the file
// to ".1" and emptying it in place. The copy is made through a handle that can also empty
// the file, so ".1" is replaced only when the emptying can follow: a program that holds the
// log without write sharing must not make every line overwrite the older generation.
bool rotate_log(const std::wstring& path, SECURITY_ATTRIBUTES* created) {
  const std::wstring rotated = path + L".1";
  if (MoveFileExW(path.c_str(), rotated.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size{};
  if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart > kLogCopyLimitBytes) return false;
  std::string content(static_cast<size_t>(size.QuadPart), '\0');
  DWORD got = 0;
  if (!ReadFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &got, nullptr)) return false;
  content.resize(got);
  const std::wstring staged = rotated + L".tmp";
  {
    const UniqueFile copy(CreateFileW(staged.c_str(), GENERIC_WRITE, 0, created, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                      nullptr));
    DWORD wrote = 0;
    if (!copy || !WriteFile(copy.get(), content.data(), got, &wrote, nullptr) || wrote != got) {
      DeleteFileW(staged.c_str());
      return false;
    }
  }
  if (!MoveFileExW(staged.c_str(), rotated.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    DeleteFileW(staged.c_str());
    return false;
  }
  const LARGE_INTEGER start{};
  return SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN) && SetEndOfFile(file.get());
}

class Logger {
 public:
  static Logger& instance() {
    static Logger logger;
    return logger;
  }

  void configure(std::wstring path, bool echo_to_console, const wchar_t* file_sddl) {
    std::lock_guard<std::mutex> hold(lock_);
    file_lock_ = path.empty() ? UniqueHandle() : open_log_lock(path);
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (file_sddl) ConvertStringSecurityDescriptorToSecurityDescriptorW(file_sddl, SDDL_REVISION_1, &sd, nullptr);
    file_sd_.reset(sd);
    lock_stalled_ = false;
    unwritable_reported_ = false;
    log_path_ = std::move(path);
    echo_to_console_ = echo_to_console;
    if (echo_to_console_) {
      // The copy on standard error must be byte for byte the line in the file: no "\n" to
      // "\r\n" translation of a text-mode stream.
      std::fflush(stderr);
      _setmode(_fileno(stderr), _O_BINARY);
    }
  }

  void write(std::string_view level, std::string_view message) {
    SYSTEMTIME now;
    GetSystemTime(&now);
    const LogClock clock{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
    const std::string line = format_log_line(clock, GetCurrentThreadId(), level, message);

    std::lock_guard<std::mutex> hold(lock_);
    if (echo_to_console_) {
      std::fwrite(line.data(), 1, line.size(), stderr);
      std::fflush(stderr);
    }
    if (log_path_.empty()) return;
    const bool locked = take_file_lock();
    append(line);
    if (locked) ReleaseMutex(file_lock_.get());
  }

 private:
  Logger() = default;

  // Waits up to kLogLockWaitMs; after a wait that timed out, only tries, until the lock is
  // taken again. A mutex left by a writer that died counts as taken.
  bool take_file_lock() {
    if (!file_lock_) return false;
    const DWORD wait = WaitForSingleObject(file_lock_.get(), lock_stalled_ ? 0 : kLogLockWaitMs);
    lock_stalled_ = wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED;
    return !lock_stalled_;
  }

  void append(const std::string& line) {
    bool exists = false;
    const uint64_t size = file_size_of(log_path_, exists);
    SECURITY_ATTRIBUTES created{sizeof created, file_sd_.get(), FALSE};
    SECURITY_ATTRIBUTES* const sa = file_sd_ ? &created : nullptr;
    if (exists && log_needs_rotation(size, line.size()) && !rotate_log(log_path_, sa) &&
        !log_line_fits_unrotated(size, line.size())) {
      // dropped: the file stays within its bound until it can be rotated
      report_unwritable("it is full and cannot be rotated");
      return;
    }
    UniqueFile file(CreateFileW(log_path_.c_str(), FILE_APPEND_DATA,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, sa, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
      report_unwritable(win_error_text(GetLastError()));
      return;
    }
    DWORD written = 0;
    if (!WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) {
      report_unwritable(win_error_text(GetLastError()));
    } else if (written != line.size()) {
      report_unwritable("only part of a line was written");
    }
  }

  // The log cannot say that it fails; the service's Event Log can, once per run.
  void report_unwritable(const std::string& why) {
    if (unwritable_reported_) return;
    unwritable_reported_ = true;
    report_event(AgentEvent::log_unwritable, {to_utf8(log_path_), why});
  }

  std::mutex lock_;  // serialises configuration and every line of this process
  std::wstring log_path_;
  bool echo_to_console_ = false;
  UniqueHandle file_lock_;
  bool lock_stalled_ = false;
  bool unwritable_reported_ = false;
  UniqueLocal file_sd_;  // the descriptor of the files this process creates; none: the folder's
};

}  // namespace

std::wstring log_file_lock_name(const std::wstring& path) {
  wchar_t full[1024];
  const DWORD n = GetFullPathNameW(path.c_str(), 1024, full, nullptr);
  const std::wstring name = n > 0 && n < 1024 ? std::wstring(full, n) : path;
  std::wstring upper(name.size(), L'\0');
  if (name.empty() || LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, name.c_str(), static_cast<int>(name.size()),
                                    upper.data(), static_cast<int>(upper.size()), nullptr, nullptr, 0) == 0)
    upper = name;
  return log_lock_name(upper);
}

void configure_log(const std::wstring& path, bool echo, const wchar_t* file_sddl) {
  Logger::instance().configure(path, echo, file_sddl);
}

void log_line(std::string_view level, std::string_view message) { Logger::instance().write(level, message); }

}  // namespace guardian
