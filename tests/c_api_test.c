/* c_api_test.c - the public header compiled as C99, and the interface used from C.
 * Checks the calls a C host makes that need no peer: NULL handling and teardown. */
#include <stdio.h>

#include "qel_zmq.h"

static int failures = 0;

static void check(int ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "FAILED: %s\n", what);
        ++failures;
    }
}

int main(void) {
    void* handle = createConnectionHandle();
    char* result = NULL;
    check(handle != NULL, "createConnectionHandle gives a handle");
    check(connectToQelLuaService("127.0.0.1", 5555, NULL) == -1, "connect with NULL handle");
    check(connectToQelLuaService(NULL, 5555, handle) == -1, "connect with NULL host");
    check(executeLuaScriptQel(&result, "return 1", NULL) == -1, "execute with NULL handle");
    check(executeLuaScriptQel(NULL, "return 1", handle) == -1, "execute with NULL result slot");
    check(result == NULL, "failed calls leave the result slot alone");
    /* Connecting where nothing listens is accepted: ZeroMQ connects in the background. */
    check(connectToQelLuaService("127.0.0.1", 9, handle) == 0, "connect to a quiet port");
    freeResult(NULL);
    freeHandle(NULL);
    freeHandle(handle);
    printf("%d passed, %d failed\n", 7 - failures, failures);
    return failures == 0 ? 0 : 1;
}
