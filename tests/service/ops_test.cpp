// ops_test.cpp - the service as an operator runs it: the readiness and stopping
// notifications a service manager waits for, on a datagram socket the test owns.
#include <cstddef>
#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include "clients.h"
#include "service_process.h"

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

  private:
    int fd_ = -1;
    std::string dir_;
    std::string name_;
};

} // namespace

TEST(Ops, ReadyOnceItServesAndStoppingWhenAStopStarts) {
    for (const bool abstract : {false, true}) {
        SCOPED_TRACE(abstract ? "abstract name" : "path");
        ManagerSocket manager(abstract);
        ASSERT_FALSE(manager.name().empty());
        setenv("NOTIFY_SOCKET", manager.name().c_str(), 1);
        ServiceProcess service({"--workers", "2"});
        unsetenv("NOTIFY_SOCKET");

        const auto ready = manager.next();
        ASSERT_TRUE(ready);
        EXPECT_NE(ready->find("READY=1\n"), std::string::npos) << *ready;
        EXPECT_NE(ready->find("STATUS=serving on " + service.endpoint() + ": 2 workers"),
                  std::string::npos)
            << *ready;
        // Ready means a request is answered by a worker already running.
        EXPECT_EQ(RawClient(service.endpoint()).ask("return 6 * 7"), "42");

        service.terminate();
        const auto stopping = manager.next();
        ASSERT_TRUE(stopping);
        EXPECT_EQ(stopping->rfind("STOPPING=1\nSTATUS=", 0), 0u) << *stopping;
        EXPECT_EQ(service.waitExit(std::chrono::seconds(30)), 0);
    }
}
