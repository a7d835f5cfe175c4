/*
 * Template replacement with a Lua output callback.
 *
 * replacement(text, language, callback, value) runs the template through
 * the replacement service in an allowed language; every piece of output
 * goes to callback(piece, value). The callback and the pass-through value
 * are anchored in the registry for the length of the call.
 *
 * Caveats: the Lua callback runs inside the service, so it runs protected
 * (lua_cpcall). When it raises, the output callback asks the service to
 * stop; the record and both references are released and then the
 * callback's own error value is raised again. The language set for the run
 * stays set afterwards.
 */
#include "luaaux.h"
#include "platform/env.h"
#include "platform/repl.h"

namespace {

const char msg_name[] = "luautils_replacement";

/* One call's state; its address is the service's user pointer. */
struct ReplacementState {
    void *block;        /* the service's context, REPL_CONTEXT_SIZE bytes */
    lua_State *L;       /* the calling script's state, borrowed */
    int callback_ref;   /* registry reference of the callback, -1: none */
    int value_ref;      /* registry reference of the pass-through value, -1: none */
};

/* Drops both references and releases the context and the record. */
void free_replacement_state(ReplacementState *state)
{
    if (!state)
        return;
    if (state->callback_ref != -1)
        luaL_unref(state->L, LUA_REGISTRYINDEX, state->callback_ref);
    if (state->value_ref != -1)
        luaL_unref(state->L, LUA_REGISTRYINDEX, state->value_ref);
    mem_free(state->block, KEM_TAG);
    mem_free(state, KEM_TAG);
}

/*
 * The service's output callback. An error of the Lua callback is left on the
 * stack of replacement's frame, and the service is told to stop.
 */
int replacement_output_cb(void *user, void *, const char *data, size_t len)
{
    auto *state = static_cast<ReplacementState *>(user);
    return kem_call_back(state->L, state->callback_ref, data, len, state->value_ref) != 0;
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
    repl_init_context(state->block);

    state->value_ref = luaL_ref(L, LUA_REGISTRYINDEX);         /* text, language, callback */
    if (lua_type(L, -1) != LUA_TFUNCTION)
        return fail(L, state, "%s() requires %s for argument #%d", "function", 3);
    state->callback_ref = luaL_ref(L, LUA_REGISTRYINDEX);      /* text, language */
    if (!lua_isstring(L, -1))
        return fail(L, state, "%s() requires %s for argument #%d", "string", -1);
    const char *language = lua_tolstring(L, -1, nullptr);
    if (!lua_isstring(L, -2))
        return fail(L, state, "%s() requires %s for argument #%d", "string", -2);
    const char *text = lua_tolstring(L, -2, nullptr);
    if ((env_language_is_allowed(language) & 0xff) == 0) {
        free_replacement_state(state);
        return luaL_error(L, "%s() language not allowed %s", msg_name, language);
    }
    interp_set_language(language);

    top = lua_gettop(L);
    int32_t r = repl_process(state, nullptr, state->block, text, interp_lookup_db_field, nullptr,
                             replacement_output_cb);
    free_replacement_state(state);
    if (lua_gettop(L) > top)  /* the callback's error value */
        return lua_error(L);
    lua_pushinteger(L, r);
    return 1;
}
