/* pe_fixture.c - deliberately wrong DLLs that check_pe.sh must reject, so that its
 * success on QEL_ZMQ.dll means something. PE_EXTRA_EXPORT: the five entry points plus
 * one more. PE_FOREIGN_IMPORT: a DLL that imports QEL_ZMQ.dll, a non-system DLL. */
#ifdef PE_EXTRA_EXPORT
#define QEL_ZMQ_BUILDING
#endif
#include <stddef.h>

#include "qel_zmq.h"

#ifdef PE_EXTRA_EXPORT
void* createConnectionHandle(void) {
    return NULL;
}
void freeHandle(void* iHandle) {
    (void)iHandle;
}
int connectToQelLuaService(const char* iIP, const int iPort, void* ipHandle) {
    (void)iIP, (void)iPort, (void)ipHandle;
    return -1;
}
int executeLuaScriptQel(char** opResult, const char* iScript, void* ipHandle) {
    (void)opResult, (void)iScript, (void)ipHandle;
    return -1;
}
void freeResult(char* iResult) {
    (void)iResult;
}
__declspec(dllexport) int qelInternalHelper(void) {
    return 0;
}
#else
__declspec(dllexport) void* qelFixtureHandle(void) {
    return createConnectionHandle();
}
#endif
