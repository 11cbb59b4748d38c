// service_process.h - starts qel-lua-service, or the benchmarks' peer, as a child process.
// Both announce their bound endpoint on the first line of standard output; everything
// else they print goes to a file that nobody has to drain.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

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
    // Stops the program if it still runs: SIGTERM, a bounded wait, then SIGKILL.
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

  private:
    pid_t pid_ = -1;
    int output_ = -1;
    std::string endpoint_;
    int port_ = 0;
    std::optional<int> exitCode_;
};
