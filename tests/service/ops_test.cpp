// ops_test.cpp - the service as an operator runs it: the readiness and stopping
// notifications a service manager waits for, on a datagram socket the test owns, and
// the JSON log a collector parses (with Python's own parser, not ours), the metrics a
// scraper reads, held to what the clients saw, from a library loaded only for them, and
// a reload under load.
#include <atomic>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <map>
#include <netinet/in.h>
#include <optional>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "clients.h"
#include "log.h"
#include "processes.h"
#include "service_process.h"
#include "timing.h"

namespace {

// A datagram socket bound as a service manager binds NOTIFY_SOCKET: a path in a fresh
// directory, or a name in the abstract namespace ('@' in the variable).
class ManagerSocket {
  public:
    explicit ManagerSocket(bool abstract) {
        char dir[] = "/tmp/qel_notifyXXXXXX";
        if (mkdtemp(dir) == nullptr) return;
        dir_ = dir;
        const std::string path = dir_ + "/notify";
        name_ = abstract ? "@" + path : path;
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path + (abstract ? 1 : 0), path.size());
        // An abstract name is exactly its bytes, with no terminating zero.
        const auto length = static_cast<socklen_t>(
            abstract ? offsetof(sockaddr_un, sun_path) + 1 + path.size() : sizeof address);
        const timeval wait{30, 0}; // bounded: a start under a sanitizer is slow
        if (fd_ < 0 || setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0 ||
            bind(fd_, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
            name_.clear();
        }
    }
    ~ManagerSocket() {
        if (fd_ >= 0) close(fd_);
        if (!dir_.empty()) {
            unlink((dir_ + "/notify").c_str());
            rmdir(dir_.c_str());
        }
    }
    const std::string& name() const { return name_; }
    std::optional<std::string> next() const {
        char buffer[4096];
        const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0) return std::nullopt;
        return std::string(buffer, static_cast<std::size_t>(n));
    }
    // The next message that is not a watchdog ping, counting the pings passed over.
    std::optional<std::string> nextBesidesPings(int& pings) const {
        for (int i = 0; i < 100000; ++i) {
            auto message = next();
            if (!message || *message != "WATCHDOG=1") return message;
            ++pings;
        }
        return std::nullopt;
    }

  private:
    int fd_ = -1;
    std::string dir_;
    std::string name_;
};

} // namespace

// With WATCHDOG_USEC, the loop pings between the two; without it, never.
TEST(Ops, ReadyOnceItServesAndStoppingWhenAStopStarts) {
    const struct {
        bool abstract;
        const char* watchdogUsec;
    } rows[] = {{false, nullptr}, {true, "100000"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.abstract ? "abstract name, watchdog" : "path");
        ManagerSocket manager(row.abstract);
        ASSERT_FALSE(manager.name().empty());
        setenv("NOTIFY_SOCKET", manager.name().c_str(), 1);
        if (row.watchdogUsec != nullptr) setenv("WATCHDOG_USEC", row.watchdogUsec, 1);
        ServiceProcess service({"--workers", "2"});
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");

        int pings = 0;
        const auto ready = manager.nextBesidesPings(pings);
        ASSERT_TRUE(ready);
        EXPECT_NE(ready->find("READY=1\n"), std::string::npos) << *ready;
        EXPECT_NE(ready->find("STATUS=serving on " + service.endpoint() + ": 2 workers"),
                  std::string::npos)
            << *ready;
        // Ready means a request is answered by a worker already running.
        EXPECT_EQ(RawClient(service.endpoint()).ask("return 6 * 7"), "42");

        if (row.watchdogUsec != nullptr) {
            // The loop goes on pinging once it serves (bounded by the socket's timeout);
            // workers that are ready at once leave it no ping before READY=1.
            const auto ping = manager.next();
            EXPECT_EQ(ping, "WATCHDOG=1");
            if (ping == "WATCHDOG=1") ++pings;
        }
        service.terminate();
        const auto stopping = manager.nextBesidesPings(pings);
        ASSERT_TRUE(stopping);
        EXPECT_EQ(stopping->rfind("STOPPING=1\nSTATUS=", 0), 0u) << *stopping;
        EXPECT_EQ(service.waitExit(std::chrono::seconds(30)), 0);
        EXPECT_EQ(pings > 0, row.watchdogUsec != nullptr);
    }
}

