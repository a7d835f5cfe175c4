/*
 * Line editing at kemlua's prompt: libedit's readline, a history and Tab
 * completion of global names and of the fields after "a.b.".
 *
 * libedit (with libbsd, libmd and libtinfo behind it) is loaded with dlopen
 * when the prompt starts on a terminal, not linked: a kemlua that runs a
 * script never loads it, which saves start-up work on every run. Without
 * it (not installed) the prompt reads plain lines.
 *
 * Caveats: the names and candidates handed to libedit are on the C
 * allocator, as libedit frees them; the library stays loaded until exit.
 */
#include "kemlua.h"

extern "C" {
#include <lua.h>
}

#ifdef KEM_HAVE_LIBEDIT

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>
#include <unistd.h>

#include <editline/readline.h>

#ifndef KEM_LIBEDIT_SONAME
#define KEM_LIBEDIT_SONAME "libedit.so.2"
#endif

namespace {

/* What kemlua uses of libedit, found with dlsym (variables by address). */
struct Libedit {
    decltype(&::readline) read;
    decltype(&::add_history) add;
    decltype(&::using_history) use_history;
    decltype(&::stifle_history) stifle;
    decltype(&rl_completion_matches) completion_matches;
    decltype(&rl_readline_name) readline_name;
    decltype(&rl_attempted_completion_function) attempted_completion_function;
    decltype(&rl_completion_append_character) completion_append_character;
    decltype(&rl_basic_word_break_characters) basic_word_break_characters;
    decltype(&rl_completer_word_break_characters) completer_word_break_characters;
    decltype(&rl_attempted_completion_over) attempted_completion_over;
} ed;

/* Loads libedit and its symbols; false, after saying why, when it cannot. */
bool load_libedit()
{
    struct {
        const char *name;
        void *slot;  /* the member of ed */
    } const symbols[] = {
        {"readline", &ed.read},
        {"add_history", &ed.add},
        {"using_history", &ed.use_history},
        {"stifle_history", &ed.stifle},
        {"rl_completion_matches", &ed.completion_matches},
        {"rl_readline_name", &ed.readline_name},
        {"rl_attempted_completion_function", &ed.attempted_completion_function},
        {"rl_completion_append_character", &ed.completion_append_character},
        {"rl_basic_word_break_characters", &ed.basic_word_break_characters},
        {"rl_completer_word_break_characters", &ed.completer_word_break_characters},
        {"rl_attempted_completion_over", &ed.attempted_completion_over},
    };
    void *lib = dlopen(KEM_LIBEDIT_SONAME, RTLD_NOW | RTLD_LOCAL);
    for (const auto &s : symbols) {
        void *address = lib ? dlsym(lib, s.name) : nullptr;
        if (!address) {
            const char *why = dlerror();
            std::fprintf(stderr, "kemlua: no line editing: %s\n", why ? why : "libedit is incomplete");
            return false;
        }
        std::memcpy(s.slot, &address, sizeof address);  /* object or function pointer alike */
    }
    return true;
}

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
    *ed.attempted_completion_over = 1;  /* no file names */
    drop_candidates();
    lua_State *L = completion_state;
    if (lua_cpcall(L, gather, const_cast<char *>(word)) != 0)
        lua_pop(L, 1);
    if (candidate_count == 0)
        return nullptr;
    char **matches = ed.completion_matches(word, next_candidate);
    drop_candidates();
    return matches;
}

/* Characters that end a word for completion: not '.', so "a.b.c" is one word. */
char word_breaks[] = " \t\n\"'`@$><=;|&{}()[],+-*/%^#~:";

void add_entry(const char *line)
{
    ed.add(line);
}

}  // namespace

bool kemlua_editing_start(lua_State *L)
{
    if (!isatty(STDIN_FILENO) || !load_libedit())
        return false;
    completion_state = L;
    *ed.readline_name = "kemlua";
    *ed.attempted_completion_function = complete;
    *ed.completion_append_character = '\0';
    *ed.basic_word_break_characters = word_breaks;
    *ed.completer_word_break_characters = word_breaks;
    ed.use_history();
    ed.stifle(1000);
    kemlua_history_open(add_entry);
    return true;
}

const char *kemlua_editing_read(const char *prompt)
{
    std::free(held_line);
    held_line = ed.read(prompt);
    if (!held_line)
        return nullptr;
    const char *line = held_line;
    if (line[0] && !(last_remembered && std::strcmp(line, last_remembered) == 0)) {
        std::free(last_remembered);
        last_remembered = strdup(line);
        ed.add(line);
        kemlua_history_save(line);
    }
    return line;
}

void kemlua_editing_stop()
{
    kemlua_history_close();
    std::free(held_line);
    held_line = nullptr;
    std::free(last_remembered);
    last_remembered = nullptr;
    drop_candidates();
    std::free(candidates);
    candidates = nullptr;
    candidate_room = 0;
}

#else  /* built without libedit's headers: plain lines */

bool kemlua_editing_start(lua_State *) { return false; }
const char *kemlua_editing_read(const char *) { return nullptr; }
void kemlua_editing_stop() {}

#endif
