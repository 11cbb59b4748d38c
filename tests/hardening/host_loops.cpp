// host_loops.cpp - a host that churns through the library's whole life cycle, for
// running under valgrind: many create/connect/execute/free cycles, then many executes
// on one handle, all against a real qel-lua-service, with every answer checked.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "host.h"
#include "service_process.h"
#include "timing.h"

namespace {

// One exchange whose answer only this request can have; false on any mismatch.
bool exchange(void* handle, const std::string& tag) {
    const Exchange answer = execute(handle, ("return '" + tag + "'").c_str());
    return answer.status == 0 && answer.text() == tag;
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

    // Every handle goes through createConnectionHandle, connectToQelLuaService and
    // freeHandle (HandlePtr's deleter), as a host's would.
    auto start = Clock::now();
    for (long i = 0; i < cycles; ++i) {
        const HandlePtr handle = connectedHandle(service.port());
        if (!handle) {
            std::fprintf(stderr, "cycle %ld: no connected handle\n", i);
            return 1;
        }
        if (!exchange(handle.get(), "cycle " + std::to_string(i))) {
            std::fprintf(stderr, "cycle %ld: exchange failed\n", i);
            return 1;
        }
    }
    std::printf("host loops: %ld create/connect/execute/free cycles in %.1f s\n", cycles,
                secondsSince(start));

    start = Clock::now();
    const HandlePtr handle = connectedHandle(service.port());
    if (!handle) {
        std::fprintf(stderr, "no handle for the execute loop\n");
        return 1;
    }
    for (long i = 0; i < executes; ++i) {
        if (!exchange(handle.get(), "execute " + std::to_string(i))) {
            std::fprintf(stderr, "execute %ld: exchange failed\n", i);
            return 1;
        }
    }
    std::printf("host loops: %ld executes on one handle in %.1f s\n", executes,
                secondsSince(start));

    const std::optional<int> code = service.stop();
    if (code != 0) {
        std::fprintf(stderr, "service did not exit cleanly\n");
        return 1;
    }
    return 0;
}
