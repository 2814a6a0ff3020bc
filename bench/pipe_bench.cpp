// Round trips over the agent's named pipe, against two bare echo servers measured in the same
// run, and the agent's footprint against a bare program.
//
// The two echo servers run in processes of their own, as the agent does (this program started
// with --echo), each on its own pipe, and for every frame they read they write back the
// agent's own reply text for that operation, so all three servers send frames of the same size:
// - the thread echo, the pattern the pipe server once had: one instance waits at a time, the
//   next one is made before a connected one goes to a thread of its own, one thread per
//   connection;
// - the port echo, the pattern the agent's server has now: all 64 instances made at start and
//   reused, every connect, read and write completed on one completion port served by two
//   worker threads. It is the limit that design can reach: the agent adds to it only what it
//   does for a request (the client's image, the MAC, the reply) and its frame deadlines.
// All three are driven by the same client (pipe_request: one connection per request, server
// check against this program's folder), in rounds whose order rotates, so that a change in the
// machine's load falls on all alike. Each round gives each server its p50 and p99; the ratios
// reported are the medians over the rounds of the per-round ratios.
//
// Footprint: the agent's working set and threads after start-up (idle), after 10,000
// requests, during and after a flood of 2,000 idle connections from an untrusted program (a
// copy of this one in a temporary folder, run with --flood), against idle_baseline.exe, a bare
// Win32 program that waits on an event, measured in the same run.
//
// The agent is the real ostrival_guardian.exe beside this program, started with --console and
// a fresh storage folder, and stopped at the end with CTRL_BREAK_EVENT (it runs in a process
// group of its own); TerminateProcess when that cannot be sent or the agent has not ended
// 10 s later. Under Wine GenerateConsoleCtrlEvent fails (error 12 without a terminal, 6 with
// one), so there the agent is always terminated; the last line says which happened.
//
// Usage: pipe_bench.exe [requests per server and case, default 2000]
//        pipe_bench.exe --flood N HOLD_MS   (the flood: N connections held for HOLD_MS)
//        pipe_bench.exe --echo thread|port PING_FRAME_HEX PEER_FRAME_HEX BENCHMARK_PID
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_agent.hpp"
#include "bench_harness.hpp"
#include "scratch_dir.hpp"
#include "channel/auth.hpp"
#include "channel/frame.hpp"
#include "channel/pipe_client.hpp"
#include "channel/pipe_io.hpp"
#include "device/identity.hpp"
#include "runtime/config.hpp"
#include "base/json_text.hpp"
#include "base/paths.hpp"
#include "base/text.hpp"
#include "base/unique.hpp"
#include "store/crypto.hpp"
#include "store/protected_store.hpp"

namespace {

using namespace guardian;
using nlohmann::json;
using bench::Agent;
using bench::kStartupLimitMs;
using bench::kStopLimitMs;
using bench::launch;
using bench::wait_for_agent;

constexpr wchar_t kEchoPipe[] = L"\\\\.\\pipe\\Ostrival.Bench.Echo";
constexpr wchar_t kPortEchoPipe[] = L"\\\\.\\pipe\\Ostrival.Bench.PortEcho";
constexpr size_t kPortEchoInstances = 64;
constexpr size_t kPortEchoWorkers = 2;
constexpr DWORD kTimeoutMs = 30000;
constexpr int kMemoryRequests = 10000;
constexpr int kRounds = 10;
constexpr int kFloodConnections = 2000;
constexpr DWORD kFloodHoldMs = 8000;
constexpr DWORD kSettleLimitMs = 10000;

// ---------------------------------------------------------------------------------------------
// The echo servers. Each runs in a process of its own, as the agent does (this program started
// with --echo), and answers every request with the agent's own reply to the same operation.

struct EchoReplies {
  std::string ping, peer;  // whole frames
  const std::string& for_request(std::string_view payload) const {
    return payload.find("\"op\":\"peer\"") != std::string_view::npos ? peer : ping;
  }
};

// The thread echo: one waiting instance, a thread per connection.

class EchoServer {
 public:
  EchoServer(std::wstring pipe_name, EchoReplies replies)
      : pipe_name_(std::move(pipe_name)), replies_(std::move(replies)) {}
  ~EchoServer() { stop(); }
  EchoServer(const EchoServer&) = delete;
  EchoServer& operator=(const EchoServer&) = delete;

  bool start() {
    stop_event_ = make_event();
    if (!stop_event_) return false;
    running_.store(true);
    thread_ = std::thread([this] { serve_loop(); });
    return true;
  }

