// fault_test.cpp - faults seen through the library against the real service process:
// restarts, several endpoints, odd replies, a stuck worker and SIGTERM under load. Where
// a request must have been taken in before the fault, a DEALER sends it and sees that.
// Every wait is bounded; a call that never returns ends the test with a message.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "clients.h"
#include "host.h"
#include "peer.h"
#include "service_process.h"
#include "timing.h"

using namespace std::chrono_literals;

namespace {

// Ends the whole test program when a blocking call overruns its limit: a library call
// cannot be cancelled, and a hang must fail loudly rather than stall the suite.
class Watchdog {
  public:
    Watchdog(std::chrono::milliseconds limit, std::string what)
        : what_(std::move(what)), thread_([this, limit] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!done_.wait_for(lock, limit, [this] { return finished_; })) {
                  std::fprintf(stderr, "FAILED: no answer in time: %s\n", what_.c_str());
                  std::fflush(stderr);
                  std::_Exit(3);
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            finished_ = true;
        }
        done_.notify_all();
        thread_.join();
    }

  private:
    std::string what_;
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    std::thread thread_;
};

Exchange boundedExecute(void* handle, const std::string& script,
                        std::chrono::milliseconds limit = 20s) {
    Watchdog watchdog(limit, script.substr(0, 60));
    return execute(handle, script.c_str());
}

// A script that answers with a value only this request can have.
std::string uniqueScript(const std::string& tag) {
    return "return '" + tag + "'";
}

} // namespace

TEST(Restart, NextCallSucceedsAfterTheServiceComesBackOnTheSameEndpoint) {
    auto service = std::make_unique<ServiceProcess>();
    const std::string endpoint = service->endpoint();
    HandlePtr handle = connectedHandle(service->port());
    ASSERT_TRUE(handle);
    Exchange first = boundedExecute(handle.get(), uniqueScript("before"));
    ASSERT_EQ(first.status, 0);
    EXPECT_EQ(first.text(), "before");

    ASSERT_EQ(service->stop(), 0) << "service did not stop cleanly";
    service.reset();
    // The handle is left alone while nothing listens; ZeroMQ reconnects by itself.
    service = std::make_unique<ServiceProcess>(std::vector<std::string>{"--bind", endpoint});
    ASSERT_EQ(service->endpoint(), endpoint);

    for (int i = 0; i < 3; ++i) {
        const std::string tag = "after " + std::to_string(i);
        Exchange next = boundedExecute(handle.get(), uniqueScript(tag));
        ASSERT_EQ(next.status, 0);
        EXPECT_EQ(next.text(), tag);
    }
    EXPECT_EQ(service->stop(), 0);
}

TEST(TwoEndpoints, RequestsAreSpreadOverBothAndEachAnswerIsItsOwn) {
    ServiceProcess a;
    ServiceProcess b;
    HandlePtr handle = connectedHandle(a.port());
    ASSERT_TRUE(handle);
    ASSERT_EQ(connectToQelLuaService("127.0.0.1", b.port(), handle.get()), 0);

    // Each service keeps its Lua state between requests: the first request a service
    // sees names it, and every answer carries that name and the request's own number.
    std::vector<std::string> servedBy;
    constexpr int kRequests = 40;
    for (int k = 0; k < kRequests; ++k) {
        const std::string script = "if not served_by then served_by = 'service-" +
                                   std::to_string(k) + "' end return served_by .. '/' .. " +
                                   std::to_string(k);
        Exchange exchange = boundedExecute(handle.get(), script);
        ASSERT_EQ(exchange.status, 0);
        const std::string text = exchange.text();
        const std::size_t slash = text.find('/');
        ASSERT_NE(slash, std::string::npos) << text;
        EXPECT_EQ(text.substr(slash + 1), std::to_string(k)) << "answer of another request";
        servedBy.push_back(text.substr(0, slash));
    }
    // Round-robin: the two first requests named the two services, and from then on
    // the names alternate strictly.
    ASSERT_NE(servedBy[0], servedBy[1]) << "both first requests went to one service";
    for (int k = 2; k < kRequests; ++k)
        EXPECT_EQ(servedBy[k], servedBy[k % 2]) << "request " << k;
    EXPECT_EQ(a.stop(), 0);
    EXPECT_EQ(b.stop(), 0);
}

