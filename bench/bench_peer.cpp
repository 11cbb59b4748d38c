// bench_peer.cpp - the reply peer of the benchmarks: a ZeroMQ REP socket that answers
// a request made only of decimal digits, "N", with N bytes, and echoes anything else.
// Like qel-lua-service it binds `--bind ENDPOINT` (tcp://127.0.0.1:* by default) and
// prints the bound endpoint first; it serves until it is stopped by signal. For the page's
// list of what was measured it also tells the libzmq version it runs with.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
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
    if (argc == 3 && std::strcmp(argv[1], "--bind") == 0) {
        bind = argv[2];
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: bench_peer [--bind ENDPOINT | --free-port | --zmq-version]\n");
        return 2;
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