// The escapes that keep any bytes a line: quotes, backslash, control characters, and
// bytes that are not UTF-8 (a lone continuation, a truncated or overlong sequence, a
// surrogate) replaced, while valid multi-byte characters pass unchanged.
TEST(Ops, JsonStringsAreEscapedWhateverTheBytes) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"plain", "\"plain\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {std::string("\n\t\x01\x7f", 4) + std::string(1, '\0'),
         "\"\\u000a\\u0009\\u0001\\u007f\\u0000\""},
        {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\""},
        {"\x80x\xc3", "\"\\ufffdx\\ufffd\""},
        {"\xc0\xaf\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\""},
    };
    for (const auto& c : cases) {
        std::string out;
        qel::appendJsonString(out, c.in);
        EXPECT_EQ(out, c.out);
    }
}

// Every line the supervisor writes parses as an object with the keys a collector relies
// on, and the request lines say what each client got.
TEST(Ops, JsonLogLinesParseAndSayEachOutcome) {
    if (std::string(QEL_PYTHON3).find("NOTFOUND") != std::string::npos)
        GTEST_SKIP() << "python3 is not installed";
    ServiceProcess service({"--verbose", "--log-format", "json", "--max-seconds", "0.2",
                            "--max-request", "1k", "--allow", "127.0.0.0/8"});
    const struct {
        std::string script;
        const char* outcome;
    } requests[] = {
        {"return 1", "ok"},
        {"error('bad')", "script_error"},
        {"while true do end", "time_limit"},
        {"return '" + std::string(2000, 'x') + "'", "too_large"},
    };
    RawClient client(service.endpoint());
    std::string expected;
    for (const auto& r : requests) {
        ASSERT_TRUE(client.ask(r.script)) << r.script;
        expected += std::string(r.outcome) + "\n";
    }
    ASSERT_EQ(service.stop(), 0);

    // Prints each request line's outcome, and fails on any line that is not an object
    // with the common keys, or a request line without its own.
    const std::string check = R"(
import json, sys
events = []
for line in sys.stdin:
    o = json.loads(line)
    assert isinstance(o, dict) and {"time", "event", "message"} <= o.keys(), line
    events.append(o["event"])
    if o["event"] == "request":
        assert {"peer", "in", "out", "duration_seconds", "outcome"} <= o.keys(), line
        assert ("worker" in o) == (o["outcome"] != "too_large"), line
        print(o["outcome"])
assert events[0] == "connection" or events[0] == "start", events
assert events[-2:] == ["stopping", "stop"], events
)";
    const ProgramResult parsed = runProgram(QEL_PYTHON3, {"-c", check}, service.log());
    EXPECT_EQ(parsed.exitCode, 0) << parsed.err << service.log();
    EXPECT_EQ(parsed.out, expected);
}

namespace {

// GET /metrics: each sample line's series and value; empty when the scrape failed.
std::map<std::string, double> scrape(int port) {
    std::map<std::string, double> series;
    const std::string response = httpGet(port, "/metrics");
    if (response.rfind("HTTP/1.0 200", 0) != 0 && response.rfind("HTTP/1.1 200", 0) != 0)
        return series;
    std::istringstream body(response.substr(response.find("\r\n\r\n") + 4));
    for (std::string line; std::getline(body, line);) {
        if (line.empty() || line[0] == '#') continue;
        const std::size_t space = line.rfind(' ');
        series[line.substr(0, space)] = std::stod(line.substr(space + 1));
    }
    return series;
}

// The path of the first file mapped into process `pid` whose path contains `name`
// ("" when none is); nothing when its maps cannot be read.
std::optional<std::string> mappedFile(pid_t pid, const std::string& name) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    if (!maps) return std::nullopt;
    bool any = false;
    for (std::string line; std::getline(maps, line);) {
        any = true;
        const std::size_t path = line.find('/');
        if (path != std::string::npos && line.find(name, path) != std::string::npos)
            return line.substr(path);
    }
    if (!any) return std::nullopt;
    return std::string();
}

} // namespace

