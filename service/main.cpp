// main.cpp - qel-lua-service: the reference Lua 5.4 script service for QEL_ZMQ hosts.
// Parses the command line, then runs the supervisor that owns the public socket, or,
// started by a supervisor with the internal --worker flag, one of its worker processes.
#include "options.h"
#include "supervisor.h"
#include "worker_process.h"

int main(int argc, char** argv) {
    qel::ServiceOptions options;
    switch (qel::parseOptions(argc, argv, options)) {
    case qel::ParseOutcome::ExitSuccess:
        return 0;
    case qel::ParseOutcome::ExitFailure:
        return 2;
    case qel::ParseOutcome::Run:
        break;
    }
    return options.supervisor != 0 ? qel::runWorker(options) : qel::runSupervisor(options);
}
