/*
 * The interactive prompt of kemlua, and Ctrl-C for running chunks.
 *
 * The prompt reads a statement, or an expression whose values it prints
 * ("=expr" too, as in lua5.1), continuing incomplete statements on ">>"
 * lines. On a terminal, lines are read with libedit's readline when it can
 * be loaded (editline.cpp): editing, a history kept in a file, and Tab
 * completion. Elsewhere (a pipe, a file) lines are read plainly and the
 * prompts printed.
 *
 * Ctrl-C: while a chunk runs (kemlua_pcall), the SIGINT handler sets a count
 * hook that raises "interrupted!" at the next instruction, as lua5.1 does; a
 * second Ctrl-C before that ends the process. At the prompt, Ctrl-C discards
 * the statement being typed.
 *
 * Caveats: the hook is set on the main thread, so a chunk running inside a
 * coroutine stops only when control comes back to it; LuaJIT does not run
 * hooks in compiled code, so there a tight loop stops only with the second
 * Ctrl-C, which ends kemlua. Lua errors unwind with longjmp through these
 * frames: they hold no C++ objects, and the line readline hands over is kept
 * in a static until the next read, so a raise while it is pushed loses nothing.
 */
#include "kemlua.h"

extern "C" {
#include <lauxlib.h>
#include <lua.h>
}

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>
#include <unistd.h>

namespace {

/* ---- Ctrl-C -------------------------------------------------------------- */

lua_State *volatile running = nullptr;     /* the state of the running chunk, if any */
volatile std::sig_atomic_t interrupted = 0;  /* a SIGINT since the prompt last looked */

/* Hook set by the SIGINT handler: stops the chunk (and removes itself). */
void stop_chunk(lua_State *L, lua_Debug *)
{
    lua_sethook(L, nullptr, 0, 0);
    luaL_error(L, "interrupted!");
}

void on_interrupt(int)
{
    interrupted = 1;
    lua_State *L = running;
    if (!L)
        return;
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGINT, &dfl, nullptr);  /* a second Ctrl-C before the hook runs ends kemlua */
    lua_sethook(L, stop_chunk, LUA_MASKCALL | LUA_MASKRET | LUA_MASKCOUNT, 1);
}

/* Catches SIGINT, without SA_RESTART so that a sleep or a read returns early. */
void catch_interrupts(struct sigaction *old)
{
    struct sigaction sa {};
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, old);
}

/* ---- Reading lines --------------------------------------------------------- */

enum { LINE_READ = 1, LINE_END = 0, LINE_DISCARDED = -1 };

bool editing = false;  /* lines come from libedit */

/*
 * Reads a line without its newline onto the stack: LINE_READ; LINE_END at
 * end of input, LINE_DISCARDED when Ctrl-C came (nothing pushed). A plain
 * line is read byte by byte into a luaL_Buffer, which keeps the stack short;
 * it ends at its newline and is cut at its first zero byte, as lua5.1 reads
 * it (Lua 5.1 and LuaJIT would load a zero byte differently).
 */
int read_line(lua_State *L, const char *prompt)
{
    interrupted = 0;
    if (editing) {
        const char *line = kemlua_editing_read(prompt);
        if (!line)
            return interrupted ? LINE_DISCARDED : LINE_END;
        lua_pushstring(L, line);
        return LINE_READ;
    }
    std::fputs(prompt, stdout);
    std::fflush(stdout);
    luaL_Buffer line;
    luaL_buffinit(L, &line);
    int c = EOF;
    bool read = false, cut = false;
    while ((c = std::getc(stdin)) != EOF) {
        read = true;
        if (c == '\n')
            break;
        cut = cut || c == '\0';
        if (!cut)
            luaL_addchar(&line, static_cast<char>(c));
    }
    if (read) {
        luaL_pushresult(&line);
        return LINE_READ;
    }
    if (!interrupted)  /* allocating nothing: so the end comes also without memory */
        return LINE_END;
    std::clearerr(stdin);
    return LINE_DISCARDED;
}

/* True when the load error on top says the chunk only lacks its end. */
bool incomplete(lua_State *L, int status)
{
    if (status != LUA_ERRSYNTAX)
        return false;
    size_t n = 0;
    const char *msg = lua_tolstring(L, -1, &n);
    const char eof[] = "'<eof>'";
    return n >= sizeof eof - 1 && std::strcmp(msg + n - (sizeof eof - 1), eof) == 0;
}

enum { STATEMENT_END = -1, STATEMENT_DISCARDED = -2 };

/*
 * Loads one statement onto the stack: 0 and the function, or a load status
 * and its message; STATEMENT_END at end of input, STATEMENT_DISCARDED when
 * Ctrl-C dropped it. "=expr" and an expression alone load as "return expr".
 */
