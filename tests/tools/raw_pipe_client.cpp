// Test tool: talks to a pipe frame by frame, including frames no real client would send.
// Usage: raw_pipe_client [--pipe NAME] ACTION...
//   connect               open the pipe (message mode); prints "connected" or "open failed <code>"
//   frame:TEXT            one frame with TEXT as payload
//   mac:OP:NONCE          a request {"op","nonce","mac"} with the channel key (OV_STORAGE_DIR)
//   pad:N                 a {"op":"ping","pad":"..."} request of exactly N payload bytes
//   len:N                 only a 4-byte length of N, as one message
//   raw:HEX               the bytes as one message
//   read[:MS]             one reply frame: prints "reply TEXT", "closed" or "timeout"
//   sleep:MS              waits
//   close                 closes the connection
//   repeat:N:OP           N requests through the pipe client, each on a new connection;
//                         prints "repeat ok=A failed=B" and the failure words
//   timed:N:OP            as repeat, each request timed: "timed ok=A failed=B max_ms=M" and
//                         the failure words
//   unpinned              later repeats do not check the server's folder
//   frames:N:TEXT         N frames with TEXT on this connection, each followed by a read;
//                         prints "frames replied=K"
//   trickle:MS:TEXT       the frame of TEXT one byte per message, MS apart; prints
//                         "trickle sent=K of N in T ms" (T from the first byte to the end)
//   flood:N               N connection attempts, every one held open until the program
//                         ends; prints "flood opened=A failed=B"
//   queue:N:TEXT          N frames of TEXT on this connection, no reply read, each write
//                         given 1 s; prints "queue sent=K of N"
//   squat:N               tries to make N instances of the pipe name, as a server would;
//                         keeps those it made; prints "squat made=K of N error=E" (the last)
//   hold:N:PING_MS:FOR_MS takes every connection it can, up to N, for FOR_MS: once a second it
//                         opens more where there is room, and sends "ping" on each of its
//                         connections every PING_MS, which keeps them alive; prints
//                         "hold most=M ended=E pings=P" (M held at once at most, E of its
//                         connections ended by the server)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "channel/auth.hpp"
#include "channel/frame.hpp"
#include "channel/pipe_client.hpp"
#include "channel/pipe_io.hpp"
#include "device/identity.hpp"
#include "runtime/config.hpp"
#include "base/json_text.hpp"
#include "base/text.hpp"
#include "base/unique.hpp"
#include "store/crypto.hpp"
#include "store/protected_store.hpp"

using namespace guardian;

namespace {

Bytes channel_key() {
  static Bytes key;
  if (key.empty()) {
    const DeviceIdentity identity = collect_device_identity();
    read_channel_key(ProtectedStore(resolve_client_storage_dir(), identity.fingerprint), identity.fingerprint, key);
  }
  return key;
}

bool send_raw(HANDLE pipe, const std::string& bytes) {
  DWORD wrote = 0;
  std::string copy = bytes;
  return pipe_io(pipe, PipeDirection::write, copy.data(), static_cast<DWORD>(copy.size()), 10000, wrote) &&
         wrote == copy.size();
}

// Opens the pipe like the pipe client: a busy pipe is waited for, up to wait_ms.
UniqueFile open_pipe(const std::wstring& name, ULONGLONG wait_ms) {
  const ULONGLONG deadline = GetTickCount64() + wait_ms;
  for (;;) {
    UniqueFile pipe(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr));
    if (pipe || GetLastError() != ERROR_PIPE_BUSY || GetTickCount64() >= deadline) return pipe;
    WaitNamedPipeW(name.c_str(), 1000);
  }
}

// One reply frame: "reply TEXT", "closed" or "timeout".
std::string read_reply(HANDLE pipe, DWORD ms) {
  uint8_t header[4];
  DWORD got = 0;
  if (!pipe_io(pipe, PipeDirection::read, header, 4, ms, got)) {
    const DWORD error = GetLastError();
    return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED ? "closed" : "timeout";
  }
  if (got == 0) return "closed";
  std::string payload(frame_length(header), '\0');
  if (!payload.empty() && !read_exact(pipe, payload.data(), static_cast<DWORD>(payload.size()), ms)) return "closed";
  return "reply " + payload;
}

}  // namespace

