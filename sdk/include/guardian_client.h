/* guardian_client.h: the Ostrival Guardian agent's local channel for the suite's applications.
 *
 * Link with the import library of ostrival_guardian_client.dll and load the DLL from the
 * agent's installation folder (a 32-bit application: the 32-bit DLL from its subfolder x86):
 * the client trusts the agent only when the agent runs from the folder the client trusts (see
 * server_folder below), and the agent serves only programs that run from its own folder or
 * below it. By default that folder is the DLL's own; the 32-bit DLL in a folder named x86
 * trusts the folder above it instead.
 *
 * The header is C99 and C++. Every function uses one calling convention (GUARDIAN_CALL:
 * __stdcall on 32-bit Windows, whose exports keep their undecorated names), returns plain C
 * types and never lets an exception out. Texts are UTF-8 and end in a NUL; paths and the pipe
 * name are UTF-16. What the library hands out (reply bodies, error codes, payloads, replies,
 * failure texts) is freed with guardian_free, never with the caller's free.
 *
 * Every call blocks its thread until it is done; a request waits at most its time limit for
 * the pipe and for each frame, and the first request of a client also waits for the device
 * identity (a few hundred milliseconds, two minutes at most), so keep them off a UI thread.
 * The option call_limit_ms bounds a whole call.
 *
 * One client may be used from any number of threads at once. The first request of a client
 * computes the device identity and reads the channel key; the identity pass runs the agent's
 * own executable, from the folder the client trusts, in a child process that inherits no
 * handle and runs in a job object that ends it with the client and with the process, so the
 * library never initialises COM or calls WMI in the caller's process. Loading the DLL starts
 * nothing: no thread, no COM.
 *
 * From DllMain (and from a destructor or an atexit handler of a DLL, which run under the same
 * loader lock) only guardian_client_open, guardian_client_cancel, guardian_client_close,
 * guardian_client_last_failure, guardian_result_text, guardian_version and guardian_free may
 * be called; every other call starts processes or threads, or loads libraries, and must not.
 * guardian_client_close there (or at process exit) does not wait for calls whose threads
 * no longer run or cannot run: it ends the identity child and leaves the client's memory. */
#ifndef GUARDIAN_CLIENT_H
#define GUARDIAN_CLIENT_H

#include <stddef.h> /* size_t, wchar_t, offsetof */
#include <stdint.h>

#include "guardian_client_version.h" /* GUARDIAN_CLIENT_VERSION_MAJOR, _MINOR, _PATCH, _TEXT */

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define GUARDIAN_CALL __stdcall
#else
#define GUARDIAN_CALL
#endif

/* What a call came to. guardian_result_text gives each one's short text. */
typedef enum guardian_result {
  GUARDIAN_OK = 0,               /* "ok": an authentic reply whose "ok" is true */
  GUARDIAN_NO_SERVER = 1,        /* "no_server": no agent serves the pipe, or it stayed busy */
  GUARDIAN_UNTRUSTED_SERVER = 2, /* "untrusted_server": the pipe's server does not run from the trusted folder */
  GUARDIAN_IO = 3,               /* "io": the request or the reply did not get through in time */
  GUARDIAN_BAD_JSON = 4,         /* "bad_json": a reply or a document that is not JSON (or not an object) */
  GUARDIAN_NO_KEY = 5,           /* "no_key": channel.bin missing or unreadable, or no device identity */
  GUARDIAN_NOT_AUTHENTIC = 6,    /* "not_authentic": a MAC, nonce or signature that does not verify */
  GUARDIAN_NOT_OK = 7,           /* "not_ok": an authentic reply whose "ok" is not true; the wire error code comes back */
  GUARDIAN_BAD_ARGUMENT = 8,     /* "bad_argument": a missing or malformed argument or option */
  GUARDIAN_CANCELLED = 9,        /* "cancelled": ended by guardian_client_cancel or guardian_client_close */
  GUARDIAN_INTERNAL = 10,        /* "internal": out of memory or another resource of the process */
  GUARDIAN_UNTRUSTED_CLIENT = 11, /* "untrusted_client": the agent refuses this application: it does not run from the agent's folder */
  GUARDIAN_ACCESS_DENIED = 12     /* "access_denied": the pipe refuses this process (a low-integrity or AppContainer process, say) */
} guardian_result;

/* Options flag: compute the device identity in this process, on a thread of the library's own,
 * instead of through the agent's executable. Only for a program of the suite that owns its
 * process: the pass initialises COM security for the whole process. */
#define GUARDIAN_IDENTITY_IN_PROCESS 0x1u

/* Options of guardian_client_open. Set size to sizeof(guardian_client_options) and every field
 * you do not use to zero (or NULL): zero means the default. A later version adds fields at the
 * end, so a program built against an older header keeps working: a record at least as large
 * as the first version's (GUARDIAN_CLIENT_OPTIONS_SIZE_V1) is accepted, the fields it lacks
 * count as zero, and a record larger than this version knows is accepted when the fields it
 * adds are zero. A size that ends inside a field is refused (GUARDIAN_BAD_ARGUMENT). */
