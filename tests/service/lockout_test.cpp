// lockout_test.cpp - the attacks that used to get every other client refused: one peer
// keeping the queue full, and peers that leave huge replies unread. A client that reads
// must still be answered, in its turn, and the service's memory must stay bounded.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "clients.h"
#include "processes.h"
#include "sanitizers.h"
#include "service_process.h"
#include "silent_peer.h"
#include "timing.h"

using qel::kSanitized;
using namespace std::chrono_literals;

namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

// The value of the first sample of `series` the service's metrics show; -1 for none.
double metric(int port, const std::string& series) {
    const std::string page = httpGet(port, "/metrics");
    const std::size_t at = page.find("\n" + series + " ");
    return at == std::string::npos ? -1 : std::stod(page.substr(at + series.size() + 2));
}

double cutOff(int port) {
    return metric(port, "qel_peers_cut_off_total{cause=\"unread\"}") +
           metric(port, "qel_peers_cut_off_total{cause=\"unread_ceiling\"}");
}

// The most memory the service's processes take while it runs, sampled every 20 ms (a
// read of their memory maps costs the service time too).
class MemoryPeak {
  public:
    explicit MemoryPeak(pid_t pid)
        : before_(treeMemory(pid)), thread_([this, pid] {
              for (int i = 0; running_ && i < 30000; ++i) {
                  most_ = std::max(most_.load(), treeMemory(pid));
                  std::this_thread::sleep_for(20ms);
              }
          }) {}
    ~MemoryPeak() { stop(); }
    // The peak above what the service took before.
    std::size_t stop() {
        running_ = false;
        if (thread_.joinable()) thread_.join();
        return most_ > before_ ? most_ - before_ : 0;
    }

  private:
    std::size_t before_;
    std::atomic<std::size_t> most_{0};
    std::atomic<bool> running_{true};
    std::thread thread_;
};

} // namespace

// One connection keeps four requests of the largest size queued behind one running and
// one posted ahead, sending another as each is answered: a reader with nothing queued is
// queued in its turn, the room taken from the hog, and waits at most the wait bound.
TEST(QueueHog, HoldsAReaderUpByATurn) {
    ServiceProcess service({"--workers", "1", "--max-request", "1M", "--max-seconds", "0.3"});
    std::string hog = "while true do end --";
    hog.resize(kMiB, 'x');
    DealerClient attacker(service.endpoint(), 20000);
    for (int i = 0; i < 6; ++i)
        ASSERT_TRUE(attacker.send(hog));
    std::atomic<bool> attacking{true};
    std::atomic<int> refills{0};
    std::thread refill([&] {
        for (int i = 0; attacking && i < 1000 && attacker.receive(); ++i) {
            attacker.send(hog);
            ++refills;
        }
    });
    // Joined on every way out, a failed assertion's too.
    struct Stop {
        std::atomic<bool>& attacking;
        std::thread& refill;
        ~Stop() {
            attacking = false;
            refill.join();
        }
    } stop{attacking, refill};
    ASSERT_TRUE(waitUntil([&] { return refills > 0; }, 20s));
    RawClient reader(service.endpoint(), 20000);
    // Two peers, one worker: (floor(1/1) + 1) x (0.3 s + 0.5 s).
    const double bound = 2 * (0.3 + 0.5);
    for (int i = 0; i < 10; ++i) {
        const auto start = Clock::now();
        EXPECT_EQ(reader.ask("return " + std::to_string(i)), std::to_string(i));
        if (!kSanitized) {
            EXPECT_LT(secondsSince(start), bound) << "request " << i;
        }
    }
}

// Peers that never read, each asking for replies far past --max-unread. Raw peers hold
// everything with the service; ZeroMQ DEALERs with a receive high-water mark of 1 take a
// reply or so into their own memory first.
struct Silent {
    const char* name;
    int workers;
    int peers;
    bool raw;
    int each; // requests per peer
    const char* script;
};