// A scrape after a small load counts exactly what the clients got, outcome by outcome,
// and a request that ran past its limit cost its worker a replacement.
TEST(Ops, MetricsCountWhatTheClientsSaw) {
    ServiceProcess service({"--workers", "2", "--max-seconds", "0.2", "--max-request", "1k",
                            "--metrics", "127.0.0.1:0"});
    const int port = loggedMetricsPort(service);
    ASSERT_NE(port, 0);
    // Loaded for the listener (the check that it is not without --metrics can fail).
    EXPECT_NE(mappedFile(service.pid(), "/libmicrohttpd.so"), std::string());
    const std::map<std::string, double> before = scrape(port);
    ASSERT_FALSE(before.empty());
    EXPECT_EQ(before.at("qel_workers{state=\"idle\"}"), 2);
    EXPECT_EQ(before.at("qel_reload_generation"), 0);

    // Rows of requests; each client counts what it got back.
    const struct {
        std::string script;
        const char* outcome;
        int times;
    } load[] = {
        {"return 'ok'", "ok", 40},
        {"error('no')", "script_error", 7},
        {"while true do end", "time_limit", 2},
        {"return '" + std::string(2000, 'x') + "'", "too_large", 3},
    };
    std::map<std::string, int> seen;
    std::atomic<int> answered{0};
    auto clients = std::async(std::launch::async, [&] {
        RawClient client(service.endpoint());
        for (const auto& row : load) {
            for (int i = 0; i < row.times; ++i) {
                const auto reply = client.ask(row.script);
                if (!reply) return;
                const bool ok = *reply == "ok";
                ++seen[ok == (std::string(row.outcome) == "ok") ? row.outcome : "unexpected"];
                ++answered;
            }
        }
    });
    // Scraped while the load runs: never fewer answers counted than the client has had
    // (an answer is counted before it leaves), never more than it has asked for.
    int scrapes = 0;
    do {
        const int had = answered;
        const auto during = scrape(port);
        ASSERT_FALSE(during.empty());
        EXPECT_GE(during.at("qel_request_duration_seconds_count"), had);
        EXPECT_LE(during.at("qel_request_duration_seconds_count"), answered + 1);
        ++scrapes;
    } while (clients.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready &&
             scrapes < 100000);
    clients.get();
    const std::map<std::string, double> after = scrape(port);
    ASSERT_FALSE(after.empty());
    int total = 0;
    for (const auto& row : load) {
        EXPECT_EQ(after.at("qel_requests_total{outcome=\"" + std::string(row.outcome) + "\"}"),
                  seen[row.outcome])
            << row.outcome;
        total += row.times;
    }
    EXPECT_EQ(after.at("qel_request_duration_seconds_count"), total);
    EXPECT_EQ(after.at("qel_request_duration_seconds_bucket{le=\"+Inf\"}"), total);
    EXPECT_GT(after.at("qel_request_duration_seconds_sum"), 0);
    EXPECT_EQ(seen.count("unexpected"), 0u);
    EXPECT_EQ(after.at("qel_requests_running"), 0);
    EXPECT_EQ(after.at("qel_requests_queued"), 0);
    // A script stops at its limit without its worker being killed; only the backstop
    // kills, so no replacement is certain, but none is for anything else.
    EXPECT_EQ(after.at("qel_workers_replaced_total{cause=\"ended\"}"), 0);
    EXPECT_GT(after.at("process_start_time_seconds"), 1.6e9);
    // A worker that has served reports its Lua heap (tens of KiB); one never asked has none.
    int heaps = 0;
    for (const auto& [name, value] : after)
        heaps += name.rfind("qel_worker_lua_heap_bytes{", 0) == 0 && value > 8192 ? 1 : 0;
    EXPECT_GE(heaps, 1);
    EXPECT_LE(heaps, 2);
}

