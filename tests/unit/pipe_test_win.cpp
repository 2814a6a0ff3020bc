#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include <windows.h>
#include <sddl.h>

#include "base/paths.hpp"
#include "channel/auth.hpp"
#include "channel/frame.hpp"
#include "channel/pipe_client.hpp"
#include "channel/pipe_io.hpp"
#include "channel/connection_shares.hpp"
#include "channel/pipe_server.hpp"
#include "runtime/config.hpp"
#include "base/json_text.hpp"
#include "base/log.hpp"
#include "test_support.hpp"

namespace guardian {
namespace {

using nlohmann::json;

std::wstring unique_pipe() { return L"\\\\.\\pipe\\guardian-test-" + to_utf16(random_hex(8)); }

ULONGLONG elapsed_since(ULONGLONG t0) { return GetTickCount64() - t0; }

TEST(IsInDirectory, TrustRule) {
  for (const wchar_t* dir : {L"C:\\Program Files\\App\\", L"C:\\Program Files\\App", L"C:/Program Files/App//"}) {
    EXPECT_TRUE(is_in_directory(L"c:\\program files\\app\\x.exe", dir)) << dir;
    EXPECT_TRUE(is_in_directory(L"C:/Program Files/App/sub/y.exe", dir)) << dir;
    EXPECT_FALSE(is_in_directory(L"C:\\Program Files\\App", dir)) << dir;
    EXPECT_FALSE(is_in_directory(L"C:\\Program Files\\App\\", dir)) << dir;
    EXPECT_FALSE(is_in_directory(L"C:\\Program Files\\App2\\x.exe", dir)) << dir;
    EXPECT_FALSE(is_in_directory(L"", dir)) << dir;
  }
  EXPECT_FALSE(is_in_directory(L"C:\\x.exe", L""));
}

// A folder named in another form than its final one (a "\\?\" path, 8.3 names) still holds
// what lies in it; a sibling folder, a missing folder and nothing still do not.
TEST(IsInDirectory, FoldersCompareInTheirFinalForm) {
  test::ScratchDir scratch;
  const std::wstring folder = scratch.file(L"Guardian Agent Folder");
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(scratch.file(L"Guardian Agent Folder2").c_str(), nullptr));
  const std::wstring image = path_join(folder, L"ostrival_guardian.exe");
  unsigned long error = 0;
  const std::wstring final_form = final_folder_form(folder, error);
  ASSERT_FALSE(final_form.empty()) << error;
  EXPECT_EQ(final_form.rfind(L"\\\\?\\", 0), std::wstring::npos) << to_utf8(final_form);
  EXPECT_TRUE(is_in_directory(path_join(final_form, L"x.exe"), folder)) << to_utf8(final_form);

  EXPECT_FALSE(is_in_directory(image, L"\\\\?\\" + folder));
  EXPECT_TRUE(is_in_directory_final(image, L"\\\\?\\" + folder));
  EXPECT_TRUE(is_in_directory_final(L"\\\\?\\" + image, folder));
  wchar_t short_name[MAX_PATH];
  const DWORD n = GetShortPathNameW(folder.c_str(), short_name, MAX_PATH);
  if (n > 0 && n < MAX_PATH && std::wstring(short_name) != folder) {
    EXPECT_FALSE(is_in_directory(image, short_name));
    EXPECT_TRUE(is_in_directory_final(image, short_name)) << to_utf8(short_name);
    // The server's image path is never resolved: a name resolved after the fact may no longer
    // be the file that runs.
    EXPECT_FALSE(is_in_directory_final(path_join(short_name, L"x.exe"), folder)) << to_utf8(short_name);
  }
  // A bare drive is its root, not its current directory (a 32-bit DLL in "Y:\x86" trusts "Y:").
  wchar_t current[MAX_PATH];
  ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, current), 0u);
  ASSERT_TRUE(SetCurrentDirectoryW(folder.c_str()));
  const std::wstring drive = final_folder_form(folder.substr(0, 2), error);
  SetCurrentDirectoryW(current);
  EXPECT_EQ(drive, final_folder_form(folder.substr(0, 3), error)) << to_utf8(drive);
  EXPECT_FALSE(is_in_directory_final(path_join(folder + L"2", L"x.exe"), L"\\\\?\\" + folder));
  EXPECT_FALSE(is_in_directory_final(image, scratch.file(L"missing")));
  EXPECT_FALSE(is_in_directory_final(L"", folder));
  EXPECT_FALSE(is_in_directory_final(image, L""));
  EXPECT_TRUE(final_folder_form(scratch.file(L"missing"), error).empty());
  EXPECT_EQ(error, static_cast<unsigned long>(ERROR_FILE_NOT_FOUND));
}

