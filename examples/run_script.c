/* run_script.c - the smallest complete host: connect, run one script, print the answer.
 * Usage: qel_example_run HOST PORT SCRIPT. Shows the calling order and who frees what. */
#include <stdio.h>
#include <stdlib.h>

#include "qel_zmq.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s HOST PORT SCRIPT\n", argv[0]);
        return 2;
    }
    void* handle = createConnectionHandle();
    if (handle == NULL) {
        fprintf(stderr, "could not create a connection handle\n");
        return 2;
    }
    int status = 2;
    char* answer = NULL;
    if (connectToQelLuaService(argv[1], atoi(argv[2]), handle) != 0) {
        fprintf(stderr, "\ncould not connect to %s:%s\n", argv[1], argv[2]);
    } else if (executeLuaScriptQel(&answer, argv[3], handle) != 0) {
        fprintf(stderr, "the script could not be run\n");
    } else {
        printf("%s\n", answer);
        freeResult(answer); /* the answer belongs to us until we give it back */
        status = 0;
    }
    freeHandle(handle);
    return status;
}