// One worker and more clients than it: the next request is posted ahead to the busy
// worker, which starts it as soon as it is done. Every client's own payloads come back to
// it, each once and in its order, and the counter shows requests that did run so.
TEST(Ops, RequestsPostedAheadRunBackToBackAndReachTheirOwnPeers) {
    ServiceProcess service({"--workers", "1", "--metrics", "127.0.0.1:0"});
    const int port = loggedMetricsPort(service);
    ASSERT_NE(port, 0);
    constexpr int kClients = 6;
    constexpr int kEach = 80;
    std::vector<std::future<int>> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.push_back(std::async(std::launch::async, [&, c] {
            RawClient client(service.endpoint(), 20000);
            int right = 0;
            for (int i = 0; i < kEach; ++i) {
                // A little work, so that requests queue behind the one running.
                const std::string tag = std::to_string(c) + "-" + std::to_string(i);
                const auto reply = client.ask("local s = 0 for i = 1, 20000 do s = s + i end "
                                              "return '" +
                                              tag + "'");
                if (!reply) break;
                right += *reply == tag ? 1 : 0;
            }
            return right;
        }));
    }
    for (int c = 0; c < kClients; ++c)
        EXPECT_EQ(clients[c].get(), kEach) << "client " << c;
    const std::map<std::string, double> after = scrape(port);
    ASSERT_FALSE(after.empty());
    EXPECT_GT(after.at("qel_requests_posted_ahead_total"), 0);
    EXPECT_LE(after.at("qel_requests_posted_ahead_total"), kClients * kEach);
    EXPECT_EQ(after.at("qel_requests_queued"), 0);
    EXPECT_EQ(after.at("qel_requests_total{outcome=\"ok\"}"), kClients * kEach);
}

// A peer outside --allow is refused by connection, which the metrics count: its request
// never reaches the service, so it is no request outcome.
TEST(Ops, MetricsCountConnectionsTheAccessControlRefused) {
    ServiceProcess service({"--allow", "192.0.2.0/24", "--metrics", "127.0.0.1:0"});
    const int port = loggedMetricsPort(service);
    ASSERT_NE(port, 0);
    RawClient refused(service.endpoint(), 300);
    EXPECT_EQ(refused.ask("return 1"), std::nullopt);
    std::map<std::string, double> metrics;
    EXPECT_TRUE(waitUntil(
        [&] {
            metrics = scrape(port);
            return metrics.count("qel_connections_total{result=\"refused\"}") != 0 &&
                   metrics.at("qel_connections_total{result=\"refused\"}") >= 1;
        },
        std::chrono::seconds(10)));
    EXPECT_EQ(metrics.at("qel_connections_total{result=\"admitted\"}"), 0);
    EXPECT_EQ(metrics.at("qel_requests_total{outcome=\"ok\"}"), 0);
}

// Without --metrics neither the supervisor nor, started from the same executable with
// the same links, any worker maps libmicrohttpd (nor GnuTLS through it).
TEST(Ops, MicrohttpdIsNotMappedWithoutMetrics) {
    ServiceProcess service({"--workers", "1"});
    EXPECT_EQ(RawClient(service.endpoint()).ask("return 6 * 7"), "42");
    EXPECT_EQ(mappedFile(service.pid(), "/libmicrohttpd.so"), std::string());
    EXPECT_EQ(mappedFile(service.pid(), "/libgnutls.so"), std::string());
}

// A libmicrohttpd.so.12 that is no library, or a library without its functions (libc,
// under that name), stops a start with --metrics with status 1, naming the library.
TEST(Ops, MetricsStopTheStartWhenMicrohttpdCannotBeLoaded) {
    char dir[] = "/tmp/qel_mhdXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string library = std::string(dir) + "/libmicrohttpd.so.12";
    const std::optional<std::string> libc = mappedFile(getpid(), "/libc.so.6");
    ASSERT_TRUE(libc && !libc->empty());
    const struct {
        bool library;
        const char* says;
    } rows[] = {
        {false, "cannot load libmicrohttpd.so.12 for --metrics: "},
        {true, "cannot use libmicrohttpd.so.12 for --metrics: MHD_start_daemon is missing"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.says);
        unlink(library.c_str());
        if (row.library) {
            ASSERT_EQ(symlink(libc->c_str(), library.c_str()), 0);
        } else {
            std::ofstream(library) << "not a library\n";
        }
        const ProgramResult result =
            runProgram("/usr/bin/env",
                       {"LD_LIBRARY_PATH=" + std::string(dir), QEL_LUA_SERVICE, "--bind",
                        "tcp://127.0.0.1:*", "--metrics", "127.0.0.1:0"},
                       "");
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_NE(result.err.find("qel-lua-service: " + std::string(row.says)), std::string::npos)
            << result.err;
        EXPECT_EQ(result.out, ""); // it never said it serves
    }
    unlink(library.c_str());
    rmdir(dir);
}

