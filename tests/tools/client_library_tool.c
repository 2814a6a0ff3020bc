/* Test tool, in C: the client library used the way an application uses it, through its header
 * and its import library only. Every command prints one line per outcome.
 *   loaded                        "loaded com HRESULT": COM on this thread once the library is loaded
 *   ops STORAGE                   "OP RESULT ERROR_CODE BODY" for ping, specs, peer and an unknown op
 *   threads STORAGE N M           N threads share one client and send M requests each:
 *                                 "threads ok=X failed=Y first=RESULT"
 *   one STORAGE OP TIMEOUT_MS     the key first, then one timed request: "RESULT MS"
 *   cancel STORAGE PIPE           a request to PIPE (whose server never answers) cancelled from
 *                                 this thread after 500 ms: "cancel RESULT MS" (MS from the cancel)
 *   sta STORAGE                   in a single-threaded apartment: "sta RESULT before=T after=T security=HRESULT"
 *   rekey STORAGE                 "first RESULT", waits for a line on standard input, "second RESULT"
 *   passes STORAGE FOLDER N       N threads need the key of one client at once, its identity program
 *                                 from FOLDER: "pass RESULT MS" each, then four calls one after the
 *                                 other: "after RESULT MS" each, then "failure TEXT"
 *   refused STORAGE FOLDER        two requests to an agent in FOLDER that does not serve this
 *                                 program: "refused RESULT MS" each, then "failure TEXT"
 *   limit STORAGE PIPE MS         a client's first request (its key, then PIPE, whose server never
 *                                 answers) with a limit of MS for the whole call and 30 s for each
 *                                 step: "limit RESULT MS", then "failure TEXT"
 *   background STORAGE FOLDER MS WAIT
 *                                 the identity pass outlives the calls that give up on it: one
 *                                 client's call with a limit of MS ("limit RESULT MS", "failure
 *                                 TEXT"), another's cancelled after MS ("cancelled RESULT"); after
 *                                 WAIT ms, one call on each ("again RESULT MS", "failure TEXT")
 *   reuse STORAGE                 a thread's call fails, then threads are made until one has that
 *                                 thread's id: "reuse N [TEXT]" with its last failure, or "reuse none"
 *   exit-pending STORAGE PIPE FOLDER MODE
 *                                 a plug-in (library_plugin.dll) leaves a call waiting ("call": on
 *                                 PIPE; "pass": the identity pass of FOLDER's program), and the
 *                                 program returns from main; the plug-in closes its client as
 *                                 it is unloaded at exit: "exiting", then the plug-in's line
 * STORAGE is the agent's storage folder; FOLDER is "-" for the default (the DLL's). */
#include <windows.h>
#include <objbase.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "guardian_client.h"

static wchar_t storage[1024];
static wchar_t folder[1024];

static guardian_client* open_limited(const wchar_t* pipe, uint32_t timeout_ms, uint32_t call_limit_ms) {
  guardian_client_options options;
  guardian_client* client = NULL;
  guardian_result result;
  memset(&options, 0, sizeof options);
  options.size = sizeof options;
  options.storage_folder = storage;
  options.pipe_name = pipe;
  options.timeout_ms = timeout_ms;
  options.server_folder = folder[0] ? folder : NULL;
  options.call_limit_ms = call_limit_ms;
  result = guardian_client_open(&options, &client);
  if (result != GUARDIAN_OK) {
    printf("open %s\n", guardian_result_text(result));
    exit(3);
  }
  return client;
}

static guardian_client* open_client(const wchar_t* pipe, uint32_t timeout_ms) {
  return open_limited(pipe, timeout_ms, 0);
}

static double now_ms(void) {
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return (double)count.QuadPart * 1000.0 / (double)frequency.QuadPart;
}

static guardian_result send_op(guardian_client* client, const char* op, int print) {
  char* body = NULL;
  char* error_code = NULL;
  guardian_result result = guardian_client_send(client, op, &body, &error_code);
  if (print) printf("%s %s %s %s\n", op, guardian_result_text(result), error_code ? error_code : "-", body ? body : "-");
  guardian_free(body);
  guardian_free(error_code);
  return result;
}

struct Worker {
  guardian_client* client;
  int requests;
  int ok;
  guardian_result first_failure;
};