// A pipe that refuses this process is not a pipe that is missing.
TEST(PipeClient, APipeThatRefusesThisProcessIsAccessDenied) {
  const std::wstring name = unique_pipe();
  PSECURITY_DESCRIPTOR sd = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(D;;GA;;;WD)", SDDL_REVISION_1, &sd, nullptr));
  const UniqueLocal owned(sd);
  SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
  const UniqueFile server(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                           PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 65540, 65540, 0, &sa));
  ASSERT_TRUE(server);
  const UniqueFile probe(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  if (probe) GTEST_SKIP() << "Wine does not enforce a pipe's access list";
  json reply;
  std::string error, detail;
  PipeCallLimits limits;
  limits.timeout_ms = 2000;
  limits.detail = &detail;
  EXPECT_FALSE(pipe_request(name, L"", json{{"op", "ping"}}, reply, error, limits));
  EXPECT_EQ(error, "access_denied");
  EXPECT_NE(detail.find("(0x00000005)"), std::string::npos) << detail;
}

// The rule itself is tested on given times in peer_rules_test.cpp; here on a real process:
// this program started again, suspended.
TEST(PeerProcess, AProcessCreatedAfterTheConnectionIsNotThePeer) {
  const uint64_t before = precise_time_now();
  std::wstring command = L"\"" + module_path() + L"\" --gtest_list_tests";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(CreateProcessW(module_path().c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                             nullptr, &si, &pi));
  const UniqueHandle process(pi.hProcess), thread(pi.hThread);
  const uint64_t after = precise_time_now();
  const PeerCheck now = check_peer_process(pi.dwProcessId, after, module_dir());
  EXPECT_EQ(now.verdict, PeerVerdict::trusted);
  EXPECT_FALSE(now.image.empty());
  const PeerCheck earlier = check_peer_process(pi.dwProcessId, before, module_dir());
  EXPECT_EQ(earlier.verdict, PeerVerdict::reused);
  EXPECT_EQ(earlier.image, now.image);  // named in the log line that says why
  EXPECT_EQ(check_peer_process(pi.dwProcessId, after, L"C:\\elsewhere").verdict, PeerVerdict::outside);
  TerminateProcess(pi.hProcess, 0);
  WaitForSingleObject(pi.hProcess, 10000);
  EXPECT_EQ(check_peer_process(0xFFFFFFF0, after, module_dir()).verdict, PeerVerdict::unidentified);
}

// A peer that sends a frame one byte at a time, each byte well within the time-out: the frame
// as a whole still ends at its deadline.
TEST(PipeFrames, TrickledFrameEndsAtItsDeadline) {
  const std::wstring name = unique_pipe();
  UniqueFile server(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                     PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 65540, 65540, 0, nullptr));
  UniqueFile client(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr));
  ASSERT_TRUE(server && client);
  std::thread trickler([&client] {
    std::string frame = encode_frame(R"({"op":"ping"})");  // 17 bytes: 3.4 s at this pace
    DWORD wrote = 0;
    for (char& byte : frame) {
      if (!pipe_io(client.get(), PipeDirection::write, &byte, 1, 5000, wrote)) return;
      Sleep(200);
    }
  });
  std::string payload;
  const ULONGLONG t0 = GetTickCount64();
  EXPECT_FALSE(read_frame(server.get(), payload, 1000));
  EXPECT_LT(elapsed_since(t0), 2000u);
  server.reset();
  trickler.join();
}