// QEL_IO_THREADS sets the supervisor's ZeroMQ I/O threads; a value out of 1..16 or not
// a number stops the start with status 1 before it serves.
TEST(Ops, IoThreadsFromTheEnvironment) {
    for (const char* bad : {"0", "17", "2x", ""}) {
        SCOPED_TRACE(bad);
        const ProgramResult result = runProgram(
            "/usr/bin/env",
            {"QEL_IO_THREADS=" + std::string(bad), QEL_LUA_SERVICE, "--bind", "tcp://127.0.0.1:*"},
            "");
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_NE(result.err.find("QEL_IO_THREADS must be a number from 1 to 16"),
                  std::string::npos)
            << result.err;
        EXPECT_EQ(result.out, "");
    }
    for (const int threads : {1, 3}) {
        setenv("QEL_IO_THREADS", std::to_string(threads).c_str(), 1);
        ServiceProcess service({"--workers", "1"});
        unsetenv("QEL_IO_THREADS");
        EXPECT_EQ(RawClient(service.endpoint()).ask("return 6 * 7"), "42");
        // libzmq names its I/O threads ZMQbg/IO/N.
        const std::string tasks = "/proc/" + std::to_string(service.pid()) + "/task/";
        int io = 0;
        DIR* dir = opendir(tasks.c_str());
        ASSERT_NE(dir, nullptr);
        while (const dirent* entry = readdir(dir)) {
            std::string name;
            std::getline(std::ifstream(tasks + entry->d_name + "/comm"), name);
            if (name.rfind("ZMQbg/IO/", 0) == 0) ++io;
        }
        closedir(dir);
        EXPECT_EQ(io, threads);
    }
}

namespace {

// Saves a file as an editor does: a new file renamed over the old one.
void rewrite(const std::string& path, const std::string& text) {
    std::ofstream(path + ".new") << text;
    std::rename((path + ".new").c_str(), path.c_str());
}

// What one client got: each answer is one generation's "11" or "22", or something else.
struct ReloadTally {
    int sent = 0;
    int old = 0;
    int fresh = 0;
    int oldAfterDone = 0; // sent once the reload was said done, yet answered by the old code
    int lost = 0;
    int other = 0;
    std::string odd;
};

} // namespace

