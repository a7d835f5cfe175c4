/*
 * kemlua: runs device scripts on a workstation as the device runs them.
 *
 * It opens the standard libraries, creates the global table kiv, loads
 * libkemluautils (global kemluautils; require "libkemluautils" gives the same
 * table), installs kiv.RFC1630_Escape and runs a script file with its
 * arguments, code given with -e, or the prompt (prompt.cpp). Errors go to
 * stderr with a traceback and make the exit status nonzero; Ctrl-C stops a
 * running chunk with "interrupted!". --serve NAME HANDLER.lua stands in for
 * a device service instead (serve.cpp).
 *
 * --device-numbers (KEM_DEVICE_NUMBERS) narrows the library's numbers as
 * the device's interpreter holds them; --warn also reports each value that
 * would differ there.
 *
 * KEM_MEM_REPORT=1 lists the allocator's live blocks at exit. --profile FILE
 * (or KEM_DEVICE_PROFILE=FILE) makes the host services behave like the device
 * described in FILE; a profile that cannot be used stops kemlua with status 2.
 */
#include "kemlua.h"
#include "kemluautils.h"
#include "platform/host/mem_debug.h"
#include "platform/host/profile.h"

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>
#if __has_include(<malloc.h>)
#include <malloc.h> /* mallopt, where the C library has it */
#endif

#if __has_include(<luajit.h>)
extern "C" {
#include <luajit.h>
}
#endif

int kemlua_traceback(lua_State *L)
{
    if (lua_isnil(L, 1))
        return 1;  /* error() without a message: nothing to report, as lua5.1 does */
    if (!lua_isstring(L, 1)) {
        if (lua_isnone(L, 1) || !luaL_callmeta(L, 1, "__tostring") || !lua_isstring(L, -1))
            lua_pushfstring(L, "(error object is a %s value)", luaL_typename(L, 1));
        lua_replace(L, 1);
    }
    lua_getfield(L, LUA_GLOBALSINDEX, "debug");
    if (!lua_istable(L, -1)) {
        lua_pop(L, 1);
        return 1;
    }
    lua_getfield(L, -1, "traceback");
    if (!lua_isfunction(L, -1)) {
        lua_pop(L, 2);
        return 1;
    }
    lua_pushvalue(L, 1);
    lua_pushinteger(L, 2);
    lua_call(L, 2, 1);
    return 1;
}

void kemlua_open_environment(lua_State *L)
{
    luaL_openlibs(L);
    lua_newtable(L);
    lua_setfield(L, LUA_GLOBALSINDEX, "kiv");
    lua_pushcfunction(L, luaopen_libkemluautils);
    lua_call(L, 0, 1);
    /* require "libkemluautils" finds the table already loaded */
    lua_getfield(L, LUA_REGISTRYINDEX, "_LOADED");
    lua_pushvalue(L, -2);
    lua_setfield(L, -2, "libkemluautils");
    lua_pop(L, 2);
    escape_init(L);  /* kiv.RFC1630_Escape, as the device's host installs it */
    lua_pop(L, 1);   /* the kiv table it leaves */
    kemlua_preload_json(L);
}