// A server that answers each request with the given bytes (or nothing at all).
class RawServer {
 public:
  enum class Mode { answer, never_answer, never_read };
  RawServer(std::wstring name, std::string reply_bytes, Mode mode = Mode::answer)
      : name_(std::move(name)), reply_(std::move(reply_bytes)), mode_(mode) {
    pipe_.reset(CreateNamedPipeW(name_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                 PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 65540, 65540, 0, nullptr));
    thread_ = std::thread([this] { serve(); });
  }
  ~RawServer() {
    SetEvent(stop_.get());
    thread_.join();
  }
  std::atomic<int> requests{0};
  std::atomic<int> impersonation_level{-1};

 private:
  void serve() {
    UniqueHandle ev = make_event();
    OVERLAPPED ov{};
    ov.hEvent = ev.get();
    if (!ConnectNamedPipe(pipe_.get(), &ov) && GetLastError() == ERROR_IO_PENDING) {
      const HANDLE waits[2] = {ev.get(), stop_.get()};
      if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) return;
    }
    if (mode_ == Mode::never_read) {
      WaitForSingleObject(stop_.get(), INFINITE);
      return;
    }
    std::string payload;
    if (read_frame(pipe_.get(), payload, 10000, stop_.get())) {
      ++requests;
      record_impersonation_level();
    }
    if (mode_ == Mode::answer) {
      DWORD wrote = 0;
      pipe_io(pipe_.get(), PipeDirection::write, reply_.data(), static_cast<DWORD>(reply_.size()), 10000, wrote);
    }
    WaitForSingleObject(stop_.get(), INFINITE);
  }
  // What the client lets the server do with its identity.
  void record_impersonation_level() {
    if (!ImpersonateNamedPipeClient(pipe_.get())) return;
    HANDLE raw = nullptr;
    if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &raw)) {
      const UniqueHandle token(raw);
      SECURITY_IMPERSONATION_LEVEL level{};
      DWORD size = 0;
      if (GetTokenInformation(token.get(), TokenImpersonationLevel, &level, sizeof level, &size))
        impersonation_level = static_cast<int>(level);
    }
    RevertToSelf();
  }
  std::wstring name_;
  std::string reply_;
  Mode mode_;
  UniqueFile pipe_;
  UniqueHandle stop_ = make_event();
  std::thread thread_;
};

const json kRequest = {{"op", "ping"}, {"nonce", "abc"}};

TEST(PipeRequest, NoServerAnswersAtOnce) {
  json reply;
  std::string error;
  const ULONGLONG t0 = GetTickCount64();
  EXPECT_FALSE(pipe_request(unique_pipe(), L"", kRequest, reply, error, 30000));
  EXPECT_EQ(error, "no_server");
  EXPECT_LT(elapsed_since(t0), 2000u);
}

TEST(PipeRequest, RepliesThatAreNotObjectsOrTooLong) {
  struct Case {
    std::string bytes;
    std::string error;
    json reply;
  };
  const std::string too_long = std::string("\x01\x00\x01\x00", 4) + "{}";
  const std::string too_deep = R"({"body":)" + std::string(32000, '[') + std::string(32000, ']') + "}";
  for (const Case& c : {Case{encode_frame("[]"), "bad_json", json::array()}, Case{encode_frame("{oops"), "bad_json", nullptr},
                        Case{encode_frame("7"), "bad_json", 7}, Case{too_long, "io", "untouched"},
                        Case{encode_frame(too_deep), "bad_json", nullptr}}) {
    const std::wstring name = unique_pipe();
    RawServer server(name, c.bytes);
    json reply = "untouched";
    std::string error;
    EXPECT_FALSE(pipe_request(name, L"", kRequest, reply, error, 5000));
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(reply, c.reply);
  }
}

TEST(PipeRequest, RejectionReplyIsStillAReply) {
  const std::wstring name = unique_pipe();
  RawServer server(name, encode_frame(R"({"body":{"error":"untrusted_client"},"ok":false})"));
  json reply;
  std::string error = "unchanged";
  ASSERT_TRUE(pipe_request(name, L"", kRequest, reply, error, 5000));
  EXPECT_EQ(error, "unchanged");
  EXPECT_FALSE(verify_reply(Bytes(32, 1), reply, "abc"));
}

