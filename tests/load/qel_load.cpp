// qel_load.cpp - load test: many host threads, each with its own handle, against one
// qel-lua-service. Every script answers with a value unique to its request, and every
// answer is checked, so a lost, duplicated or crossed reply fails the run.
// Prints requests/s and latencies; exits 0 only when every answer matched.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host.h"
#include "service_process.h"
#include "timing.h"

namespace {

struct Options {
    std::string service;
    int threads = 16;
    int requests = 10000; // per thread
    int workers = 2;
    int timeoutSeconds = 600;
};

void usage() {
    std::fprintf(stderr, "usage: qel_load --service PATH [--threads N] [--requests N-per-thread]\n"
                         "                [--workers N] [--timeout SECONDS]\n");
}

bool parse(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) return false;
        const char* value = argv[++i];
        if (arg == "--service") {
            options.service = value;
        } else if (arg == "--threads") {
            options.threads = std::atoi(value);
        } else if (arg == "--requests") {
            options.requests = std::atoi(value);
        } else if (arg == "--workers") {
            options.workers = std::atoi(value);
        } else if (arg == "--timeout") {
            options.timeoutSeconds = std::atoi(value);
        } else {
            return false;
        }
    }
    return !options.service.empty() && options.threads > 0 && options.requests > 0 &&
           options.workers > 0 && options.timeoutSeconds > 0;
}

struct ThreadResult {
    std::atomic<long> done{0}; // calls that returned
    long wrong = 0;            // status -1, or an answer that is not this request's
    std::vector<double> latencyMs;
    std::string firstWrong;
};

void client(int id, const Options& options, int port, ThreadResult& result) {
    result.latencyMs.reserve(static_cast<std::size_t>(options.requests));
    const HandlePtr handle = connectedHandle(port);
    if (!handle) {
        result.wrong = options.requests;
        result.firstWrong = "no handle";
        result.done = options.requests;
        return;
    }
    for (int n = 0; n < options.requests; ++n) {
        // The answer is computed by the service, so an echo of the script cannot pass.
        const std::string expected = std::to_string(id) + "/" + std::to_string(n);
        const std::string script = "return '" + std::to_string(id) + "/' .. (" + std::to_string(n) +
                                   " * 2 - " + std::to_string(n) + ")";
        const auto start = Clock::now();
        const Exchange answer = execute(handle.get(), script.c_str());
        result.latencyMs.push_back(usSince(start) / 1000);
        if (answer.status != 0 || answer.text() != expected) {
            if (result.wrong++ == 0) {
                result.firstWrong =
                    expected + " -> " + (answer.status == 0 ? answer.text() : "status -1");
            }
        }
        ++result.done;
    }
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        usage();
        return 2;
    }
    ServiceProcess service(options.service, {"--workers", std::to_string(options.workers)});

    std::vector<std::unique_ptr<ThreadResult>> results;
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    for (int t = 0; t < options.threads; ++t) {
        results.push_back(std::make_unique<ThreadResult>());
        threads.emplace_back(client, t, std::cref(options), service.port(),
                             std::ref(*results.back()));
    }

    // A reply that never comes blocks its thread forever: past the deadline the run
    // counts what is missing as lost and ends without waiting for it.
    const long total = static_cast<long>(options.threads) * options.requests;
    long done = 0;
    waitUntil(
        [&] {
            done = 0;
            for (const auto& r : results)
                done += r->done;
            return done == total;
        },
        std::chrono::seconds(options.timeoutSeconds), std::chrono::milliseconds(20));
    const double seconds = secondsSince(start);
    if (done != total) {
        std::printf("load: FAILED, %ld of %ld requests still unanswered after %d s (lost)\n",
                    total - done, total, options.timeoutSeconds);
        std::fflush(stdout);
        std::_Exit(1);
    }
    for (std::thread& thread : threads)
        thread.join();

    long wrong = 0;
    std::vector<double> latencies;
    latencies.reserve(static_cast<std::size_t>(total));
    for (const auto& r : results) {
        wrong += r->wrong;
        if (!r->firstWrong.empty()) std::printf("load: wrong answer: %s\n", r->firstWrong.c_str());
        latencies.insert(latencies.end(), r->latencyMs.begin(), r->latencyMs.end());
    }
    const std::optional<int> exitCode = service.stop();

    std::printf("load: %d threads x %d requests, service --workers %d\n", options.threads,
                options.requests, options.workers);
    std::printf("load: requests %ld, answered correctly %ld, wrong %ld, lost 0\n", total,
                total - wrong, wrong);
    std::printf("load: %.2f s, %.0f requests/s\n", seconds, static_cast<double>(total) / seconds);
    std::printf("load: latency ms p50 %.3f p99 %.3f p99.9 %.3f max %.3f\n",
                percentile(latencies, 0.50), percentile(latencies, 0.99),
                percentile(latencies, 0.999), percentile(latencies, 1));
    std::printf("load: service exit code %d\n", exitCode ? *exitCode : -1);
    return wrong == 0 && exitCode == 0 ? 0 : 1;
}