namespace {

const char usage_text[] =
    "usage: kemlua [options] [script [args...]]\n"
    "Runs a Lua 5.1 script with libkemluautils loaded, as on the device.\n"
    "\n"
    "options:\n"
    "  -e CODE      run CODE (may be given more than once)\n"
    "  -l NAME      require library NAME before the script\n"
    "  --profile FILE\n"
    "               behave like the device described in the JSON profile FILE\n"
    "  --device-numbers[=on|off|warn]\n"
    "               the library's numbers as on the device: integers of 32 bits,\n"
    "               other numbers of single precision (docs/numbers.md)\n"
    "  --warn       device numbers, and a warning on stderr for each script line\n"
    "               that would see a different number on the device\n"
    "  -            run the script read from standard input\n"
    "  --           stop handling options\n"
    "  -i           enter the interactive prompt after running the script\n"
    "  -v, --version  show the versions of kemlua, the library and Lua\n"
    "  -h, --help   show this text\n"
    "With no script and no -e, kemlua reads the script from standard input,\n"
    "or shows an interactive prompt when that is a terminal: line editing,\n"
    "history (KEM_HISTORY, default ~/.kemlua_history; empty or /dev/null:\n"
    "none), Tab completion, '=expr' prints values, Ctrl-C stops what runs.\n"
    "\n"
    "  kemlua [--profile FILE] [-v] --serve NAME HANDLER.lua\n"
    "               serve IPC endpoint NAME: HANDLER.lua returns a function\n"
    "               handle(command, send) that answers qecmd calls; runs until\n"
    "               SIGINT/SIGTERM (see docs/ipc.md); -v logs each request\n"
    "\n"
    "The script sees its arguments in the table arg and as '...'; the global\n"
    "kiv is a table, the global kemluautils the module.\n"
    "\n"
    "environment:\n"
    "  KEM_MEM_REPORT=1   list the allocator's live blocks at exit\n"
    "  KEM_DEVICE_NUMBERS=on|off|warn   --device-numbers for any interpreter\n"
    "  KEM_DEVICE_PROFILE=FILE   the device profile when --profile is not given\n"
    "                            (status 2 when a profile cannot be used)\n"
    "  KEM_IPC_DIR        folder of the IPC endpoints (default /tmp/kem-ipc-UID);\n"
    "                     must be owned by this user and writable by nobody else\n"
    "  KEM_IPC_TIMEOUT_MS silence that ends an IPC exchange (60000; 0: never)\n"
    "  KEM_IPC_TRUST_UIDS further user ids (comma-separated) whose endpoints and\n"
    "                     clients are trusted besides this user and root\n";

const char *progname = "kemlua";

struct Options {
    int script = 0;          /* argv index of the script, 0: none */
    const char *profile = nullptr;
    const char *serve = nullptr;  /* --serve NAME */
    const char *numbers = nullptr;  /* --device-numbers[=MODE], --warn */
    bool help = false;
    bool dash_v = false;       /* -v: --version, or --verbose with --serve */
    bool version = false;
    bool verbose = false;      /* --serve logs each request */
    bool interactive = false;  /* -i: a prompt after the script */
    bool code = false;         /* -e or -l given */
    bool bad = false;
};

/* Prints the live blocks of the allocator when KEM_MEM_REPORT=1. */
void report_memory()
{
    const char *want = std::getenv("KEM_MEM_REPORT");
    if (!want || std::strcmp(want, "1") != 0)
        return;
    std::fprintf(stderr, "%s: %zu live blocks, %zu bytes\n", progname, mem_live_blocks(),
                 mem_live_bytes());
    mem_report(stderr);
}


/* Calls the function below nargs arguments; prints an error (none for a
   nil one). 0 on success. */
int docall(lua_State *L, int nargs)
{
    int status = kemlua_pcall(L, nargs, 0);
    if (status != 0) {
        const char *msg = lua_tostring(L, -1);
        if (!lua_isnil(L, -1))
            std::fprintf(stderr, "%s: %s\n", progname, msg ? msg : "(error object is not a string)");
        std::fflush(stderr);
        lua_pop(L, 1);
        lua_gc(L, LUA_GCCOLLECT, 0);
    }
    return status;
}

/* Reports a load error; 0 when the chunk loaded. */
int report_load(lua_State *L, int status)
{
    if (status != 0) {
        std::fprintf(stderr, "%s: %s\n", progname, lua_tostring(L, -1));
        lua_pop(L, 1);
    }
    return status;
}

/* The global arg table as lua5.1 makes it: arg[0] the script. */
void create_arg_table(lua_State *L, char **argv, int argc, int script)
{
    lua_createtable(L, argc - script - 1, script + 1);
    for (int i = 0; i < argc; ++i) {
        lua_pushstring(L, argv[i]);
        lua_rawseti(L, -2, i - script);
    }
    lua_setfield(L, LUA_GLOBALSINDEX, "arg");
}


Options parse_options(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        if (std::strcmp(a, "-h") == 0 || std::strcmp(a, "--help") == 0) {
            o.help = true;
        } else if (std::strcmp(a, "-v") == 0) {
            o.dash_v = true;
        } else if (std::strcmp(a, "--version") == 0) {
            o.version = true;
        } else if (std::strcmp(a, "--verbose") == 0) {
            o.verbose = true;
        } else if (std::strcmp(a, "--device-numbers") == 0) {
            if (!o.numbers)
                o.numbers = "on";
        } else if (std::strncmp(a, "--device-numbers=", 17) == 0) {
            o.numbers = a + 17;
        } else if (std::strcmp(a, "--warn") == 0) {
            o.numbers = "warn";
        } else if (std::strcmp(a, "-i") == 0) {
            o.interactive = true;
        } else if (std::strcmp(a, "-e") == 0 || std::strcmp(a, "-l") == 0 ||
                   std::strcmp(a, "--profile") == 0 || std::strcmp(a, "--serve") == 0) {
            if (++i >= argc) {
                std::fprintf(stderr, "%s: '%s' needs an argument\n", progname, a);
                o.bad = true;
                return o;
            }
            if (std::strcmp(a, "--profile") == 0)
                o.profile = argv[i];
            else if (std::strcmp(a, "--serve") == 0)
                o.serve = argv[i];
            else
                o.code = true;
        } else if (std::strcmp(a, "--") == 0) {
            if (i + 1 < argc)
                o.script = i + 1;
            return o;
        } else if (a[0] == '-' && a[1] != '\0') {
            std::fprintf(stderr, "%s: unrecognized option '%s'\n", progname, a);
            o.bad = true;
            return o;
        } else {
            o.script = i;
            return o;
        }
    }
    return o;
}

