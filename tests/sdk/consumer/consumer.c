/* A program of another toolchain's, built against the SDK alone: with clang for the MSVC
 * target and linked by lld-link with the SDK's import library, without any C runtime (its entry
 * point is consumer_start), and with MinGW through the SDK's CMake package file. It calls the
 * library through its header and exits with 0 when every answer is the one the header gives. */
#include "guardian_client.h"

static int same(const char* a, const char* b) {
  while (*a && *a == *b) ++a, ++b;
  return *a == *b;
}

int consumer_start(void) {
  guardian_client* client = 0;
  guardian_client_options options = {0};
  char* text = 0;
  if (!same(guardian_version(), GUARDIAN_CLIENT_VERSION_TEXT)) return 10;
  if (!same(guardian_result_text(GUARDIAN_UNTRUSTED_CLIENT), "untrusted_client")) return 11;
  if (GUARDIAN_CLIENT_VERSION < 1000000L) return 12;
  options.size = GUARDIAN_CLIENT_OPTIONS_SIZE_V1; /* an application of the first version */
  if (guardian_client_open(&options, &client) != GUARDIAN_OK) return 13;
  if (guardian_client_last_failure(client, &text) != GUARDIAN_OK || !text || text[0] != 0) return 14;
  guardian_free(text);
  guardian_client_close(client);
  return 0;
}

#ifdef __MINGW32__
int main(void) { return consumer_start(); }
#endif
