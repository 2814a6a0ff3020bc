// The identity pass in a child process: the agent's executable run with --fingerprint, which
// writes its document into a pipe that this process made for it and the child opens by name.
// The child inherits no handle at all, so no handle of the host is ever inheritable for it
// (another thread of the host may start processes that inherit whatever is inheritable).
#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <string>
#include <memory>
#include <vector>

#include "base/json_text.hpp"
#include "base/object_owner.hpp"
#include "base/own_thread.hpp"
#include "base/text.hpp"
#include "base/unique.hpp"
#include "device/identity.hpp"
#include "store/crypto.hpp"

namespace guardian {
namespace {

// The document is about a kilobyte; more than this is not an identity document.
constexpr DWORD kDocumentPipeBytes = 1 << 20;

// A wait of at most the time left before the deadline.
DWORD left_until(ULONGLONG deadline) {
  const ULONGLONG now = GetTickCount64();
  return now >= deadline ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, INFINITE - 1));
}

// One overlapped operation on the document pipe, waited for with the cancel event until the
// deadline; a pending one is cancelled and waited for before it returns.
enum class PipeWait { done, failed, stopped, timed_out };

PipeWait finish(HANDLE pipe, OVERLAPPED& ov, BOOL started, HANDLE cancel_event, ULONGLONG deadline, DWORD& got,
                DWORD& error) {
  got = 0;
  if (!started) {
    error = GetLastError();
    if (error != ERROR_IO_PENDING) return PipeWait::failed;
  }
  // The cancel first, so that a cancel that comes with the operation's end is not missed.
  const HANDLE waits[2] = {cancel_event, ov.hEvent};
  const DWORD waited = cancel_event ? WaitForMultipleObjects(2, waits, FALSE, left_until(deadline))
                                    : WaitForSingleObject(ov.hEvent, left_until(deadline));
  const DWORD done = cancel_event ? WAIT_OBJECT_0 + 1 : WAIT_OBJECT_0;
  if (waited != done) {
    CancelIoEx(pipe, &ov);
    DWORD ignored = 0;
    GetOverlappedResult(pipe, &ov, &ignored, TRUE);
    return cancel_event && waited == WAIT_OBJECT_0 ? PipeWait::stopped : PipeWait::timed_out;
  }
  if (GetOverlappedResult(pipe, &ov, &got, FALSE)) return PipeWait::done;
  error = GetLastError();
  return PipeWait::failed;
}

// A job that ends every process in it when its last handle is closed.
UniqueHandle make_kill_job(DWORD& error) {
  UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!job || !SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    error = GetLastError();
    job.reset();
  }
  return job;
}

}  // namespace

void* make_identity_job() {
  DWORD ignored = 0;
  return make_kill_job(ignored).release();
}

bool identity_pipe_name_acceptable(const std::wstring& name) {
  const std::wstring_view prefix = L"\\\\.\\pipe\\";
  if (name.size() <= prefix.size() || name.size() > 256 || name.compare(0, prefix.size(), prefix) != 0) return false;
  for (size_t i = prefix.size(); i < name.size(); ++i) {
    const wchar_t c = name[i];
    const bool letter_or_digit = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9');
    if (!letter_or_digit && c != L'.') return false;
  }
  return name.find(L"..") == std::wstring::npos;
}

std::wstring identity_pipe_sddl() {
  const std::wstring user = process_user_sid();
  const std::wstring level = process_integrity_sid();
  if (user.empty() || level.empty()) return {};
  return L"D:P(A;;GA;;;" + user + L")(A;;GA;;;SY)S:(ML;;NWNRNX;;;" + level + L")";
}