typedef struct guardian_client_options {
  uint32_t size;
  uint32_t flags;                /* GUARDIAN_IDENTITY_IN_PROCESS, or 0 */
  uint32_t timeout_ms;           /* 0: 30000; the wait for a free pipe instance, and each frame each way */
  const wchar_t* pipe_name;      /* NULL: L"\\\\.\\pipe\\Ostrival.Guardian"; must begin with \\.\pipe\ */
  const wchar_t* server_folder;  /* NULL: the folder of the DLL (of the 32-bit DLL in a folder
                                    named x86: the folder above it); else a full path ("C:\...",
                                    "\\server\share\..."); the agent must run from inside it, and
                                    its ostrival_guardian.exe computes the device identity */
  const wchar_t* storage_folder; /* NULL: the agent's default storage folder; else a console agent's,
                                    a full path */
  /* Added after the first version: */
  uint32_t call_limit_ms;        /* 0: none; else the most a whole call takes, identity pass,
                                    key, pipe and reply together (the call then ends with the
                                    result of the step it was in: no_key, no_server or io) */
} guardian_client_options;

/* The size of the first version's record, the smallest that guardian_client_open takes. */
#define GUARDIAN_CLIENT_OPTIONS_SIZE_V1 offsetof(guardian_client_options, call_limit_ms)

typedef struct guardian_client guardian_client;

/* The library's version text, for example "1.2.4". */
const char* GUARDIAN_CALL guardian_version(void);

/* The short text of a result: "ok", "no_server", ...; "unknown" for another value. */
const char* GUARDIAN_CALL guardian_result_text(guardian_result result);

/* Opens a client; options may be NULL for every default. Nothing is sent or computed yet. */
guardian_result GUARDIAN_CALL guardian_client_open(const guardian_client_options* options,
                                                   guardian_client** client);

/* Computes the device identity and reads the channel key now, if the client has no key yet:
 * GUARDIAN_OK, GUARDIAN_NO_KEY, GUARDIAN_INTERNAL or GUARDIAN_CANCELLED. The identity pass
 * belongs to the client, not to a call: it runs on a thread of the library's own and ends with
 * the result, when the client is closed, or after 2 minutes. Every call that needs it meanwhile
 * waits for it and shares its result; a call that is cancelled or reaches its call_limit_ms
 * returns without ending it, and a later call finds it still running or its result. A failed
 * identity pass is remembered for 5 s: calls in that time return its result at once. */
guardian_result GUARDIAN_CALL guardian_client_load_key(guardian_client* client);

/* Sends one operation ("ping", "specs", "peer", ...) and verifies the reply. On GUARDIAN_OK and
 * GUARDIAN_NOT_OK, *body (when body is not NULL) receives the reply's authenticated body as
 * compact JSON text; on GUARDIAN_NOT_OK, *error_code (when not NULL) receives the wire error
 * code, such as "unknown_op". Both are NULL after any other result. Free them with guardian_free. */
guardian_result GUARDIAN_CALL guardian_client_send(guardian_client* client, const char* op, char** body,
                                                   char** error_code);

/* Ends every call of the client that is pending now (a call that has entered its function
 * counts), from any thread: they return GUARDIAN_CANCELLED. Calls begun afterwards are not
 * affected. Like every call on a client, it must not race guardian_client_close of the same
 * client (see there). */
void GUARDIAN_CALL guardian_client_cancel(guardian_client* client);

/* Cancels what is pending, waits until every call on the client has returned, and frees it.
 * The client must not be used afterwards. NULL is ignored. A call whose thread has ended (at
 * process exit) is not waited for, and the wait ends after 5 s in any case (a thread held by
 * the loader lock): the client's memory is then left as it is, and its identity child ended.
 * As with a handle, a client is closed once, and no call on it (guardian_client_cancel and a
 * second close included) may start once close may have begun: the calls already inside the
 * library are waited for, but one that enters as close frees the client uses freed memory. */
void GUARDIAN_CALL guardian_client_close(guardian_client* client);

/* Why the calling thread's last call on the client failed, for the application's own log: one
 * line of UTF-8 in *text, such as "CreateFile \\.\pipe\Ostrival.Guardian: Access is denied.
 * (0x00000005)" or "identity program: C:\...\ostrival_guardian.exe ended with exit code 2", or
 * an empty text when that call succeeded or there was none. GUARDIAN_OK, or
 * GUARDIAN_BAD_ARGUMENT / GUARDIAN_INTERNAL. */
guardian_result GUARDIAN_CALL guardian_client_last_failure(guardian_client* client, char** text);

/* A companion's side of the channel, with the client's key.
 * guardian_client_check_request: GUARDIAN_OK when mac is the request MAC of op and nonce (and
 * the nonce is 1 to 128 bytes), else GUARDIAN_NOT_AUTHENTIC (or GUARDIAN_NO_KEY).
 * guardian_client_make_reply: the reply envelope for a body (JSON object text) as compact JSON
 * text in *reply; its nonce is the request's, or a fresh one when the request's is empty or
 * longer than 128 bytes. */
guardian_result GUARDIAN_CALL guardian_client_check_request(guardian_client* client, const char* op,
                                                            const char* nonce, const char* mac);
guardian_result GUARDIAN_CALL guardian_client_make_reply(guardian_client* client, int ok, const char* nonce,
                                                         const char* body, char** reply);

/* Verifies a document signed by the suite's backend ({"payload": ..., "signature": Base64})
 * against the backend key built into the library. GUARDIAN_OK puts the payload's compact JSON
 * text in *payload; GUARDIAN_BAD_JSON and GUARDIAN_NOT_AUTHENTIC leave it NULL. */
guardian_result GUARDIAN_CALL guardian_verify_document(const char* document, char** payload);

/* Frees what the library handed out. NULL is ignored. */
void GUARDIAN_CALL guardian_free(void* memory);

#ifdef __cplusplus
}
#endif

#endif /* GUARDIAN_CLIENT_H */
