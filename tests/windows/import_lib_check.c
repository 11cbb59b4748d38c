/* import_lib_check.c - a host linked against the pick-up folder's QEL_ZMQ.lib and
 * qel_zmq.h, as a Windows developer would build one; it must load the shipped DLL
 * and get the documented results from calls that need no service. */
#include <stdio.h>

#include "qel_zmq.h"

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fprintf(stderr, "failed: %s\n", #cond);                                                \
            return 1;                                                                              \
        }                                                                                          \
    } while (0)

int main(void) {
    void* handle = createConnectionHandle();
    CHECK(handle != NULL);
    /* ZeroMQ connects in the background: nothing needs to listen on the port. */
    CHECK(connectToQelLuaService("127.0.0.1", 1, handle) == 0);
    CHECK(connectToQelLuaService(NULL, 1, handle) == -1);
    char* result = NULL;
    CHECK(executeLuaScriptQel(&result, NULL, handle) == -1);
    CHECK(result == NULL);
    freeResult(NULL);
    freeHandle(handle);
    freeHandle(NULL);
    puts("import library ok");
    return 0;
}
