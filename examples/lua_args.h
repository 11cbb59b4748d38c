/* lua_args.h - calling a script with arguments from C: each value is written as a Lua
 * literal and the script runs as a function of them, so no value can change the script.
 * Two small files with no dependency, meant to be copied into a C or LabVIEW host. */
#ifndef LUA_ARGS_H
#define LUA_ARGS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One call being written. The text sent is
 *     return (function(...) SCRIPT
 *     end)(A1, A2, ...)
 * with nothing before SCRIPT on its first line, so an error names the script's own line
 * numbers; inside the script the arguments are `...` (`local name, count = ...`).
 * Treat the fields as private. */
typedef struct {
    char* text;
    size_t length;
    size_t capacity;
    int failed; /* an allocation failed: everything after is ignored, lua_args_end gives NULL */
} lua_args;

/* Starts the call of SCRIPT (a C string). */
void lua_args_begin(lua_args* call, const char* script);

/* Each writes one value. Arguments, list items and table keys are separated by the host
 * itself with lua_args_raw(call, ", "). */
void lua_args_nil(lua_args* call);
void lua_args_boolean(lua_args* call, int value);
void lua_args_integer(lua_args* call, int64_t value);
void lua_args_number(lua_args* call, double value); /* exact, whatever the C locale */
/* LENGTH bytes from BYTES, any bytes at all (NUL, quotes, newlines, UTF-8 or not). */
void lua_args_string(lua_args* call, const char* bytes, size_t length);

/* Punctuation that builds a table from values: "{", "}", ", ", "[" and "]=", as in
 * {1, 2} or {["key"]=1}. Only these constants: never data, which would be Lua code. */
void lua_args_raw(lua_args* call, const char* punctuation);

/* Ends the call. Returns its text, which the host sends with executeLuaScriptQel and then
 * releases with free(); NULL when memory ran out on the way (nothing is left to free).
 * A call given up half-way is ended too, and its text freed. */
char* lua_args_end(lua_args* call);

#ifdef __cplusplus
}
#endif

#endif
