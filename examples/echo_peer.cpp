// echo_peer.cpp - a tiny ZeroMQ REP peer that answers every request with its own bytes.
// Handy to try a host without the Lua service; prints its bound endpoint and serves
// a bounded number of requests (default 1) before it exits.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <zmq.hpp>

int main(int argc, char** argv) {
    const std::string bind = argc > 1 ? argv[1] : "tcp://127.0.0.1:*";
    const long count = argc > 2 ? std::atol(argv[2]) : 1;
    try {
        zmq::context_t context;
        zmq::socket_t socket(context, zmq::socket_type::rep);
        socket.bind(bind);
        std::printf("%s\n", socket.get(zmq::sockopt::last_endpoint).c_str());
        std::fflush(stdout);
        for (long served = 0; served < count; ++served) {
            zmq::message_t request;
            if (!socket.recv(request, zmq::recv_flags::none)) break;
            socket.send(request, zmq::send_flags::none);
        }
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "echo_peer: %s\n", e.what());
        return 1;
    }
}
