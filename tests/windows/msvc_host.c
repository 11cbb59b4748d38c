/* msvc_host.c - a host built for the MSVC ABI (clang --target=x86_64-pc-windows-msvc,
 * linked by lld-link against the release's QEL_ZMQ.lib), as an MSVC user would build one.
 * No C runtime: the Windows SDK is not on this machine, so kernel32 is all it calls. */
#include "qel_zmq.h"

typedef void* HANDLE;
__declspec(dllimport) HANDLE __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(HANDLE file, const void* data, unsigned long size,
                                              unsigned long* written, void* overlapped);
__declspec(dllimport) char* __stdcall GetCommandLineA(void);
__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);

static void say(const char* text) {
    unsigned long length = 0, written = 0;
    while (text[length] != '\0')
        ++length;
    WriteFile(GetStdHandle((unsigned long)-11), text, length, &written, 0);
}

/* The port is the last word of the command line. */
static int portArgument(void) {
    const char* line = GetCommandLineA();
    const char* last = line;
    for (const char* p = line; *p != '\0'; ++p) {
        if (*p == ' ') last = p + 1;
    }
    int port = 0;
    for (; *last >= '0' && *last <= '9'; ++last)
        port = port * 10 + (*last - '0');
    return port;
}

void entry(void) {
    void* handle = createConnectionHandle();
    char* answer = 0;
    if (handle == 0 || connectToQelLuaService("127.0.0.1", portArgument(), handle) != 0 ||
        executeLuaScriptQel(&answer, "return 'msvc', 6*7", handle) != 0) {
        say("the library call failed\n");
        ExitProcess(1);
    }
    say(answer);
    say("\n");
    freeResult(answer);
    freeHandle(handle);
    ExitProcess(0);
}
