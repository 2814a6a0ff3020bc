#include "channel/pipe_io.hpp"

#include <sddl.h>

#include "channel/frame.hpp"
#include "channel/peer_rules.hpp"
#include "base/text.hpp"
#include "base/unique.hpp"

namespace guardian {

bool pipe_io(HANDLE pipe, PipeDirection direction, void* buffer, DWORD count, DWORD timeout_ms, DWORD& transferred,
             HANDLE cancel_event) {
  transferred = 0;
  UniqueHandle event = make_event();
  if (!event) return false;
  OVERLAPPED ov{};
  ov.hEvent = event.get();
  const BOOL started = direction == PipeDirection::read ? ReadFile(pipe, buffer, count, nullptr, &ov)
                                                        : WriteFile(pipe, buffer, count, nullptr, &ov);
  if (!started) {
    const DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING && error != ERROR_MORE_DATA) return false;
  }
  // The cancel event comes first: when both are signalled, the wait reports the first, and a
  // peer that always has the next frame ready (the operation completes at once, every time)
  // must not keep a stop from being seen.
  const HANDLE waits[2] = {cancel_event ? cancel_event : event.get(), event.get()};
  const DWORD handles = cancel_event ? 2 : 1;
  const DWORD wait = WaitForMultipleObjects(handles, waits, FALSE, timeout_ms);
  if (wait != WAIT_OBJECT_0 + handles - 1) {
    CancelIoEx(pipe, &ov);
    DWORD ignored = 0;
    GetOverlappedResult(pipe, &ov, &ignored, TRUE);
    return false;
  }
  if (GetOverlappedResult(pipe, &ov, &transferred, FALSE)) return true;
  return GetLastError() == ERROR_MORE_DATA;
}

bool read_exact_until(HANDLE pipe, void* buffer, DWORD count, ULONGLONG deadline, HANDLE cancel_event) {
  auto* bytes = static_cast<char*>(buffer);
  DWORD done = 0;
  while (done < count) {
    const ULONGLONG now = GetTickCount64();
    // With no time left a read is still issued, with no wait: bytes already there count.
    const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    DWORD got = 0;
    if (!pipe_io(pipe, PipeDirection::read, bytes + done, count - done, left, got, cancel_event)) return false;
    if (got == 0) return false;
    done += got;
  }
  return true;
}

bool read_exact(HANDLE pipe, void* buffer, DWORD count, DWORD timeout_ms, HANDLE cancel_event) {
  return read_exact_until(pipe, buffer, count, GetTickCount64() + timeout_ms, cancel_event);
}

bool write_frame(HANDLE pipe, std::string_view payload, DWORD timeout_ms, HANDLE cancel_event) {
  if (payload.size() > kMaxFramePayload) return false;
  std::string frame = encode_frame(payload);
  DWORD wrote = 0;
  return pipe_io(pipe, PipeDirection::write, frame.data(), static_cast<DWORD>(frame.size()), timeout_ms, wrote,
                 cancel_event) &&
         wrote == frame.size();
}

bool read_frame(HANDLE pipe, std::string& payload, DWORD timeout_ms, HANDLE cancel_event) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  uint8_t header[kFrameHeaderSize];
  if (!read_exact_until(pipe, header, kFrameHeaderSize, deadline, cancel_event)) return false;
  const uint32_t n = frame_length(header);
  if (n > kMaxFramePayload) return false;
  payload.assign(n, '\0');
  return n == 0 || read_exact_until(pipe, payload.data(), n, deadline, cancel_event);
}

uint64_t precise_time_now() {
  FILETIME now;
  GetSystemTimePreciseAsFileTime(&now);
  return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

namespace {

std::wstring image_of(HANDLE process) {
  wchar_t path[520];
  DWORD size = 520;
  if (!QueryFullProcessImageNameW(process, 0, path, &size)) return {};
  return std::wstring(path, size);
}

// The user a process runs as, from its token, as an SID string; empty when it cannot be read
// (a protected process, say).
std::string user_of(HANDLE process) {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(process, TOKEN_QUERY, &raw)) return {};
  const UniqueHandle token(raw);
  // TOKEN_USER and the SID it points to; an SID is at most 68 bytes.
  alignas(TOKEN_USER) unsigned char buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD size = 0;
  if (!GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &size)) return {};
  LPWSTR text = nullptr;
  if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) return {};
  const UniqueLocal owned(text);
  return to_utf8(text);
}

}  // namespace

bool ProcessImageCache::find(PeerCheck& check) {
  std::lock_guard<std::mutex> hold(lock_);
  for (const Entry& entry : entries_) {
    if (entry.process && entry.pid == check.pid) {
      check.created = entry.created;
      check.image = entry.image;
      check.user = entry.user;
      return true;
    }
  }
  return false;
}

void ProcessImageCache::remember(const PeerCheck& check, UniqueHandle process) {
  std::lock_guard<std::mutex> hold(lock_);
  for (const Entry& entry : entries_)
    if (entry.process && entry.pid == check.pid) return;  // another thread's check of the same process
  Entry& entry = entries_[next_];
  next_ = (next_ + 1) % kEntries;
  entry.pid = check.pid;
  entry.created = check.created;
  entry.image = check.image;
  entry.user = check.user;
  entry.process = std::move(process);
}

PeerCheck check_peer_process(unsigned long pid, uint64_t connected_at, std::wstring_view trusted_dir,
                             ProcessImageCache* cache, uint64_t stepped_back) {
  PeerCheck check;
  check.pid = pid;
  if (!cache || !cache->find(check)) {
    UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) return check;
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) return check;
    check.created = (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    check.image = image_of(process.get());
    if (check.image.empty()) {
      check.created = 0;
      return check;
    }
    if (cache) {
      check.user = user_of(process.get());
      if (check.created != 0) cache->remember(check, std::move(process));
    }
  }
  if (!process_predates_connection(check.created, connected_at, stepped_back)) {
    check.verdict = PeerVerdict::reused;
  } else {
    check.verdict = is_in_directory(check.image, trusted_dir) ? PeerVerdict::trusted : PeerVerdict::outside;
  }
  return check;
}

uint64_t monotonic_time_now() {
  static const uint64_t frequency = [] {
    LARGE_INTEGER f{};
    QueryPerformanceFrequency(&f);
    return static_cast<uint64_t>(f.QuadPart > 0 ? f.QuadPart : 1);
  }();
  LARGE_INTEGER count{};
  QueryPerformanceCounter(&count);
  const uint64_t ticks = static_cast<uint64_t>(count.QuadPart);
  // In two parts, so that the product cannot overflow for any uptime.
  return ticks / frequency * 10000000 + ticks % frequency * 10000000 / frequency;
}

std::wstring process_image_path(DWORD process_id) {
  UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id));
  if (!process) return {};
  return image_of(process.get());
}

bool is_in_directory(std::wstring_view image_path, std::wstring_view directory) {
  if (image_path.empty() || directory.empty()) return false;
  auto slashed = [](std::wstring_view text) {
    std::wstring copy(text);
    for (wchar_t& c : copy)
      if (c == L'/') c = L'\\';
    return copy;
  };
  std::wstring dir = slashed(directory);
  while (!dir.empty() && dir.back() == L'\\') dir.pop_back();
  dir += L'\\';
  const std::wstring image = slashed(image_path);
  // Paths compare as the file system compares names: ordinal, case folded.
  return image.size() > dir.size() &&
         CompareStringOrdinal(image.data(), static_cast<int>(dir.size()), dir.data(), static_cast<int>(dir.size()),
                              TRUE) == CSTR_EQUAL;
}

}  // namespace guardian