TEST(PipeRequest, ServerMayIdentifyTheClientButNotImpersonateIt) {
  if (test::running_under_wine()) GTEST_SKIP() << "Wine ignores the client's security quality of service on pipes";
  const std::wstring name = unique_pipe();
  RawServer server(name, encode_frame("{}"));
  json reply;
  std::string error;
  ASSERT_TRUE(pipe_request(name, L"", kRequest, reply, error, 5000));
  EXPECT_EQ(server.impersonation_level.load(), static_cast<int>(SecurityIdentification));
}

TEST(PipeRequest, ServerThatNeverAnswersOrNeverReadsGivesIo) {
  for (RawServer::Mode mode : {RawServer::Mode::never_answer, RawServer::Mode::never_read}) {
    const std::wstring name = unique_pipe();
    RawServer server(name, "", mode);
    json reply;
    std::string error;
    const ULONGLONG t0 = GetTickCount64();
    EXPECT_FALSE(pipe_request(name, L"", kRequest, reply, error, 1000));
    EXPECT_EQ(error, "io");
    EXPECT_LT(elapsed_since(t0), 4000u);  // one write and one read of 1 s at most
  }
}

TEST(PipeRequest, OversizedRequestIsNeverSent) {
  const std::wstring name = unique_pipe();
  RawServer server(name, encode_frame("{}"));
  json big = kRequest;
  big["pad"] = std::string(70000, 'x');
  json reply;
  std::string error;
  EXPECT_FALSE(pipe_request(name, L"", big, reply, error, 2000));
  EXPECT_EQ(error, "io");
  EXPECT_EQ(server.requests.load(), 0);
}

// Shares that never end a connection: for the tests of what the server does at its limits.
constexpr ShareLimits kNoShares{kMaxConnections, kMaxConnections, kMaxConnections, 0, 0};

// The agent's own pipe server, run in this process on a pipe of the test's own.
struct ServerFixture : ::testing::Test {
  std::wstring name = unique_pipe();
  std::atomic<int> handled{0};
  std::unique_ptr<PipeServer> server;
  test::LogCapture log;

  void TearDown() override {
    if (server) server->stop();
  }
  void start(std::wstring trusted = module_dir(), ShareLimits shares = ShareLimits{kMaxConnections}) {
    server = std::make_unique<PipeServer>(
        name, trusted,
        [this](const json& request, const std::wstring&) {
          ++handled;
          if (request.value("op", "") == "slow") Sleep(3000);
          return json{{"echo", request}};
        },
        shares);
    ASSERT_TRUE(server->start());
  }
  bool ask(const json& request, json& reply, std::string& error, const std::wstring& trusted = module_dir()) {
    return pipe_request(name, trusted, request, reply, error, 10000);
  }
  // A raw connection, waiting a little while the pipe is busy; empty when none was had.
  UniqueFile open_client(int attempts = 50) {
    for (int i = 0; i < attempts; ++i) {
      UniqueFile h(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr));
      if (h || GetLastError() != ERROR_PIPE_BUSY) return h;
      WaitNamedPipeW(name.c_str(), 100);
    }
    return UniqueFile();
  }
  bool wait_for_connections(size_t n) {
    for (int i = 0; i < 500 && server->connection_count() != n; ++i) Sleep(10);
    return server->connection_count() == n;
  }
  std::string log_text() { return log.text(); }
};

TEST_F(ServerFixture, ServesRequestsAndChecksTheServerImage) {
  start();
  json reply;
  std::string error;
  ASSERT_TRUE(ask(kRequest, reply, error)) << error;
  EXPECT_EQ(reply, (json{{"echo", kRequest}}));
  ASSERT_TRUE(ask(kRequest, reply, error, L""));  // unpinned: no server check

  EXPECT_FALSE(ask(kRequest, reply, error, L"C:\\somewhere\\else"));
  EXPECT_EQ(error, "untrusted_server");
  EXPECT_EQ(handled.load(), 2);  // the refused request never reached the server
}

// A server on another thread, or another process, that makes an instance of the name.
UniqueFile squat(const std::wstring& name, DWORD max_instances = PIPE_UNLIMITED_INSTANCES) {
  return UniqueFile(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                     PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, max_instances, 65540, 65540, 0, nullptr));
}

