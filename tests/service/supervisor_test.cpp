// supervisor_test.cpp - the supervisor under conditions that break its own loop rather
// than a worker's: a storm of signals, every signal sent to it from outside, peers that
// never read their replies, and an idle worker whose collection never ends. Each time
// the service must stay up and answer.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <future>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <thread>
#include <vector>

#include "clients.h"
#include "processes.h"
#include "sanitizers.h"
#include "service_process.h"
#include "timing.h"

using qel::kSanitized;
using namespace std::chrono_literals;

// A worker's death interrupts whatever call the supervisor is in; here a signal arrives
// every 0.2 ms while eight clients run, mostly SIGCHLD, now and then one whose default
// action would end the process, and every request must still get its own answer.
TEST(Supervisor, ASignalStormLosesNoReplyAndKillsNothing) {
    ServiceProcess service({"--workers", "2"});
    constexpr int kClients = 8;
    std::atomic<bool> storming{true};
    std::thread storm([&] {
        const int signals[] = {SIGCHLD, SIGCHLD, SIGCHLD, SIGQUIT, SIGPIPE, SIGUSR1, SIGUSR2};
        const auto start = Clock::now();
        for (std::size_t n = 0; secondsSince(start) < 10; ++n) {
            if (kill(service.pid(), signals[n % std::size(signals)]) != 0) break;
            std::this_thread::sleep_for(200us);
        }
        storming = false;
    });
    struct Tally {
        int answered = 0;
        int wrong = 0;
        bool lost = false;
    };
    std::vector<std::future<Tally>> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.push_back(std::async(std::launch::async, [&, c] {
            Tally tally;
            RawClient client(service.endpoint(), 20000);
            for (int i = 0; storming && i < 1000000; ++i) {
                // Replies of a few sizes, so that some are sent in place and some copied.
                const std::string script = "return " + std::to_string(c) + " * " +
                                           std::to_string(i) + ", ('x'):rep(" +
                                           std::to_string(i % 3 * 40000) + ")";
                const auto reply = client.ask(script);
                if (!reply) {
                    tally.lost = true;
                    break;
                }
                ++tally.answered;
                if (*reply != std::to_string(c * i) + "\t" + std::string(i % 3 * 40000, 'x'))
                    ++tally.wrong;
            }
            return tally;
        }));
    }
    int answered = 0;
    for (int c = 0; c < kClients; ++c) {
        const Tally tally = clients[c].get();
        EXPECT_FALSE(tally.lost) << "client " << c << " got no answer";
        EXPECT_EQ(tally.wrong, 0) << "client " << c;
        EXPECT_GT(tally.answered, 0) << "client " << c;
        answered += tally.answered;
    }
    storm.join();
    EXPECT_TRUE(service.running());
    EXPECT_EQ(RawClient(service.endpoint()).ask("return 'after'"), "after");
    RecordProperty("answered", answered);
}

// Any signal can reach the supervisor from outside; none but SIGINT and SIGTERM may end
// it, and SIGKILL and SIGSTOP, which no process can catch, are not tried, nor SIGHUP,
// whose reload replaces the workers (ops_test has it). Each is sent in a burst to the
// supervisor alone, and the answer after each burst shows it neither ended nor stopped;
// its workers are the same at the end, so none was killed on its account. A stop after
// all of them is still one in order.
TEST(Supervisor, NoStraySignalEndsItOrCostsAWorker) {
    constexpr int kBurst = 50;
    ServiceProcess service({"--workers", "2"});
    RawClient client(service.endpoint(), 20000);
    ASSERT_EQ(client.ask("return 1"), "1");
    auto workers = [&service] {
        std::vector<pid_t> pids = childrenOf(service.pid());
        std::sort(pids.begin(), pids.end());
        return pids;
    };
    const std::vector<pid_t> before = workers();
    ASSERT_EQ(before.size(), 2u);
    for (int signal = 1; signal <= SIGRTMAX; ++signal) {
        if (signal == SIGKILL || signal == SIGSTOP || signal == SIGINT || signal == SIGTERM ||
            signal == SIGHUP)
            continue;
        for (int i = 0; i < kBurst; ++i)
            ASSERT_EQ(kill(service.pid(), signal), 0) << "signal " << signal;
        ASSERT_EQ(client.ask("return 1"), "1")
            << "signal " << signal << " (" << strsignal(signal) << "): exit code "
            << service.waitExit(0ms).value_or(-1);
    }
    EXPECT_EQ(workers(), before);
    EXPECT_EQ(kill(service.pid(), SIGINT), 0);
    EXPECT_EQ(service.waitExit(20s), 0);
}