  // Signals the stop event (which also cancels the I/O of every connection) and joins all.
  void stop() {
    if (!running_.exchange(false)) return;
    SetEvent(stop_event_.get());
    if (thread_.joinable()) thread_.join();
    reap(true);
    stop_event_.reset();
  }

 private:
  struct Connection {
    std::thread thread;
    std::atomic<bool> done{false};
  };

  HANDLE create_instance() const {
    constexpr DWORD kBuffer = kMaxFramePayload + kFrameHeaderSize;
    return CreateNamedPipeW(pipe_name_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_REJECT_REMOTE_CLIENTS,
                            PIPE_UNLIMITED_INSTANCES, kBuffer, kBuffer, 0, nullptr);
  }

  void reap(bool all) {
    std::list<std::unique_ptr<Connection>> finished;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      for (auto it = connections_.begin(); it != connections_.end();) {
        if (all || (*it)->done.load()) {
          finished.push_back(std::move(*it));
          it = connections_.erase(it);
        } else {
          ++it;
        }
      }
    }
    for (auto& c : finished)
      if (c->thread.joinable()) c->thread.join();
  }

  void serve_loop() {
    const HANDLE stop = stop_event_.get();
    UniqueFile listening;
    while (running_.load()) {
      reap(false);
      if (!listening) {
        listening.reset(create_instance());
        if (!listening) {
          if (WaitForSingleObject(stop, 100) == WAIT_OBJECT_0) break;
          continue;
        }
      }
      UniqueHandle connect_event = make_event();
      OVERLAPPED ov{};
      ov.hEvent = connect_event.get();
      bool connected = ConnectNamedPipe(listening.get(), &ov) != FALSE;
      if (!connected) {
        const DWORD error = GetLastError();
        if (error == ERROR_PIPE_CONNECTED) {
          connected = true;
        } else if (error == ERROR_IO_PENDING) {
          const HANDLE waits[2] = {connect_event.get(), stop};
          if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
            CancelIo(listening.get());
            DWORD ignored = 0;
            GetOverlappedResult(listening.get(), &ov, &ignored, TRUE);
            break;
          }
          DWORD ignored = 0;
          connected = GetOverlappedResult(listening.get(), &ov, &ignored, FALSE) != FALSE;
        }
      }
      if (!connected) {
        listening.reset();
        continue;
      }
      // The next instance exists before this one goes to its thread: a client that
      // reconnects at once always finds the pipe.
      UniqueFile client = std::move(listening);
      listening.reset(create_instance());
      hand_off(std::move(client));
    }
  }

  void hand_off(UniqueFile pipe) {
    auto connection = std::make_unique<Connection>();
    Connection* self = connection.get();
    const HANDLE stop = stop_event_.get();
    connection->thread = std::thread([this, p = std::move(pipe), self, stop]() mutable {
      std::string request;
      DWORD wrote = 0;
      while (read_frame(p.get(), request, kTimeoutMs, stop)) {
        std::string reply = replies_.for_request(request);
        if (!pipe_io(p.get(), PipeDirection::write, reply.data(), static_cast<DWORD>(reply.size()), kTimeoutMs, wrote,
                     stop))
          break;
      }
      DisconnectNamedPipe(p.get());
      p.reset();
      self->done.store(true);
    });
    std::lock_guard<std::mutex> hold(mutex_);
    connections_.push_back(std::move(connection));
  }

  std::wstring pipe_name_;
  UniqueHandle stop_event_;
  std::atomic<bool> running_{false};
  std::thread thread_;
  const EchoReplies replies_;
  std::mutex mutex_;
  std::list<std::unique_ptr<Connection>> connections_;
};

// ---------------------------------------------------------------------------------------------
// The port echo: every instance made at start, all I/O on one completion port.

class PortEchoServer {
 public:
  PortEchoServer(std::wstring pipe_name, EchoReplies replies)
      : pipe_name_(std::move(pipe_name)), replies_(std::move(replies)) {}
  ~PortEchoServer() { stop(); }
  PortEchoServer(const PortEchoServer&) = delete;
  PortEchoServer& operator=(const PortEchoServer&) = delete;

