// connect.cpp - attaching a handle's REQ socket to a service endpoint.
// The endpoint is always "tcp://HOST:PORT"; ZeroMQ alone decides whether it is valid,
// and its refusal is reported on standard output.
#include <cstdio>
#include <exception>
#include <string>

#include "context_socket.h"
#include "qel_zmq.h"

extern "C" int connectToQelLuaService(const char* iIP, const int iPort, void* ipHandle) {
    if (iIP == nullptr) return -1;
    try {
        // std::to_string(int) yields exactly what "%d" prints.
        std::string endpoint = "tcp://";
        endpoint += iIP;
        endpoint += ':';
        endpoint += std::to_string(iPort);

        contextSocket* handle = asHandle(ipHandle);
        if (handle == nullptr || !handle->socket) return -1;

        handle->socket->connect(endpoint);
        return 0;
    } catch (const std::exception& e) {
        std::printf("%s", e.what());
        return -1;
    } catch (...) {
        return -1;
    }
}
