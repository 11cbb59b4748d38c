// bench_util.cpp - timing, statistics, child processes and the two compared clients
// used by every benchmark program.
#include "bench_util.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>
#include <zmq.h>

#include "qel_zmq.h"

extern char** environ;

namespace bench {

double median(std::vector<double> values) {
    return percentile(std::move(values), 0.5);
}

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0.0;
    const auto rank = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(rank),
                     values.end());
    return values[rank];
}

namespace {
std::vector<double> batch(int iterations, const std::function<void()>& exchange) {
    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(iterations));
    for (int i = 0; i < iterations; ++i) {
        const auto start = Clock::now();
        exchange();
        times.push_back(usSince(start));
    }
    return times;
}
} // namespace

Comparison compare(const std::function<void()>& a, const std::function<void()>& b, int rounds,
                   double batchMs, bool quick) {
    Comparison result;
    const std::vector<double> warm = batch(quick ? 1 : 5, a);
    batch(quick ? 1 : 5, b);
    result.iterations =
        quick ? 2 : std::max(5, std::min(5000, static_cast<int>(1000.0 * batchMs / median(warm))));
    if (quick) rounds = 1;

    std::vector<double> allA, allB, ratios;
    for (int round = 0; round < rounds; ++round) {
        const std::vector<double> timesA = batch(result.iterations, a);
        const std::vector<double> timesB = batch(result.iterations, b);
        allA.insert(allA.end(), timesA.begin(), timesA.end());
        allB.insert(allB.end(), timesB.begin(), timesB.end());
        ratios.push_back(median(timesB) / median(timesA));
    }
    result.medianA = median(allA);
    result.medianB = median(allB);
    result.ratio = median(ratios);
    result.lowest = *std::min_element(ratios.begin(), ratios.end());
    result.highest = *std::max_element(ratios.begin(), ratios.end());
    return result;
}

bool pinnedToOneCpu() {
    cpu_set_t set;
    CPU_ZERO(&set);
    return sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) == 1;
}

Args::Args(int argc, char** argv) : words_(argv + 1, argv + argc) {}

std::string Args::get(const std::string& name, const std::string& fallback) const {
    for (std::size_t i = 0; i + 1 < words_.size(); ++i) {
        if (words_[i] == "--" + name) return words_[i + 1];
    }
    return fallback;
}

long Args::number(const std::string& name, long fallback) const {
    const std::string text = get(name);
    return text.empty() ? fallback : std::stol(text);
}

bool Args::flag(const std::string& name) const {
    return std::find(words_.begin(), words_.end(), "--" + name) != words_.end();
}

Endpoint parseEndpoint(const std::string& text) {
    const std::string scheme = "tcp://";
    const std::size_t colon = text.rfind(':');
    if (text.compare(0, scheme.size(), scheme) != 0 || colon == std::string::npos ||
        colon <= scheme.size()) {
        throw std::runtime_error("not a tcp endpoint: '" + text + "'");
    }
    Endpoint endpoint;
    endpoint.text = text;
    endpoint.host = text.substr(scheme.size(), colon - scheme.size());
    endpoint.port = std::stoi(text.substr(colon + 1));
    return endpoint;
}

Child::Child(const std::vector<std::string>& argv) {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    std::vector<char*> args;
    for (const std::string& word : argv)
        args.push_back(const_cast<char*>(word.c_str()));
    args.push_back(nullptr);
    const int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    out_ = fds[0];
    if (rc != 0) {
        close(out_);
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    }

    // The first line may take a while when the child loads a runtime; give it 10 s.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    char c = 0;
    while (Clock::now() < deadline) {
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        if (read(out_, &c, 1) != 1 || c == '\n') break;
        firstLine_ += c;
    }
    if (c != '\n') {
        stop();
        throw std::runtime_error(argv[0] + " printed no endpoint");
    }
    drain_ = std::thread([fd = out_] {
        char buffer[4096];
        while (read(fd, buffer, sizeof buffer) > 0) {
        }
    });
}

Child::~Child() {
    stop();
}

void Child::stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (Clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        pid_ = -1;
    }
    // The child is gone, so the drain thread sees end of file and returns.
    if (drain_.joinable()) drain_.join();
    if (out_ >= 0) close(out_);
    out_ = -1;
}

namespace {
[[noreturn]] void zmqFailure(const char* what) {
    throw std::runtime_error(std::string(what) + ": " + zmq_strerror(zmq_errno()));
}
} // namespace

RawClient::RawClient(const std::string& endpoint) {
    context_ = zmq_ctx_new();
    if (context_ == nullptr) zmqFailure("zmq_ctx_new");
    zmq_ctx_set(context_, ZMQ_IO_THREADS, 1);
    socket_ = zmq_socket(context_, ZMQ_REQ);
    if (socket_ == nullptr) zmqFailure("zmq_socket");
    if (zmq_connect(socket_, endpoint.c_str()) != 0) zmqFailure("zmq_connect");
}

RawClient::~RawClient() {
    if (socket_ != nullptr) zmq_close(socket_);
    if (context_ != nullptr) zmq_ctx_destroy(context_);
}

// Sends the request and receives the reply into `reply`, which the caller closes.
void RawClient::roundTrip(const char* request, std::size_t length, zmq_msg_t& reply) {
    if (zmq_send(socket_, request, length, 0) < 0) zmqFailure("zmq_send");
    zmq_msg_init(&reply);
    if (zmq_msg_recv(&reply, socket_, 0) < 0) {
        zmq_msg_close(&reply);
        zmqFailure("zmq_msg_recv");
    }
}

std::size_t RawClient::exchange(const char* request, std::size_t length) {
    zmq_msg_t reply;
    roundTrip(request, length, reply);
    const std::size_t size = zmq_msg_size(&reply);
    char* copy = static_cast<char*>(std::malloc(size + 1));
    if (copy == nullptr) {
        zmq_msg_close(&reply);
        throw std::bad_alloc();
    }
    std::memcpy(copy, zmq_msg_data(&reply), size);
    copy[size] = '\0';
    keep(copy);
    std::free(copy);
    zmq_msg_close(&reply);
    return size;
}

std::string RawClient::fetch(const char* request, std::size_t length) {
    zmq_msg_t reply;
    roundTrip(request, length, reply);
    std::string text(static_cast<const char*>(zmq_msg_data(&reply)), zmq_msg_size(&reply));
    zmq_msg_close(&reply);
    return text;
}

LibraryClient::LibraryClient(const Endpoint& endpoint) {
    handle_ = createConnectionHandle();
    if (handle_ == nullptr) throw std::runtime_error("createConnectionHandle failed");
    if (connectToQelLuaService(endpoint.host.c_str(), endpoint.port, handle_) != 0) {
        freeHandle(handle_);
        throw std::runtime_error("connectToQelLuaService failed for " + endpoint.text);
    }
}

LibraryClient::~LibraryClient() {
    freeHandle(handle_);
}

void LibraryClient::exchange(const char* script) {
    char* result = nullptr;
    if (executeLuaScriptQel(&result, script, handle_) != 0) {
        throw std::runtime_error("executeLuaScriptQel failed");
    }
    keep(result);
    freeResult(result);
}

std::string LibraryClient::fetch(const char* script) {
    char* result = nullptr;
    if (executeLuaScriptQel(&result, script, handle_) != 0) {
        throw std::runtime_error("executeLuaScriptQel failed");
    }
    std::string text(result);
    freeResult(result);
    return text;
}

} // namespace bench