// SIGHUP under load: every request is answered by one generation's files, never a mix of
// the two, none lost or refused; once the log says the reload is done only the new code
// answers, and the old workers are gone. A file that does not compile leaves the old code
// serving and says where, and a later reload of fixed files works.
TEST(Ops, ReloadServesOneGenerationAtATimeAndSurvivesABadFile) {
    const std::string a = ::testing::TempDir() + "qel_reload_a.lua";
    const std::string b = ::testing::TempDir() + "qel_reload_b.lua";
    auto version = [&](const std::string& n, const std::string& more) {
        rewrite(a, "A = " + n + "\n");
        rewrite(b, "B = " + n + "\nfunction v() return A .. B end\n" + more);
    };
    version("1", "");
    ServiceProcess service(
        {"--workers", "2", "--preload", a, "--preload", b, "--metrics", "127.0.0.1:0"});
    const int port = loggedMetricsPort(service);
    // SIGHUP, and the log's line on how that reload ended.
    auto reload = [&] {
        const std::size_t from = service.logSize();
        EXPECT_EQ(kill(service.pid(), SIGHUP), 0);
        std::string verdict;
        waitUntil(
            [&] {
                const std::string log = service.log(from);
                for (const char* end : {"qel-lua-service: reloaded", "qel-lua-service: reload f"}) {
                    const std::size_t at = log.find(end);
                    if (at != std::string::npos && log.find('\n', at) != std::string::npos)
                        verdict = log.substr(at, log.find('\n', at) - at);
                }
                return !verdict.empty();
            },
            std::chrono::seconds(30));
        return verdict;
    };
    auto workersLeft = [&](std::size_t n) {
        return waitUntil([&] { return childrenOf(service.pid()).size() == n; },
                         std::chrono::seconds(30));
    };

    constexpr int kClients = 8;
    std::atomic<bool> running{true};
    std::atomic<bool> done{false};
    std::atomic<int> answered{0};
    std::vector<std::future<ReloadTally>> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.push_back(std::async(std::launch::async, [&] {
            ReloadTally tally;
            RawClient client(service.endpoint());
            for (int i = 0; running && i < 1000000; ++i) {
                const bool after = done;
                const auto reply = client.ask("return v()");
                ++tally.sent;
                if (!reply) {
                    ++tally.lost; // a REQ socket cannot ask again
                    break;
                }
                if (*reply == "11") {
                    ++tally.old;
                    tally.oldAfterDone += after ? 1 : 0;
                } else if (*reply == "22") {
                    ++tally.fresh;
                } else {
                    ++tally.other;
                    tally.odd = *reply;
                }
                ++answered;
            }
            return tally;
        }));
    }
    const auto enough = [&](int n) {
        return waitUntil([&] { return answered >= n; }, std::chrono::seconds(30));
    };
    EXPECT_TRUE(enough(200));
    version("2", "");
    const auto begun = Clock::now();
    const std::string verdict = reload();
    const double seconds = secondsSince(begun);
    done = true;
    EXPECT_TRUE(enough(answered + 400));
    running = false;
    ReloadTally total;
    for (auto& client : clients) {
        const ReloadTally t = client.get();
        total.sent += t.sent;
        total.old += t.old;
        total.fresh += t.fresh;
        total.oldAfterDone += t.oldAfterDone;
        total.lost += t.lost;
        total.other += t.other;
        if (!t.odd.empty()) total.odd = t.odd;
    }
    std::printf("reload under load: %d sent, %d answered old, %d new, %d lost, %d other; "
                "reload said done after %.3f s\n",
                total.sent, total.old, total.fresh, total.lost, total.other, seconds);
    EXPECT_EQ(verdict, "qel-lua-service: reloaded: generation 1 serving, 2 workers");
    EXPECT_EQ(total.lost, 0);
    EXPECT_EQ(total.other, 0) << total.odd;
    EXPECT_EQ(total.oldAfterDone, 0);
    EXPECT_EQ(total.old + total.fresh, total.sent);
    EXPECT_GT(total.fresh, 0);
    EXPECT_TRUE(workersLeft(2)) << "the old workers are gone";

    // A worker started later in a generation, after one was lost, runs the generation's
    // files as read at its start, not what is on disk now.
    version("5", "");
    const std::vector<pid_t> generation = childrenOf(service.pid());
    ASSERT_EQ(generation.size(), 2u);
    ASSERT_EQ(kill(generation[0], SIGKILL), 0);
    EXPECT_TRUE(waitUntil(
        [&] {
            const std::map<std::string, double> m = scrape(port);
            return !m.empty() && m.at("qel_workers_replaced_total{cause=\"ended\"}") == 1 &&
                   m.at("qel_workers{state=\"idle\"}") == 2;
        },
        std::chrono::seconds(30)));
    RawClient client(service.endpoint());
    for (int i = 0; i < 4; ++i) // dealt in turn, so both workers answer
        EXPECT_EQ(client.ask("return v()"), "22");

    // Line 3 of b does not compile: the old code serves on, and the log says where.
    version("3", "x = = 1\n");
    const std::string failed = reload();
    EXPECT_EQ(failed.rfind("qel-lua-service: reload failed", 0), 0u) << failed;
    EXPECT_NE(failed.find("qel_reload_b.lua:3: unexpected symbol"), std::string::npos) << failed;
    EXPECT_TRUE(workersLeft(2)) << "the new workers are gone";
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(client.ask("return v()"), "22");
    version("4", "");
    EXPECT_EQ(reload(), "qel-lua-service: reloaded: generation 2 serving, 2 workers");
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(client.ask("return v()"), "44");
    const std::map<std::string, double> metrics = scrape(port);
    ASSERT_FALSE(metrics.empty());
    EXPECT_EQ(metrics.at("qel_reload_generation"), 2);
    EXPECT_EQ(metrics.at("qel_reloads_total{result=\"ok\"}"), 2);
    EXPECT_EQ(metrics.at("qel_reloads_total{result=\"failed\"}"), 1);
    double workers = 0; // every state's, so a slot counted twice or left over shows
    for (const auto& [series, value] : metrics)
        workers += series.rfind("qel_workers{", 0) == 0 ? value : 0;
    EXPECT_EQ(workers, 2);
    EXPECT_EQ(service.stop(), 0);
}
