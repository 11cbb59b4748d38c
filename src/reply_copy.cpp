// reply_copy.cpp - copyReplyText, the block-wise NUL search and copy of a reply.
// Kept apart from execute.cpp so that bench_copy can time this very code.
#include "reply_copy.h"

#include <cstring>

std::size_t copyReplyText(char* text, const char* reply, std::size_t size) noexcept {
    constexpr std::size_t kBlock = 32 * 1024;
    std::size_t copied = 0;
    while (copied < size) {
        std::size_t length = size - copied < kBlock ? size - copied : kBlock;
        const void* nul = std::memchr(reply + copied, '\0', length);
        if (nul != nullptr) length = static_cast<const char*>(nul) - (reply + copied);
        std::memcpy(text + copied, reply + copied, length);
        copied += length;
        if (nul != nullptr) break;
    }
    text[copied] = '\0';
    return copied;
}