// Every instance the name may have is the server's, from start to stop.
TEST_F(ServerFixture, NoInstanceOfTheNameIsLeftForAnotherServer) {
  start();
  for (int round = 0; round < 3; ++round) {
    EXPECT_FALSE(squat(name));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_BUSY));
    EXPECT_FALSE(squat(name, static_cast<DWORD>(kMaxConnections)));
    json reply;
    std::string error;
    ASSERT_TRUE(ask(kRequest, reply, error)) << error;  // a served client leaves no gap either
  }
}

// One instance made by someone else before the server's last one (here before its first):
// start fails as for a second server, and leaves nothing of its own behind.
TEST_F(ServerFixture, AnInstanceOfAnotherServerEndsTheStart) {
  UniqueFile other = squat(name, static_cast<DWORD>(kMaxConnections));
  ASSERT_TRUE(other);
  server = std::make_unique<PipeServer>(name, module_dir(), [](const json&, const std::wstring&) { return json(); });
  EXPECT_FALSE(server->start());
  EXPECT_TRUE(server->name_taken());
  EXPECT_FALSE(server->running());
  EXPECT_EQ(server->last_error().rfind("CreateNamedPipe: ", 0), 0u) << server->last_error();
  EXPECT_EQ(log_text(), "");  // the owner says what it means
  other.reset();
  EXPECT_FALSE(WaitNamedPipeW(name.c_str(), 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(server->start());
}

TEST_F(ServerFixture, UntrustedClientIsRefusedForEveryRequestWithinTheLineBudget) {
  start(L"C:\\somewhere\\else");
  for (int i = 0; i < kUntrustedLineBurst + 3; ++i) {
    json reply;
    std::string error;
    ASSERT_TRUE(ask(kRequest, reply, error, L""));
    EXPECT_EQ(reply, rejection_reply("untrusted_client"));
  }
  EXPECT_EQ(handled.load(), 0);
  server->stop();
  const std::string log = log_text();
  EXPECT_EQ(test::count_of(log, "WARN  pipe: untrusted client pid "), static_cast<size_t>(kUntrustedLineBurst));
  EXPECT_NE(log.find(" image " + to_utf8(module_path()) + "\r\n"), std::string::npos);
  // The rest are counted, and the count is written when the server stops.
  EXPECT_EQ(test::count_of(log, "WARN  pipe: 3 more refused without a line\r\n"), 1u);
}

// At the limit no instance is offered: a new client finds the pipe busy, waits, and is served
// as soon as a connection ends. Stopping stays prompt with every slot taken.
TEST_F(ServerFixture, AtTheConnectionLimitClientsWaitForRoom) {
  start(module_dir(), kNoShares);
  std::vector<UniqueFile> held;
  for (size_t i = 0; i < kMaxConnections; ++i) {
    held.push_back(open_client());
    ASSERT_TRUE(held.back()) << i;
  }
  ASSERT_TRUE(wait_for_connections(kMaxConnections));
  const UniqueFile extra(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_OVERLAPPED, nullptr));
  EXPECT_FALSE(extra);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_BUSY));

  auto waiting = std::async(std::launch::async, [this] {
    json reply;
    std::string error;
    return ask(kRequest, reply, error);
  });
  EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(1500)), std::future_status::timeout);
  held.pop_back();
  EXPECT_TRUE(waiting.get());
  EXPECT_LE(server->connection_count(), kMaxConnections);

  const ULONGLONG t0 = GetTickCount64();
  server->stop();
  EXPECT_LT(elapsed_since(t0), 3000u);
}

