// service_process.h - starts qel-lua-service, or the benchmarks' peer, as a child process.
// Both announce their bound endpoint on the first line of standard output; everything
// else they print goes to files that nobody has to drain, and what the service logs to
// standard error (one line per request with --verbose) is there for tests to wait on.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// One line of the service's --verbose log: a request answered, with its sizes.
struct LoggedRequest {
    std::size_t in = 0;
    std::size_t out = 0;
    bool ok = false;
};

class ServiceProcess {
  public:
#ifdef QEL_LUA_SERVICE
    // The qel-lua-service of this build, with ARGS.
    explicit ServiceProcess(const std::vector<std::string>& args = {});
#endif
    // Runs `program --bind tcp://127.0.0.1:* args...`, or `program args...` when ARGS
    // name their own --bind, and waits (bounded) for the endpoint line. Throws
    // std::runtime_error when the program does not come up.
    ServiceProcess(const std::string& program, std::vector<std::string> args);
    // Stops the program if it still runs: SIGTERM, a bounded wait, then SIGKILL. What it
    // wrote to standard error (its last 256 KiB) is passed on to the test's own then.
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    const std::string& endpoint() const {
        return endpoint_;
    }
    int port() const {
        return port_;
    }
    pid_t pid() const {
        return pid_;
    }
    bool running();

    // Sends SIGTERM and returns at once.
    void terminate() const;
    // Waits up to `limit` for the program to end. Returns its exit code, 128 + the
    // signal number when a signal ended it, or nothing while it still runs.
    std::optional<int> waitExit(std::chrono::milliseconds limit);
    // SIGTERM and a wait of up to `limit`; the exit code as waitExit gives it. Past the
    // limit the program is killed and the result is empty.
    std::optional<int> stop(std::chrono::milliseconds limit = std::chrono::seconds(30));

    // Everything the program and its workers have written to standard error so far, or
    // what they wrote from byte `from` on: a wait for a line still to come reads only
    // what came after logSize() said how much there was.
    std::string log(std::size_t from = 0) const;
    std::size_t logSize() const;
    // The requests its --verbose log says were answered, in the order they were. The
    // supervisor writes each line as it hands the answer over, before it turns to the next
    // request: so once an answer has arrived, the lines of all answers given before it
    // are here, and a line that is missing is of a request answered later.
    std::vector<LoggedRequest> answered() const;

  private:
    pid_t pid_ = -1;
    int output_ = -1;
    int errors_ = -1;
    std::string endpoint_;
    int port_ = 0;
    std::optional<int> exitCode_;
};