// What the --verbose log says when a sweep of idle peers has forgotten some.
const char kSwept[] = "qel-lua-service: idle peers swept: ";

// Empty replies (a chunk that returns nothing) charge no bytes to their peer, yet ZeroMQ
// still holds them, each with a reference to its peer's record, while the peer does not
// read. They are held here across two of the supervisor's sweeps of idle peers, then let
// go of when the peer leaves; under AddressSanitizer a record freed too early fails this.
TEST(Supervisor, EmptyRepliesHeldAcrossSweepsFindTheirPeer) {
    ServiceProcess service({"--verbose"});
    {
        zmq::context_t context(1);
        zmq::socket_t silent(context, zmq::socket_type::dealer);
        silent.set(zmq::sockopt::linger, 0);
        silent.set(zmq::sockopt::rcvhwm, 1);
        silent.set(zmq::sockopt::rcvbuf, 4096);
        silent.set(zmq::sockopt::sndtimeo, 20000);
        silent.connect(service.endpoint());
        // Far more than the sockets' buffers on both sides hold, so ZeroMQ's queue to
        // this peer fills up and stays full.
        auto send = [&silent](zmq::const_buffer script) {
            return silent.send(zmq::str_buffer(""), zmq::send_flags::sndmore) &&
                   silent.send(script, zmq::send_flags::none);
        };
        constexpr int kRequests = 200000;
        int sent = 0;
        while (sent < kRequests && send(zmq::str_buffer("x = 1")))
            ++sent;
        ASSERT_EQ(sent, kRequests);
        // Those beyond the peer's queue are answered busy without running, so the mark
        // that says the peer's requests are all taken in is sent until one of them runs.
        RawClient other(service.endpoint());
        auto lastRan = [&] {
            return other.ask("return last") == "1" || !send(zmq::str_buffer("last = 1"));
        };
        waitUntil(lastRan, 120s, 50ms); // a send that fails ends it too, and the check below
        ASSERT_EQ(other.ask("return last"), "1");
        // Two sweeps pass while the replies are held. A client that has come and gone is
        // forgotten by the next sweep, which the log says; only what is logged from here
        // on is read, not the line of each request before.
        for (int sweep = 0; sweep < 2; ++sweep) {
            const std::size_t from = service.logSize();
            EXPECT_EQ(RawClient(service.endpoint()).ask("return 'passing'"), "passing");
            ASSERT_TRUE(
                waitUntil([&] { return service.log(from).find(kSwept) != std::string::npos; }, 20s))
                << "no sweep " << sweep;
        }
    }
    EXPECT_EQ(RawClient(service.endpoint()).ask("return 'after'"), "after");
    EXPECT_TRUE(service.running());
}