// Every instance held by one process that sends nothing: a newcomer is served within the
// connections' first second, and the process keeps its share of idle connections, the rest
// ended, each with a line within the budget.
TEST_F(ServerFixture, ConnectionsHeldBeyondTheSharesAreEndedSoANewcomerIsServed) {
  start();
  std::vector<UniqueFile> held;
  for (size_t i = 0; i < kMaxConnections; ++i) {
    held.push_back(open_client());
    ASSERT_TRUE(held.back()) << i;
  }
  const ULONGLONG t0 = GetTickCount64();
  json reply;
  std::string error;
  ASSERT_TRUE(ask(kRequest, reply, error)) << error;
  EXPECT_LT(elapsed_since(t0), kShareGraceMs + 2000u);
  // The process's share (less the one its newcomer took, if that was still being served when
  // the rules came back to the process).
  for (int i = 0; i < 500 && server->connection_count() > kSharePerProcess; ++i) Sleep(10);
  Sleep(300);
  const size_t left = server->connection_count();
  EXPECT_TRUE(left == kSharePerProcess || left == kSharePerProcess - 1) << left;
  size_t broken = 0;
  for (const UniqueFile& h : held) {
    char byte;
    DWORD got = 0;
    if (!pipe_io(h.get(), PipeDirection::read, &byte, 1, 10, got) && GetLastError() != ERROR_OPERATION_ABORTED) ++broken;
  }
  EXPECT_EQ(broken + left, kMaxConnections);
  server->stop();
  const std::string log = log_text();
  const size_t lines = test::count_of(log, "WARN  pipe: ended an idle connection of pid ");
  EXPECT_EQ(lines, static_cast<size_t>(kShareLineBurst));
  EXPECT_NE(log.find(" user S-1-5-"), std::string::npos) << log;
  EXPECT_TRUE(log.find(": its process holds more than 8 of the pipe's connections") != std::string::npos ||
              log.find(": its user's processes hold more than 32 of the pipe's connections") != std::string::npos)
      << log;
  EXPECT_NE(log.find("WARN  pipe: " + std::to_string(broken - lines) +
                     " more connections ended for their share without a line\r\n"),
            std::string::npos)
      << log;
}

// A client that sends requests and reads the replies slower than they come (here one each
// 300 ms) keeps the server's writes waiting, one after another: beyond its process's share
// (here 1) it is ended too, once it has left replies waiting for a second, before an idle
// connection that was active since.
TEST_F(ServerFixture, AClientThatDoesNotKeepUpWithItsRepliesIsEndedForItsShare) {
  start(module_dir(), ShareLimits{kMaxConnections, 1, kMaxConnections, 0, kShareGraceMs});
  UniqueFile stalled = open_client();
  ASSERT_TRUE(stalled);
  std::string frame = encode_frame(compact_json(kRequest));
  int sent = 0;
  DWORD n = 0;
  while (sent < 5000 && pipe_io(stalled.get(), PipeDirection::write, frame.data(), static_cast<DWORD>(frame.size()),
                                500, n))
    ++sent;
  EXPECT_LT(sent, 5000);  // the server stopped reading: its reply write waits
  UniqueFile idle;
  bool ended = false;
  for (int i = 0; i < 15 && !ended; ++i) {
    std::string reply;
    ended = !read_frame(stalled.get(), reply, 300) && GetLastError() != ERROR_OPERATION_ABORTED;
    if (!ended) Sleep(300);
    if (i == 3) idle = open_client();
  }
  EXPECT_TRUE(ended);
  EXPECT_TRUE(PeekNamedPipe(idle.get(), nullptr, 0, nullptr, nullptr, nullptr));
  server->stop();
  EXPECT_EQ(test::count_of(log_text(), "WARN  pipe: ended a connection that reads no reply of pid "), 1u);
}

// A client that sends the start of its next request with the end of the last one, every
// 300 ms, is always sending one: beyond its share it is ended as a slow sender.
// A client always in the middle of a request, whether the first byte of its next request comes
// with the end of the last (slow to send it) or on its own just after (never slow, and idle
// only for the moment between a reply and that byte), is ended beyond its share, the second
// once a request of its is answered.
TEST_F(ServerFixture, AClientAlwaysInTheMiddleOfARequestIsEndedForItsShare) {
  for (const bool split : {false, true}) {
    start(module_dir(), ShareLimits{kMaxConnections, 1, kMaxConnections, 0, kShareGraceMs});
    UniqueFile sender = open_client();
    ASSERT_TRUE(sender);
    const std::string frame = encode_frame(compact_json(kRequest));
    const std::string first = frame.substr(0, 1);
    bool ended = false;
    UniqueFile other;
    DWORD n = 0;
    for (int i = 0; i < 15 && !ended; ++i) {
      std::string bytes = (i == 0 ? first : "") + frame.substr(1) + (split ? "" : first);
      bool sent = pipe_io(sender.get(), PipeDirection::write, bytes.data(), static_cast<DWORD>(bytes.size()), 1000, n);
      if (sent && split) {
        std::string byte = first;
        sent = pipe_io(sender.get(), PipeDirection::write, byte.data(), 1, 1000, n);
      }
      std::string reply;
      ended = !sent || !read_frame(sender.get(), reply, 1000);
      if (i == 3) other = open_client();
      Sleep(300);
    }
    EXPECT_TRUE(ended) << split;
    server->stop();
  }
  EXPECT_EQ(test::count_of(log_text(), "WARN  pipe: ended a connection slow to send its request of pid "), 1u);
  // Seldom, the rules come just as it waits for its next byte.
  EXPECT_EQ(test::count_of(log_text(), "WARN  pipe: ended a busy connection (once its request is answered) of pid ") +
                test::count_of(log_text(), "WARN  pipe: ended an idle connection of pid "),
            1u);
}

