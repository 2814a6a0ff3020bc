#pragma once
// Who serves a pipe name. A server must be the only one on its name: clients reach any
// instance of a name, so two servers would split its clients between them at random.
#include <string>

namespace guardian {

struct PipeServerInfo {
  bool served = false;
  unsigned long pid = 0;  // 0 when it could not be found
  std::wstring image;     // the server's executable, empty when it could not be found
};

// Opens the name as a client, as any client would, and asks who serves it. The connection is
// closed at once without a request, which a server takes as a client that went away. A name
// counts as served whenever it exists, even when every instance is busy or the server refuses
// this process.
PipeServerInfo find_pipe_server(const std::wstring& pipe_name);

// Empty when no other process serves the name; otherwise one line for the log, e.g.
// "pipe \\.\pipe\X is already served by process 1234 (C:\...\x.exe)".
std::string pipe_taken_by_another_process(const std::wstring& pipe_name);

}  // namespace guardian
