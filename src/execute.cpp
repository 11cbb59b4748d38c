// execute.cpp - one request/reply exchange per call, and release of its result.
// The script goes out straight from the host's buffer; the reply is copied exactly
// once, into the new[] buffer that the host later hands to freeResult.
#include <cstdio>
#include <cstring>
#include <exception>

#include "context_socket.h"
#include "qel_zmq.h"
#include "reply_copy.h"

namespace {

// Copies the reply into a fresh buffer of size + 1 bytes, stopping at the first NUL
// and always terminating the text.
std::unique_ptr<char[]> copyReply(const zmq::message_t& reply) {
    std::unique_ptr<char[]> text(new char[reply.size() + 1]);
    copyReplyText(text.get(), static_cast<const char*>(reply.data()), reply.size());
    return text;
}

// Reads and drops the rest of a multi-part reply; a REQ socket refuses the next
// send until every part of the current reply has been received.
void discardRemainingParts(zmq::socket_t& socket, zmq::message_t& part) {
    while (part.more()) {
        if (!socket.recv(part, zmq::recv_flags::none)) return;
    }
}

} // namespace

extern "C" int executeLuaScriptQel(char** opResult, const char* iScript, void* ipHandle) {
    try {
        contextSocket* handle = asHandle(ipHandle);
        if (handle == nullptr || opResult == nullptr) return -1;
        if (!handle->socket || iScript == nullptr) return -1;

        zmq::socket_t& socket = *handle->socket;
        // A would-block result (no error, no bytes) is not possible without flags; the
        // receive below is what tells the host whether the exchange worked.
        (void)socket.send(zmq::const_buffer(iScript, std::strlen(iScript)), zmq::send_flags::none);

        zmq::message_t reply;
        if (!socket.recv(reply, zmq::recv_flags::none)) return -1;

        std::unique_ptr<char[]> text = copyReply(reply);
        discardRemainingParts(socket, reply);
        // The slot is written only once nothing can fail any more.
        *opResult = text.release();
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        std::fflush(stderr);
        return -1;
    } catch (...) {
        return -1;
    }
}

extern "C" void freeResult(char* iResult) {
    delete[] iResult;
}
