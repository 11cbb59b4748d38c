/* lua_args.c - writes a script call with its arguments as Lua literals (see lua_args.h).
 * Every literal reads back in Lua as exactly the value given: strings byte for byte,
 * integers over the whole 64-bit range, floats bit for bit. */
#include "lua_args.h"

#include <inttypes.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Releases the text at once and leaves the call failed, so a host checks only
 * lua_args_end's result and every later piece is ignored. */
static void fail(lua_args* call) {
    free(call->text);
    call->text = NULL;
    call->length = call->capacity = 0;
    call->failed = 1;
}

/* Makes room for MORE bytes and the closing NUL. */
static int reserve(lua_args* call, size_t more) {
    size_t capacity = call->capacity != 0 ? call->capacity : 256;
    char* grown = NULL;
    if (call->failed) return 0;
    if (call->text != NULL && more < call->capacity - call->length) return 1;
    if (more > SIZE_MAX - 1 - call->length) {
        fail(call);
        return 0;
    }
    while (capacity - 1 - call->length < more)
        capacity = capacity > SIZE_MAX / 2 ? call->length + 1 + more : capacity * 2;
    grown = (char*)realloc(call->text, capacity);
    if (grown == NULL) {
        fail(call);
        return 0;
    }
    call->text = grown;
    call->capacity = capacity;
    return 1;
}

static void put(lua_args* call, const char* bytes, size_t length) {
    if (!reserve(call, length)) return;
    memcpy(call->text + call->length, bytes, length);
    call->length += length;
    call->text[call->length] = '\0';
}

static void puts_(lua_args* call, const char* text) {
    put(call, text, strlen(text));
}

void lua_args_begin(lua_args* call, const char* script) {
    call->text = NULL;
    call->length = call->capacity = 0;
    call->failed = 0;
    /* No newline before the script: its first line stays line 1. The newline after it
     * keeps a last line that is a comment from swallowing the "end". */
    puts_(call, "return (function(...) ");
    puts_(call, script);
    puts_(call, "\nend)(");
}

void lua_args_nil(lua_args* call) {
    puts_(call, "nil");
}

void lua_args_boolean(lua_args* call, int value) {
    puts_(call, value ? "true" : "false");
}

void lua_args_integer(lua_args* call, int64_t value) {
    char literal[32];
    /* Lua reads -9223372036854775808 as minus a float (the number alone does not fit). */
    if (value == INT64_MIN) {
        puts_(call, "(-9223372036854775807-1)");
        return;
    }
    snprintf(literal, sizeof literal, "%" PRId64, value);
    puts_(call, literal);
}

void lua_args_number(lua_args* call, double value) {
    char literal[48];
    int exponent = 0;
    uint64_t digits = 0;
    const int negative = signbit(value) != 0;
    if (isnan(value)) {
        puts_(call, "(0/0)");
        return;
    }
    if (isinf(value)) {
        puts_(call, negative ? "(-1/0)" : "(1/0)");
        return;
    }
    /* Hexadecimal like %a, but written from the bits as a whole number and a power of
     * two: %a's radix point follows the C locale, and a comma would change the call. */
    digits = (uint64_t)ldexp(frexp(fabs(value), &exponent), 53);
    exponent -= 53;
    while (digits != 0 && digits % 2 == 0) {
        digits /= 2;
        ++exponent;
    }
    if (digits == 0) exponent = 0;
    /* In parentheses when negative, so that it is one operand wherever it stands (and
     * -0.0 keeps its sign: Lua does not fold a negated zero). */
    snprintf(literal, sizeof literal, "%s0x%" PRIx64 "p%d%s", negative ? "(-" : "", digits,
             exponent, negative ? ")" : "");
    puts_(call, literal);
}

void lua_args_string(lua_args* call, const char* bytes, size_t length) {
    size_t i = 0;
    /* The worst case, four bytes for each, at once: the loop below cannot fail half-way. */
    if (length > (SIZE_MAX - 2) / 4) {
        fail(call);
        return;
    }
    if (!reserve(call, 4 * length + 2)) return;
    call->text[call->length++] = '"';
    for (i = 0; i < length; ++i) {
        const unsigned char byte = (unsigned char)bytes[i];
        if (byte >= 0x20 && byte <= 0x7e && byte != '"' && byte != '\\') {
            call->text[call->length++] = (char)byte;
        } else {
            /* Always three digits: a digit that follows cannot join the escape. */
            call->text[call->length++] = '\\';
            call->text[call->length++] = (char)('0' + byte / 100);
            call->text[call->length++] = (char)('0' + byte / 10 % 10);
            call->text[call->length++] = (char)('0' + byte % 10);
        }
    }
    call->text[call->length++] = '"';
    call->text[call->length] = '\0';
}

void lua_args_raw(lua_args* call, const char* punctuation) {
    puts_(call, punctuation);
}

char* lua_args_end(lua_args* call) {
    char* text = NULL;
    puts_(call, ")");
    text = call->text;
    call->text = NULL;
    call->length = call->capacity = 0;
    return text;
}
