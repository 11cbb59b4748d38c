// bench_peer.cpp - the reply peer of the benchmarks: a ZeroMQ REP socket that answers
// a request made only of decimal digits, "N", with N bytes, and echoes anything else.
// Like qel-lua-service it binds `--bind ENDPOINT` (tcp://127.0.0.1:* by default) and
// prints the bound endpoint first; it serves until it is stopped by signal. With --hop it
// hands every request to a child process and waits for its answer before replying, the
// service's hand-off with nothing else: the floor of that design. For the page's list of
// what was measured it also tells the libzmq version it runs with.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/futex.h>
#include <netinet/in.h>
#include <new>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>
#include <zmq.h>

namespace {

constexpr std::size_t kMaxReply = 64u << 20;

// A request "N" (digits only) asks for N bytes; returns false for anything else.
bool sizeRequest(const zmq_msg_t& request, std::size_t& size) {
    const auto* bytes = static_cast<const char*>(zmq_msg_data(const_cast<zmq_msg_t*>(&request)));
    const std::size_t length = zmq_msg_size(const_cast<zmq_msg_t*>(&request));
    if (length == 0 || length > 9) return false;
    size = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (bytes[i] < '0' || bytes[i] > '9') return false;
        size = size * 10 + static_cast<std::size_t>(bytes[i] - '0');
    }
    return size <= kMaxReply;
}

// Prints a loopback TCP port that is free right now, for servers (Redis) that cannot
// pick their own and report it.
int printFreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("bench_peer: free port");
        return 1;
    }
    std::printf("%d\n", ntohs(address.sin_port));
    close(fd);
    return 0;
}

// The hand-off of --hop, as bench_handoff measures it alone: a futex wake to the child,
// which rings back through an eventfd that this process waits on in poll().
class Hop {
  public:
    bool start() {
        void* shared = mmap(nullptr, sizeof(std::atomic<std::uint32_t>), PROT_READ | PROT_WRITE,
                            MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        doorbell_ = eventfd(0, EFD_CLOEXEC);
        if (shared == MAP_FAILED || doorbell_ < 0) return false;
        state_ = new (shared) std::atomic<std::uint32_t>(kIdle);
        const pid_t parent = getpid();
        const pid_t child = fork();
        if (child < 0) return false;
        if (child == 0) {
            // The peer is stopped by signal and never stops the child itself.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(0);
            answer();
        }
        return true;
    }

    bool roundTrip() {
        state_->store(kRequest, std::memory_order_release);
        futex(FUTEX_WAKE, 1);
        pollfd ring{doorbell_, POLLIN, 0};
        while (poll(&ring, 1, -1) < 0) {
            if (errno != EINTR) return false;
        }
        std::uint64_t rings = 0;
        return read(doorbell_, &rings, sizeof rings) == sizeof rings;
    }

  private:
    static constexpr std::uint32_t kIdle = 0, kRequest = 1;

    long futex(int op, std::uint32_t value) {
        return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(state_), op, value, nullptr,
                       nullptr, 0);
    }

    [[noreturn]] void answer() {
        const std::uint64_t one = 1;
        for (;;) {
            const std::uint32_t seen = state_->load(std::memory_order_acquire);
            if (seen != kRequest) {
                futex(FUTEX_WAIT, seen);
                continue;
            }
            state_->store(kIdle, std::memory_order_release);
            if (write(doorbell_, &one, sizeof one) != sizeof one) _exit(1);
        }
    }

    std::atomic<std::uint32_t>* state_ = nullptr;
    int doorbell_ = -1;
};

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--free-port") == 0) return printFreePort();
    if (argc == 2 && std::strcmp(argv[1], "--zmq-version") == 0) {
        int major = 0, minor = 0, patch = 0;
        zmq_version(&major, &minor, &patch);
        std::printf("%d.%d.%d\n", major, minor, patch);
        return 0;
    }
    const char* bind = "tcp://127.0.0.1:*";
    bool hop = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--bind") == 0 && i + 1 < argc) {
            bind = argv[++i];
        } else if (std::strcmp(argv[i], "--hop") == 0) {
            hop = true;
        } else {
            std::fprintf(stderr, "usage: bench_peer [--bind ENDPOINT] [--hop] | --free-port | "
                                 "--zmq-version\n");
            return 2;
        }
    }
    // Forked before ZeroMQ starts its threads, as the service starts its workers.
    Hop handOff;
    if (hop && !handOff.start()) {
        std::perror("bench_peer: --hop");
        return 1;
    }

    // Replies are sent zero-copy from one filled buffer, so the peer's own cost is the
    // same for every client and as small as ZeroMQ allows.
    static std::vector<char> filler(kMaxReply, 'x');

    void* context = zmq_ctx_new();
    zmq_ctx_set(context, ZMQ_IO_THREADS, 1);
    void* socket = zmq_socket(context, ZMQ_REP);
    if (socket == nullptr || zmq_bind(socket, bind) != 0) {
        std::fprintf(stderr, "bench_peer: %s\n", zmq_strerror(zmq_errno()));
        return 1;
    }
    char endpoint[256];
    size_t endpointSize = sizeof endpoint;
    zmq_getsockopt(socket, ZMQ_LAST_ENDPOINT, endpoint, &endpointSize);
    std::printf("%s\n", endpoint);
    std::fflush(stdout);

    for (;;) {
        zmq_msg_t request;
        zmq_msg_init(&request);
        if (zmq_msg_recv(&request, socket, 0) < 0) break;
        if (hop && !handOff.roundTrip()) break;
        std::size_t size = 0;
        int rc = 0;
        if (sizeRequest(request, size)) {
            zmq_msg_t reply;
            zmq_msg_init_data(&reply, filler.data(), size, nullptr, nullptr);
            rc = zmq_msg_send(&reply, socket, 0);
            if (rc < 0) zmq_msg_close(&reply);
            zmq_msg_close(&request);
        } else {
            rc = zmq_msg_send(&request, socket, 0);
            if (rc < 0) zmq_msg_close(&request);
        }
        if (rc < 0) break;
    }
    zmq_close(socket);
    zmq_ctx_destroy(context);
    return 0;
}