static DWORD WINAPI work(void* argument) {
  static const char* const ops[3] = {"ping", "peer", "specs"};
  struct Worker* worker = (struct Worker*)argument;
  int i;
  for (i = 0; i < worker->requests; ++i) {
    guardian_result result = send_op(worker->client, ops[i % 3], 0);
    if (result == GUARDIAN_OK) {
      ++worker->ok;
    } else if (worker->first_failure == GUARDIAN_OK) {
      worker->first_failure = result;
    }
  }
  return 0;
}

static int run_threads(int n, int m) {
  guardian_client* client = open_client(NULL, 0);
  struct Worker workers[64];
  HANDLE threads[64];
  int i, ok = 0, failed = 0;
  guardian_result first = GUARDIAN_OK;
  if (n < 1 || n > 64) return 2;
  for (i = 0; i < n; ++i) {
    workers[i].client = client;
    workers[i].requests = m;
    workers[i].ok = 0;
    workers[i].first_failure = GUARDIAN_OK;
    threads[i] = CreateThread(NULL, 0, work, &workers[i], 0, NULL);
  }
  WaitForMultipleObjects((DWORD)n, threads, TRUE, INFINITE);
  for (i = 0; i < n; ++i) {
    CloseHandle(threads[i]);
    ok += workers[i].ok;
    failed += m - workers[i].ok;
    if (first == GUARDIAN_OK) first = workers[i].first_failure;
  }
  guardian_client_close(client);
  printf("threads ok=%d failed=%d first=%s\n", ok, failed, guardian_result_text(first));
  return 0;
}

struct Pending {
  guardian_client* client;
  guardian_result result;
};

static DWORD WINAPI send_pending(void* argument) {
  struct Pending* pending = (struct Pending*)argument;
  pending->result = send_op(pending->client, "ping", 0);
  return 0;
}

static int run_cancel(const wchar_t* pipe) {
  struct Pending pending;
  HANDLE thread;
  double cancelled_at;
  pending.client = open_client(pipe, 0);
  pending.result = GUARDIAN_OK;
  if (guardian_client_load_key(pending.client) != GUARDIAN_OK) {
    printf("cancel no_key\n");
    return 0;
  }
  thread = CreateThread(NULL, 0, send_pending, &pending, 0, NULL);
  if (WaitForSingleObject(thread, 500) == WAIT_OBJECT_0) {
    printf("cancel ended-early %s\n", guardian_result_text(pending.result));
    return 0;
  }
  cancelled_at = now_ms();
  guardian_client_cancel(pending.client);
  WaitForSingleObject(thread, INFINITE);
  printf("cancel %s %.0f\n", guardian_result_text(pending.result), now_ms() - cancelled_at);
  CloseHandle(thread);
  guardian_client_close(pending.client);
  return 0;
}

static const char* apartment(void) {
  APTTYPE type;
  APTTYPEQUALIFIER qualifier;
  HRESULT hr = CoGetApartmentType(&type, &qualifier);
  if (hr == CO_E_NOTINITIALIZED) return "none";
  if (FAILED(hr)) return "error";
  switch (type) {
    case APTTYPE_STA: return "sta";
    case APTTYPE_MAINSTA: return "mainsta";
    case APTTYPE_MTA: return "mta";
    case APTTYPE_NA: return "na";
    default: return "other";
  }
}

static int run_sta(void) {
  guardian_client* client;
  const char* before;
  guardian_result result = GUARDIAN_OK;
  HRESULT security;
  int i;
  CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
  before = apartment();
  client = open_client(NULL, 0);
  for (i = 0; i < 3 && result == GUARDIAN_OK; ++i) result = send_op(client, i == 1 ? "specs" : "ping", 0);
  guardian_client_close(client);
  /* The process's COM security is still the host's to set. */
  security = CoInitializeSecurity(NULL, -1, NULL, NULL, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE, NULL,
                                  EOAC_NONE, NULL);
  printf("sta %s before=%s after=%s security=0x%08lx\n", guardian_result_text(result), before, apartment(),
         (unsigned long)security);
  CoUninitialize();
  return 0;
}

static void print_failure(guardian_client* client) {
  char* text = NULL;
  guardian_client_last_failure(client, &text);
  printf("failure %s\n", text ? text : "(none)");
  guardian_free(text);
}

struct Needs {
  guardian_client* client;
  HANDLE go;
  guardian_result result;
  double ms;
};

