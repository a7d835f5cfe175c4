/*
 * The interactive prompt of kemlua, and Ctrl-C for running chunks.
 *
 * The prompt reads a statement, or an expression whose values it prints
 * ("=expr" too, as in lua5.1), continuing incomplete statements on ">>"
 * lines. On a terminal, and when built with libedit (KEM_HAVE_LIBEDIT), lines
 * are read with libedit's readline: editing, a history kept in a file, and
 * Tab completion of global names and of the fields after "a.b.". Elsewhere
 * (a pipe, a file) lines are read plainly and the prompts printed.
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

#include <fcntl.h>
#include <unistd.h>

#ifdef KEM_HAVE_LIBEDIT
#include <editline/readline.h>
#endif

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

#ifdef KEM_HAVE_LIBEDIT

bool editing = false;             /* lines come from libedit */
char history_path[4096] = "";     /* "" keeps no history */
char *held_line = nullptr;        /* the last line readline gave, freed by the next read */
char *last_remembered = nullptr;  /* the newest history entry */

lua_State *completion_state = nullptr;

/* The names that complete the word being typed: malloc'd, handed to readline one by one. */
char **candidates = nullptr;
size_t candidate_count = 0, candidate_room = 0, candidate_next = 0;

const char *const keywords[] = {"and", "break", "do", "else", "elseif", "end", "false", "for",
                                "function", "if", "in", "local", "nil", "not", "or", "repeat",
                                "return", "then", "true", "until", "while"};

void drop_candidates()
{
    for (size_t i = candidate_next; i < candidate_count; ++i)
        std::free(candidates[i]);
    candidate_count = candidate_next = 0;
}

/* Adds prefix (n bytes), name (len bytes) and tail as one candidate; drops it without memory. */
void add_candidate(const char *prefix, size_t n, const char *name, size_t len, const char *tail)
{
    if (candidate_count == candidate_room) {
        size_t room = candidate_room ? 2 * candidate_room : 64;
        auto *grown = static_cast<char **>(std::realloc(candidates, room * sizeof *candidates));
        if (!grown)
            return;
        candidates = grown;
        candidate_room = room;
    }
    size_t tail_len = std::strlen(tail);
    auto *text = static_cast<char *>(std::malloc(n + len + tail_len + 1));
    if (!text)
        return;
    std::memcpy(text, prefix, n);
    std::memcpy(text + n, name, len);
    std::memcpy(text + n + len, tail, tail_len + 1);
    candidates[candidate_count++] = text;
}

