// preload_guard.h - what keeps the --preload files' definitions out of every request's
// reach: writable() while the files run, no coroutine left where a request could resume
// it, and afterwards everything the files defined read-only in the sandbox.
#pragma once

struct lua_State;

namespace qel {

// Around the --preload files: before them, the global `writable(t)`, which marks table t
// as one requests may change (and keeps what only it reaches out of protection); after
// them, writable is gone and, in the sandbox, every global the files defined is
// read-only like the standard library, as is every table reachable from them through
// fields, keys and metatables. A function's upvalues are not followed: they are its own.
// Both run in protected mode; finishPreload() raises an error for a global it cannot
// protect.
void beginPreload(lua_State* L);
void finishPreload(lua_State* L, bool trusted);

// Run after each file in the sandbox, in protected mode: raises an error naming the
// global through which the globals reach a coroutine, upvalues, metatables and user
// values included, writable tables left out. A coroutine is state that read-only tables
// cannot hold still: any request could resume it, moving it on for the next one, or
// close it for good.
void refuseSharedCoroutines(lua_State* L);

} // namespace qel
