// service_process.h - starts qel-lua-service as a child process for tests and tools.
// The service announces its bound endpoint on the first line of its standard output;
// everything else it prints goes to a file that nobody has to drain.
#pragma once

#include <chrono>
#include <csignal>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

class ServiceProcess {
  public:
    // The qel-lua-service of this build, on a free loopback port, with ARGS.
    explicit ServiceProcess(const std::vector<std::string>& args = {});
    // Runs `program --bind bind args...` and waits (bounded) for the endpoint line.
    // Throws std::runtime_error when the service does not come up.
    ServiceProcess(const std::string& program, const std::vector<std::string>& args,
                   const std::string& bind = "tcp://127.0.0.1:*");
    // Stops the service if it still runs: SIGTERM, a bounded wait, then SIGKILL.
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    const std::string& endpoint() const { return endpoint_; }
    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    bool running();

    void signal(int sig) const;
    // Waits up to `limit` for the service to end. Returns its exit code, 128 + the
    // signal number when a signal ended it, or nothing while it still runs.
    std::optional<int> waitExit(std::chrono::milliseconds limit);
    // Sends sig and waits up to `limit`; the exit code as waitExit gives it. Past the
    // limit the service is killed and the result is empty.
    std::optional<int> stop(int sig = SIGTERM,
                            std::chrono::milliseconds limit = std::chrono::seconds(30));

  private:
    pid_t pid_ = -1;
    int output_ = -1;
    std::string endpoint_;
    int port_ = 0;
    std::optional<int> exitCode_;
};