// Untrusted clients beyond their share are disconnected at once, without a thread; trusted
// room is left, and a slot that frees up takes the next untrusted client again.
TEST_F(ServerFixture, UntrustedClientsBeyondTheirShareAreDisconnected) {
  start(L"C:\\somewhere\\else", kNoShares);
  std::vector<UniqueFile> held;
  for (size_t i = 0; i < kMaxUntrustedConnections; ++i) {
    held.push_back(open_client());
    ASSERT_TRUE(held.back()) << i;
  }
  ASSERT_TRUE(wait_for_connections(kMaxUntrustedConnections));
  const UniqueFile over = open_client();
  ASSERT_TRUE(over);
  char byte;
  DWORD got = 0;
  EXPECT_FALSE(pipe_io(over.get(), PipeDirection::read, &byte, 1, 5000, got));
  const DWORD error = GetLastError();
  EXPECT_TRUE(error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED) << error;
  EXPECT_EQ(server->connection_count(), kMaxUntrustedConnections);

  held.pop_back();
  ASSERT_TRUE(wait_for_connections(kMaxUntrustedConnections - 1)) << server->connection_count();
  json reply;
  std::string ask_error;
  ASSERT_TRUE(ask(kRequest, reply, ask_error, L"")) << ask_error;
  EXPECT_EQ(reply, rejection_reply("untrusted_client"));
  server->stop();
  EXPECT_EQ(test::count_of(log_text(), " connections is in use\r\n"), 1u);
}

// The server takes frames from the bytes, whatever messages carry them: two frames and half
// of a third in one message, the rest in another, are three requests answered in order.
TEST_F(ServerFixture, FramesAreTakenFromTheBytesWhateverMessagesCarryThem) {
  start();
  UniqueFile client = open_client();
  ASSERT_TRUE(client);
  DWORD mode = PIPE_READMODE_MESSAGE;
  SetNamedPipeHandleState(client.get(), &mode, nullptr, nullptr);
  std::string bytes;
  for (int i = 0; i < 3; ++i) bytes += encode_frame(compact_json(json{{"op", "ping"}, {"i", i}}));
  const size_t cut = bytes.size() - 7;
  std::string first = bytes.substr(0, cut), rest = bytes.substr(cut);
  DWORD n = 0;
  ASSERT_TRUE(pipe_io(client.get(), PipeDirection::write, first.data(), static_cast<DWORD>(first.size()), 5000, n));
  ASSERT_TRUE(pipe_io(client.get(), PipeDirection::write, rest.data(), static_cast<DWORD>(rest.size()), 5000, n));
  for (int i = 0; i < 3; ++i) {
    std::string reply;
    ASSERT_TRUE(read_frame(client.get(), reply, 5000)) << i;
    EXPECT_EQ(parse_json(reply.begin(), reply.end())["echo"]["i"], i);
  }
}

TEST_F(ServerFixture, SlowRequestDoesNotDelayAnother) {
  start();
  auto slow = std::async(std::launch::async, [this] {
    json reply;
    std::string error;
    return ask(json{{"op", "slow"}}, reply, error);
  });
  Sleep(300);
  const ULONGLONG t0 = GetTickCount64();
  json reply;
  std::string error;
  ASSERT_TRUE(ask(kRequest, reply, error));
  EXPECT_LT(elapsed_since(t0), 2000u);
  EXPECT_TRUE(slow.get());
}

