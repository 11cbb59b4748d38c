// reply_copy.h - the copy of a reply into the text a host receives. Internal: the header
// is not installed and the function is not exported; bench_copy builds the same objects.
#pragma once

#include <cstddef>

// Copies reply[0, size) into text up to the first NUL and terminates it; text must hold
// size + 1 bytes. Returns the length of the text. The reply is walked once, block by
// block: each block is searched for a NUL and then copied while it is still in cache.
// (glibc's memccpy searches the whole source before copying, which reads a large reply
// twice.)
std::size_t copyReplyText(char* text, const char* reply, std::size_t size) noexcept;