int load_statement(lua_State *L)
{
    int got = read_line(L, "> ");                             /* line */
    if (got != LINE_READ)
        return got == LINE_END ? STATEMENT_END : STATEMENT_DISCARDED;
    size_t n = 0;
    const char *text = lua_tolstring(L, -1, &n);
    if (text[0] == '=') {
        lua_pushliteral(L, "return ");
        lua_pushlstring(L, text + 1, n - 1);
        lua_concat(L, 2);                                     /* line, "return expr" */
        lua_replace(L, -2);                                   /* text */
    } else {
        lua_pushliteral(L, "return ");
        lua_pushvalue(L, -2);
        lua_concat(L, 2);                                     /* line, "return line" */
        text = lua_tolstring(L, -1, &n);
        if (luaL_loadbuffer(L, text, n, "=stdin") == 0) {     /* line, "return line", function */
            lua_replace(L, -3);
            lua_pop(L, 1);                                    /* function */
            return 0;
        }
        lua_pop(L, 2);                                        /* text */
    }
    for (;;) {
        text = lua_tolstring(L, -1, &n);
        int status = luaL_loadbuffer(L, text, n, "=stdin");   /* text, function or message */
        if (!incomplete(L, status)) {
            lua_remove(L, -2);
            return status;
        }
        lua_pop(L, 1);                                        /* text */
        got = read_line(L, ">> ");                            /* text, more */
        if (got != LINE_READ) {
            lua_pop(L, 1);
            return got == LINE_END ? STATEMENT_END : STATEMENT_DISCARDED;
        }
        lua_pushliteral(L, "\n");
        lua_insert(L, -2);
        lua_concat(L, 3);                                     /* text "\n" more */
    }
}

/* Prints a message of a failed load or call on stderr (none for a nil
   error) and pops it. */
void report(lua_State *L)
{
    const char *msg = lua_tostring(L, -1);
    if (!lua_isnil(L, -1))
        std::fprintf(stderr, "kemlua: %s\n", msg ? msg : "(error object is not a string)");
    std::fflush(stderr);
    lua_pop(L, 1);
}

}  // namespace

int kemlua_pcall(lua_State *L, int nargs, int nresults)
{
    int base = lua_gettop(L) - nargs;
    lua_pushcfunction(L, kemlua_traceback);
    lua_insert(L, base);
    struct sigaction old;
    running = L;
    catch_interrupts(&old);
    int status = lua_pcall(L, nargs, nresults, base);
    running = nullptr;
    sigaction(SIGINT, &old, nullptr);
    if (lua_gethook(L) == stop_chunk)  /* a Ctrl-C too late to stop the chunk */
        lua_sethook(L, nullptr, 0, 0);
    lua_remove(L, base);
    return status;
}

namespace {

/*
 * Room kept for the prompt while statements run: given back when one runs
 * out of memory, so that the next statements can still be read and run
 * ("x = nil"), and taken again once a full collection has made room. Mapped
 * pages that are never touched: they count against an address space limit
 * (ulimit -v) but use no memory.
 */
void *reserve;
constexpr size_t reserve_size = 1024 * 1024;

void give_reserve()
{
    if (reserve)
        munmap(reserve, reserve_size);
    reserve = nullptr;
}

/* Protected: reads, runs and prints one statement; sets *end at end of input. */
int run_statement(lua_State *L)
{
    bool *end = static_cast<bool *>(lua_touserdata(L, 1));
    lua_settop(L, 0);
    if (!reserve) {
        lua_gc(L, LUA_GCCOLLECT, 0);
        void *room = mmap(nullptr, reserve_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        reserve = room == MAP_FAILED ? nullptr : room;
    }
    int status = load_statement(L);
    if (status == STATEMENT_END) {
        *end = true;
        return 0;
    }
    if (status == STATEMENT_DISCARDED) {
        std::fputs("\n", stdout);
        return 0;
    }
    if (status == 0) {
        status = kemlua_pcall(L, 0, LUA_MULTRET);
        std::fflush(stdout);  /* what the statement printed comes before its error */
    }
    if (status == LUA_ERRMEM)
        give_reserve();
    if (status != 0) {
        report(L);
        return 0;
    }
    int results = lua_gettop(L);
    if (results > 0) {
        lua_getfield(L, LUA_GLOBALSINDEX, "print");
        lua_insert(L, 1);
        if (lua_pcall(L, results, 0, 0) != 0)
            report(L);
    }
    return 0;
}

}  // namespace

/*
 * Each statement runs in a protected call of its own, so that an error
 * outside the statement's own call (no memory for the line read, a
 * metamethod of the globals when printing) is reported like the
 * statement's errors and the prompt goes on: memory the script frees in its
 * next statement is there again. The call itself allocates nothing, every
 * failing step has consumed input and the end of input is seen without
 * memory, so the loop always advances and ends.
 */
void kemlua_prompt(lua_State *L)
{
    struct sigaction old;
    catch_interrupts(&old);
    editing = kemlua_editing_start(L);
    int top = lua_gettop(L);
    lua_pushcfunction(L, run_statement);
    bool end = false;
    while (!end) {
        lua_pushvalue(L, top + 1);
        lua_pushlightuserdata(L, &end);
        int status = lua_pcall(L, 1, 0, 0);
        if (status == LUA_ERRMEM)
            give_reserve();
        if (status != 0)
            report(L);
    }
    give_reserve();
    lua_settop(L, top);
    if (editing)
        kemlua_editing_stop();
    editing = false;
    sigaction(SIGINT, &old, nullptr);
    std::fputs("\n", stdout);
}
