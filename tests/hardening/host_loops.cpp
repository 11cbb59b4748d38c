// host_loops.cpp - a host that churns through the library's whole life cycle, for
// running under valgrind: many create/connect/execute/free cycles, then many executes
// on one handle, all against a real qel-lua-service, with every answer checked.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qel_zmq.h"
#include "service_process.h"

namespace {

// One exchange whose answer only this request can have; false on any mismatch.
bool exchange(void* handle, const std::string& tag) {
    const std::string script = "return '" + tag + "'";
    char* answer = nullptr;
    if (executeLuaScriptQel(&answer, script.c_str(), handle) != 0) return false;
    const bool same = tag == answer;
    freeResult(answer);
    return same;
}

double since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: qel_host_loops SERVICE-PROGRAM CYCLES EXECUTES\n");
        return 2;
    }
    const long cycles = std::atol(argv[2]);
    const long executes = std::atol(argv[3]);
    ServiceProcess service(argv[1], {"--workers", "2"});

    auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < cycles; ++i) {
        void* handle = createConnectionHandle();
        if (handle == nullptr) {
            std::fprintf(stderr, "cycle %ld: no handle\n", i);
            return 1;
        }
        if (connectToQelLuaService("127.0.0.1", service.port(), handle) != 0 ||
            !exchange(handle, "cycle " + std::to_string(i))) {
            std::fprintf(stderr, "cycle %ld: exchange failed\n", i);
            freeHandle(handle);
            return 1;
        }
        freeHandle(handle);
    }
    std::printf("host loops: %ld create/connect/execute/free cycles in %.1f s\n", cycles,
                since(start));

    start = std::chrono::steady_clock::now();
    void* handle = createConnectionHandle();
    if (handle == nullptr || connectToQelLuaService("127.0.0.1", service.port(), handle) != 0) {
        std::fprintf(stderr, "no handle for the execute loop\n");
        freeHandle(handle);
        return 1;
    }
    for (long i = 0; i < executes; ++i) {
        if (!exchange(handle, "execute " + std::to_string(i))) {
            std::fprintf(stderr, "execute %ld: exchange failed\n", i);
            freeHandle(handle);
            return 1;
        }
    }
    freeHandle(handle);
    std::printf("host loops: %ld executes on one handle in %.1f s\n", executes, since(start));

    const std::optional<int> code = service.stop();
    if (code != 0) {
        std::fprintf(stderr, "service did not exit cleanly\n");
        return 1;
    }
    return 0;
}
