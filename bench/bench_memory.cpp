// bench_memory.cpp - peak resident memory of a host that receives one large reply,
// reported beyond the host's idle size and as a multiple of the reply size. Each
// measurement needs a fresh process, so one run measures one client (--raw or not).
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <stdexcept>
#include <string>

#include "bench_util.h"
#include "clients.h"
#include "host.h"
#include "service_process.h"

namespace {

// VmRSS or VmHWM of this process, in bytes.
double statusBytes(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::size_t length = std::strlen(field);
    while (std::getline(status, line)) {
        if (line.compare(0, length, field) == 0 && line[length] == ':') {
            return 1024.0 * std::stod(line.substr(length + 1));
        }
    }
    throw std::runtime_error(std::string("no ") + field + " in /proc/self/status");
}

} // namespace

int main(int argc, char** argv) {
    try {
        const bench::Args args(argc, argv);
        const bool raw = args.flag("raw");
        const std::size_t size = static_cast<std::size_t>(args.number("size", 16l << 20));
        const double target = 2.2;

        ServiceProcess peer(args.get("peer", "bench_peer"), {});
        const std::string request = std::to_string(size);

        double idle = 0, peak = 0;
        if (raw) {
            RawClient client(peer.endpoint(), RawClient::kWaitForever);
            client.exchange("0"); // connected, threads and buffers in place
            idle = statusBytes("VmHWM");
            if (client.exchange(request) != size) throw std::runtime_error("short reply");
            peak = statusBytes("VmHWM");
        } else {
            HandlePtr handle = connectedHandle(peer.port());
            if (!handle) throw std::runtime_error("cannot make a connected handle");
            if (execute(handle.get(), "0").status != 0) throw std::runtime_error("failed");
            idle = statusBytes("VmHWM");
            // The peak is read while the host still holds the result, as a host would.
            const Exchange big = execute(handle.get(), request.c_str());
            if (big.status != 0 || std::strlen(big.result.get()) != size) {
                throw std::runtime_error("short reply");
            }
            peak = statusBytes("VmHWM");
        }
        const double multiple = (peak - idle) / static_cast<double>(size);
        std::printf("| %s | %.1f MiB | %.1f MiB | %.1f MiB | %.2f× | ≤ %.1f× | %s |\n",
                    raw ? "A: raw libzmq + copy" : "B: library",
                    static_cast<double>(size) / (1 << 20), idle / (1 << 20), peak / (1 << 20),
                    multiple, target, multiple <= target ? "yes" : "**no**");
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_memory: %s\n", e.what());
        return 1;
    }
}
