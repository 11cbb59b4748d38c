/* lua_budget.c - the budget glue behind lua_budget.h, and the one C library call of the
 * Lua core that can run for seconds on bounded data: string comparison through strcoll.
 * Written in C because its errors are raised with lua_error, whose longjmp must not
 * cross C++ frames. */
#define _GNU_SOURCE
#include "lua_budget.h"

#include <dlfcn.h>
#include <string.h>

#include <lauxlib.h>

/* The budget of the request running on this thread, and steps not yet charged to it.
 * Plain thread-locals of an executable: safe to read from a signal handler. */
static __thread qel_budget* active;
__thread size_t qel_budget_pending;

void qel_budget_begin(qel_budget* b, lua_State* L) {
    b->expired = 0;
    b->running = L;
    qel_budget_pending = 0;
    active = b;
}

void qel_budget_end(void) {
    active = NULL;
    qel_budget_pending = 0;
}

static void arm(qel_budget* b, lua_State* L) {
    lua_sethook(L, b->hook, LUA_MASKCOUNT, 1);
}

void qel_budget_expire(void) {
    qel_budget* b = active;
    if (b == NULL) return;
    b->expired = 1;
    arm(b, b->running);
}

void qel_budget_expire_request(unsigned sequence) {
    qel_budget* b = active;
    if (b != NULL && b->sequence == sequence) qel_budget_expire();
}

int qel_budget_crossed(void) {
    qel_budget* b = active;
    return b != NULL && (b->expired || b->charge(b->ud, 0) != NULL);
}

void qel_budget_flush(lua_State* L) {
    qel_budget* b = active;
    const size_t steps = qel_budget_pending;
    const char* crossed;
    qel_budget_pending = 0;
    if (b == NULL) return;
    crossed = b->charge(b->ud, steps);
    if (crossed != NULL) {
        /* Every later instruction of L raises it again, so a pcall in a loop cannot
         * catch the error and carry on. */
        arm(b, L);
        lua_pushstring(L, crossed);
        lua_error(L);
    }
}

void qel_budget_enter(lua_State* co) {
    qel_budget* b = active;
    if (b == NULL) return;
    b->running = co;
    /* The deadline may have passed while the resumer ran C code that runs no hook (the
     * parser calling a reader that resumes this coroutine): it stops co as well. */
    if (qel_budget_crossed()) arm(b, co);
}

void qel_budget_leave(lua_State* L) {
    qel_budget* b = active;
    if (b == NULL) return;
    b->running = L;
    /* A limit crossed inside the coroutine stops its resumer too. */
    if (qel_budget_crossed()) arm(b, L);
}

/* Lua orders strings with strcoll, once per NUL-separated piece, so comparing two long
 * strings of NUL bytes makes millions of calls inside a single VM instruction. Defined
 * here, this strcoll is the one the Lua library binds to; it charges each call and
 * raises the crossed limit on the running thread. Elsewhere it is the C library's. */
int strcoll(const char* a, const char* b) {
    static int (*next)(const char*, const char*);
    qel_budget* budget = active;
    if (next == NULL) next = (int (*)(const char*, const char*))dlsym(RTLD_NEXT, "strcoll");
    if (budget != NULL) {
        qel_budget_pending += 1;
        if (qel_budget_pending >= QEL_BUDGET_PERIOD) qel_budget_flush(budget->running);
    }
    return next != NULL ? next(a, b) : strcmp(a, b);
}