// Under --trusted a request can leave garbage whose finalizer never ends. The worker's
// idle collection runs it; that collection has a request's deadlines, so it is what is
// cut short, and the next client's request is answered, by a new worker.
TEST(Supervisor, AnIdleCollectionThatNeverEndsCostsNoOtherRequest) {
    ServiceProcess service({"--trusted", "--max-seconds", "1"});
    RawClient client(service.endpoint(), 20000);
    EXPECT_EQ(client.ask("setmetatable({}, {__gc = function() while true do end end}) "
                         "return 'left'"),
              "left");
    // The collection starts after a second idle; from then on the worker spins, until the
    // backstop replaces it and says so. On a loaded machine the spin may get too little CPU
    // to show before that, so either sign will do.
    const double cpu = treeCpuSeconds(service.pid());
    ASSERT_TRUE(waitUntil(
        [&] {
            return treeCpuSeconds(service.pid()) - cpu >= 0.3 ||
                   service.log().find("idle collection ran past the time limit") !=
                       std::string::npos;
        },
        10s))
        << "the idle collection never started";
    const auto start = Clock::now();
    EXPECT_EQ(RawClient(service.endpoint(), 20000).ask("return 'innocent'"), "innocent");
    // It waited at most for the collection's backstop and a new worker's start.
    EXPECT_LT(secondsSince(start), 1.0 + 0.5 + 3.0);
    EXPECT_TRUE(service.running());
}

// Peers that never read, many replies each: what they pin stays within --max-unread
// (by default --max-memory) and one reply's worth per worker for the one running and the
// one posted ahead (--max-memory, with one worker); those that stall with more than their
// share are cut off; and every request is answered, as the log shows.
TEST(Supervisor, SilentPeersTogetherPinNoMoreThanTheUnreadBoundAndItsHeadroom) {
    constexpr std::size_t kMiB = std::size_t{1} << 20;
    constexpr int kPeers = 12;
    constexpr int kEach = 6;
    ServiceProcess service({"--max-memory", "32M", "--verbose"});
    const std::size_t before = treeMemory(service.pid());
    zmq::context_t context(1);
    std::vector<zmq::socket_t> silent;
    for (int p = 0; p < kPeers; ++p) {
        silent.emplace_back(context, zmq::socket_type::dealer);
        zmq::socket_t& peer = silent.back();
        peer.set(zmq::sockopt::linger, 0);
        peer.set(zmq::sockopt::rcvhwm, 1);
        peer.set(zmq::sockopt::rcvbuf, 256 * 1024);
        peer.connect(service.endpoint());
        for (int i = 0; i < kEach; ++i) {
            peer.send(zmq::str_buffer(""), zmq::send_flags::sndmore);
            peer.send(zmq::str_buffer("return ('x'):rep(8 * 2^20)"), zmq::send_flags::none);
        }
    }
    ASSERT_TRUE(waitUntil([&] { return service.answered().size() >= kPeers * kEach; },
                          kSanitized ? 240s : 60s))
        << service.answered().size() << " answered";
    std::size_t most = 0;
    for (int i = 0; i < 10; ++i) {
        most = std::max(most, treeMemory(service.pid()));
        std::this_thread::sleep_for(100ms);
    }
    // 32 MiB, twice 32 MiB more, the worker's heap and its two reply areas.
    if (!kSanitized) {
        EXPECT_LT(most - before, 140 * kMiB);
    }
    RecordProperty("pinned_mib", static_cast<int>((most - before) / kMiB));
    EXPECT_NE(service.log().find("cut off"), std::string::npos);
    EXPECT_EQ(RawClient(service.endpoint()).ask("return 'served'"), "served");
}