static DWORD WINAPI need_key(void* argument) {
  struct Needs* needs = (struct Needs*)argument;
  double started;
  WaitForSingleObject(needs->go, INFINITE);
  started = now_ms();
  needs->result = guardian_client_load_key(needs->client);
  needs->ms = now_ms() - started;
  return 0;
}

static int run_passes(int n) {
  guardian_client* client = open_client(NULL, 0);
  struct Needs needs[16];
  HANDLE threads[16];
  HANDLE go = CreateEventW(NULL, TRUE, FALSE, NULL);
  int i;
  if (n < 1 || n > 16) return 2;
  for (i = 0; i < n; ++i) {
    needs[i].client = client;
    needs[i].go = go;
    threads[i] = CreateThread(NULL, 0, need_key, &needs[i], 0, NULL);
  }
  SetEvent(go);
  WaitForMultipleObjects((DWORD)n, threads, TRUE, INFINITE);
  for (i = 0; i < n; ++i) {
    printf("pass %s %.0f\n", guardian_result_text(needs[i].result), needs[i].ms);
    CloseHandle(threads[i]);
  }
  for (i = 0; i < 4; ++i) {
    double started = now_ms();
    guardian_result result = guardian_client_load_key(client);
    printf("after %s %.0f\n", guardian_result_text(result), now_ms() - started);
  }
  print_failure(client);
  guardian_client_close(client);
  return 0;
}

static int run_background(uint32_t ms, DWORD wait) {
  guardian_client* clients[2];
  struct Pending pending;
  HANDLE thread;
  guardian_result result;
  double started;
  int i;
  clients[0] = open_limited(NULL, 0, ms);
  clients[1] = open_client(NULL, 0);
  started = now_ms();
  result = guardian_client_load_key(clients[0]);
  printf("limit %s %.0f\n", guardian_result_text(result), now_ms() - started);
  print_failure(clients[0]);
  pending.client = clients[1];
  thread = CreateThread(NULL, 0, send_pending, &pending, 0, NULL);
  Sleep(ms);
  guardian_client_cancel(clients[1]);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  printf("cancelled %s\n", guardian_result_text(pending.result));
  Sleep(wait);
  for (i = 0; i < 2; ++i) {
    started = now_ms();
    result = guardian_client_load_key(clients[i]);
    printf("again %s %.0f\n", guardian_result_text(result), now_ms() - started);
    print_failure(clients[i]);
    guardian_client_close(clients[i]);
  }
  return 0;
}

static guardian_client* reused;
static DWORD failed_thread;

/* The first thread's call fails; a later one that has its id prints its last failure. */
static DWORD WINAPI fail_or_read(void* argument) {
  char* text = NULL;
  if (!argument) failed_thread = GetCurrentThreadId();
  if (!argument) return send_op(reused, "ping", 0) == GUARDIAN_OK;
  if (GetCurrentThreadId() != failed_thread) return 0;
  guardian_client_last_failure(reused, &text);
  printf("reuse %d [%s]\n", *(int*)argument, text ? text : "");
  guardian_free(text);
  return 1;
}

static int run_reuse(void) {
  DWORD found = 0;
  int i;
  reused = open_client(L"\\\\.\\pipe\\Ostrival.Test.None", 0);
  for (i = 0; i <= 2000 && !found; ++i) {
    HANDLE thread = CreateThread(NULL, 0, fail_or_read, i ? &i : NULL, 0, NULL);
    WaitForSingleObject(thread, INFINITE);
    if (i) GetExitCodeThread(thread, &found);
    CloseHandle(thread);
  }
  if (!found) printf("reuse none\n");
  guardian_client_close(reused);
  return 0;
}

static int run_exit_pending(const wchar_t* pipe, const char* mode) {
  typedef int(__cdecl * Start)(const wchar_t*, const wchar_t*, const wchar_t*, const char*);
  HMODULE plugin = LoadLibraryW(L"library_plugin.dll");
  Start start = plugin ? (Start)(void*)GetProcAddress(plugin, "plugin_start") : NULL;
  int started;
  if (!start) {
    printf("no plug-in %lu\n", (unsigned long)GetLastError());
    return 2;
  }
  started = start(storage, pipe, folder[0] ? folder : NULL, mode);
  if (started != 0) {
    printf("plug-in %d\n", started);
    return 2;
  }
  printf("exiting\n");
  return 0; /* the C runtime calls ExitProcess: every other thread ends, then the plug-in's DllMain runs */
}

