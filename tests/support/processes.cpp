// processes.cpp - runProgram over pipes and posix_spawn, and the /proc readers.
// Every wait is bounded; a program that overstays is killed by its PID.
#include "processes.h"
#include "service_process.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include "timing.h"

extern char** environ;

namespace {

// Long enough for a sanitizer build of the service or command line to start and answer.
constexpr auto kProgramLimit = std::chrono::seconds(20);

int remainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

std::vector<char*> argvOf(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    return argv;
}

} // namespace

ProgramResult runProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::string& input) {
    ProgramResult result;
    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
        posix_spawn_file_actions_addclose(&actions, fd);
    }
    std::vector<char*> argv = argvOf(program, args);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (spawned != 0) {
        close(in[1]);
        close(out[0]);
        close(err[0]);
        return result;
    }
    // Inputs in tests are small: they fit in the pipe without a reader.
    (void)!write(in[1], input.data(), input.size());
    close(in[1]);

    const auto deadline = Clock::now() + kProgramLimit;
    pollfd items[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0 && Clock::now() < deadline) {
        if (poll(items, 2, remainingMs(deadline)) <= 0) break;
        for (int i = 0; i < 2; ++i) {
            if (items[i].fd < 0 || items[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t n = read(items[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else {
                close(items[i].fd);
                items[i].fd = -1;
                --open;
            }
        }
    }
    for (const pollfd& item : items) {
        if (item.fd >= 0) close(item.fd);
    }
    int status = 0;
    pid_t done = 0;
    waitUntil([&] { return (done = waitpid(pid, &status, WNOHANG)) != 0; },
              std::chrono::milliseconds(remainingMs(deadline)));
    if (done != pid) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    } else if (WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    }
    return result;
}

std::size_t treeMemory(pid_t pid) {
    std::size_t total = 0;
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    for (std::string key; rollup >> key;) {
        if (key == "Pss:") {
            std::size_t kib = 0;
            rollup >> kib;
            total += kib << 10;
            break;
        }
        rollup.ignore(4096, '\n');
    }
    for (pid_t child : childrenOf(pid))
        total += treeMemory(child);
    return total;
}

std::vector<pid_t> childrenOf(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) +
                       "/children");
    std::vector<pid_t> children;
    for (pid_t child; file >> child;)
        children.push_back(child);
    return children;
}

double cpuSeconds(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::size_t end = stat.rfind(')');
    if (end == std::string::npos) return 0;
    std::istringstream fields(stat.substr(end + 2));
    std::string field;
    double ticks = 0;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i >= 14) ticks += std::stod(field);
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double treeCpuSeconds(pid_t pid) {
    double total = cpuSeconds(pid);
    std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) +
                           "/children");
    for (pid_t child; children >> child;)
        total += treeCpuSeconds(child);
    return total;
}

std::vector<int> openDescriptors(pid_t pid) {
    std::vector<int> fds;
    DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (dir == nullptr) return fds;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') fds.push_back(std::atoi(entry->d_name));
    }
    closedir(dir);
    return fds;
}

WorkerCpu::WorkerCpu(pid_t service) : service_(service) {
    for (pid_t worker : childrenOf(service_))
        start_[worker] = cpuSeconds(worker);
}

int WorkerCpu::busy(double seconds) const {
    int count = 0;
    for (pid_t worker : childrenOf(service_)) {
        const auto known = start_.find(worker);
        const double since = known == start_.end() ? 0.0 : known->second;
        if (cpuSeconds(worker) - since >= seconds) ++count;
    }
    return count;
}

std::string httpGet(int port, const std::string& path) {
    std::string response;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return response;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const timeval wait{10, 0};
    const std::string get = "GET " + path + " HTTP/1.0\r\n\r\n";
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) == 0 &&
        connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        send(fd, get.data(), get.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(get.size())) {
        // HTTP/1.0: the server closes the connection once the body is sent.
        char buffer[4096];
        for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
            response.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return response;
}

int loggedMetricsPort(const ServiceProcess& service, int seconds) {
    const std::string marker = "metrics on http://127.0.0.1:";
    int port = 0;
    auto logged = [&] {
        const std::string log = service.log();
        const std::size_t at = log.find(marker);
        if (at != std::string::npos) port = std::atoi(log.c_str() + at + marker.size());
        return at != std::string::npos;
    };
    waitUntil(logged, std::chrono::seconds(seconds), std::chrono::milliseconds(10));
    return port;
}