// Two peers that never read, each holding replies past half of --max-unread and so
// together past all of it, are refused on their own; another client, with nothing unread,
// is served as ever (the bound on all peers together used to refuse it too). Each peer's
// ZeroMQ takes in a reply or two by itself, so each sends six.
TEST(Supervisor, TwoSilentPeersPastTheUnreadBoundLockNobodyElseOut) {
    constexpr int kEach = 6;
    ServiceProcess service({"--max-unread", "8M", "--verbose"});
    zmq::context_t context(1);
    std::vector<zmq::socket_t> silent;
    for (int p = 0; p < 2; ++p) {
        silent.emplace_back(context, zmq::socket_type::dealer);
        zmq::socket_t& peer = silent.back();
        peer.set(zmq::sockopt::linger, 0);
        peer.set(zmq::sockopt::rcvhwm, 1);
        peer.set(zmq::sockopt::rcvbuf, 4096);
        peer.connect(service.endpoint());
        for (int i = 0; i < kEach; ++i) {
            peer.send(zmq::str_buffer(""), zmq::send_flags::sndmore);
            peer.send(zmq::str_buffer("return ('x'):rep(6 * 2^20)"), zmq::send_flags::none);
        }
    }
    ASSERT_TRUE(
        waitUntil([&] { return service.answered().size() >= 2 * kEach; }, kSanitized ? 120s : 30s))
        << service.answered().size() << " answered";
    RawClient other(service.endpoint(), kSanitized ? 60000 : 20000);
    for (int i = 0; i < 5; ++i) {
        const std::string n = std::to_string(i);
        EXPECT_EQ(other.ask("return " + n), n);
    }
}

// A request posted ahead behind a long run is taken back for the worker that comes idle
// first: the short request, sent third, is answered second, not after the long one.
TEST(Supervisor, ARequestPostedAheadGoesToTheWorkerIdleFirst) {
    ServiceProcess service({"--workers", "2", "--max-request", kMarkLimit});
    DealerClient client(service.endpoint(), 30000);
    const auto spin = [](const char* seconds, const char* answer) {
        return std::string("local t = os.clock() while os.clock() - t < ") + seconds +
               " do end return '" + answer + "'";
    };
    ASSERT_TRUE(client.sendTakenIn(spin("3", "long")));
    ASSERT_TRUE(client.sendTakenIn(spin("0.3", "medium")));
    ASSERT_TRUE(client.sendTakenIn("return 'short'"));
    std::vector<std::string> order;
    for (int i = 0; i < 3; ++i)
        order.push_back(client.receive().value_or("<none>"));
    EXPECT_EQ(order, (std::vector<std::string>{"medium", "short", "long"}));
}

// A worker killed with a request posted ahead: what it ran is answered with its end, and
// the request behind it by a new worker if it never started, or with the end too if it
// had; each exactly once, as the answer to a request sent after them shows.
TEST(Supervisor, AWorkerKilledWithARequestPostedAheadAnswersEachOnce) {
    const std::string ended = "error: the worker running this request ended (signal 9)";
    const std::string spin20 = "local t = os.clock() while os.clock() - t < 20 do end";
    const struct {
        const char* name;
        std::string first, behind;
        std::optional<std::string> before; // answered before the kill
        std::vector<std::string> after;    // answered after it, in sorted order
    } rows[] = {
        {"killed in the first run", spin20, "return 'behind'", std::nullopt, {"behind", ended}},
        {"killed in the run behind",
         "local t = os.clock() while os.clock() - t < 0.3 do end "
         "return 'first'",
         spin20,
         "first",
         {ended}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ServiceProcess service({"--workers", "1", "--max-request", kMarkLimit});
        DealerClient client(service.endpoint(), 30000);
        ASSERT_TRUE(client.sendTakenIn(row.first));
        ASSERT_TRUE(client.sendTakenIn(row.behind));
        if (row.before) {
            EXPECT_EQ(client.receive(), *row.before);
        }
        const std::vector<pid_t> workers = childrenOf(service.pid());
        ASSERT_EQ(workers.size(), 1u);
        ASSERT_EQ(kill(workers[0], SIGKILL), 0);
        std::vector<std::string> replies;
        for (std::size_t i = 0; i < row.after.size(); ++i) {
            const std::string reply = client.receive().value_or("<none>");
            replies.push_back(reply.rfind(ended, 0) == 0 ? ended : reply);
        }
        std::sort(replies.begin(), replies.end());
        EXPECT_EQ(replies, row.after);
        ASSERT_TRUE(client.send("return 'after'"));
        EXPECT_EQ(client.receive(), "after");
    }
}
