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
 * STORAGE is the agent's storage folder. */
#include <windows.h>
#include <objbase.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "guardian_client.h"

static wchar_t storage[1024];

static guardian_client* open_client(const wchar_t* pipe, uint32_t timeout_ms) {
  guardian_client_options options;
  guardian_client* client = NULL;
  guardian_result result;
  memset(&options, 0, sizeof options);
  options.size = sizeof options;
  options.storage_folder = storage;
  options.pipe_name = pipe;
  options.timeout_ms = timeout_ms;
  result = guardian_client_open(&options, &client);
  if (result != GUARDIAN_OK) {
    printf("open %s\n", guardian_result_text(result));
    exit(3);
  }
  return client;
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
