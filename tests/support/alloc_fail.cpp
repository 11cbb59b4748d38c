// alloc_fail.cpp - replacement global allocation functions with failure injection.
// Every form is replaced and backed by malloc/free, so that memory checkers see
// matching pairs whichever form allocated a block.
#include "alloc_fail.h"

#include <cstdlib>
#include <new>

#include "sanitizers.h"

namespace {
// Per thread, so that peers and ZeroMQ's own threads are never affected.
thread_local std::size_t failMinSize = 0;
thread_local int countdown = 0;

bool shouldFail(std::size_t size) {
    if (failMinSize != 0 && size >= failMinSize) return true;
    if (countdown > 0 && --countdown == 0) return true;
    return false;
}

[[maybe_unused]] void* allocate(std::size_t size) {
    if (shouldFail(size)) throw std::bad_alloc();
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
} // namespace

namespace allocfail {
void failFromSize(std::size_t minSize) {
    failMinSize = minSize;
}
void failNth(int n) {
    countdown = n;
}
void reset() {
    failMinSize = 0;
    countdown = 0;
}

#ifdef _WIN32
// QEL_ZMQ.dll links its C++ runtime statically: its operator new is its own, and no
// replacement in this executable can reach it.
bool available() {
    return false;
}
const char* unavailableReason() {
    return "QEL_ZMQ.dll has its own operator new (static C++ runtime), out of reach of "
           "the test executable's replacement";
}
#else
const char* unavailableReason() {
    return "operator new is replaced by a memory checker";
}

bool available() {
    failNth(1);
    bool failed = false;
    // Called through volatile pointers so the compiler can neither elide nor inline
    // the pair, and a checker's replacement sees both halves.
    void* (*volatile allocateArray)(std::size_t) = ::operator new[];
    void (*volatile releaseArray)(void*) noexcept = ::operator delete[];
    try {
        releaseArray(allocateArray(16));
    } catch (const std::bad_alloc&) {
        failed = true;
    }
    reset();
    return failed;
}
#endif
} // namespace allocfail

// Under ThreadSanitizer the runtime's own operator new stays: it is what lets the
// suppressions ignore the allocations libzmq makes (libzmq is not instrumented, and hands
// its blocks between threads through queues the runtime does not see), whereas this
// replacement would report each of them. Failure injection is then unavailable, as
// under any checker that replaces operator new.
#ifndef QEL_TSAN
void* operator new(std::size_t size) {
    return allocate(size);
}
void* operator new[](std::size_t size) {
    return allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size ? size : 1);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
#endif