  bool start() {
    port_.reset(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, kPortEchoWorkers));
    if (!port_) return false;
    constexpr DWORD kBuffer = kMaxFramePayload + kFrameHeaderSize;
    for (size_t i = 0; i < kPortEchoInstances; ++i) {
      auto instance = std::make_unique<Instance>();
      instance->pipe.reset(CreateNamedPipeW(pipe_name_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                            PIPE_TYPE_MESSAGE | PIPE_READMODE_BYTE | PIPE_REJECT_REMOTE_CLIENTS,
                                            kPortEchoInstances, kBuffer, kBuffer, 0, nullptr));
      if (!instance->pipe ||
          !CreateIoCompletionPort(instance->pipe.get(), port_.get(), reinterpret_cast<ULONG_PTR>(instance.get()), 0))
        return false;
      instances_.push_back(std::move(instance));
    }
    for (size_t i = 0; i < kPortEchoWorkers; ++i) workers_.emplace_back([this] { work(); });
    for (auto& instance : instances_) connect(*instance);
    return true;
  }

  // Cancels everything, waits until every operation has come back, then ends the workers.
  void stop() {
    if (workers_.empty()) return;
    stopping_.store(true);
    for (auto& instance : instances_) CancelIoEx(instance->pipe.get(), nullptr);
    while (pending_.load() != 0) Sleep(1);
    for (size_t i = 0; i < workers_.size(); ++i) PostQueuedCompletionStatus(port_.get(), 0, 0, nullptr);
    for (auto& worker : workers_) worker.join();
    workers_.clear();
    instances_.clear();
  }

 private:
  struct Instance {
    OVERLAPPED ov{};
    UniqueFile pipe;
    bool connecting = true;
    bool writing = false;
    std::string in = std::string(1024, '\0');
    size_t have = 0;
    const std::string* out = nullptr;
  };

  // Every operation completes through the port; one that fails at once is posted there.
  template <class Start>
  void issue(Instance& i, Start start) {
    if (stopping_.load()) return;
    i.ov = OVERLAPPED{};
    ++pending_;
    if (start()) return;
    const DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) return;
    i.ov.Internal = error == ERROR_PIPE_CONNECTED ? 0 : error;
    PostQueuedCompletionStatus(port_.get(), 0, reinterpret_cast<ULONG_PTR>(&i), &i.ov);
  }

  void connect(Instance& i) {
    i.connecting = true;
    i.have = 0;
    issue(i, [&] { return ConnectNamedPipe(i.pipe.get(), &i.ov); });
  }

  void read(Instance& i) {
    i.writing = false;
    if (i.have >= kFrameHeaderSize) {
      const size_t whole = kFrameHeaderSize + frame_length(reinterpret_cast<const uint8_t*>(i.in.data()));
      if (i.in.size() < whole) i.in.resize(whole);
      if (i.have >= whole) {
        i.out = &replies_.for_request(std::string_view(i.in).substr(kFrameHeaderSize, whole - kFrameHeaderSize));
        i.in.erase(0, whole);
        i.have -= whole;
        i.in.resize(std::max<size_t>(i.in.size(), 1024));
        i.writing = true;
        issue(i, [&] {
          return WriteFile(i.pipe.get(), i.out->data(), static_cast<DWORD>(i.out->size()), nullptr, &i.ov);
        });
        return;
      }
    }
    issue(i, [&] {
      return ReadFile(i.pipe.get(), i.in.data() + i.have, static_cast<DWORD>(i.in.size() - i.have), nullptr, &i.ov);
    });
  }

  void work() {
    for (;;) {
      DWORD bytes = 0;
      ULONG_PTR key = 0;
      OVERLAPPED* ov = nullptr;
      const BOOL ok = GetQueuedCompletionStatus(port_.get(), &bytes, &key, &ov, INFINITE);
      if (!ov) return;
      Instance& i = *reinterpret_cast<Instance*>(key);
      const bool failed = !ok || ov->Internal != 0;
      if (!stopping_.load()) {
        if (i.connecting) {
          i.connecting = false;
          if (failed) {
            DisconnectNamedPipe(i.pipe.get());
            connect(i);
          } else {
            read(i);
          }
        } else if (failed || (!i.writing && bytes == 0)) {
          DisconnectNamedPipe(i.pipe.get());
          connect(i);
        } else {
          if (!i.writing) i.have += bytes;
          read(i);
        }
      }
      --pending_;
    }
  }

  std::wstring pipe_name_;
  UniqueHandle port_;
  std::vector<std::unique_ptr<Instance>> instances_;
  std::vector<std::thread> workers_;
  std::atomic<bool> stopping_{false};
  std::atomic<size_t> pending_{0};
  const EchoReplies replies_;
};

