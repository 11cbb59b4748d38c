/* dll_host.c - a Windows host that loads QEL_ZMQ.dll at run time, the way hosts
 * written in other languages do: LoadLibrary and GetProcAddress, no import library.
 * It runs one Lua script against a service and prints the answer. */
#include <windows.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include "qel_zmq.h"

typedef void* (*create_fn)(void);
typedef void (*free_handle_fn)(void*);
typedef int (*connect_fn)(const char*, const int, void*);
typedef int (*execute_fn)(char**, const char*, void*);
typedef void (*free_result_fn)(char*);

/* The typedefs must match the header's declarations, or this host would call the
 * DLL with the wrong signature without any diagnostic. _Generic does not evaluate
 * its operand, so nothing here needs the import library. */
#define SAME_TYPE(fn, type) _Generic(&(fn), type : 1, default : 0)
_Static_assert(SAME_TYPE(createConnectionHandle, create_fn), "createConnectionHandle");
_Static_assert(SAME_TYPE(freeHandle, free_handle_fn), "freeHandle");
_Static_assert(SAME_TYPE(connectToQelLuaService, connect_fn), "connectToQelLuaService");
_Static_assert(SAME_TYPE(executeLuaScriptQel, execute_fn), "executeLuaScriptQel");
_Static_assert(SAME_TYPE(freeResult, free_result_fn), "freeResult");

/* FARPROC is a generic function pointer; passing through void (*)(void) tells the
 * compiler the conversion is intended. */
static void (*lookup(HMODULE dll, const char* name))(void) {
    void (*fn)(void) = (void (*)(void))GetProcAddress(dll, name);
    if (fn == NULL) fprintf(stderr, "QEL_ZMQ.dll does not export %s\n", name);
    return fn;
}

int main(int argc, char** argv) {
    const char* dll_path = argc > 4 ? argv[4] : "QEL_ZMQ.dll";
    if (argc < 4 || argc > 5) {
        fprintf(stderr, "usage: %s HOST PORT SCRIPT [DLL]\n", argv[0]);
        return 2;
    }
    char* end = NULL;
    errno = 0;
    const long port = strtol(argv[2], &end, 10);
    if (errno != 0 || end == argv[2] || *end != '\0' || port < 0 || port > 65535) {
        fprintf(stderr, "invalid port: %s\n", argv[2]);
        return 2;
    }

    HMODULE dll = LoadLibraryA(dll_path);
    if (dll == NULL) {
        fprintf(stderr, "cannot load %s (error %lu)\n", dll_path, (unsigned long)GetLastError());
        return 2;
    }
    create_fn create_handle = (create_fn)lookup(dll, "createConnectionHandle");
    free_handle_fn free_handle = (free_handle_fn)lookup(dll, "freeHandle");
    connect_fn connect_to = (connect_fn)lookup(dll, "connectToQelLuaService");
    execute_fn execute = (execute_fn)lookup(dll, "executeLuaScriptQel");
    free_result_fn free_result = (free_result_fn)lookup(dll, "freeResult");
    if (!create_handle || !free_handle || !connect_to || !execute || !free_result) {
        FreeLibrary(dll);
        return 2;
    }

    int status = 1;
    void* handle = create_handle();
    if (handle == NULL) {
        fprintf(stderr, "createConnectionHandle failed\n");
    } else if (connect_to(argv[1], (int)port, handle) != 0) {
        fprintf(stderr, "\nconnectToQelLuaService failed\n");
    } else {
        char* answer = NULL;
        if (execute(&answer, argv[3], handle) == 0) {
            printf("%s\n", answer);
            free_result(answer);
            status = 0;
        } else {
            fprintf(stderr, "executeLuaScriptQel failed\n");
        }
    }
    free_handle(handle);
    FreeLibrary(dll);
    return status;
}
