// bench_util.h - pieces shared by the benchmark programs: timing and statistics,
// child processes that print their bound endpoint first, and the two clients that
// are compared: raw libzmq (the yardstick) and the library through its C interface.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>
#include <zmq.h>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double usSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// Keeps the optimiser from dropping work whose result is otherwise unused (a malloc,
// memcpy, free sequence is dead code to the compiler).
inline void keep(const void* p) {
    asm volatile("" : : "r"(p) : "memory");
}

double median(std::vector<double> values);
double percentile(std::vector<double> values, double fraction);

// Result of running two exchanges in alternating batches, A B A B ...
struct Comparison {
    double medianA = 0; // µs, over every A exchange
    double medianB = 0;
    double ratio = 0;               // median over the rounds of median(B batch) / median(A batch)
    double lowest = 0, highest = 0; // range of those per-round ratios
    int iterations = 0;             // per batch
};

// Warms both up, sizes the batches to about batchMs of A each, then runs `rounds`
// pairs of batches. quick runs one pair of two exchanges each.
Comparison compare(const std::function<void()>& a, const std::function<void()>& b, int rounds,
                   double batchMs, bool quick);

// True when this process may run on one CPU only (taskset -c N).
bool pinnedToOneCpu();

// Command-line flags of the form --name value, plus boolean --name.
class Args {
  public:
    Args(int argc, char** argv);
    std::string get(const std::string& name, const std::string& fallback = "") const;
    long number(const std::string& name, long fallback) const;
    bool flag(const std::string& name) const;

  private:
    std::vector<std::string> words_;
};

struct Endpoint {
    std::string text; // tcp://host:port
    std::string host;
    int port = 0;
};

// Splits "tcp://host:port"; throws std::runtime_error when that is not the shape.
Endpoint parseEndpoint(const std::string& text);

// A program started with its standard output on a pipe. Its first line (the endpoint
// it bound) is kept; later output is drained so the child never blocks writing it.
// The destructor stops the child by its PID: SIGTERM, a bounded wait, then SIGKILL.
class Child {
  public:
    explicit Child(const std::vector<std::string>& argv);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    const std::string& firstLine() const { return firstLine_; }
    pid_t pid() const { return pid_; }

  private:
    void stop();

    pid_t pid_ = -1;
    int out_ = -1;
    std::string firstLine_;
    std::thread drain_;
};

// Raw libzmq REQ client, set up like a library handle (own context, one I/O thread),
// doing the one copy that the library's interface requires and nothing else.
class RawClient {
  public:
    explicit RawClient(const std::string& endpoint);
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    // Sends the request, receives one reply, copies it into a fresh buffer of
    // size + 1 bytes and releases everything. Returns the reply size.
    std::size_t exchange(const char* request, std::size_t length);
    // As exchange, but hands the reply text back (for checking, not for timing).
    std::string fetch(const char* request, std::size_t length);

  private:
    void roundTrip(const char* request, std::size_t length, zmq_msg_t& reply);

    void* context_ = nullptr;
    void* socket_ = nullptr;
};

// A library handle, created and connected through the public interface.
class LibraryClient {
  public:
    explicit LibraryClient(const Endpoint& endpoint);
    ~LibraryClient();
    LibraryClient(const LibraryClient&) = delete;
    LibraryClient& operator=(const LibraryClient&) = delete;

    // executeLuaScriptQel followed by freeResult; throws when the call fails.
    void exchange(const char* script);
    std::string fetch(const char* script);

  private:
    void* handle_ = nullptr;
};

} // namespace bench
