/* Test plug-in, in C: a DLL of a host application that uses the client library from its own
 * DllMain, as a plug-in that tidies up as it is unloaded would. plugin_start opens a client
 * and leaves a call of it waiting on another thread; the DLL's DLL_PROCESS_DETACH closes the
 * client, also at process exit, when ExitProcess has already ended that thread.
 *   plugin_start(storage, pipe, server_folder, mode): mode "call" loads the key and leaves a
 *   request to pipe waiting; mode "pass" leaves the key's identity pass running. Returns once
 *   the call is under way. At detach, writes "detach closed MS" to standard output. */
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "guardian_client.h"

static guardian_client* client = NULL;

static void say(const char* text) {
  DWORD wrote = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, (DWORD)strlen(text), &wrote, NULL);
}

static DWORD WINAPI pending_call(void* mode) {
  char* body = NULL;
  if (strcmp((const char*)mode, "pass") == 0) {
    guardian_client_load_key(client);
  } else {
    guardian_client_send(client, "ping", &body, NULL);
    guardian_free(body);
  }
  return 0;
}

__declspec(dllexport) int plugin_start(const wchar_t* storage, const wchar_t* pipe, const wchar_t* server_folder,
                                       const char* mode) {
  guardian_client_options options;
  HANDLE thread;
  memset(&options, 0, sizeof options);
  options.size = sizeof options;
  options.storage_folder = storage;
  options.pipe_name = pipe;
  options.server_folder = server_folder;
  options.timeout_ms = 120000;
  if (guardian_client_open(&options, &client) != GUARDIAN_OK) return 1;
  if (strcmp(mode, "call") == 0 && guardian_client_load_key(client) != GUARDIAN_OK) return 2;
  thread = CreateThread(NULL, 0, pending_call, (void*)mode, 0, NULL);
  if (!thread) return 3;
  /* The call is under way (or the pass, whose child starts at once) and will not end by itself. */
  if (WaitForSingleObject(thread, 1000) != WAIT_TIMEOUT) return 4;
  CloseHandle(thread);
  return 0;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void* reserved) {
  (void)instance;
  (void)reserved;
  if (reason == DLL_PROCESS_DETACH && client) {
    char line[64];
    ULONGLONG started = GetTickCount64();
    guardian_client_close(client);
    snprintf(line, sizeof line, "detach closed %lu\n", (unsigned long)(GetTickCount64() - started));
    say(line);
  }
  return TRUE;
}