/* Runs the -e and -l options in order; 0 when all succeeded. */
int run_options(lua_State *L, char **argv, int end)
{
    for (int i = 1; i < end; ++i) {
        if (std::strcmp(argv[i], "-e") == 0) {
            const char *code = argv[++i];
            if (report_load(L, luaL_loadbuffer(L, code, std::strlen(code), "=(command line)")) ||
                docall(L, 0))
                return 1;
        } else if (std::strcmp(argv[i], "--profile") == 0 || std::strcmp(argv[i], "--serve") == 0) {
            ++i;
        } else if (std::strcmp(argv[i], "-l") == 0) {
            lua_getfield(L, LUA_GLOBALSINDEX, "require");
            lua_pushstring(L, argv[++i]);
            if (docall(L, 1))
                return 1;
        }
    }
    return 0;
}

/* Runs the script argv[script] with the arguments after it. */
int run_script(lua_State *L, int argc, char **argv, int script)
{
    const char *name = argv[script];
    if (std::strcmp(name, "-") == 0)
        name = nullptr;  /* standard input */
    if (report_load(L, luaL_loadfile(L, name)))
        return 1;
    int nargs = argc - script - 1;
    luaL_checkstack(L, nargs + 1, "too many arguments to script");
    for (int i = script + 1; i < argc; ++i)
        lua_pushstring(L, argv[i]);
    return docall(L, nargs);
}

/* The version line of --version and of the prompt's banner: kemlua's own,
   the loaded library's (its _VERSION) and the interpreter's. */
void print_version(lua_State *L)
{
#if defined(LUAJIT_VERSION)
    const char *lua = LUAJIT_VERSION;
#else
    const char *lua = LUA_RELEASE;
#endif
    const char *library = nullptr;
    int top = lua_gettop(L);
    lua_getfield(L, LUA_REGISTRYINDEX, "_LOADED");
    lua_getfield(L, -1, "libkemluautils");
    if (lua_istable(L, -1)) {
        lua_getfield(L, -1, "_VERSION");
        library = lua_tostring(L, -1);
    }
    std::printf("kemlua %s (libkemluautils %s, %s)\n", KEM_VERSION, library ? library : "unknown", lua);
    lua_settop(L, top);
}

struct Run {
    int argc;
    char **argv;
    Options opts;
    int status;
};

/* Checks what --serve allows with it: --profile and -v, a handler and nothing after it. */
bool serve_options_usable(const Run &run)
{
    const Options &o = run.opts;
    const char *why = nullptr;
    if (o.code || o.interactive)
        why = "-e, -l and -i do not go with --serve";
    else if (!o.script || std::strcmp(run.argv[o.script], "-") == 0)
        why = "--serve needs a handler script";
    else if (o.script + 1 < run.argc)
        why = "--serve takes no arguments after the handler script";
    if (why)
        std::fprintf(stderr, "%s: %s\n", progname, why);
    return !why;
}

/*
 * Settles the device numbers mode: the option's, else KEM_DEVICE_NUMBERS,
 * which the library reads (and so do the programs a script starts). With
 * --warn, --device-numbers adds nothing. 0 when the mode is known.
 */