ChildPass identity_from_program(const std::wstring& program, unsigned long limit_ms, void* cancel_event,
                                DeviceIdentity& identity, std::string& why, void* job, bool* foreign_client) {
  const ULONGLONG deadline = GetTickCount64() + limit_ms;
  const HANDLE cancel = static_cast<HANDLE>(cancel_event);
  const std::string nonce = random_hex(16);
  if (nonce.empty()) {
    why = "no random name for the identity pipe";
    return ChildPass::no_resources;
  }
  const std::wstring pipe_name = L"\\\\.\\pipe\\Ostrival.Guardian.Identity." +
                                 std::to_wstring(GetCurrentProcessId()) + L"." + to_utf16(nonce);
  // Only the user this process runs as (whom the child runs as) and LocalSystem may open the
  // pipe, and its label at this process's integrity level keeps every lower level from
  // reading, writing or running it: neither another user nor a less trusted process of this
  // user can connect first. A process of this user at this level can; it could as well change
  // this process's memory, so nothing here holds it off, and a client that is not the child
  // is only disconnected (below).
  const std::wstring sddl = identity_pipe_sddl();
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (sddl.empty() ||
      !ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
    why = "the identity pipe's security: " + win_error_text(GetLastError());
    return ChildPass::no_resources;
  }
  const UniqueLocal descriptor_owner(descriptor);
  SECURITY_ATTRIBUTES security{sizeof security, descriptor, FALSE};
  // One instance, inbound only, local only.
  const UniqueFile pipe(CreateNamedPipeW(pipe_name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_FIRST_PIPE_INSTANCE |
                                                                FILE_FLAG_OVERLAPPED,
                                         PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
                                         kDocumentPipeBytes, 0, &security));
  if (!pipe) {
    why = "CreateNamedPipe: " + win_error_text(GetLastError());
    return ChildPass::no_resources;
  }
  UniqueHandle own_job;
  if (!job) {
    DWORD job_error = 0;
    own_job = make_kill_job(job_error);
    if (!own_job) {
      why = "CreateJobObject: " + win_error_text(job_error);
      return ChildPass::no_resources;
    }
    job = own_job.get();
  }
  const UniqueHandle connected = make_event();
  if (!connected) {
    why = "CreateEvent: " + win_error_text(GetLastError());
    return ChildPass::no_resources;
  }

  std::wstring command = L"\"" + program + L"\" --fingerprint --to-pipe " + pipe_name;
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  // Suspended until it is in the job, so that no part of it runs outside the job.
  if (!CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED | CREATE_NO_WINDOW,
                      nullptr, nullptr, &si, &pi)) {
    why = "CreateProcess " + to_utf8(program) + ": " + win_error_text(GetLastError());
    return ChildPass::failed;
  }
  const UniqueHandle process(pi.hProcess), thread(pi.hThread);
  // Every way out from here on ends the child first.
  struct EndChild {
    HANDLE process;
    bool armed = true;
    ~EndChild() {
      if (!armed) return;
      TerminateProcess(process, 1);
      WaitForSingleObject(process, 5000);
    }
  } end_child{process.get()};
  if (!AssignProcessToJobObject(static_cast<HANDLE>(job), process.get())) {
    why = "AssignProcessToJobObject: " + win_error_text(GetLastError());
    return ChildPass::no_resources;
  }

  // The child connects, or ends without having done so. A client that is not the child is
  // disconnected before anything is read from it, and the wait goes on for the child, which
  // waits while the pipe is taken: such a client can delay the pass, never fail it.
  ULONG foreign = 0;  // the last such client
  const auto no_result = [&foreign, limit_ms] {
    return "no result within " + duration_text(limit_ms) +
           (foreign ? "; process " + std::to_string(foreign) + ", not the child, had taken the identity pipe" : "");
  };
  for (bool resumed = false;;) {
    OVERLAPPED connect{};
    connect.hEvent = connected.get();
    ResetEvent(connected.get());
    const BOOL connect_started = ConnectNamedPipe(pipe.get(), &connect);
    DWORD connect_error = connect_started ? 0 : GetLastError();
    if (!resumed) {
      ResumeThread(thread.get());
      resumed = true;
    }
    if (!connect_started && connect_error == ERROR_IO_PENDING) {
      // The cancel first: when it comes with the child's end (a job ended on close), the pass
      // was cancelled, not failed.
      const std::vector<HANDLE> waits = cancel ? std::vector<HANDLE>{cancel, connected.get(), process.get()}
                                               : std::vector<HANDLE>{connected.get(), process.get()};
      const DWORD waited = WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(), FALSE,
                                                  left_until(deadline));
      const HANDLE woke = waited - WAIT_OBJECT_0 < waits.size() ? waits[waited - WAIT_OBJECT_0] : nullptr;
      if (woke != connected.get()) {
        CancelIoEx(pipe.get(), &connect);
        DWORD ignored = 0;
        GetOverlappedResult(pipe.get(), &connect, &ignored, TRUE);
      }
      if (woke && woke == cancel) return ChildPass::stopped;
      if (woke == process.get()) {
        DWORD exit_code = 1;
        GetExitCodeProcess(process.get(), &exit_code);
        why = to_utf8(program) + " ended with exit code " + std::to_string(exit_code) + " before it wrote an identity";
        return ChildPass::failed;
      }
      if (!woke) {
        why = no_result();
        return ChildPass::timed_out;
      }
      DWORD ignored = 0;
      connect_error = GetOverlappedResult(pipe.get(), &connect, &ignored, FALSE) ? 0 : GetLastError();
    } else if (connect_error == ERROR_PIPE_CONNECTED) {
      connect_error = 0;
    }
    // ERROR_NO_DATA: a client came and went before the wait began (the child was suspended).
    if (connect_error != 0 && connect_error != ERROR_NO_DATA) {
      why = "ConnectNamedPipe: " + win_error_text(connect_error);
      return ChildPass::failed;
    }
    ULONG writer = 0;
    if (connect_error == 0 && !GetNamedPipeClientProcessId(pipe.get(), &writer)) {
      why = "GetNamedPipeClientProcessId: " + win_error_text(GetLastError());
      return ChildPass::failed;
    }
    if (connect_error == 0 && writer == pi.dwProcessId) break;
    foreign = writer;
    if (foreign_client) *foreign_client = true;
    DisconnectNamedPipe(pipe.get());
  }

  std::string text;
  const UniqueHandle read_event = make_event();
  if (!read_event) {
    why = "CreateEvent: " + win_error_text(GetLastError());
    return ChildPass::no_resources;
  }
  std::vector<char> chunk(64 * 1024);
  for (;;) {
    OVERLAPPED ov{};
    ov.hEvent = read_event.get();
    ResetEvent(read_event.get());
    DWORD got = 0, error = 0;
    const BOOL started = ReadFile(pipe.get(), chunk.data(), static_cast<DWORD>(chunk.size()), nullptr, &ov);
    const PipeWait end = finish(pipe.get(), ov, started, cancel, deadline, got, error);
    if (end == PipeWait::stopped) return ChildPass::stopped;
    if (end == PipeWait::timed_out) {
      why = no_result();
      return ChildPass::timed_out;
    }
    if (end == PipeWait::failed) {
      if (error == ERROR_BROKEN_PIPE) break;  // the child closed its end: the whole document is here
      why = "reading the identity: " + win_error_text(error);
      return ChildPass::failed;
    }
    text.append(chunk.data(), got);
    if (text.size() > kDocumentPipeBytes) {
      why = "the identity document is larger than " + std::to_string(kDocumentPipeBytes) + " bytes";
      return ChildPass::failed;
    }
  }

  const HANDLE waits[2] = {cancel, process.get()};
  const DWORD waited = cancel ? WaitForMultipleObjects(2, waits, FALSE, left_until(deadline))
                              : WaitForSingleObject(process.get(), left_until(deadline));
  if (cancel && waited == WAIT_OBJECT_0) return ChildPass::stopped;
  if (waited != (cancel ? WAIT_OBJECT_0 + 1 : WAIT_OBJECT_0)) {
    why = no_result();
    return ChildPass::timed_out;
  }
  end_child.armed = false;
  DWORD exit_code = 1;
  GetExitCodeProcess(process.get(), &exit_code);
  if (exit_code != 0) {
    why = to_utf8(program) + " ended with exit code " + std::to_string(exit_code);
    return ChildPass::failed;
  }
  if (!identity_from_document(parse_json(text.begin(), text.end()), identity)) {
    why = "no identity document from " + to_utf8(program);
    return ChildPass::failed;
  }
  return ChildPass::done;
}

ChildPass identity_on_own_thread(const std::function<DeviceIdentity()>& pass, unsigned long limit_ms,
                                 void* cancel_event, DeviceIdentity& identity, std::string& why) {
  const auto result = std::make_shared<DeviceIdentity>();
  const OwnThread thread([pass, result] { *result = pass(); });
  switch (thread.wait(limit_ms, cancel_event)) {
    case WaitEnd::done:
      identity = std::move(*result);
      return ChildPass::done;
    case WaitEnd::stopped:
      return ChildPass::stopped;
    case WaitEnd::timed_out:
      why = "no result within " + duration_text(limit_ms);
      return ChildPass::timed_out;
    case WaitEnd::failed:
      break;
  }
  why = "CreateThread: " + win_error_text(thread.error());
  return ChildPass::failed;
}

}  // namespace guardian
