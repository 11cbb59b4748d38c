// service_helpers.h - test helpers around the service's real processes: a raw ZeroMQ
// client with a receive time-out, a client through the library, and a runner for the
// qel-lua command line. The service itself is started by ServiceProcess.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include <zmq.hpp>

#include "service_process.h"

// A REQ socket with a receive time-out; nullopt when no answer came in time.
class RawClient {
  public:
    explicit RawClient(const std::string& endpoint, int timeoutMs = 10000);
    std::optional<std::string> ask(const std::vector<std::string>& parts);
    std::optional<std::string> ask(const std::string& script) {
        return ask(std::vector<std::string>{script});
    }

  private:
    zmq::context_t context_;
    zmq::socket_t socket_;
};

// The library used as a host uses it: one handle, blocking calls.
class LibraryClient {
  public:
    explicit LibraryClient(int port);
    ~LibraryClient();
    LibraryClient(const LibraryClient&) = delete;
    LibraryClient& operator=(const LibraryClient&) = delete;

    // The answer; "<call failed>" when executeLuaScriptQel returned -1.
    std::string run(const std::string& script);

  private:
    void* handle_;
};

struct ProgramResult {
    int exitCode = -1; // -1 when it had to be killed
    std::string out;
    std::string err;
};

// Runs program ARGS with the given standard input, for at most `wait`.
ProgramResult runProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::string& input,
                         std::chrono::milliseconds wait = std::chrono::seconds(20));

// A real Lua 5.4 binary chunk (bytecode) returning 1.
std::string bytecodeReturningOne();

// Sanitizers multiply a process's memory; bounds on it hold only without them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

// Memory of a process and all its descendants: proportional set sizes from /proc, so
// pages that the service's processes share are counted once.
std::size_t treeMemory(pid_t pid);
// CPU seconds a process has used so far (user and system), from /proc.
double cpuSeconds(pid_t pid);