int main(int argc, char** argv) {
  std::wstring pipe_name = kGuardianPipe;
  int i = 1;
  if (argc > 2 && std::string(argv[1]) == "--pipe") {
    pipe_name = to_utf16(argv[2]);
    i = 3;
  }
  UniqueFile pipe;
  std::vector<UniqueFile> held;  // the flood's connections, the squatter's instances
  bool pinned = true;
  for (; i < argc; ++i) {
    const std::string action = argv[i];
    const size_t colon = action.find(':');
    const std::string verb = action.substr(0, colon);
    const std::string arg = colon == std::string::npos ? "" : action.substr(colon + 1);
    if (verb == "connect") {
      pipe = open_pipe(pipe_name, 30000);
      if (!pipe) {
        std::printf("open failed %lu\n", GetLastError());
        return 1;
      }
      DWORD mode = PIPE_READMODE_MESSAGE;
      SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr);
      std::printf("connected\n");
    } else if (verb == "frame") {
      std::printf("%s\n", send_raw(pipe.get(), encode_frame(arg)) ? "sent" : "send failed");
    } else if (verb == "mac") {
      const size_t c2 = arg.find(':');
      const std::string op = arg.substr(0, c2);
      const std::string nonce = c2 == std::string::npos ? "" : arg.substr(c2 + 1);
      const std::string text = compact_json(make_request(channel_key(), op, nonce));
      std::printf("%s\n", send_raw(pipe.get(), encode_frame(text)) ? "sent" : "send failed");
    } else if (verb == "pad") {
      const size_t n = std::stoul(arg);
      const std::string head = R"({"op":"ping","pad":")";
      const std::string text = head + std::string(n - head.size() - 2, 'x') + "\"}";
      std::string frame = encode_frame(text);
      if (frame.empty()) {  // longer than a frame may be: send the header and payload anyway
        const uint32_t len = static_cast<uint32_t>(text.size());
        frame.assign(reinterpret_cast<const char*>(&len), 4);
        frame += text;
      }
      std::printf("%s\n", send_raw(pipe.get(), frame) ? "sent" : "send failed");
    } else if (verb == "len") {
      const uint32_t n = static_cast<uint32_t>(std::stoul(arg));
      std::printf("%s\n", send_raw(pipe.get(), std::string(reinterpret_cast<const char*>(&n), 4)) ? "sent"
                                                                                                   : "send failed");
    } else if (verb == "raw") {
      Bytes bytes;
      from_hex(arg, bytes);
      std::printf("%s\n", send_raw(pipe.get(), std::string(bytes.begin(), bytes.end())) ? "sent" : "send failed");
    } else if (verb == "read") {
      std::printf("%s\n", read_reply(pipe.get(), arg.empty() ? 10000 : static_cast<DWORD>(std::stoul(arg))).c_str());
    } else if (verb == "frames") {
      const size_t c2 = arg.find(':');
      const int n = std::stoi(arg.substr(0, c2));
      const std::string frame = encode_frame(arg.substr(c2 + 1));
      int replied = 0;
      for (int k = 0; k < n && send_raw(pipe.get(), frame) && read_reply(pipe.get(), 10000).rfind("reply ", 0) == 0; ++k)
        ++replied;
      std::printf("frames replied=%d\n", replied);
    } else if (verb == "trickle") {
      const size_t c2 = arg.find(':');
      const DWORD ms = static_cast<DWORD>(std::stoul(arg.substr(0, c2)));
      const std::string frame = encode_frame(arg.substr(c2 + 1));
      const ULONGLONG t0 = GetTickCount64();
      size_t sent = 0;
      while (sent < frame.size() && send_raw(pipe.get(), frame.substr(sent, 1))) {
        if (++sent < frame.size()) Sleep(ms);
      }
      std::printf("trickle sent=%zu of %zu in %llu ms\n", sent, frame.size(), GetTickCount64() - t0);
    } else if (verb == "flood") {
      int opened = 0;
      const int n = std::stoi(arg);
      for (int k = 0; k < n; ++k) {
        UniqueFile h = open_pipe(pipe_name, 5000);
        if (!h) continue;
        ++opened;
        held.push_back(std::move(h));
      }
      std::printf("flood opened=%d failed=%d\n", opened, n - opened);
    } else if (verb == "queue") {
      const size_t c2 = arg.find(':');
      const int n = std::stoi(arg.substr(0, c2));
      std::string frame = encode_frame(arg.substr(c2 + 1));
      int sent = 0;
      DWORD wrote = 0;
      while (sent < n && pipe_io(pipe.get(), PipeDirection::write, frame.data(), static_cast<DWORD>(frame.size()), 1000,
                                 wrote))
        ++sent;
      std::printf("queue sent=%d of %d\n", sent, n);
    } else if (verb == "squat") {
      const int n = std::stoi(arg);
      int made = 0;
      DWORD error = 0;
      for (int k = 0; k < n; ++k) {
        UniqueFile h(CreateNamedPipeW(pipe_name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, PIPE_UNLIMITED_INSTANCES, 65540, 65540,
                                      0, nullptr));
        if (!h) {
          error = GetLastError();
          continue;
        }
        ++made;
        held.push_back(std::move(h));
      }
      std::printf("squat made=%d of %d error=%lu\n", made, n, error);
    } else if (verb == "hold") {
      const size_t c2 = arg.find(':'), c3 = arg.find(':', c2 + 1);
      const size_t n = std::stoul(arg.substr(0, c2));
      const ULONGLONG ping_ms = std::stoull(arg.substr(c2 + 1, c3 - c2 - 1));
      const ULONGLONG until = GetTickCount64() + std::stoull(arg.substr(c3 + 1));
      struct Held {
        UniqueFile pipe;
        ULONGLONG pinged;
      };
      std::vector<Held> mine;
      size_t most = 0, ended = 0, pings = 0;
      const std::string ping = encode_frame(R"({"op":"ping"})");
      for (ULONGLONG now = GetTickCount64(); now < until; now = GetTickCount64()) {
        while (mine.size() < n) {
          UniqueFile h(CreateFileW(pipe_name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OVERLAPPED, nullptr));
          if (!h) break;  // no room now
          DWORD mode = PIPE_READMODE_MESSAGE;
          SetNamedPipeHandleState(h.get(), &mode, nullptr, nullptr);
          mine.push_back({std::move(h), now});
        }
        most = std::max(most, mine.size());
        for (auto it = mine.begin(); it != mine.end();) {
          bool alive = true;
          if (now - it->pinged >= ping_ms) {
            alive = send_raw(it->pipe.get(), ping) && read_reply(it->pipe.get(), 5000).rfind("reply ", 0) == 0;
            it->pinged = now;
            ++pings;
          } else {
            alive = PeekNamedPipe(it->pipe.get(), nullptr, 0, nullptr, nullptr, nullptr);  // fails once ended
          }
          if (alive) {
            ++it;
          } else {
            ++ended;
            it = mine.erase(it);
          }
        }
        Sleep(1000);
      }
      std::printf("hold most=%zu ended=%zu pings=%zu\n", most, ended, pings);
    } else if (verb == "unpinned") {
      pinned = false;
    } else if (verb == "sleep") {
      Sleep(static_cast<DWORD>(std::stoul(arg)));
    } else if (verb == "close") {
      pipe.reset();
      std::printf("closed by client\n");
    } else if (verb == "repeat" || verb == "timed") {
      const size_t c2 = arg.find(':');
      const int n = std::stoi(arg.substr(0, c2));
      const std::string op = arg.substr(c2 + 1);
      int ok = 0;
      std::map<std::string, int> failures;
      LARGE_INTEGER frequency, began, ended;
      QueryPerformanceFrequency(&frequency);
      double longest_ms = 0;
      for (int k = 0; k < n; ++k) {
        nlohmann::json reply;
        std::string error;
        const std::string nonce = random_hex(16);
        QueryPerformanceCounter(&began);
        if (pipe_request(pipe_name, pinned ? module_dir() : std::wstring(), make_request(channel_key(), op, nonce),
                         reply, error, 30000) &&
            verify_reply(channel_key(), reply, nonce))
          ++ok;
        else
          ++failures[error.empty() ? "bad_reply" : error];
        QueryPerformanceCounter(&ended);
        longest_ms = std::max(longest_ms, (ended.QuadPart - began.QuadPart) * 1000.0 / frequency.QuadPart);
      }
      std::printf("%s ok=%d failed=%d", verb.c_str(), ok, n - ok);
      if (verb == "timed") std::printf(" max_ms=%.1f", longest_ms);
      for (const auto& [word, count] : failures) std::printf(" %s=%d", word.c_str(), count);
      std::printf("\n");
    } else {
      std::fprintf(stderr, "unknown action %s\n", action.c_str());
      return 64;
    }
    std::fflush(stdout);
  }
  return 0;
}
