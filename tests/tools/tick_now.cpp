// Test tool: prints GetTickCount64(), the clock the racing tools wait on.
#include <windows.h>

#include <cstdio>

int main() {
  std::printf("%llu\n", static_cast<unsigned long long>(GetTickCount64()));
  return 0;
}
