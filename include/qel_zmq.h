/* qel_zmq.h - C interface of QEL_ZMQ, a blocking client for the Qel Lua script service.
 * A host creates a handle, connects it, sends Lua script text and gets each answer
 * back as a string the library allocated. This header is the whole manual. */
#ifndef QEL_ZMQ_H
#define QEL_ZMQ_H

/* QEL_ZMQ_API marks the five exported functions; everything else in the library is
 * hidden. Hosts that link the Windows DLL statically through its import library get
 * __declspec(dllimport); hosts using LoadLibrary/dlopen need nothing. The build reads
 * its export list (linker version script, .def file) from the lines that open with
 * QEL_ZMQ_API, so each such declaration names its function on that line. */
#if defined(_WIN32) || defined(__CYGWIN__)
#if defined(QEL_ZMQ_BUILDING)
#define QEL_ZMQ_API __declspec(dllexport)
#else
#define QEL_ZMQ_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define QEL_ZMQ_API __attribute__((visibility("default")))
#else
#define QEL_ZMQ_API
#endif

/* The version of this header and of the library built from it. The build reads these
 * lines; the shared library's SONAME carries the major number (libqel_zmq.so.1), which
 * changes only when a call's meaning does. */
#define QEL_ZMQ_VERSION_MAJOR 1
#define QEL_ZMQ_VERSION_MINOR 0
#define QEL_ZMQ_VERSION_PATCH 0

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Status codes: every call that can fail returns 0 on success and -1 on failure,
 * never anything else. Argument and handle checks fail silently; messaging and
 * allocation failures also print the error text (see each function).
 *
 * Threads: the library takes no locks and keeps no thread, loop or timer outside the
 * handles. Each handle costs two threads for as long as it lives: its ZeroMQ context
 * runs one I/O thread and one reaper thread, started by createConnectionHandle and
 * joined by freeHandle (three handles add six threads to a process). Different handles
 * share nothing and may be used from different threads at the same time; calls on one
 * handle must not overlap.
 *
 * Blocking: there are no time-outs and no retries. A call waits for as long as
 * ZeroMQ waits: a service that never answers keeps executeLuaScriptQel waiting.
 */

/*
 * createConnectionHandle - make a connection handle: a private ZeroMQ context
 * (one I/O thread, at most 1023 sockets) holding one request (REQ) socket that is
 * not yet connected.
 *
 * Returns: the handle, or NULL when it could not be made (out of memory, or ZeroMQ
 * made no context or socket, for example when the process is out of file
 * descriptors). Nothing is printed and nothing is left allocated on failure.
 * Ownership: the caller owns the handle and must give it back with freeHandle.
 */
QEL_ZMQ_API void* createConnectionHandle(void);

/*
 * freeHandle - close the handle's socket, then destroy its context, then release
 * the handle. NULL is accepted and does nothing.
 *
 * Requests that ZeroMQ has not yet delivered are treated by ZeroMQ's default linger
 * rule, so this call may wait until they are sent. Passing a pointer that did not
 * come from createConnectionHandle, or one already freed, is undefined behaviour.
 * No call may overlap with it on the same handle, and the handle must not be used
 * afterwards. Any result strings obtained through the handle stay valid: they are
 * released with freeResult only.
 */
QEL_ZMQ_API void freeHandle(void* iHandle);

/*
 * connectToQelLuaService - connect the handle's socket to the service at
 * "tcp://" iIP ":" iPort, iPort written in decimal as printf's "%d" writes it.
 *
 * iIP:      host name or address as NUL-terminated text, passed on byte for byte.
 * iPort:    TCP port; not checked here, ZeroMQ alone judges the endpoint.
 * ipHandle: a handle from createConnectionHandle.
 *
 * Returns 0 when ZeroMQ accepted the endpoint. That says nothing about whether a
 * service listens there yet: ZeroMQ connects (and reconnects) in the background.
 * Returns -1, printing nothing, when ipHandle or iIP is NULL. Returns -1 when ZeroMQ
 * refuses the endpoint (or memory runs out), after writing the error text alone to
 * standard output (printf "%s": no prefix, no newline, no flush).
 *
 * Calling it again on the same handle attaches a further endpoint; requests are
 * then spread over all attached services. A failed call leaves the handle usable.
 */
QEL_ZMQ_API int connectToQelLuaService(const char* iIP, const int iPort, void* ipHandle);

/*
 * executeLuaScriptQel - send one Lua script and wait for the service's answer.
 *
 * opResult: where to store the answer string.
 * iScript:  the script as NUL-terminated text; its bytes up to the NUL are sent as
 *           one message, unchanged.
 * ipHandle: a connected handle.
 *
 * Returns 0 after storing in *opResult a new NUL-terminated string: the first part
 * of the reply, cut at its first NUL byte if it has one. Any further parts of the
 * reply are read and discarded, so the handle is ready for the next call.
 * Ownership: the caller owns the string and must release it with freeResult; the
 * library keeps no reference to it. A successful call overwrites *opResult without
 * releasing what it pointed to before.
 *
 * Returns -1, printing nothing and leaving *opResult untouched, when opResult,
 * iScript or ipHandle is NULL. Returns -1 after writing the error text and a
 * newline to standard error when ZeroMQ fails to send or receive, or when the answer
 * string cannot be allocated; *opResult is then untouched as well.
 *
 * Requests and replies strictly alternate on a handle: if a call fails after its
 * request went out (for example an interrupted receive), ZeroMQ refuses further
 * requests on that handle; make a new handle in that case.
 *
 * On a handle that was never connected the call waits until a connection exists,
 * which without one is forever.
 */
QEL_ZMQ_API int executeLuaScriptQel(char** opResult, const char* iScript, void* ipHandle);

/*
 * freeResult - release a string returned by executeLuaScriptQel. NULL is accepted
 * and does nothing. Never pass it anything else, and never release such a string
 * with free() or delete: only this call matches the library's allocator.
 */
QEL_ZMQ_API void freeResult(char* iResult);

#ifdef __cplusplus
}
#endif

#endif /* QEL_ZMQ_H */
