// processes.h - running a command-line program to its end, what /proc says about a
// running process (the memory of its whole tree, the CPU time it and its workers have
// used, the descriptors it holds), and one HTTP GET of what a service serves.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

class ServiceProcess;

struct ProgramResult {
    int exitCode = -1; // -1 when it had to be killed
    std::string out;
    std::string err;
};

// Runs program ARGS with the given standard input, for at most 20 seconds.
ProgramResult runProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::string& input);

// Memory of a process and all its descendants: proportional set sizes, so pages that
// the service's processes share are counted once.
std::size_t treeMemory(pid_t pid);
// The children of a process (of its main thread, which starts a service's workers).
std::vector<pid_t> childrenOf(pid_t pid);
// CPU seconds a process has used so far (user and system).
double cpuSeconds(pid_t pid);
// The same for a process and its descendants that still run.
double treeCpuSeconds(pid_t pid);
// The numbers of the descriptors the process has open.
std::vector<int> openDescriptors(pid_t pid);

// The whole response, head and body, to `GET path HTTP/1.0` on 127.0.0.1:port, waiting
// at most 10 seconds for each read; empty when the connection failed.
std::string httpGet(int port, const std::string& path);
// The port of the --metrics listener that a service started with port 0 logged, or 0
// when it has not logged one within `seconds`.
int loggedMetricsPort(const ServiceProcess& service, int seconds = 30);

// Which of a service's workers run something: one that runs Lua uses CPU all the time,
// an idle one none. Counts from the moment it is made; a worker started later counts
// from its start.
class WorkerCpu {
  public:
    explicit WorkerCpu(pid_t service);
    // Workers that have used at least `seconds` of CPU since then (a few clock ticks by
    // default: more than an idle worker's housekeeping, less than a loaded machine
    // gives a running one in a moment).
    int busy(double seconds = 0.03) const;

  private:
    pid_t service_;
    std::map<pid_t, double> start_;
};
