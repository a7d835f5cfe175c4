/*
 * Template replacement with a Lua output callback.
 *
 * replacement(text, language, callback, value) runs the template through
 * the replacement service in an allowed language; every piece of output
 * goes to callback(piece, value). The callback and the pass-through value
 * are anchored in the registry for the length of the call.
 *
 * Caveats: the call holds a record and the service's context. Everything
 * that can raise meanwhile runs guarded (luaaux.h): taking the references
 * and the argument texts, and each piece handed to the Lua callback. When
 * the callback raises, the output callback asks the service to stop; the
 * record and both references are released and then the callback's own
 * error value is raised again. The language set for the run stays set
 * afterwards.
 */
#include "luaaux.h"
#include "platform/env.h"
#include "platform/repl.h"

namespace {

const char msg_name[] = "luautils_replacement";

/* Which argument check failed while the arguments were taken. */
enum Fault { fault_none, fault_callback, fault_language, fault_template };

/* One call's state; its address is the service's user pointer. */
struct ReplacementState {
    void *block;        /* the service's context, REPL_CONTEXT_SIZE bytes */
    lua_State *L;       /* the calling script's state, borrowed */
    int callback_ref;   /* registry reference of the callback, -1: none */
    int value_ref;      /* registry reference of the pass-through value, -1: none */
    Fault fault;        /* set while the arguments are taken */
    int output;         /* the guard that runs the callback for a piece */
    bool raised;        /* the callback's error value is on top of L's stack */
};

/* One piece of output on its way to the script's callback. */
struct Piece {
    const ReplacementState *state;
    const char *data;
    size_t len;
};

/*
 * Releases the context and the record, then drops both references: the C
 * resources go first because luaL_unref may itself raise (out of memory,
 * when it records the first free slot of the registry).
 */
void free_replacement_state(ReplacementState *state)
{
    if (!state)
        return;
    lua_State *L = state->L;
    int callback_ref = state->callback_ref, value_ref = state->value_ref;
    mem_free(state->block, KEM_TAG);
    mem_free(state, KEM_TAG);
    if (callback_ref != -1)
        luaL_unref(L, LUA_REGISTRYINDEX, callback_ref);
    if (value_ref != -1)
        luaL_unref(L, LUA_REGISTRYINDEX, value_ref);
}

/*
 * Guarded: takes the arguments (box, template, language, callback, value)
 * from the top down as the checks go: the value's and the callback's
 * references into the record, then the language and template texts,
 * returned so that they stay on replacement's stack (a number's text exists
 * only as such a converted copy). A fault is noted in the record.
 */
int take_arguments(lua_State *L)
{
    auto *state = static_cast<ReplacementState *>(kem_guard_job(L, take_arguments));
    state->value_ref = luaL_ref(L, LUA_REGISTRYINDEX);     /* box, text, language, callback */
    if (lua_type(L, -1) != LUA_TFUNCTION) {
        state->fault = fault_callback;
        return 0;
    }
    state->callback_ref = luaL_ref(L, LUA_REGISTRYINDEX);  /* box, text, language */
    if (!lua_isstring(L, -1)) {
        state->fault = fault_language;
        return 0;
    }
    lua_tolstring(L, -1, nullptr);
    if (!lua_isstring(L, -2)) {
        state->fault = fault_template;
        return 0;
    }
    lua_tolstring(L, -2, nullptr);
    return 2;  /* text, language: texts now */
}

/* Guarded: callback(piece, value) for one piece. */
int output(lua_State *L)
{
    const auto *p = static_cast<const Piece *>(kem_guard_job(L, output));
    lua_rawgeti(L, LUA_REGISTRYINDEX, p->state->callback_ref);  /* box, callback */
    lua_pushlstring(L, p->data, p->len);                        /* box, callback, piece */
    lua_rawgeti(L, LUA_REGISTRYINDEX, p->state->value_ref);     /* box, callback, piece, value */
    lua_call(L, 2, 0);
    return 0;
}

/*
 * The service's output callback. An error of the Lua callback is left on the
 * stack of replacement's frame, and the service is told to stop.
 */
int replacement_output_cb(void *user, void *, const char *data, size_t len)
{
    auto *state = static_cast<ReplacementState *>(user);
    if (state->raised)
        return 1;  /* a service that goes on after the stop gets no more calls */
    Piece p{state, data, len};
    state->raised = kem_guard_run(state->L, state->output, &p, 0, 0) != 0;
    return state->raised;
}

/* Frees the record, then raises a message with the script position. */
int fail(lua_State *L, ReplacementState *state, const char *fmt, const char *what, int arg)
{
    free_replacement_state(state);
    return luaL_error(L, fmt, msg_name, what, arg);
}

}  // namespace

/* Runs a template in a language; each output piece goes to the callback. */
int luautils_replacement(lua_State *L)
{
    int top = lua_gettop(L);
    if (top < 3)
        return luaL_error(L, "%s() requires %d arguments", msg_name, 3);
    if (top == 3)  /* four are read; the first would be taken for the template */
        return luaL_error(L, "%s() requires %d arguments", msg_name, 4);

    int take = kem_guard_push(L, take_arguments, 4);  /* may raise: nothing held yet */
    int output_guard = kem_guard_push(L, output, 0);
    auto *state = static_cast<ReplacementState *>(mem_calloc(1, sizeof(ReplacementState), KEM_TAG));
    if (!state)
        return luaL_error(L, "%s() malloc failed", msg_name);
    state->block = mem_calloc(1, REPL_CONTEXT_SIZE, KEM_TAG);
    if (!state->block) {
        mem_free(state, KEM_TAG);
        return luaL_error(L, "%s() malloc failed", msg_name);
    }
    state->L = L;
    state->callback_ref = -1;
    state->value_ref = -1;
    state->output = output_guard;
    repl_init_context(state->block);

    for (int i = top - 3; i <= top; ++i)
        lua_pushvalue(L, i);  /* args, guards, text, language, callback, value */
    if (kem_guard_run(L, take, state, 4, 2) != 0) {  /* args, guards, text, language */
        free_replacement_state(state);
        return lua_error(L);  /* the interpreter's own error (out of memory) */
    }
    switch (state->fault) {
    case fault_callback:
        return fail(L, state, "%s() requires %s for argument #%d", "function", 3);
    case fault_language:
        return fail(L, state, "%s() requires %s for argument #%d", "string", -1);
    case fault_template:
        return fail(L, state, "%s() requires %s for argument #%d", "string", -2);
    case fault_none:
        break;
    }
    const char *language = lua_tolstring(L, -1, nullptr);
    const char *text = lua_tolstring(L, -2, nullptr);
    if ((env_language_is_allowed(language) & 0xff) == 0) {
        free_replacement_state(state);
        return luaL_error(L, "%s() language not allowed %s", msg_name, language);
    }
    interp_set_language(language);

    int32_t r = repl_process(state, nullptr, state->block, text, interp_lookup_db_field, nullptr,
                             replacement_output_cb);
    bool raised = state->raised;
    free_replacement_state(state);
    if (raised)
        return lua_error(L);  /* the callback's error value */
    kem_push_integer(L, r, "replacement");
    return 1;
}
