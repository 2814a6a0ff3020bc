// A request through the client library against the same request through the agent's own client
// code (ChannelClient, as --ping uses it, linked in), both warm, measured in alternating runs
// against the same agent; and the first request of a new client (the identity pass, run as the
// agent's executable with --fingerprint, and the key), in milliseconds.
//
// The agent is the real ostrival_guardian.exe beside this program, started with --console and
// a fresh storage folder (see bench_agent.hpp).
//
// Usage: client_bench.exe [requests per run, default 200]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bench_agent.hpp"
#include "base/json_text.hpp"
#include "bench_harness.hpp"
#include "channel/channel_client.hpp"
#include "guardian_client.h"
#include "scratch_dir.hpp"

namespace {

using namespace guardian;

constexpr int kRuns = 15;
constexpr int kFirstRequestRuns = 7;

guardian_client* open_library_client(const std::wstring& storage) {
  guardian_client_options options{};
  options.size = sizeof options;
  options.storage_folder = storage.c_str();
  guardian_client* client = nullptr;
  return guardian_client_open(&options, &client) == GUARDIAN_OK ? client : nullptr;
}

// One request through the library; false unless it came back authentic and ok.
bool library_request(guardian_client* client, const char* op) {
  char* body = nullptr;
  const bool ok = guardian_client_send(client, op, &body, nullptr) == GUARDIAN_OK;
  guardian_free(body);
  return ok;
}

int run(int requests_per_run) {
  test::ScratchDir storage_dir;
  const std::wstring storage = storage_dir.path();
  bench::Agent agent;
  nlohmann::json first_ping;
  if (!agent.start(storage) || !bench::wait_for_agent(agent, first_ping)) {
    std::printf("the agent did not start\n");
    return 1;
  }

  ChannelClient own(ClientSettings{kGuardianPipe, module_dir(), kClientTimeoutMs},
                    KeySettings{storage, IdentitySource::agent_program, module_dir() + L"\\ostrival_guardian.exe"});
  guardian_client* library = open_library_client(storage);
  size_t failures = 0;
  auto own_request = [&](const char* op) { failures += own.request(op).result != ClientResult::ok; };
  auto library_call = [&](const char* op) { failures += !library_request(library, op); };
  if (!library) {
    std::printf("no library client\n");
    return 1;
  }
  std::printf("%d requests per run, %d runs, each run timing both back to back (in turn first)\n", requests_per_run,
              kRuns);
  for (const char* op : {"ping", "peer"}) {
    own_request(op);  // warm: identity pass and key
    library_call(op);
    std::vector<double> own_s, library_s, ratios;
    for (int r = 0; r < kRuns; ++r) {
      double pair[2];
      for (int i = 0; i < 2; ++i) {
        const bool library_turn = (i == 0) == (r % 2 == 0);
        const double t = bench::time_per_call([&] { library_turn ? library_call(op) : own_request(op); },
                                              requests_per_run, 1);
        pair[library_turn ? 1 : 0] = t;
      }
      own_s.push_back(pair[0]);
      library_s.push_back(pair[1]);
      ratios.push_back(pair[1] / pair[0]);
    }
    bench::report_ratio(std::string("warm ") + op + ": library / own client", bench::median(library_s),
                        bench::median(own_s));
    std::printf("%-40s median of the paired ratios %.3f (p25 %.3f, p75 %.3f)\n", "", bench::median(ratios),
                bench::percentile(ratios, 25), bench::percentile(ratios, 75));
  }

  // What the library adds to a request outside the exchange, in-process (no pipe, so the
  // machine's load hardly moves it): the operation name's check, the call's entry with its
  // thread and its cancellation under the client's lock, the body's compact text and its copy
  // for the caller, the call's exit, and the thread's failure text looked up and cleared.
  const nlohmann::json body = first_ping.value("body", nlohmann::json::object());
  std::mutex lock;
  std::vector<DWORD> callers;
  const auto token = std::make_shared<int>(0);
  std::vector<std::pair<DWORD, std::string>> failures_by_thread(64);
  const double added = bench::time_per_call(
      [&] {
        bench::keep(operation_acceptable("peer"));
        std::shared_ptr<int> held;
        {
          std::lock_guard<std::mutex> hold(lock);
          callers.push_back(GetCurrentThreadId());
          held = token;
        }
        char* copy = _strdup(compact_json(body).c_str());
        {
          std::lock_guard<std::mutex> hold(lock);
          callers.pop_back();
        }
        {
          std::lock_guard<std::mutex> hold(lock);
          for (auto& entry : failures_by_thread)
            if (entry.first == GetCurrentThreadId()) entry.second.clear();
        }
        std::free(copy);
      },
      20000);
  std::printf("%-40s %9.3f us a request\n", "library's own work beside the exchange", added * 1e6);
  guardian_client_close(library);

  // A new client each time: open, first request (identity pass in a child, channel.bin, key), close.
  std::vector<double> first_ms;
  for (int i = 0; i < kFirstRequestRuns; ++i) {
    const double t0 = bench::now_seconds();
    guardian_client* fresh = open_library_client(storage);
    failures += !fresh || !library_request(fresh, "ping");
    guardian_client_close(fresh);
    first_ms.push_back((bench::now_seconds() - t0) * 1e3);
  }
  std::printf("%-40s %9.1f ms median of %d (min %.1f, max %.1f)\n", "first request of a new client",
              bench::median(first_ms), kFirstRequestRuns, *std::min_element(first_ms.begin(), first_ms.end()),
              *std::max_element(first_ms.begin(), first_ms.end()));
  std::printf("failed requests: %zu\n", failures);
  agent.stop();
  std::printf("agent %s\n", agent.stop_note().c_str());
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const int requests = argc > 1 ? std::max(10, std::atoi(argv[1])) : 200;
  return run(requests);
}
