// alloc_fail.h - makes the global operator new fail on demand inside a test.
// The replacement operators live in the test executable and therefore also serve the
// library, which lets tests reach its out-of-memory paths.
#pragma once

#include <cstddef>

#define SKIP_UNLESS_ALLOCATION_FAILURES_WORK()                                                     \
    if (!allocfail::available()) GTEST_SKIP() << allocfail::unavailableReason()

namespace allocfail {
// Throwing allocations of at least minSize bytes on this thread fail until reset().
void failFromSize(std::size_t minSize);
// The n-th throwing allocation from now on this thread fails (n >= 1), once.
void failNth(int n);
// Ends both kinds of injection on this thread.
void reset();
// False when a memory checker (valgrind, a sanitizer) has replaced operator new
// itself, or when the library does not use this executable's operator new (a
// Windows DLL carries its own), so that injected failures cannot happen.
bool available();
// Why available() is false, for the skip message.
const char* unavailableReason();
} // namespace allocfail
