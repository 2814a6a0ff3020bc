#pragma once
// "--diagnose": the checks of an installation and the two ways they are printed. Each check
// has a verdict, what was found and, when it is not ok, what to do; the lines are for
// people, the JSON document (the same verdicts and texts) for management tools.
// Portable: no Windows headers.
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace guardian {

// warn: worth a look, but the agent serves its applications; fail: it does not, or will not
// after the next restart or boot.
enum class Verdict { ok, warn, fail };

struct DiagnoseCheck {
  std::string name;  // "program", "service", "running", ... (stable: tools select by it)
  Verdict verdict = Verdict::ok;
  std::string state;  // what was found, as a stable code ("running", "not_checked", ...)
  std::string found;
  std::string todo;                // empty when there is nothing to do
  std::vector<std::string> lines;  // evidence shown below the check (the log's last problems)
};

// "ok", "warn", "FAIL".
const char* verdict_text(Verdict verdict);

// One line per check: the verdict and the name in columns, what was found and "; to do: "
// with what to do when there is something; its evidence lines below it, indented.
std::string diagnose_text(const std::vector<DiagnoseCheck>& checks);

// The run the JSON document describes besides its checks.
struct DiagnoseRun {
  std::string time;     // when it ran, UTC: "2026-12-07T08:15:02Z"
  std::string host;     // this machine's host name
  std::string version;  // this program's version
};

// The JSON document's layout; raised only when a member changes meaning or goes away (tools
// ignore members they do not know, so new ones do not raise it).
inline constexpr int kDiagnoseFormat = 1;

// {"checks": [{"check", "found", "lines", "state", "todo", "verdict"}, ...], "format",
//  "host", "time", "verdict": the worst, "version"}.
nlohmann::json diagnose_json(const std::vector<DiagnoseCheck>& checks, const DiagnoseRun& run);

// 1 when any check failed, else 0.
int diagnose_exit_code(const std::vector<DiagnoseCheck>& checks);

// What stands where the storage folder dir belongs, when it is no folder the agent can use (a
// link or junction at either level, a file, nothing): those words; empty otherwise. Who may
// change a folder that is there is the storage check's business.
std::string storage_folder_unusable(const std::wstring& dir);

// Why the channel.bin in the storage folder dir keeps the service from starting, with what to
// do: it does not open under this machine's identity, computed here (within 30 s) and whole
// (WMI listed every kind of device). Empty when it opens, is missing, or the identity is not
// known whole, which leaves the service's own wait for the identity to decide.
std::string channel_secret_blocker(const std::wstring& dir);

// The program of a service's command line: the text between its leading quotes, or, when it
// is not quoted, the whole text (which is how the SCM may read it too).
std::wstring service_program(std::wstring_view command_line);

}  // namespace guardian