// This program as an echo server ("--echo thread|port PING_HEX PEER_HEX"): serves until the
// benchmark that started it ends it, or ends itself.
int run_echo(const std::string& kind, const std::string& ping_hex, const std::string& peer_hex, DWORD parent) {
  Bytes ping, peer;
  if (!from_hex(ping_hex, ping) || !from_hex(peer_hex, peer)) return 2;
  EchoReplies replies{std::string(ping.begin(), ping.end()), std::string(peer.begin(), peer.end())};
  const UniqueHandle benchmark(OpenProcess(SYNCHRONIZE, FALSE, parent));
  if (!benchmark) return 2;
  if (kind == "port") {
    PortEchoServer server(kPortEchoPipe, std::move(replies));
    if (!server.start()) return 1;
    WaitForSingleObject(benchmark.get(), INFINITE);
  } else {
    EchoServer server(kEchoPipe, std::move(replies));
    if (!server.start()) return 1;
    WaitForSingleObject(benchmark.get(), INFINITE);
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Clients.

struct RunResult {
  size_t requests = 0;
  size_t failures = 0;
  std::string first_failure;
  double seconds = 0;
  std::vector<double> latencies;  // seconds, one per successful request

  double rps() const { return seconds > 0 ? static_cast<double>(requests - failures) / seconds : 0; }
  double median_ms() const { return bench::median(latencies) * 1e3; }
  double p99_ms() const { return bench::percentile(latencies, 99) * 1e3; }

  // Adds the figures of one more round.
  void absorb(const RunResult& round) {
    requests += round.requests;
    failures += round.failures;
    if (first_failure.empty()) first_failure = round.first_failure;
    seconds += round.seconds;
    latencies.insert(latencies.end(), round.latencies.begin(), round.latencies.end());
  }
};

// `clients` threads send `total` requests between them, each on a connection of its own.
// The requests are built before the clock starts; a reply counts when its "ok" is true.
RunResult run_clients(const std::wstring& pipe, int clients, int total, const std::function<json()>& make) {
  const int per_client = std::max(1, total / clients);
  std::vector<std::vector<json>> requests(clients);
  for (auto& list : requests) {
    list.reserve(per_client);
    for (int i = 0; i < per_client; ++i) list.push_back(make());
  }
  const std::wstring trusted = module_dir();
  std::vector<std::vector<double>> latencies(clients);
  std::vector<size_t> failures(clients, 0);
  std::vector<std::string> errors(clients);
  // Every client starts at once. A manual-reset event, not std::latch: this libstdc++'s latch
  // on MinGW has lost a wake-up here and left a client waiting for ever.
  const UniqueHandle go = make_event();
  std::vector<std::thread> threads;
  threads.reserve(clients);
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      latencies[c].reserve(per_client);
      WaitForSingleObject(go.get(), INFINITE);
      for (const json& request : requests[c]) {
        json reply;
        std::string error;
        const double t0 = bench::now_seconds();
        const bool sent = pipe_request(pipe, trusted, request, reply, error, kTimeoutMs);
        const double t1 = bench::now_seconds();
        const auto ok = sent ? reply.find("ok") : reply.end();
        if (sent && ok != reply.end() && ok->is_boolean() && ok->get<bool>()) {
          latencies[c].push_back(t1 - t0);
        } else {
          ++failures[c];
          if (errors[c].empty()) errors[c] = sent ? compact_json(reply) : error;
        }
      }
    });
  }
  RunResult result;
  const double t0 = bench::now_seconds();
  SetEvent(go.get());
  for (auto& t : threads) t.join();
  result.seconds = bench::now_seconds() - t0;
  result.requests = static_cast<size_t>(per_client) * clients;
  for (int c = 0; c < clients; ++c) {
    result.failures += failures[c];
    if (result.first_failure.empty()) result.first_failure = errors[c];
    result.latencies.insert(result.latencies.end(), latencies[c].begin(), latencies[c].end());
  }
  return result;
}

// ---------------------------------------------------------------------------------------------
// The agent process.

using guardian::test::remove_tree;

struct MemorySample {
  bool ok = false;
  double working_set_kib = 0;
  double private_kib = 0;
  double pagefile_kib = 0;
  bool handles_ok = false;
  DWORD handles = 0;
  DWORD threads = 0;
};

DWORD thread_count(DWORD pid) {
  UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  DWORD count = 0;
  for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry))
    if (entry.th32OwnerProcessID == pid) ++count;
  return count;
}

// settle_ms: the last connection threads end just after their client has closed; by default
// they are given time to go first.
MemorySample sample_memory(HANDLE process, DWORD pid, DWORD settle_ms = 300) {
  Sleep(settle_ms);
  MemorySample sample;
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof counters;
  if (K32GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters)) {
    sample.ok = true;
    sample.working_set_kib = static_cast<double>(counters.WorkingSetSize) / 1024;
    sample.private_kib = static_cast<double>(counters.PrivateUsage) / 1024;
    sample.pagefile_kib = static_cast<double>(counters.PagefileUsage) / 1024;
  }
  // Wine answers 0 for another process: shown as not available.
  sample.handles_ok = GetProcessHandleCount(process, &sample.handles) != FALSE && sample.handles > 0;
  sample.threads = thread_count(pid);
  return sample;
}

