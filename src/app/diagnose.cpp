// Portable: no Windows headers.
#include "app/diagnose.hpp"

#include <algorithm>

#include "base/log_format.hpp"

namespace guardian {
namespace {

constexpr size_t kVerdictColumn = 5;  // "FAIL" and a blank
constexpr size_t kNameColumn = 10;    // "companion" and a blank

std::string padded(std::string_view text, size_t width) {
  std::string out(text);
  if (out.size() < width) out.append(width - out.size(), ' ');
  return out;
}

Verdict worst(const std::vector<DiagnoseCheck>& checks) {
  Verdict result = Verdict::ok;
  for (const DiagnoseCheck& check : checks) result = std::max(result, check.verdict);
  return result;
}

}  // namespace

const char* verdict_text(Verdict verdict) {
  switch (verdict) {
    case Verdict::ok:
      return "ok";
    case Verdict::warn:
      return "warn";
    case Verdict::fail:
      break;
  }
  return "FAIL";
}

std::string diagnose_text(const std::vector<DiagnoseCheck>& checks) {
  std::string out;
  // Texts from outside (a service's path, the log) never break a check's line.
  for (const DiagnoseCheck& check : checks) {
    out += padded(verdict_text(check.verdict), kVerdictColumn) + padded(check.name, kNameColumn);
    append_log_text(out, check.found);
    if (!check.todo.empty()) {
      out += "; to do: ";
      append_log_text(out, check.todo);
    }
    out += "\n";
    for (const std::string& line : check.lines) {
      out.append(kVerdictColumn + kNameColumn, ' ');
      append_log_text(out, line);
      out += "\n";
    }
  }
  return out;
}

nlohmann::json diagnose_json(const std::vector<DiagnoseCheck>& checks, const DiagnoseRun& run) {
  // The texts as the lines show them: a tool that prints one shows what it holds and nothing
  // else, and bytes that are no UTF-8 cannot make the document invalid.
  nlohmann::json list = nlohmann::json::array();
  for (const DiagnoseCheck& check : checks) {
    nlohmann::json lines = nlohmann::json::array();
    for (const std::string& line : check.lines) lines.push_back(visible_text(line));
    list.push_back({{"check", check.name},
                    {"verdict", verdict_text(check.verdict)},
                    {"state", check.state},
                    {"found", visible_text(check.found)},
                    {"todo", visible_text(check.todo)},
                    {"lines", std::move(lines)}});
  }
  return {{"format", kDiagnoseFormat}, {"time", run.time},        {"host", visible_text(run.host)},
          {"version", run.version},    {"checks", std::move(list)}, {"verdict", verdict_text(worst(checks))}};
}

int diagnose_exit_code(const std::vector<DiagnoseCheck>& checks) { return worst(checks) == Verdict::fail ? 1 : 0; }

std::wstring service_program(std::wstring_view command_line) {
  if (command_line.starts_with(L'"')) {
    const size_t close = command_line.find(L'"', 1);
    return std::wstring(command_line.substr(1, close == command_line.npos ? command_line.npos : close - 1));
  }
  return std::wstring(command_line);
}

}  // namespace guardian