TEST(OddReplies, DocumentedResultsAndTheHandleStaysUsable) {
    const std::string big(std::size_t{64} << 20, 'R');
    TestPeer peer([&big](const std::string& request) -> TestPeer::Parts {
        if (request == "parts") return {"first", "second", "third"};
        if (request == "empty") return {""};
        if (request == "nul") return {std::string("before\0after", 12)};
        if (request == "nul parts") return {std::string("\0x", 2), "y"};
        if (request == "big") return {big};
        return {"echo:" + request};
    });
    HandlePtr handle = connectedHandle(peer.port());
    ASSERT_TRUE(handle);
    struct Row {
        const char* request;
        std::string expected;
    };
    const Row rows[] = {
        {"parts", "first"}, {"empty", ""}, {"nul", "before"},
        {"nul parts", ""},  {"big", big},  {"parts", "first"},
    };
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.request);
        // 64 MiB under ThreadSanitizer, next to another test, takes more than the default.
        Exchange exchange = boundedExecute(handle.get(), row.request, 60s);
        ASSERT_EQ(exchange.status, 0);
        EXPECT_EQ(std::strlen(exchange.result.get()), row.expected.size());
        EXPECT_TRUE(exchange.text() == row.expected);
        // Right after each odd reply the same handle pairs a plain request correctly.
        const std::string plain = "plain " + std::to_string(n++);
        Exchange next = boundedExecute(handle.get(), plain);
        ASSERT_EQ(next.status, 0);
        EXPECT_EQ(next.text(), "echo:" + plain);
    }
}

TEST(OddReplies, SixtyFourMebibyteAnswerFromTheService) {
    ServiceProcess service;
    HandlePtr handle = connectedHandle(service.port());
    ASSERT_TRUE(handle);
    Exchange big = boundedExecute(handle.get(), "return string.rep('ab', 32 * 1024 * 1024)", 60s);
    ASSERT_EQ(big.status, 0);
    const std::size_t size = std::strlen(big.result.get());
    ASSERT_EQ(size, std::size_t{64} << 20);
    bool pattern = true;
    for (std::size_t i = 0; i < size && pattern; ++i)
        pattern = big.result.get()[i] == "ab"[i % 2];
    EXPECT_TRUE(pattern) << "answer bytes differ";
    Exchange next = boundedExecute(handle.get(), uniqueScript("small again"));
    ASSERT_EQ(next.status, 0);
    EXPECT_EQ(next.text(), "small again");
    EXPECT_EQ(service.stop(), 0);
}

TEST(StuckWorker, OtherWorkersKeepAnsweringOtherClients) {
    ServiceProcess service({"--workers", "2", "--max-seconds", "4", "--max-instructions", "0",
                            "--max-request", kMarkLimit, "--verbose"});
    HandlePtr otherHandle = connectedHandle(service.port());
    ASSERT_TRUE(otherHandle);
    // Taken in while both workers are idle, the endless script runs at once.
    const std::string endless = "while true do end";
    DealerClient stuck(service.endpoint(), 60000);
    ASSERT_TRUE(stuck.sendTakenIn(endless));

    for (int i = 0; i < 20; ++i) {
        const std::string tag = "meanwhile " + std::to_string(i);
        Exchange exchange = boundedExecute(otherHandle.get(), uniqueScript(tag), 60s);
        ASSERT_EQ(exchange.status, 0);
        EXPECT_EQ(exchange.text(), tag);
    }
    // Had the long script been answered before the last of these, its line would be logged.
    for (const LoggedRequest& request : service.answered())
        EXPECT_NE(request.in, endless.size()) << "the long script ended before the others";

    const std::optional<std::string> answer = stuck.receive();
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->rfind("error: ", 0), 0u) << *answer;
    EXPECT_EQ(service.stop(), 0);
}

TEST(Shutdown, SigtermAnswersEveryRequestAlreadyQueued) {
    // Twelve clients each have one slow request taken in by the service (two running,
    // the rest queued) when SIGTERM arrives: all twelve must be answered, then exit 0.
    ServiceProcess service({"--workers", "2", "--max-request", kMarkLimit});
    constexpr int kClients = 12;
    const std::string slow = "local t = os.clock() while os.clock() - t < 0.15 do end return ";
    std::vector<std::unique_ptr<DealerClient>> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.push_back(std::make_unique<DealerClient>(service.endpoint(), 60000));
        ASSERT_TRUE(clients.back()->sendTakenIn(slow + std::to_string(c))) << "client " << c;
    }
    service.terminate();
    for (int c = 0; c < kClients; ++c)
        EXPECT_EQ(clients[c]->receive(), std::to_string(c)) << "client " << c;
    EXPECT_EQ(service.waitExit(30s), 0);
}

