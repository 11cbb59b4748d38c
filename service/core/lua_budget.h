/* lua_budget.h - how Lua's core and libraries, as patched in third_party/lua-5.4.8,
 * charge their work to the request running on this thread, and how the request's
 * deadline reaches whichever Lua thread is running when it passes. */
#ifndef QEL_LUA_BUDGET_H
#define QEL_LUA_BUDGET_H

#include <signal.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#include <lua.h>

/* The guards of one request, as the libraries see them; owned by the request's runner. */
typedef struct qel_budget {
    /* Charges steps of library work (about one VM instruction each). Returns NULL to go
     * on, or the message of the limit that is crossed. Neither raises nor throws. */
    const char* (*charge)(void* ud, size_t steps);
    void* ud;
    /* The count hook that raises the crossed limit; armed with a count of 1. */
    lua_Hook hook;
    /* Set once the request's time is up, from the deadline's signal handler. */
    volatile sig_atomic_t expired;
    /* The Lua thread running now: the request's own or a coroutine it resumed. */
    lua_State* volatile running;
    /* Which request this is, for a deadline that another process delivers. */
    unsigned sequence;
} qel_budget;

/* b guards what runs on this thread from now until qel_budget_end; L is the request's
 * own thread. Steps charged outside that span are dropped. */
void qel_budget_begin(qel_budget* b, lua_State* L);
void qel_budget_end(void);

/* Marks the running request's time as up and arms its hook on the running thread, so
 * that the thread's next instruction raises the limit. Async-signal-safe. */
void qel_budget_expire(void);
/* The same, only if the running request is the one numbered sequence. */
void qel_budget_expire_request(unsigned sequence);

/* Whether the running request has crossed one of its limits. */
int qel_budget_crossed(void);

/* Charges the steps counted so far; raises the crossed limit's message on L. */
void qel_budget_flush(lua_State* L);

/* Around a resume of co: the running thread is co until the resume returns to L. */
void qel_budget_enter(lua_State* co);
void qel_budget_leave(lua_State* L);

#define QEL_BUDGET_PERIOD 4096 /* steps between two charges: a few microseconds */
#define QEL_BYTES_PER_STEP 32  /* bytes that memcpy or memchr get through in a step */

#ifndef __cplusplus
extern __thread size_t qel_budget_pending;

/* Counts steps of work done on L's behalf; every QEL_BUDGET_PERIOD steps they are
 * charged, and a crossed limit is raised on L. */
static inline void qel_charge(lua_State* L, size_t steps) {
    qel_budget_pending += steps;
    if (qel_budget_pending >= QEL_BUDGET_PERIOD) qel_budget_flush(L);
}

static inline void qel_charge_bytes(lua_State* L, size_t bytes) {
    qel_charge(L, 1 + bytes / QEL_BYTES_PER_STEP);
}
#endif

#ifdef __cplusplus
}
#endif

#endif