int main(int argc, char** argv) {
  const char* command = argc > 1 ? argv[1] : "";
  setvbuf(stdout, NULL, _IONBF, 0);
  if (strcmp(command, "loaded") == 0) {
    APTTYPE type;
    APTTYPEQUALIFIER qualifier;
    printf("loaded com 0x%08lx\n", (unsigned long)CoGetApartmentType(&type, &qualifier));
    return 0;
  }
  if (argc < 3 || !MultiByteToWideChar(CP_UTF8, 0, argv[2], -1, storage, 1024)) return 2;
  if (strcmp(command, "passes") == 0 || strcmp(command, "refused") == 0 || strcmp(command, "exit-pending") == 0 ||
      strcmp(command, "background") == 0) {
    const char* given = strcmp(command, "exit-pending") == 0 ? (argc > 4 ? argv[4] : "-") : (argc > 3 ? argv[3] : "-");
    if (strcmp(given, "-") != 0 && !MultiByteToWideChar(CP_UTF8, 0, given, -1, folder, 1024)) return 2;
  }
  if (strcmp(command, "passes") == 0 && argc > 4) return run_passes(atoi(argv[4]));
  if (strcmp(command, "background") == 0 && argc > 5)
    return run_background((uint32_t)strtoul(argv[4], NULL, 10), (DWORD)strtoul(argv[5], NULL, 10));
  if (strcmp(command, "reuse") == 0) return run_reuse();
  if (strcmp(command, "refused") == 0) {
    guardian_client* client = open_client(NULL, 0);
    int i;
    for (i = 0; i < 2; ++i) {
      double started = now_ms();
      guardian_result result = send_op(client, "ping", 0);
      printf("refused %s %.0f\n", guardian_result_text(result), now_ms() - started);
    }
    print_failure(client);
    guardian_client_close(client);
    return 0;
  }
  if ((strcmp(command, "limit") == 0 || strcmp(command, "exit-pending") == 0) && argc > 4) {
    wchar_t pipe[256];
    if (!MultiByteToWideChar(CP_UTF8, 0, argv[3], -1, pipe, 256)) return 2;
    if (strcmp(command, "exit-pending") == 0) return argc > 5 ? run_exit_pending(pipe, argv[5]) : 2;
    {
      guardian_client* client = open_limited(pipe, 30000, (uint32_t)strtoul(argv[4], NULL, 10));
      double started = now_ms();
      guardian_result result = send_op(client, "ping", 0); /* the key first, within the same limit */
      printf("limit %s %.0f\n", guardian_result_text(result), now_ms() - started);
      print_failure(client);
      guardian_client_close(client);
      return 0;
    }
  }
  if (strcmp(command, "ops") == 0) {
    guardian_client* client = open_client(NULL, 0);
    send_op(client, "ping", 1);
    send_op(client, "specs", 1);
    send_op(client, "peer", 1);
    send_op(client, "no_such_op", 1);
    guardian_client_close(client);
    return 0;
  }
  if (strcmp(command, "threads") == 0 && argc > 4) return run_threads(atoi(argv[3]), atoi(argv[4]));
  if (strcmp(command, "one") == 0 && argc > 4) {
    guardian_client* client = open_client(NULL, (uint32_t)strtoul(argv[4], NULL, 10));
    double started;
    guardian_result result;
    guardian_client_load_key(client);
    started = now_ms();
    result = send_op(client, argv[3], 0);
    printf("%s %.0f\n", guardian_result_text(result), now_ms() - started);
    guardian_client_close(client);
    return 0;
  }
  if (strcmp(command, "cancel") == 0 && argc > 3) {
    wchar_t pipe[256];
    if (!MultiByteToWideChar(CP_UTF8, 0, argv[3], -1, pipe, 256)) return 2;
    return run_cancel(pipe);
  }
  if (strcmp(command, "sta") == 0) return run_sta();
  if (strcmp(command, "rekey") == 0) {
    guardian_client* client = open_client(NULL, 0);
    char line[16];
    printf("first %s\n", guardian_result_text(send_op(client, "ping", 0)));
    if (!fgets(line, sizeof line, stdin)) return 2;
    printf("second %s\n", guardian_result_text(send_op(client, "ping", 0)));
    guardian_client_close(client);
    return 0;
  }
  return 2;
}