TEST(Shutdown, SigtermDuringLoadLosesNoAnswerAndExitsZero) {
    // The clients run in a forked child (this process has no other thread now), since
    // requests sent after the service stopped taking new ones are never answered and
    // their calls block. The child reports each send and each answer on a pipe.
    ServiceProcess service({"--workers", "2", "--verbose"});
    constexpr int kClients = 8;
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipefd[0]);
        std::mutex writeLock;
        auto report = [&](const std::string& line) {
            std::lock_guard<std::mutex> lock(writeLock);
            (void)!write(pipefd[1], line.data(), line.size());
        };
        std::vector<std::thread> clients;
        for (int c = 0; c < kClients; ++c) {
            clients.emplace_back([&, c] {
                HandlePtr handle = connectedHandle(service.port());
                for (int n = 0; handle && n < 100000; ++n) {
                    const std::string id = std::to_string(c) + "." + std::to_string(n);
                    report("S " + id + "\n");
                    Exchange exchange = execute(handle.get(), uniqueScript(id).c_str());
                    report((exchange.status == 0 && exchange.text() == id ? "A " : "X ") + id +
                           "\n");
                }
            });
        }
        for (std::thread& client : clients)
            client.join();
        _exit(0);
    }
    close(pipefd[1]);

    // Reads the child's lines until `done` holds, the child's end closes or `limit` passes.
    std::string log;
    auto readUntil = [&](const std::function<bool()>& done, std::chrono::milliseconds limit) {
        const auto deadline = Clock::now() + limit;
        while (!done()) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return false;
            pollfd ready{pipefd[0], POLLIN, 0};
            if (poll(&ready, 1, static_cast<int>(left.count())) <= 0) continue;
            char buffer[4096];
            const ssize_t n = read(pipefd[0], buffer, sizeof buffer);
            if (n <= 0) return done();
            log.append(buffer, static_cast<std::size_t>(n));
        }
        return true;
    };
    auto answers = [&] {
        std::size_t count = 0;
        for (std::size_t p = log.find("A "); p != std::string::npos; p = log.find("\nA ", p + 1))
            ++count;
        return count;
    };
    // Each client ends up in a call that is never answered, the one it made after the
    // service stopped taking requests: then its last line is a send.
    auto allWaiting = [&] {
        std::vector<char> last(kClients, 0);
        std::istringstream lines(log);
        for (std::string line; std::getline(lines, line) && !lines.eof();) {
            const int client = std::atoi(line.c_str() + 2);
            if (line.size() > 2 && client >= 0 && client < kClients) last[client] = line[0];
        }
        return std::count(last.begin(), last.end(), 'S') == kClients;
    };
    ASSERT_TRUE(readUntil([&] { return answers() >= 500; }, 30s)) << "load did not get going";

    service.terminate();
    const std::optional<int> exitCode = service.waitExit(30s);
    // Then every answer the service logged has arrived, and each client waits.
    const std::size_t served = service.answered().size();
    EXPECT_TRUE(readUntil([&] { return answers() == served && allWaiting(); }, 30s))
        << answers() << " of " << served << " answers arrived";
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    readUntil([] { return false; }, 5s); // to the end of what the child wrote
    close(pipefd[0]);

    EXPECT_EQ(exitCode, 0);
    std::istringstream lines(log);
    std::string kind, id;
    std::size_t sent = 0, ok = 0, wrong = 0;
    while (lines >> kind >> id) {
        if (kind == "S") ++sent;
        if (kind == "A") ++ok;
        if (kind == "X") ++wrong;
    }
    EXPECT_EQ(wrong, 0u) << "a call failed or got another request's answer";
    // Each client has exactly one request without an answer: the one it sent after the
    // service had stopped taking requests.
    EXPECT_EQ(sent - ok, static_cast<std::size_t>(kClients));
    std::printf("sigterm under load: %zu sent, %zu answered\n", sent, ok);
}