void print_memory(const char* when, const MemorySample& s) {
  if (!s.ok) {
    std::printf("  %-36s GetProcessMemoryInfo failed\n", when);
    return;
  }
  const std::string handles = s.handles_ok ? std::to_string(s.handles) : "n/a";
  std::printf("  %-36s working set %7.0f KiB  private %7.0f KiB  pagefile %7.0f KiB  handles %4s  threads %lu\n",
              when, s.working_set_kib, s.private_kib, s.pagefile_kib, handles.c_str(),
              static_cast<unsigned long>(s.threads));
}

// An echo server in a process of its own: this program started with --echo. Ended with the
// benchmark (it waits on this process) or when this record goes.
class EchoProcess {
 public:
  ~EchoProcess() {
    if (!process_) return;
    TerminateProcess(process_.get(), 0);
    WaitForSingleObject(process_.get(), kStopLimitMs);
  }
  // True once its pipe exists.
  bool start(const std::wstring& arguments, const wchar_t* pipe) {
    DWORD pid = 0;
    if (!launch(module_path(), L"--echo " + arguments, process_, pid)) return false;
    for (int i = 0; i < 1000 && WaitForSingleObject(process_.get(), 10) == WAIT_TIMEOUT; ++i)
      if (WaitNamedPipeW(pipe, 0) || GetLastError() != ERROR_FILE_NOT_FOUND) return true;
    return false;
  }

 private:
  UniqueHandle process_;
};

// ---------------------------------------------------------------------------------------------
// The flood and the baseline program.

// The flood itself (run from a copy of this program outside the agent's folder, so the agent
// takes it for an untrusted client): n connections held open for hold_ms.
int run_flood(int n, DWORD hold_ms) {
  std::vector<UniqueFile> held;
  for (int i = 0; i < n; ++i) {
    const ULONGLONG deadline = GetTickCount64() + 5000;
    for (;;) {
      UniqueFile pipe(CreateFileW(kGuardianPipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED, nullptr));
      if (pipe) {
        held.push_back(std::move(pipe));
        break;
      }
      if (GetLastError() != ERROR_PIPE_BUSY || GetTickCount64() >= deadline) break;
      WaitNamedPipeW(kGuardianPipe, 1000);
    }
  }
  Sleep(hold_ms);
  return held.size() == static_cast<size_t>(n) ? 0 : 1;
}

struct FloodResult {
  bool ran = false;
  MemorySample peak;       // the sample with the most threads while it went on
  MemorySample after;      // once the agent's threads are back (or kSettleLimitMs later)
  double settle_ms = 0;    // from the flood's end until then
  RunResult pings;         // a trusted client's pings during the flood
};