TEST_F(ServerFixture, StopEndsEveryConnectionAndActsOnce) {
  start();
  // One client connected and idle, one in the middle of a frame.
  UniqueFile idle = open_client();
  ASSERT_TRUE(idle);
  UniqueFile partial = open_client();
  ASSERT_TRUE(partial);
  std::string header = encode_frame(std::string(100, ' ')).substr(0, 4);
  DWORD wrote = 0;
  ASSERT_TRUE(pipe_io(partial.get(), PipeDirection::write, header.data(), 4, 5000, wrote));
  // And one that never lets the server wait: its next requests are always queued (for up to
  // 20 s), and its replies drained, so every read and write of the server completes at once.
  UniqueFile busy = open_client();
  ASSERT_TRUE(busy);
  std::atomic<int> replies{0};
  std::thread writer([&] {
    std::string frame = encode_frame(compact_json(kRequest));
    const ULONGLONG until = GetTickCount64() + 20000;
    DWORD n = 0;
    while (GetTickCount64() < until &&
           pipe_io(busy.get(), PipeDirection::write, frame.data(), static_cast<DWORD>(frame.size()), 5000, n)) {
    }
  });
  std::thread reader([&] {
    char buffer[4096];
    DWORD n = 0;
    while (pipe_io(busy.get(), PipeDirection::read, buffer, sizeof buffer, 5000, n) && n > 0) ++replies;
  });
  for (int i = 0; i < 500 && replies.load() < 100; ++i) Sleep(10);
  EXPECT_GE(replies.load(), 100);
  EXPECT_EQ(server->connection_count(), 3u);

  const ULONGLONG t0 = GetTickCount64();
  server->stop();
  EXPECT_LT(elapsed_since(t0), 3000u);
  writer.join();
  reader.join();
  EXPECT_EQ(server->connection_count(), 0u);
  EXPECT_FALSE(server->running());
  server->stop();  // a second stop does nothing

  // The pipe is gone once the last instance has closed.
  json reply;
  std::string error;
  EXPECT_FALSE(ask(kRequest, reply, error));
  EXPECT_EQ(error, "no_server");
}

TEST_F(ServerFixture, StopWhileIdleAndFinishedConnectionsAreReaped) {
  start();
  for (int i = 0; i < 20; ++i) {
    json reply;
    std::string error;
    ASSERT_TRUE(ask(kRequest, reply, error)) << i << " " << error;
  }
  Sleep(200);
  json reply;
  std::string error;
  ASSERT_TRUE(ask(kRequest, reply, error));  // the accept before it reaped the finished ones
  EXPECT_LE(server->connection_count(), 3u);
  const ULONGLONG t0 = GetTickCount64();
  server->stop();
  EXPECT_LT(elapsed_since(t0), 2000u);
}

// Instances that cannot be made are tried again every two seconds; the log says once that the
// name is short of them, gives the first failure, and counts the rest within its budget.
TEST(PipeServerErrors, CreateFailureIsRetriedEveryTwoSecondsAndLoggedWithinABudget) {
  test::LogCapture log;
  PipeServer server(L"\\\\.\\not-a-pipe\\x", module_dir(), [](const json&, const std::wstring&) { return json(); });
  ASSERT_TRUE(server.start());
  Sleep(5000);
  const ULONGLONG t0 = GetTickCount64();
  server.stop();
  EXPECT_LT(elapsed_since(t0), 1000u);  // the pause ends early on stop
  EXPECT_EQ(server.last_error().rfind("CreateNamedPipe: ", 0), 0u) << server.last_error();
  const std::string text = log.text();
  EXPECT_EQ(test::count_of(text, "ERROR pipe CreateNamedPipe: "), 1u) << text;
  EXPECT_EQ(test::count_of(text, " is short of instances: 64 of 64 could not be made; "), 1u) << text;
  // Two more rounds of 64 in 5 s (at 2 and 4 s), told at the stop.
  EXPECT_NE(text.find("ERROR pipe: " + std::to_string(64 * 3 - 1) + " more failed attempts to make an instance"),
            std::string::npos)
      << text;
}

}  // namespace
}  // namespace guardian
