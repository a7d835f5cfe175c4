// qecmd over the host IPC service against a plain C client and server over
// the same kind of socket and the same frames (the floor): the round trip of
// a small command and the throughput of a 10 MB answer in 64 KB deliveries.
//
// The floor is what the socket allows: its server writes each frame with one
// writev, its client reads in 256 KiB gulps and only counts the payload
// bytes (the kernel's copy is their one copy); "FloorLuaStrings" also hands
// each delivery to a Lua function as a string, which any call that hands
// deliveries to a Lua callback must. "Qecmd" runs the Lua call against a
// kemlua --serve peer (Lua handler); "QecmdToFloorServer" runs it against
// the floor server, which separates the client's cost from the peer's.
// Both servers stamp each 64 KB piece of the big answer with its number, as
// the pieces of a real answer differ. "EndpointCreateDestroy" is the cost
// of the endpoint every qecmd call makes and releases, which the floor does
// not have. TMPDIR chooses the folder's file system (default /tmp).
#include <benchmark/benchmark.h>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include "kemluautils.h"
#include "platform/ipc.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#if __has_include(<malloc.h>)
#include <malloc.h> /* mallopt, where the C library has it */
#endif
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr size_t piece_size = 64 * 1024;
constexpr int big_pieces = 160;  // 10 MiB

std::string folder;
pid_t floor_pid = -1;
pid_t peer_pid = -1;

sockaddr_un address(const char *name)
{
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s/%s", folder.c_str(), name);
    return a;
}

