/* Asks the running agent for its device fingerprint and inventory ("specs"), and prints the
 * authenticated reply body. Build it beside the SDK's header and import library, for example
 *   x86_64-w64-mingw32-gcc -std=c99 -Iinclude example.c lib/ostrival_guardian_client.lib -o example.exe
 * and run it from the agent's installation folder, where the agent serves its clients. */
#include <stdio.h>

#include "guardian_client.h"

int main(void) {
  guardian_client* client = NULL;
  guardian_result result = guardian_client_open(NULL, &client);
  if (result == GUARDIAN_OK) {
    char* body = NULL;
    char* error_code = NULL;
    result = guardian_client_send(client, "specs", &body, &error_code);
    if (result == GUARDIAN_OK) printf("%s\n", body);
    if (result == GUARDIAN_NOT_OK) fprintf(stderr, "refused: %s\n", error_code);
    guardian_free(body);
    guardian_free(error_code);
    guardian_client_close(client);
  }
  if (result != GUARDIAN_OK) fprintf(stderr, "guardian %s: %s\n", guardian_version(), guardian_result_text(result));
  return result == GUARDIAN_OK ? 0 : 1;
}
