// host.h - small RAII wrappers that tests use to drive the C interface like a host.
// They keep each test about behaviour rather than about freeing things.
#pragma once

#include <memory>
#include <string>

#include "qel_zmq.h"

struct HandleDeleter {
    void operator()(void* handle) const noexcept { freeHandle(handle); }
};
using HandlePtr = std::unique_ptr<void, HandleDeleter>;

struct ResultDeleter {
    void operator()(char* result) const noexcept { freeResult(result); }
};
using ResultPtr = std::unique_ptr<char, ResultDeleter>;

inline HandlePtr newHandle() {
    return HandlePtr(createConnectionHandle());
}

// Creates a handle connected to 127.0.0.1:port; empty on any failure.
inline HandlePtr connectedHandle(int port) {
    HandlePtr handle = newHandle();
    if (handle && connectToQelLuaService("127.0.0.1", port, handle.get()) != 0) handle.reset();
    return handle;
}

struct Exchange {
    int status = -1;
    ResultPtr result;
    std::string text() const { return result ? std::string(result.get()) : std::string(); }
};

inline Exchange execute(void* handle, const char* script) {
    Exchange exchange;
    char* out = nullptr;
    exchange.status = executeLuaScriptQel(&out, script, handle);
    if (exchange.status == 0) exchange.result.reset(out);
    return exchange;
}
