// The footprint baseline of the pipe benchmark: a bare Win32 program, one thread waiting on an
// event, built like the agent (static runtime) and linked with nothing else.
#include <windows.h>

int main() {
  const HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  WaitForSingleObject(never, INFINITE);
  return 0;
}
