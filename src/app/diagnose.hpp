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
  std::string found;
  std::string todo;                // empty when there is nothing to do
  std::vector<std::string> lines;  // evidence shown below the check (the log's last problems)
};

// "ok", "warn", "FAIL".
const char* verdict_text(Verdict verdict);

// One line per check: the verdict and the name in columns, what was found and "; to do: "
// with what to do when there is something; its evidence lines below it, indented.
std::string diagnose_text(const std::vector<DiagnoseCheck>& checks);

// {"checks": [{"check", "found", "lines", "todo", "verdict"}, ...], "verdict": the worst}.
nlohmann::json diagnose_json(const std::vector<DiagnoseCheck>& checks);

// 1 when any check failed, else 0.
int diagnose_exit_code(const std::vector<DiagnoseCheck>& checks);

// The program of a service's command line: the text between its leading quotes, or, when it
// is not quoted, the whole text (which is how the SCM may read it too).
std::wstring service_program(std::wstring_view command_line);

}  // namespace guardian