constexpr const char* kHuge = "local s = string.rep('x', 1 << 20) for i = 1, 200 do print(s) end";
const Silent kSilent[] = {
    {"ThreeRawPeers", 1, 3, true, 1, kHuge},
    {"EightRawPeers", 1, 8, true, 1, kHuge},
    {"TwelveDealersTwoWorkers", 2, 12, false, 2, "return string.rep('x', 100 << 20)"},
};

// The silent peers of `row`, each having sent its requests.
struct SilentPeers {
    SilentPeers(const Silent& row, const std::string& endpoint) {
        for (int p = 0; p < row.peers; ++p) {
            if (row.raw) {
                raw.push_back(std::make_unique<SilentPeer>(endpoint));
                raw.back()->send(row.script);
                continue;
            }
            zmq::socket_t& peer = dealers.emplace_back(context, zmq::socket_type::dealer);
            peer.set(zmq::sockopt::linger, 0);
            peer.set(zmq::sockopt::rcvhwm, 1);
            peer.set(zmq::sockopt::rcvbuf, 4096);
            peer.connect(endpoint);
            for (int i = 0; i < row.each; ++i) {
                peer.send(zmq::str_buffer(""), zmq::send_flags::sndmore);
                peer.send(zmq::buffer(std::string_view(row.script)));
            }
        }
    }
    std::size_t ended() const {
        return static_cast<std::size_t>(
            std::count_if(raw.begin(), raw.end(), [](const auto& p) { return p->ended(); }));
    }

    zmq::context_t context{1};
    std::vector<std::unique_ptr<SilentPeer>> raw;
    std::vector<zmq::socket_t> dealers;
};

class Lockout : public testing::TestWithParam<Silent> {};

// The reader is never refused, its own large reply comes whole, the silent peers are cut
// off (logged and counted), and the service's memory stays within the bound the docs
// give: the ceiling (--max-unread + W x --max-memory), passed by at most the replies of
// the runs and the requests posted ahead (2 x W x --max-memory), and 64 MiB besides. How
// close a run comes to it depends on how soon the loop gets the processor on a busy
// machine, not on the rule.
TEST_P(Lockout, SilentPeersGetNoReaderRefused) {
    const Silent& row = GetParam();
    ServiceProcess service({"--workers", std::to_string(row.workers), "--metrics", "127.0.0.1:0"});
    const int port = loggedMetricsPort(service);
    ASSERT_NE(port, 0);
    MemoryPeak peak(service.pid());
    SilentPeers silent(row, service.endpoint());
    // The reader starts once the silent peers hold more than --max-unread.
    ASSERT_TRUE(
        waitUntil([&] { return metric(port, "qel_unread_reply_bytes") > 256.0 * kMiB; }, 60s));
    RawClient reader(service.endpoint(), 120000);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(reader.ask("return 'ok'"), "ok");
    const auto big = reader.ask("return string.rep('y', 64 << 20)");
    ASSERT_TRUE(big.has_value());
    EXPECT_EQ(std::count(big->begin(), big->end(), 'y'), static_cast<long>(64 * kMiB));
    EXPECT_EQ(big->size(), 64 * kMiB);
    EXPECT_EQ(reader.ask("return 6*7"), "42");
    // Until what is left is within the bound: all but one of the raw peers.
    const int cuts = row.raw ? row.peers - 1 : 1;
    EXPECT_TRUE(waitUntil([&] { return cutOff(port) >= cuts; }, 30s)) << cutOff(port);
    const std::size_t most = peak.stop();
    RecordProperty("peak_mib", static_cast<int>(most / kMiB));
    if (!kSanitized) {
        EXPECT_LT(most, (256 + 3 * row.workers * 256 + 64) * kMiB) << most / kMiB << " MiB";
    }
    EXPECT_NE(service.log().find("cut off"), std::string::npos);
    if (row.raw) {
        EXPECT_GE(silent.ended(), static_cast<std::size_t>(cuts));
    }
}

INSTANTIATE_TEST_SUITE_P(Attacks, Lockout, testing::ValuesIn(kSilent),
                         [](const testing::TestParamInfo<Silent>& info) {
                             return std::string(info.param.name);
                         });