bool read_full(int fd, void *p, size_t n)
{
    auto *b = static_cast<char *>(p);
    while (n) {
        ssize_t r = read(fd, b, n);
        if (r <= 0)
            return false;
        b += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool write_frame(int fd, char type, const void *data, uint32_t n)
{
    unsigned char h[5] = {static_cast<unsigned char>(type), static_cast<unsigned char>(n >> 24),
                          static_cast<unsigned char>(n >> 16), static_cast<unsigned char>(n >> 8),
                          static_cast<unsigned char>(n)};
    iovec iov[2] = {{h, 5}, {const_cast<void *>(data), n}};
    return writev(fd, iov, 2) == static_cast<ssize_t>(5 + n);
}

uint32_t payload_length(const unsigned char *h)
{
    return (uint32_t(h[1]) << 24) | (uint32_t(h[2]) << 16) | (uint32_t(h[3]) << 8) | h[4];
}

/*
 * Marks a piece of an answer as the n-th: its first and last 16 bytes are
 * n in hex. Deliveries of a real answer differ; identical ones would let
 * the interpreter find each string already made instead of making it.
 */
void stamp(char *piece, unsigned long n)
{
    char mark[17];
    std::snprintf(mark, sizeof mark, "%016lx", n);
    std::memcpy(piece, mark, 16);
    std::memcpy(piece + piece_size - 16, mark, 16);
}

/* The floor server: blocking, one connection at a time. */
[[noreturn]] void floor_server()
{
    sockaddr_un a = address("floor");
    int ls = socket(AF_UNIX, SOCK_STREAM, 0);
    if (bind(ls, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(ls, 64) != 0)
        _exit(1);
    static char piece[piece_size];
    std::memset(piece, 'x', sizeof piece);
    unsigned long serial = 0;
    for (;;) {
        int c = accept(ls, nullptr, nullptr);
        unsigned char h[5];
        char cmd[64];
        if (c >= 0 && read_full(c, h, 5)) {
            uint32_t n = payload_length(h);
            if (n < sizeof cmd && read_full(c, cmd, n)) {
                if (n == 3 && std::memcmp(cmd, "big", 3) == 0) {
                    for (int i = 0; i < big_pieces; ++i) {
                        stamp(piece, ++serial);
                        write_frame(c, 'D', piece, piece_size);
                    }
                } else {
                    write_frame(c, 'D', "pong", 4);
                }
                write_frame(c, 'E', "", 1);
            }
        }
        if (c >= 0)
            close(c);
    }
}

/* A connection to the floor server with the command sent; -1 when it fails. */
int floor_connect(const char *command)
{
    sockaddr_un a = address("floor");
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    write_frame(fd, 'C', command, static_cast<uint32_t>(std::strlen(command)));
    return fd;
}

/* The floor client: one exchange; the answer bytes, or -1. */
long floor_call(const char *command)
{
    int fd = floor_connect(command);
    if (fd < 0)
        return -1;
    static unsigned char buf[256 * 1024];
    size_t have = 0, skip = 0;  /* bytes in buf; payload bytes of the frame still to come */
    long total = 0;
    for (ssize_t r; (r = read(fd, buf + have, sizeof buf - have)) > 0;) {
        have += static_cast<size_t>(r);
        size_t pos = 0;
        for (;;) {
            size_t n = skip < have - pos ? skip : have - pos;
            skip -= n;
            pos += n;
            total += static_cast<long>(n);
            if (skip || have - pos < 5)
                break;
            if (buf[pos] == 'E') {
                close(fd);
                return total;
            }
            skip = payload_length(buf + pos);
            pos += 5;
        }
        std::memmove(buf, buf + pos, have - pos);
        have -= pos;
    }
    close(fd);
    return -1;
}

/*
 * The floor client that also hands each delivery to a Lua function as a
 * string, as a call that hands deliveries to a Lua callback must: the limit
 * for qecmd. Frames are taken where they lie in the buffer; a read stops at
 * the end of a frame whose header is in, so no frame is ever moved but to
 * start a fresh buffer.
 */
long floor_lua_call(lua_State *L, const char *command)
{
    int fd = floor_connect(command);
    if (fd < 0)
        return -1;
    static unsigned char buf[512 * 1024];
    size_t have = 0, pos = 0;  /* bytes in buf; the first not yet taken */
    long total = 0;
    for (;;) {
        size_t want = 256 * 1024;
        if (have - pos >= 5 && 5 + payload_length(buf + pos) - (have - pos) < want)
            want = 5 + payload_length(buf + pos) - (have - pos);
        if (pos == have) {
            pos = have = 0;
        } else if (have + want > sizeof buf) {
            std::memmove(buf, buf + pos, have - pos);
            have -= pos;
            pos = 0;
        }
        ssize_t r = read(fd, buf + have, want);
        if (r <= 0)
            break;
        have += static_cast<size_t>(r);
        for (size_t n; have - pos >= 5 && have - pos >= 5 + (n = payload_length(buf + pos)); pos += 5 + n) {
            if (buf[pos] == 'E') {
                close(fd);
                return total;
            }
            lua_getfield(L, LUA_GLOBALSINDEX, "count");
            lua_pushlstring(L, reinterpret_cast<const char *>(buf + pos + 5), n);
            lua_call(L, 1, 0);
            total += static_cast<long>(n);
        }
    }
    close(fd);
    return -1;
}

bool wait_for_socket(const char *name)
{
    sockaddr_un a = address(name);
    for (int i = 0; i < 200; ++i) {
        struct stat st;
        if (stat(a.sun_path, &st) == 0)
            return true;
        usleep(20000);
    }
    return false;
}

void start_servers()
{
    const char *parent = std::getenv("TMPDIR");
    std::string tmpl = std::string(parent && *parent ? parent : "/tmp") + "/kem-bench-ipc-XXXXXX";
    folder = mkdtemp(tmpl.data());
    setenv("KEM_IPC_DIR", folder.c_str(), 1);
    floor_pid = fork();
    if (floor_pid == 0)
        floor_server();
    std::string handler = folder + "/handler.lua";
    FILE *f = std::fopen(handler.c_str(), "w");
    std::fprintf(f, "local piece, n = string.rep('x', %zu), 0\n"
                    "return function(command, send)\n"
                    "  if command == 'big' then for _ = 1, %d do\n"
                    "    n = n + 1\n"
                    "    local mark = string.format('%%016x', n)\n"
                    "    send(mark .. piece .. mark)\n"
                    "  end\n"
                    "  else send('pong') end\n"
                    "  return true\n"
                    "end\n",
                 piece_size - 32, big_pieces);
    std::fclose(f);
    peer_pid = fork();
    if (peer_pid == 0) {
        std::string kemlua = std::string(KEM_BINARY_DIR) + "/kemlua";
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        execl(kemlua.c_str(), "kemlua", "--serve", "peer", handler.c_str(), nullptr);
        _exit(127);
    }
    if (!wait_for_socket("floor") || !wait_for_socket("peer")) {
        std::fprintf(stderr, "bench_ipc: the servers did not start\n");
        std::exit(1);
    }
}

void stop_servers()
{
    for (pid_t p : {floor_pid, peer_pid}) {
        kill(p, SIGTERM);
        waitpid(p, nullptr, 0);
    }
    unlink(address("floor").sun_path);
    unlink((folder + "/handler.lua").c_str());
    rmdir(folder.c_str());
}

/*
 * An interpreter with the module, a function count(d) that the floor and
 * qecmd hand each delivery to, and call(dest, cmd) -> bytes.
 */
lua_State *new_state()
{
    lua_State *L = luaL_newstate();
    luaL_openlibs(L);
    lua_newtable(L);
    lua_setfield(L, LUA_GLOBALSINDEX, "kiv");
    lua_pushcfunction(L, luaopen_libkemluautils);
    lua_call(L, 0, 0);
    luaL_dostring(L, "local n = 0\n"
                     "function count(d) n = n + #d end\n"
                     "function call(dest, cmd)\n"
                     "  n = 0\n"
                     "  if not kemluautils.qecmd(dest, cmd, count, nil) then return -1 end\n"
                     "  return n\n"
                     "end\n");
    return L;
}

long lua_call_once(lua_State *L, const char *dest, const char *cmd)
{
    lua_getfield(L, LUA_GLOBALSINDEX, "call");
    lua_pushstring(L, dest);
    lua_pushstring(L, cmd);
    lua_call(L, 2, 1);
    long n = static_cast<long>(lua_tointeger(L, -1));
    lua_pop(L, 1);
    return n;
}

void BM_RoundTrip_Floor(benchmark::State &state)
{
    for (auto _ : state)
        if (floor_call("small") != 4)
            state.SkipWithError("floor exchange failed");
}

void qecmd_bench(benchmark::State &state, const char *dest, const char *cmd, long expect)
{
    lua_State *L = new_state();
    for (auto _ : state)
        if (lua_call_once(L, dest, cmd) != expect) {
            state.SkipWithError("qecmd failed");
            break;
        }
    lua_close(L);
    if (expect > 4)
        state.SetBytesProcessed(state.iterations() * expect);
}

void BM_RoundTrip_Qecmd(benchmark::State &state)
{
    qecmd_bench(state, "peer", "small", 4);
}

void BM_RoundTrip_QecmdToFloorServer(benchmark::State &state)
{
    qecmd_bench(state, "floor", "small", 4);
}

void BM_Throughput10MB_Floor(benchmark::State &state)
{
    for (auto _ : state)
        if (floor_call("big") != long{big_pieces} * long{piece_size})
            state.SkipWithError("floor exchange failed");
    state.SetBytesProcessed(state.iterations() * big_pieces * long{piece_size});
}

void BM_Throughput10MB_FloorLuaStrings(benchmark::State &state)
{
    lua_State *L = new_state();
    for (auto _ : state)
        if (floor_lua_call(L, "big") != long{big_pieces} * long{piece_size})
            state.SkipWithError("floor exchange failed");
    lua_close(L);
    state.SetBytesProcessed(state.iterations() * big_pieces * long{piece_size});
}

void BM_Throughput10MB_Qecmd(benchmark::State &state)
{
    qecmd_bench(state, "peer", "big", long{big_pieces} * long{piece_size});
}

void BM_Throughput10MB_QecmdToFloorServer(benchmark::State &state)
{
    qecmd_bench(state, "floor", "big", long{big_pieces} * long{piece_size});
}

/* The part of a qecmd round trip that the floor lacks: its own endpoint. */
void BM_EndpointCreateDestroy(benchmark::State &state)
{
    for (auto _ : state)
        ipc_destroy(ipc_create("bench_endpoint"));
}

BENCHMARK(BM_EndpointCreateDestroy)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_RoundTrip_Floor)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_RoundTrip_Qecmd)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_RoundTrip_QecmdToFloorServer)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_Throughput10MB_Floor)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Throughput10MB_FloorLuaStrings)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Throughput10MB_Qecmd)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Throughput10MB_QecmdToFloorServer)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char **argv)
{
    /* The heap as kemlua keeps it (see there): glibc otherwise gives the
       top of its heap back and takes it again several times per 10 MB or
       never, depending on where the other blocks of the process lie, as
       the collector frees the interpreter's strings of 64 KB. Both sides,
       qecmd and the floor alike, then swing by up to 10x and measure the
       heap's layout, not the IPC (docs/performance.md). */
#ifdef M_TOP_PAD
    mallopt(M_TOP_PAD, 1 << 20);
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
    signal(SIGPIPE, SIG_IGN);
    start_servers();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    stop_servers();
    return 0;
}
