/* lua_pattern.h - string.find, string.match, string.gmatch and string.gsub with a
 * matcher that reports its work to the request's budget, so that one pattern call
 * cannot run past the instruction and time limits. */
#ifndef QEL_LUA_PATTERN_H
#define QEL_LUA_PATTERN_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

struct lua_State;

/* Charges `steps` units of matcher work (about one VM instruction each) to the budget
 * behind ud. Returns NULL to go on, or the message of the limit that was crossed, which
 * the matcher then raises as a Lua error. Must neither raise a Lua error nor throw. */
typedef const char* (*qel_pattern_charge)(void* ud, size_t steps);

/* Replaces find, match, gmatch and gsub in the table at index idx (the string library)
 * with the budgeted versions. charge and ud must outlive the Lua state. */
void qel_pattern_install(struct lua_State* L, int idx, qel_pattern_charge charge, void* ud);

#ifdef __cplusplus
}
#endif

#endif