// Copies this program to a temporary folder, floods the agent from there, and samples it.
FloodResult flood_agent(const Agent& agent, DWORD idle_threads, const std::function<json()>& make_ping) {
  FloodResult result;
  wchar_t temp[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
  const std::wstring folder = std::wstring(temp, n) + L"ostrival-pipe-bench-flood-" + to_utf16(random_hex(6));
  const std::wstring copy = folder + L"\\pipe_bench.exe";
  if (!CreateDirectoryW(folder.c_str(), nullptr) || !CopyFileW(module_path().c_str(), copy.c_str(), TRUE)) {
    std::printf("cannot copy this program to %s\n", to_utf8(folder).c_str());
    remove_tree(folder);
    return result;
  }
  UniqueHandle flood;
  DWORD flood_pid = 0;
  if (launch(copy, L"--flood " + std::to_wstring(kFloodConnections) + L" " + std::to_wstring(kFloodHoldMs), flood,
             flood_pid)) {
    result.ran = true;
    // Trusted pings while the flood goes on, then samples until it ends.
    result.pings = run_clients(kGuardianPipe, 1, 200, make_ping);
    while (WaitForSingleObject(flood.get(), 200) == WAIT_TIMEOUT) {
      const MemorySample sample = sample_memory(agent.process(), agent.pid(), 0);
      if (sample.threads >= result.peak.threads) result.peak = sample;
    }
    const double t0 = bench::now_seconds();
    do {
      result.after = sample_memory(agent.process(), agent.pid(), 100);
    } while (result.after.threads > idle_threads && (bench::now_seconds() - t0) * 1e3 < kSettleLimitMs);
    result.settle_ms = (bench::now_seconds() - t0) * 1e3;
  }
  remove_tree(folder);
  return result;
}

// idle_baseline.exe beside this program, sampled a second after it started.
MemorySample sample_baseline() {
  UniqueHandle process;
  DWORD pid = 0;
  MemorySample sample;
  if (!launch(module_dir() + L"\\idle_baseline.exe", L"", process, pid)) return sample;
  sample = sample_memory(process.get(), pid, 1000);
  TerminateProcess(process.get(), 0);
  WaitForSingleObject(process.get(), kStopLimitMs);
  return sample;
}

void print_row(int clients, const char* op, const char* server, const RunResult& r) {
  std::printf("%7d  %-4s  %-11s %6zu %5zu %8.0f %9.3f %9.3f", clients, op, server, r.requests, r.failures, r.rps(),
              r.median_ms(), r.p99_ms());
  if (r.failures) std::printf("   first failure: %s", r.first_failure.c_str());
  std::printf("\n");
  std::fflush(stdout);
}

// The three servers of the latency runs, in the order of the arrays below.
enum Server { kAgent, kPortEcho, kThreadEcho, kServers };
constexpr const wchar_t* kServerPipes[kServers] = {kGuardianPipe, kPortEchoPipe, kEchoPipe};
constexpr const char* kServerNames[kServers] = {"agent", "port echo", "thread echo"};

// One case (clients, operation): the pooled figures of each server, and per round the p50 and
// p99 of each, from which the ratios are taken.
struct CaseResult {
  std::array<RunResult, kServers> pooled;
  std::vector<std::array<double, kServers>> p50, p99;

  // The median over the rounds of a / b for one of the two percentiles.
  double ratio(const std::vector<std::array<double, kServers>>& by_round, Server a, Server b) const {
    std::vector<double> ratios;
    for (const auto& round : by_round)
      if (round[b] > 0) ratios.push_back(round[a] / round[b]);
    return bench::median(ratios);
  }
};

CaseResult run_case(int clients, int per_server, const std::function<json()>& make) {
  CaseResult result;
  const int per_round = std::max(clients, per_server / kRounds);
  for (int round = 0; round < kRounds; ++round) {
    std::array<double, kServers> p50{}, p99{};
    // Each server goes first, second and third in turn.
    for (int k = 0; k < kServers; ++k) {
      const int server = (round + k) % kServers;
      const RunResult r = run_clients(kServerPipes[server], clients, per_round, make);
      p50[server] = r.median_ms();
      p99[server] = r.p99_ms();
      result.pooled[server].absorb(r);
    }
    result.p50.push_back(p50);
    result.p99.push_back(p99);
  }
  return result;
}

int run(int requests_per_run) {
  // A fresh storage folder for the agent.
  wchar_t temp[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
  const std::wstring storage = std::wstring(temp, n) + L"ostrival-pipe-bench-" + to_utf16(random_hex(6));
  if (!CreateDirectoryW(storage.c_str(), nullptr)) {
    std::printf("cannot create %s\n", to_utf8(storage).c_str());
    return 1;
  }
  std::printf("storage folder: %s\n", to_utf8(storage).c_str());

  int result = 0;
  {
    const DeviceIdentity identity = collect_device_identity();
    Agent agent;
    json first_ping;
    Bytes key;
    const double t_launch = bench::now_seconds();
    if (!agent.start(storage)) {
      result = 1;
    } else if (!wait_for_agent(agent, first_ping)) {
      std::printf("the agent did not answer ping (still running: %s)\n", agent.running() ? "yes" : "no");
      result = 1;
    } else if (!read_channel_key(ProtectedStore(storage, identity.fingerprint), identity.fingerprint, key)) {
      std::printf("channel.bin not readable with this device's fingerprint\n");
      result = 1;
    }
    if (result != 0) {
      agent.stop();
      remove_tree(storage);
      return result;
    }
    std::printf("agent pid %lu answering after %.0f ms\n", static_cast<unsigned long>(agent.pid()),
                (bench::now_seconds() - t_launch) * 1e3);
    const MemorySample after_startup = sample_memory(agent.process(), agent.pid());

    auto request_for = [&key](const char* op) { return [&key, op] { return make_request(key, op, random_hex(16)); }; };
    const std::function<json()> make_ping = request_for("ping");
    const std::function<json()> make_peer = request_for("peer");

    // One authenticated exchange of each kind: checks the key and gives the reply sizes.
    std::string ping_reply, peer_reply;
    for (const char* op : {"ping", "peer"}) {
      const std::string nonce = random_hex(16);
      json reply;
      std::string error;
      if (!pipe_request(kGuardianPipe, module_dir(), make_request(key, op, nonce), reply, error, kTimeoutMs) ||
          !verify_reply(key, reply, nonce) || !reply.value("ok", false)) {
        std::printf("%s: no valid reply (%s %s)\n", op, error.c_str(), compact_json(reply).c_str());
        agent.stop();
        remove_tree(storage);
        return 1;
      }
      (std::string(op) == "ping" ? ping_reply : peer_reply) = compact_json(reply);
    }
    std::printf("frames: ping request %zu B, reply %zu B; peer request %zu B, reply %zu B\n",
                compact_json(make_ping()).size() + 4, ping_reply.size() + 4, compact_json(make_peer()).size() + 4,
                peer_reply.size() + 4);
    EchoProcess echo, port_echo;
    const std::wstring replies = L" " + to_utf16(to_hex(bytes_of(encode_frame(ping_reply)))) + L" " +
                                 to_utf16(to_hex(bytes_of(encode_frame(peer_reply)))) + L" " +
                                 std::to_wstring(GetCurrentProcessId());
    if (!echo.start(L"thread" + replies, kEchoPipe) || !port_echo.start(L"port" + replies, kPortEchoPipe)) {
      std::printf("an echo server did not start\n");
      agent.stop();
      remove_tree(storage);
      return 1;
    }

    // Memory over the first 10,000 requests (half of them "ping", half "peer").
    const double t_mem = bench::now_seconds();
    const RunResult mem_ping = run_clients(kGuardianPipe, 8, kMemoryRequests / 2, make_ping);
    const RunResult mem_peer = run_clients(kGuardianPipe, 8, kMemoryRequests / 2, make_peer);
    std::printf("%d requests with 8 clients in %.1f s (%zu failed)\n", kMemoryRequests,
                bench::now_seconds() - t_mem, mem_ping.failures + mem_peer.failures);
    const MemorySample after_10k = sample_memory(agent.process(), agent.pid());
    size_t measured_requests = 0;

    std::printf("\n%d requests per server and case, in %d rounds; latency in ms\n", requests_per_run, kRounds);
    std::printf("%7s  %-4s  %-11s %6s %5s %8s %9s %9s\n", "clients", "op", "server", "reqs", "fail", "rps", "p50",
                "p99");
    struct Case {
      const char* op;
      const std::function<json()>* make;
    };
    struct Ratios {
      int clients;
      const char* op;
      double p50_port, p99_port, p50_thread, p99_thread, p50_port_thread, p99_port_thread;
    };
    std::vector<Ratios> ratios;
    for (int clients : {1, 8, 32}) {
      for (const Case& c : {Case{"ping", &make_ping}, Case{"peer", &make_peer}}) {
        for (const wchar_t* pipe : kServerPipes) run_clients(pipe, clients, std::min(100, requests_per_run), *c.make);
        const CaseResult r = run_case(clients, requests_per_run, *c.make);
        for (int server = 0; server < kServers; ++server) {
          print_row(clients, c.op, kServerNames[server], r.pooled[server]);
          measured_requests += r.pooled[server].requests;
        }
        ratios.push_back({clients, c.op, r.ratio(r.p50, kAgent, kPortEcho), r.ratio(r.p99, kAgent, kPortEcho),
                          r.ratio(r.p50, kAgent, kThreadEcho), r.ratio(r.p99, kAgent, kThreadEcho),
                          r.ratio(r.p50, kPortEcho, kThreadEcho), r.ratio(r.p99, kPortEcho, kThreadEcho)});
      }
    }
    std::printf("\nratios, the median over the rounds of each round's ratio (lower is faster):\n");
    std::printf("%7s  %-4s   %-17s %-17s %-17s\n", "clients", "op", "agent/port echo", "agent/thread echo",
                "port/thread echo");
    std::printf("%7s  %-4s   %-8s %-8s %-8s %-8s %-8s %-8s\n", "", "", "p50", "p99", "p50", "p99", "p50", "p99");
    for (const Ratios& r : ratios)
      std::printf("%7d  %-4s   x%-7.2f x%-7.2f x%-7.2f x%-7.2f x%-7.2f x%-7.2f\n", r.clients, r.op, r.p50_port,
                  r.p99_port, r.p50_thread, r.p99_thread, r.p50_port_thread, r.p99_port_thread);

    const MemorySample after_runs = sample_memory(agent.process(), agent.pid());
    const RunResult more_ping = run_clients(kGuardianPipe, 8, kMemoryRequests / 2, make_ping);
    const RunResult more_peer = run_clients(kGuardianPipe, 8, kMemoryRequests / 2, make_peer);
    const MemorySample at_end = sample_memory(agent.process(), agent.pid());
    const FloodResult flood = flood_agent(agent, after_startup.threads, make_ping);
    const MemorySample baseline = sample_baseline();

    // The agent's own work per request, outside the pipe, timed here in-process: what it adds
    // to a bare server's round trip.
    const std::string sample_nonce = random_hex(16);
    const json sample_request = make_request(key, "peer", sample_nonce);
    const std::string sample_text = compact_json(sample_request);
    // The client's check: a process's first connection opens it and reads its image; the
    // server then holds it, and its next connections are judged from what it holds.
    const std::wstring here = dir_of(process_image_path(GetCurrentProcessId()));
    const double t_image = bench::time_per_call(
        [&] { bench::keep(check_peer_process(GetCurrentProcessId(), precise_time_now(), here).image); }, 200);
    ProcessImageCache held;
    check_peer_process(GetCurrentProcessId(), precise_time_now(), here, &held);
    const double t_held = bench::time_per_call(
        [&] { bench::keep(check_peer_process(GetCurrentProcessId(), precise_time_now(), here, &held).image); }, 2000);
    const double t_parse = bench::time_per_call(
        [&] { bench::keep(parse_json(sample_text.begin(), sample_text.end())); }, 2000);
    const double t_mac = bench::time_per_call(
        [&] { bench::keep(request_mac_valid(key, "peer", sample_nonce, sample_request.value("mac", ""))); }, 2000);
    const double t_reply = bench::time_per_call(
        [&] {
          bench::keep(compact_json(make_reply(key, true, sample_nonce,
                                              {{"peer", "ok"}, {"since", "2026-01-01T00:00:00Z"}})));
        },
        2000);
    std::printf("\nagent memory:\n");
    print_memory("after start-up", after_startup);
    print_memory("after 10,000 requests", after_10k);
    char label[64];
    std::snprintf(label, sizeof label, "after the measured runs (+%zu)", measured_requests);
    print_memory(label, after_runs);
    std::snprintf(label, sizeof label, "after 10,000 more (%zu failed)",
                  more_ping.failures + more_peer.failures);
    print_memory(label, at_end);
    if (flood.ran) {
      std::snprintf(label, sizeof label, "during a flood of %d (most threads)", kFloodConnections);
      print_memory(label, flood.peak);
      std::snprintf(label, sizeof label, "after the flood (%.0f ms after it ended)", flood.settle_ms);
      print_memory(label, flood.after);
      std::printf("  trusted pings during the flood: %zu of %zu answered, median %.3f ms, p99 %.3f ms\n",
                  flood.pings.requests - flood.pings.failures, flood.pings.requests, flood.pings.median_ms(),
                  flood.pings.p99_ms());
    }
    print_memory("idle_baseline.exe (waits on an event)", baseline);
    if (after_startup.ok && baseline.ok)
      std::printf("  idle: the agent's working set is %.1f MiB above the bare program's, with %lu threads against %lu\n",
                  (after_startup.working_set_kib - baseline.working_set_kib) / 1024,
                  static_cast<unsigned long>(after_startup.threads), static_cast<unsigned long>(baseline.threads));

    std::printf("\nagent-side work per request, timed in-process:\n");
    std::printf("  %-44s %8.1f us\n", "client check, first connection of a process", t_image * 1e6);
    std::printf("  %-44s %8.1f us\n", "client check, a process the server holds", t_held * 1e6);
    std::printf("  %-44s %8.1f us\n", "parse the request", t_parse * 1e6);
    std::printf("  %-44s %8.1f us\n", "check the request MAC", t_mac * 1e6);
    std::printf("  %-44s %8.1f us\n", "build and serialise a peer reply", t_reply * 1e6);

    agent.stop();
    std::printf("agent %s\n", agent.stop_note().c_str());
  }
  remove_tree(storage);
  std::printf("storage folder removed: %s\n", GetFileAttributesW(storage.c_str()) == INVALID_FILE_ATTRIBUTES ? "yes" : "no");
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 5 && std::string(argv[1]) == "--echo")
    return run_echo(argv[2], argv[3], argv[4], static_cast<DWORD>(std::strtoul(argv[5], nullptr, 10)));
  if (argc > 3 && std::string(argv[1]) == "--flood")
    return run_flood(std::atoi(argv[2]), static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10)));
  int requests = 2000;
  if (argc > 1) requests = std::max(32, std::atoi(argv[1]));
  return run(requests);
}