/* True when the len bytes at s form a Lua name. */
bool is_name(const char *s, size_t len)
{
    if (len == 0 || (s[0] >= '0' && s[0] <= '9'))
        return false;
    for (size_t i = 0; i < len; ++i) {
        char c = s[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'))
            return false;
    }
    return true;
}

/*
 * Protected: the candidates for the word at userdata 1, "a.b.c" or "c": the
 * fields of the table a.b (looked up without metamethods) whose names start
 * with c, or the globals and keywords that do. A table's name ends in ".".
 */
int gather(lua_State *L)
{
    const char *word = static_cast<const char *>(lua_touserdata(L, 1));
    const char *last = std::strrchr(word, '.');
    const char *partial = last ? last + 1 : word;
    size_t partial_len = std::strlen(partial);
    lua_pushvalue(L, LUA_GLOBALSINDEX);                        /* table */
    for (const char *p = word; last && p < last;) {
        const char *dot = std::strchr(p, '.');
        lua_pushlstring(L, p, static_cast<size_t>(dot - p));   /* table, key */
        lua_rawget(L, -2);                                     /* table, field */
        if (!lua_istable(L, -1))
            return 0;
        lua_replace(L, -2);                                    /* field */
        p = dot + 1;
    }
    size_t prefix_len = static_cast<size_t>(partial - word);
    lua_pushnil(L);                                            /* table, nil */
    while (lua_next(L, -2)) {                                  /* table, key, value */
        if (lua_type(L, -2) == LUA_TSTRING) {
            size_t len;
            const char *name = lua_tolstring(L, -2, &len);
            if (is_name(name, len) && len >= partial_len && std::memcmp(name, partial, partial_len) == 0)
                add_candidate(word, prefix_len, name, len, lua_istable(L, -1) ? "." : "");
        }
        lua_pop(L, 1);                                         /* table, key */
    }
    if (!last) {
        for (const char *k : keywords)
            if (std::strncmp(k, partial, partial_len) == 0)
                add_candidate("", 0, k, std::strlen(k), "");
    }
    return 0;
}

/* Hands readline the next candidate; it frees it. */
char *next_candidate(const char *, int)
{
    return candidate_next < candidate_count ? candidates[candidate_next++] : nullptr;
}

/* Tab: completes the word before the cursor from the running interpreter. */
char **complete(const char *word, int, int)
{
    rl_attempted_completion_over = 1;  /* no file names */
    drop_candidates();
    lua_State *L = completion_state;
    if (lua_cpcall(L, gather, const_cast<char *>(word)) != 0)
        lua_pop(L, 1);
    if (candidate_count == 0)
        return nullptr;
    char **matches = rl_completion_matches(word, next_candidate);
    drop_candidates();
    return matches;
}

/* Characters that end a word for completion: not '.', so "a.b.c" is one word. */
char word_breaks[] = " \t\n\"'`@$><=;|&{}()[],+-*/%^#~:";

/* The history file: KEM_HISTORY, or ~/.kemlua_history; "" when there is none. */
void choose_history()
{
    const char *path = std::getenv("KEM_HISTORY");
    int n;
    if (path) {
        n = std::snprintf(history_path, sizeof history_path, "%s", path);
    } else {
        const char *home = std::getenv("HOME");
        if (!home || !*home)
            return;
        n = std::snprintf(history_path, sizeof history_path, "%s/.kemlua_history", home);
    }
    if (n < 0 || static_cast<size_t>(n) >= sizeof history_path)
        history_path[0] = '\0';
}

/* Sets up libedit on a terminal. */
void start_editing(lua_State *L)
{
    if (!isatty(STDIN_FILENO))
        return;
    editing = true;
    completion_state = L;
    rl_readline_name = "kemlua";
    rl_attempted_completion_function = complete;
    rl_completion_append_character = '\0';
    rl_basic_word_break_characters = word_breaks;
    rl_completer_word_break_characters = word_breaks;
    using_history();
    stifle_history(1000);
    choose_history();
    if (history_path[0])
        read_history(history_path);
}

void stop_editing()
{
    std::free(held_line);
    held_line = nullptr;
    std::free(last_remembered);
    last_remembered = nullptr;
    drop_candidates();
    std::free(candidates);
    candidates = nullptr;
    candidate_room = 0;
    editing = false;
}

/* Adds a line to the history, unless empty or the same as the newest, and
   saves the file (private to the user). */
void remember(const char *line)
{
    if (!line[0] || (last_remembered && std::strcmp(line, last_remembered) == 0))
        return;
    std::free(last_remembered);
    last_remembered = strdup(line);
    add_history(line);
    if (!history_path[0])
        return;
    int fd = open(history_path, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
        close(fd);
        write_history(history_path);
    }
}

/* read_line with libedit. */
int read_edited_line(lua_State *L, const char *prompt)
{
    std::free(held_line);
    held_line = readline(prompt);
    if (!held_line)
        return interrupted ? LINE_DISCARDED : LINE_END;
    remember(held_line);
    lua_pushstring(L, held_line);
    return LINE_READ;
}

#else

void start_editing(lua_State *) {}
void stop_editing() {}

#endif  /* KEM_HAVE_LIBEDIT */

/*
 * Reads a line without its newline onto the stack: LINE_READ; LINE_END at
 * end of input, LINE_DISCARDED when Ctrl-C came (nothing pushed). A long
 * plain line is gathered in a luaL_Buffer, which keeps the stack short.
 */
int read_line(lua_State *L, const char *prompt)
{
    interrupted = 0;
#ifdef KEM_HAVE_LIBEDIT
    if (editing)
        return read_edited_line(L, prompt);
#endif
    std::fputs(prompt, stdout);
    std::fflush(stdout);
    luaL_Buffer line;
    luaL_buffinit(L, &line);
    char buf[1024];
    bool read = false;
    while (std::fgets(buf, sizeof buf, stdin)) {
        read = true;
        size_t n = std::strlen(buf);
        bool end = n > 0 && buf[n - 1] == '\n';
        luaL_addlstring(&line, buf, end ? n - 1 : n);
        if (end)
            break;
    }
    luaL_pushresult(&line);
    if (read)
        return LINE_READ;
    lua_pop(L, 1);
    if (!interrupted)
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
        lua_pushfstring(L, "return %s", text + 1);            /* line, "return expr" */
        lua_replace(L, -2);                                   /* text */
    } else {
        lua_pushfstring(L, "return %s", text);                /* line, "return line" */
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

/* Prints a message of a failed load or call on stderr and pops it. */
void report(lua_State *L)
{
    const char *msg = lua_tostring(L, -1);
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

void kemlua_prompt(lua_State *L)
{
    struct sigaction old;
    catch_interrupts(&old);
    start_editing(L);
    int status;
    while ((status = load_statement(L)) != STATEMENT_END) {
        if (status == STATEMENT_DISCARDED) {
            std::fputs("\n", stdout);
            continue;
        }
        if (status != 0) {
            report(L);
            continue;
        }
        int base = lua_gettop(L);
        status = kemlua_pcall(L, 0, LUA_MULTRET);
        std::fflush(stdout);  /* what the statement printed comes before its error */
        if (status != 0) {
            report(L);
            continue;
        }
        int results = lua_gettop(L) - base + 1;
        if (results > 0) {
            lua_getfield(L, LUA_GLOBALSINDEX, "print");
            lua_insert(L, base);
            if (lua_pcall(L, results, 0, 0) != 0)
                report(L);
        }
    }
    stop_editing();
    sigaction(SIGINT, &old, nullptr);
    std::fputs("\n", stdout);
}
