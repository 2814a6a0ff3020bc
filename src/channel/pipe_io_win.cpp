#include "channel/pipe_io.hpp"

#include "channel/frame.hpp"
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
  const HANDLE waits[2] = {event.get(), cancel_event};
  const DWORD wait = WaitForMultipleObjects(cancel_event ? 2 : 1, waits, FALSE, timeout_ms);
  if (wait != WAIT_OBJECT_0) {
    CancelIoEx(pipe, &ov);
    DWORD ignored = 0;
    GetOverlappedResult(pipe, &ov, &ignored, TRUE);
    return false;
  }
  if (GetOverlappedResult(pipe, &ov, &transferred, FALSE)) return true;
  return GetLastError() == ERROR_MORE_DATA;
}

bool read_exact(HANDLE pipe, void* buffer, DWORD count, DWORD timeout_ms, HANDLE cancel_event) {
  auto* bytes = static_cast<char*>(buffer);
  DWORD done = 0;
  while (done < count) {
    DWORD got = 0;
    if (!pipe_io(pipe, PipeDirection::read, bytes + done, count - done, timeout_ms, got, cancel_event)) return false;
    if (got == 0) return false;
    done += got;
  }
  return true;
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
  uint8_t header[kFrameHeaderSize];
  if (!read_exact(pipe, header, kFrameHeaderSize, timeout_ms, cancel_event)) return false;
  const uint32_t n = frame_length(header);
  if (n > kMaxFramePayload) return false;
  payload.assign(n, '\0');
  return n == 0 || read_exact(pipe, payload.data(), n, timeout_ms, cancel_event);
}

std::wstring process_image_path(DWORD process_id) {
  UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id));
  if (!process) return {};
  wchar_t path[520];
  DWORD size = 520;
  if (!QueryFullProcessImageNameW(process.get(), 0, path, &size)) return {};
  return std::wstring(path, size);
}

bool is_in_directory(std::wstring_view image_path, std::wstring_view directory) {
  if (image_path.empty() || directory.empty()) return false;
  auto lowered = [](std::wstring_view text) {
    std::wstring copy(text);
    CharLowerBuffW(copy.data(), static_cast<DWORD>(copy.size()));
    for (wchar_t& c : copy)
      if (c == L'/') c = L'\\';
    return copy;
  };
  std::wstring dir = lowered(directory);
  while (!dir.empty() && dir.back() == L'\\') dir.pop_back();
  dir += L'\\';
  const std::wstring image = lowered(image_path);
  return image.size() > dir.size() && image.compare(0, dir.size(), dir) == 0;
}

}  // namespace guardian
