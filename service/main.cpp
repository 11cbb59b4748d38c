// main.cpp - qel-lua-service: the reference Lua 5.4 script service for QEL_ZMQ hosts.
// Parses the command line and hands over to the server.
#include "options.h"
#include "server.h"

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
    return qel::runServer(options);
}