int select_numbers(const char *mode)
{
    if (mode && !*mode) {
        std::fprintf(stderr, "%s: --device-numbers= needs a mode: use on, off or warn\n", progname);
        return -1;
    }
    const char *env = std::getenv("KEM_DEVICE_NUMBERS");
    const char *value = mode ? mode : env ? env : "";
    static const char *const known[] = {"", "off", "0", "on", "1", "warn"};
    for (const char *k : known) {
        if (std::strcmp(value, k) != 0)
            continue;
        if (!mode || setenv("KEM_DEVICE_NUMBERS", mode, 1) == 0)
            return 0;
        std::fprintf(stderr, "%s: cannot set KEM_DEVICE_NUMBERS: %s\n", progname, std::strerror(errno));
        return -1;
    }
    std::fprintf(stderr, "%s: device numbers mode '%s'%s: use on, off or warn\n", progname, value,
                 mode ? "" : " (KEM_DEVICE_NUMBERS)");
    return -1;
}

/* Selects the device profile of --profile or KEM_DEVICE_PROFILE (empty: the
   built-in one); 0 when usable. */
int select_profile(const char *path)
{
    if (path && !*path) {
        std::fprintf(stderr, "%s: --profile needs a file name, not an empty one\n", progname);
        return -1;
    }
    if (!path)
        path = std::getenv(ENV_PROFILE_VARIABLE);
    if (!path || !*path)
        return 0;
    char err[512];
    if (env_load_profile(path, err, sizeof err) == 0)
        return 0;
    std::fprintf(stderr, "%s: device profile %s\n", progname, err);
    return -1;
}

/* The whole run inside a protected call, so that no error escapes. */
int protected_main(lua_State *L)
{
    auto *run = static_cast<Run *>(lua_touserdata(L, 1));
    kemlua_open_environment(L);
    if (run->opts.version) {
        print_version(L);
        return 0;
    }
    int end = run->opts.script ? run->opts.script : run->argc;
    if (run->opts.script && std::strcmp(run->argv[run->opts.script - 1], "--") == 0)
        end = run->opts.script - 1;
    create_arg_table(L, run->argv, run->argc, run->opts.script ? run->opts.script : 0);
    run->status = run_options(L, run->argv, end);
    if (run->status == 0 && run->opts.script)
        run->status = run_script(L, run->argc, run->argv, run->opts.script);
    bool nothing_else = !run->opts.script && !run->opts.code;
    bool tty = isatty(STDIN_FILENO);
    if (run->status == 0 && (run->opts.interactive || (nothing_else && tty))) {
        print_version(L);
        kemlua_prompt(L);
    } else if (run->status == 0 && nothing_else) {
        run->status = report_load(L, luaL_loadfile(L, nullptr)) || docall(L, 0);
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
#ifdef M_TOP_PAD
    /* glibc gives the top of its heap back whenever a large free leaves more
       than 128 KiB there, and takes it again at the next allocation, fresh
       pages each time. The interpreter's strings of a qecmd answer (64 KB
       each, freed a few at a time by the collector) can make that happen
       several times per delivery: a 10 MB answer in 64 KB deliveries took
       4.7 ms (up to 24) instead of 2.3. The heap keeps 1 MiB at its top
       instead, and blocks up to 1 MiB come from it (glibc's moving
       threshold is off once any setting is made). */
    mallopt(M_TOP_PAD, 1 << 20);
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
    std::atexit(report_memory);
    Run run{argc, argv, parse_options(argc, argv), 0};
    Options &o = run.opts;
    if (o.dash_v && o.serve)
        o.verbose = true;
    else if (o.dash_v)
        o.version = true;
    if (o.verbose && !o.serve) {
        std::fprintf(stderr, "%s: --verbose goes with --serve\n", progname);
        o.bad = true;
    }
    if (o.serve && !o.help && !o.bad && !serve_options_usable(run))
        o.bad = true;
    if (run.opts.help || run.opts.bad) {
        std::fputs(usage_text, run.opts.bad ? stderr : stdout);
        return run.opts.bad ? 2 : 0;
    }

    if (select_numbers(o.numbers) != 0 || (!o.version && select_profile(o.profile) != 0))
        return 2;
    if (o.serve && !o.version)
        return kemlua_serve(o.serve, argv[o.script], o.verbose);

    lua_State *L = luaL_newstate();
    if (!L) {
        std::fprintf(stderr, "%s: cannot create the interpreter: not enough memory\n", progname);
        return 1;
    }
    int status = lua_cpcall(L, protected_main, &run);
    if (status != 0) {
        std::fprintf(stderr, "%s: %s\n", progname, lua_tostring(L, -1));
        run.status = 1;
    }
    lua_close(L);
    return run.status ? 1 : 0;
}
