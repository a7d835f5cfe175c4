// The host IPC service: endpoints in the runtime folder, the client against
// scripted (and hostile) raw-socket peers, the frame reader in every chunk
// size, and qecmd's handling of what such peers send.
#include "support.h"

#include "platform/host/ipc_frames.h"
#include "platform/host/ipc_host.h"
#include "platform/ipc.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace std::string_literals;

std::string frame(char type, const std::string &payload)
{
    size_t n = payload.size();
    std::string h{type, char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
    return h + payload;
}

/* A header announcing `len` payload bytes, with no payload. */
std::string header(char type, uint32_t len)
{
    return std::string{type, char(len >> 24), char(len >> 16), char(len >> 8), char(len)};
}

sockaddr_un address(const std::string &path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    return addr;
}

/* A listening socket bound by hand, as another program would (backlog < 0:
   bound only). */
int bind_raw(const std::string &path, int backlog = 4)
{
    mkdir(path.substr(0, path.rfind('/')).c_str(), 0700);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = address(path);
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        (backlog >= 0 && listen(fd, backlog) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

/*
 * Listens on the bound socket fd in a child process of user and group
 * 65534 (a second identity; root only) and serves one connection: a command
 * gets a success end. Exits 1 when a command came, 0 when the client closed
 * without sending one.
 */
pid_t serve_as_other_user(int fd)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
        setresuid(65534, 65534, 65534) != 0 || listen(fd, 4) != 0)
        _exit(3);
    pollfd p{fd, POLLIN, 0};
    int c = poll(&p, 1, 5000) == 1 ? accept(fd, nullptr, nullptr) : -1;
    timeval tv{5, 0};
    setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char command[64];
    ssize_t n = recv(c, command, sizeof command, 0);
    if (n > 0)
        send(c, "E\0\0\0\1\0", 6, MSG_NOSIGNAL);
    close(c);
    _exit(n > 0 ? 1 : 0);
}

/*
 * A peer on raw sockets in its own thread (no tagged allocator there): it
 * accepts one connection, reads the command frame, writes `answer`, then
 * closes at once or, with hold, when the client has gone.
 */
class FakePeer {
public:
    FakePeer(const std::string &path, std::string answer, bool hold = false)
        : path_(path), fd_(bind_raw(path))
    {
        EXPECT_GE(fd_, 0) << path;
        thread_ = std::thread([this, answer, hold] { serve(answer, hold); });
    }
    ~FakePeer() { finish(); }

    /* Waits for the peer's thread; the command frame it read (type first). */
    const std::string &finish()
    {
        if (thread_.joinable()) {
            thread_.join();
            close(fd_);
            unlink(path_.c_str());
        }
        return command;
    }

private:
    std::string command;

    void serve(const std::string &answer, bool hold)
    {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1)
            return;
        int c = accept(fd_, nullptr, nullptr);
        timeval tv{5, 0};
        setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char h[5];
        if (recv(c, h, 5, MSG_WAITALL) == 5) {
            size_t n = (size_t(uint8_t(h[1])) << 24) | (size_t(uint8_t(h[2])) << 16) |
                       (size_t(uint8_t(h[3])) << 8) | uint8_t(h[4]);
            command.resize(n);
            if (n)
                recv(c, command.data(), n, MSG_WAITALL);
            command.insert(0, 1, h[0]);
        }
        if (!answer.empty())
            send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
        char sink[256];
        while (hold && recv(c, sink, sizeof sink, 0) > 0) {
        }
        close(c);
    }
    std::string path_;
    int fd_;
    std::thread thread_;
};

/* What a client exchange saw. */
struct Outcome {
    std::vector<std::string> deliveries;
    int reason = -1;  /* 0: done */
    bool ended = false;
    int started = 0;
};

int on_start(IpcConn *, void *u)
{
    static_cast<Outcome *>(u)->started++;
    return 0;
}
void on_failed(IpcConn *, int reason, void *u)
{
    auto *o = static_cast<Outcome *>(u);
    o->reason = reason;
    o->ended = true;
}
void on_data(IpcConn *c, void *u)
{
    std::string s(sock_bytes_left(c), '\0');
    EXPECT_EQ(sock_read(c, s.data(), s.size() + 10), s.size());
    EXPECT_EQ(sock_bytes_left(c), 0u);
    static_cast<Outcome *>(u)->deliveries.push_back(s);
}
const char *on_filter(const char *command, void *)
{
    return command;
}
void on_done(IpcConn *, void *u)
{
    auto *o = static_cast<Outcome *>(u);
    o->reason = 0;
    o->ended = true;
}

class IpcTest : public LuaTest {
protected:
    std::string dir;

    void SetUp() override
    {
        char tmpl[] = "/tmp/kem-ipc-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        setenv("KEM_IPC_DIR", (dir + "/ipc").c_str(), 1);
        setenv("KEM_IPC_TIMEOUT_MS", "3000", 1);
        LuaTest::SetUp();
    }
    void TearDown() override
    {
        LuaTest::TearDown();
        std::string ipc = dir + "/ipc";
        EXPECT_EQ(rmdir(ipc.c_str()) == 0 || errno == ENOENT, true) << "something left in " << ipc;
        rmdir(dir.c_str());
        unsetenv("KEM_IPC_DIR");
        unsetenv("KEM_IPC_TIMEOUT_MS");
    }
    std::string path(const char *name) { return dir + "/ipc/" + name; }
    bool exists(const char *name)
    {
        struct stat st;
        return lstat(path(name).c_str(), &st) == 0;
    }

    /* Runs one exchange to its end (at most 10 s). */
    Outcome exchange(const char *destination, const char *command)
    {
        Outcome o;
        IpcEndpoint *ep = ipc_create("client");
        EXPECT_NE(ep, nullptr);
        int rc = ipc_send_command(ep, destination, command, on_start, on_failed, on_data,
                                  on_filter, on_done, &o);
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (rc == 0 && !o.ended && std::chrono::steady_clock::now() < until)
            sock_poll_msecs(10);
        if (rc != 0)
            o.reason = -2;
        ipc_destroy(ep);
        return o;
    }
};

}  // namespace

TEST_F(IpcTest, EndpointsAreSocketsInAPrivateFolderRemovedByTheLastHandle)
{
    IpcEndpoint *a = ipc_create("svc");
    ASSERT_NE(a, nullptr);
    struct stat st;
    ASSERT_EQ(lstat((dir + "/ipc").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(S_ISSOCK((lstat(path("svc").c_str(), &st), st.st_mode)));
    // the name appears only once the socket listens: a connect succeeds at once,
    // and the private name it was made under is gone
    int probe = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path("svc").c_str());
    EXPECT_EQ(connect(probe, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    close(probe);
    EXPECT_FALSE(exists(("svc." + std::to_string(getpid()) + "~").c_str()));

    IpcEndpoint *b = ipc_create("svc");  // the same name again in this process
    ASSERT_NE(b, nullptr);
    ipc_destroy(a);
    EXPECT_TRUE(exists("svc")) << "the second handle still holds the socket";
    ipc_destroy(b);
    EXPECT_FALSE(exists("svc"));
    ipc_destroy(nullptr);

    // names: letters, digits, '_', '-', '.', not starting with '.'; so never
    // the private name NAME.<pid>~ under which another endpoint is set up
    std::string priv = "svc." + std::to_string(getpid()) + "~";
    for (std::string bad : {"", ".", "..", "a/b", ".hidden", "a b", "a\nb", "caf\xc3\xa9", priv.c_str()})
        EXPECT_EQ(ipc_create(bad.c_str()), nullptr) << bad;
    EXPECT_EQ(std::string(ipc_last_error()), "endpoint name '" + priv + "': not a valid name (letters, "
              "digits, '_', '-' and '.', not starting with '.')");
    std::string longname(200, 'n');
    EXPECT_EQ(ipc_create(longname.c_str()), nullptr);
    a = ipc_create("a.b-c_D9");
    EXPECT_NE(a, nullptr);
    ipc_destroy(a);
    // a file at the private name is taken away only when nobody listens on it
    int other = bind_raw(path(priv.c_str()));
    EXPECT_EQ(ipc_create("svc"), nullptr);
    EXPECT_TRUE(exists(priv.c_str()));
    close(other);
    a = ipc_create("svc");
    EXPECT_NE(a, nullptr) << "a stale private name is replaced";
    ipc_destroy(a);
    EXPECT_FALSE(exists(priv.c_str()));
}

TEST_F(IpcTest, FoldersOfOtherUsersOrOpenToThemAreRefusedWithTheReason)
{
    std::string base = dir + "/f";
    ASSERT_EQ(mkdir(base.c_str(), 0700), 0);
    auto folder = [&](const char *name, mode_t mode) {
        std::string d = base + "/" + name;
        EXPECT_EQ(mkdir(d.c_str(), 0700), 0);
        EXPECT_EQ(chmod(d.c_str(), mode), 0);
        return d;
    };
    std::string file = base + "/file";
    std::fclose(std::fopen(file.c_str(), "w"));
    std::string link = base + "/link";
    ASSERT_EQ(symlink(folder("good", 0700).c_str(), link.c_str()), 0);
    std::string foreign = folder("foreign", 0700);
    bool root = geteuid() == 0 && chown(foreign.c_str(), 65534, 65534) == 0;
    struct Case {
        std::string folder;
        std::string problem;
    } cases[] = {
        {folder("sticky", 01777), "mode 777 lets other users write to it"},
        {folder("group", 0770), "mode 770 lets other users write to it"},
        {link, "not a directory"},
        {file, "not a directory"},
        {root ? foreign : "", "owned by uid 65534, not by this user (uid 0)"},
    };
    for (const Case &c : cases) {
        if (c.folder.empty())
            continue;  // not root: no folder of another user to make
        setenv("KEM_IPC_DIR", c.folder.c_str(), 1);
        EXPECT_EQ(ipc_create("svc"), nullptr) << c.folder;
        EXPECT_EQ(std::string(ipc_last_error()), "endpoint folder " + c.folder + ": " + c.problem);
        EXPECT_EQ(run("local ok, err = pcall(kemluautils.qecmd, 'svc', 'x', print, nil)\n"
                      "assert(err:match('memory error$'), err)"),
                  "");
    }
    setenv("KEM_IPC_DIR", (dir + "/ipc").c_str(), 1);
    std::error_code ignored;
    std::filesystem::remove_all(base, ignored);
}

TEST_F(IpcTest, AServerOfAnotherUserGetsNoCommandUnlessTrusted)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "a second user identity needs root (setresuid in a child)";
    IpcEndpoint *ep = ipc_create("warmup");  // makes the folder
    ipc_destroy(ep);
    ASSERT_EQ(chmod((dir + "/ipc").c_str(), 0711), 0);  // the other user may reach its socket
    for (bool trust : {false, true}) {
        if (trust)
            setenv("KEM_IPC_TRUST_UIDS", "1000, 65534", 1);
        int fd = bind_raw(path("other"), -1);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(chmod(path("other").c_str(), 0777), 0);
        pid_t child = serve_as_other_user(fd);
        close(fd);
        for (int i = 0; i < 500 && !exists("other"); ++i)
            usleep(10000);
        usleep(50000);  // the child listens
        Outcome o = exchange("other", "password=secret");
        int status = 0;
        waitpid(child, &status, 0);
        unlink(path("other").c_str());
        if (trust) {
            EXPECT_EQ(o.reason, 0);
            EXPECT_EQ(WEXITSTATUS(status), 1) << "the trusted server got the command";
        } else {
            EXPECT_EQ(o.reason, -2) << "the exchange does not start";
            EXPECT_EQ(WEXITSTATUS(status), 0) << "the command never reached the other user";
            EXPECT_EQ(std::string(ipc_last_error()), "endpoint 'other': served by uid 65534, not a trusted user");
        }
    }
    unsetenv("KEM_IPC_TRUST_UIDS");
}

TEST_F(IpcTest, AListenerWithAFullBacklogHoldsItsNameWithoutBlockingTheProbe)
{
    IpcEndpoint *ep = ipc_create("warmup");  // makes the folder
    ipc_destroy(ep);
    int busy = bind_raw(path("busy"), 0);
    ASSERT_GE(busy, 0);
    std::vector<int> waiting;  // connections nobody accepts, until one is refused
    sockaddr_un addr = address(path("busy"));
    for (int i = 0; i < 64; ++i) {
        int c = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        bool queued = connect(c, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
        waiting.push_back(c);
        if (!queued)
            break;
    }
    alarm(10);  // a blocking probe ends the test here
    EXPECT_EQ(ipc_create("busy"), nullptr);
    alarm(0);
    EXPECT_EQ(std::string(ipc_last_error()), "endpoint 'busy': held by a live listener at " + path("busy"));
    for (int c : waiting)
        close(c);
    close(busy);
    unlink(path("busy").c_str());
}

TEST_F(IpcTest, ANameHeldByAnotherListenerIsRefusedAStaleOneReplaced)
{
    IpcEndpoint *ep = ipc_create("warmup");  // makes the folder
    ipc_destroy(ep);
    int live = bind_raw(path("held"));
    ASSERT_GE(live, 0);
    EXPECT_EQ(ipc_create("held"), nullptr);
    close(live);  // the file stays: a process that died
    ASSERT_TRUE(exists("held"));
    ep = ipc_create("held");
    ASSERT_NE(ep, nullptr) << "a socket nobody listens on is taken over";
    ipc_destroy(ep);
    EXPECT_FALSE(exists("held"));

    // a file that is no socket is left alone
    FILE *f = std::fopen(path("plain").c_str(), "w");
    std::fclose(f);
    EXPECT_EQ(ipc_create("plain"), nullptr);
    unlink(path("plain").c_str());
}

TEST_F(IpcTest, ClientGetsDeliveriesInOrderThenTheStatusOrAFailure)
{
    struct Case {
        const char *what;
        std::string answer;
        int reason;
        std::vector<std::string> deliveries;
        std::string command = "x";
    };
    const Case cases[] = {
        {"deliveries, then done", frame('D', "a\0b"s) + frame('D', "") + frame('D', "zz") + frame('E', "\0"s),
         0, {"a\0b"s, "", "zz"}, "cmd text"},
        {"a failure status", frame('E', "\7"), IPC_FAIL_STATUS, {}, ""},
        // hostile peers
        {"huge length", header('D', 0xffffffffu) + "xxxx", IPC_FAIL_PROTOCOL, {}},
        {"one past the limit", header('D', IPC_MAX_PAYLOAD + 1), IPC_FAIL_PROTOCOL, {}},
        {"at the limit, then close", header('D', IPC_MAX_PAYLOAD) + "abc", IPC_FAIL_CLOSED, {}},
        {"garbage type", frame('D', "ok") + "\x7f", IPC_FAIL_PROTOCOL, {"ok"}},
        {"NUL type", std::string(5, '\0'), IPC_FAIL_PROTOCOL, {}},
        {"command frame back", frame('C', "x"), IPC_FAIL_PROTOCOL, {}},
        {"end frame too long", frame('E', "\0\0"s), IPC_FAIL_PROTOCOL, {}},
        {"end frame empty", frame('E', ""), IPC_FAIL_PROTOCOL, {}},
        {"close before anything", "", IPC_FAIL_CLOSED, {}},
        {"close inside a header", "D\0\0", IPC_FAIL_CLOSED, {}},
        {"close inside a payload", header('D', 10) + "12345", IPC_FAIL_CLOSED, {}},
        {"close after deliveries", frame('D', "1") + frame('D', "2"), IPC_FAIL_CLOSED, {"1", "2"}},
    };
    for (const Case &c : cases) {
        FakePeer peer(path("p"), c.answer);
        Outcome o = exchange("p", c.command.c_str());
        EXPECT_EQ(o.reason, c.reason) << c.what;
        EXPECT_EQ(o.started, 1) << c.what;
        EXPECT_EQ(o.deliveries, c.deliveries) << c.what;
        EXPECT_EQ(peer.finish(), "C" + c.command) << c.what << ": the command goes out as one frame";
        EXPECT_TRUE(allocator_clean()) << c.what;
    }
    Outcome none = exchange("nobody", "x");
    EXPECT_EQ(none.reason, -2) << "a missing destination does not start";
    EXPECT_EQ(none.started, 0);
}

TEST_F(IpcTest, SilenceEndsTheExchangeAfterTheTimeout)
{
    setenv("KEM_IPC_TIMEOUT_MS", "200", 1);
    FakePeer peer(path("mute"), frame('D', "one"), true);
    auto t0 = std::chrono::steady_clock::now();
    Outcome o = exchange("mute", "x");
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(o.reason, IPC_FAIL_TIMEOUT);
    EXPECT_EQ(o.deliveries.size(), 1u);
    EXPECT_GE(ms, 190);
    EXPECT_LT(ms, 2000);
}

TEST_F(IpcTest, QecmdReturnsFalseForHostilePeersAndReleasesEverything)
{
    setenv("KEM_IPC_TIMEOUT_MS", "150", 1);
    const std::string answers[] = {header('D', 0xffffffffu), "\x01garbage",
                                   frame('D', "x") + header('D', 100), ""};
    for (const std::string &answer : answers) {
        FakePeer peer(path("bad"), answer, answer.empty());
        EXPECT_EQ(run("local n = 0\n"
                      "local ok = kemluautils.qecmd('bad', 'x', function() n = n + 1 end, nil)\n"
                      "assert(ok == false and n <= 1, tostring(ok) .. ' ' .. n)"),
                  "");
        EXPECT_TRUE(allocator_clean());
        EXPECT_TRUE(registry_clean(L, refs_at_start));
    }
}

TEST(IpcFrames, EveryChunkSizeGivesTheSameFrames)
{
    std::string stream = frame('D', "first") + frame('D', "") + frame('D', std::string(70000, 'q')) +
                         frame('E', "\0"s);
    for (size_t chunk = 1; chunk <= stream.size(); chunk = chunk < 16 ? chunk + 1 : chunk * 3) {
        IpcFrameReader r;
        ipc_frame_init(&r, "DE");
        std::vector<std::string> got;
        size_t pos = 0;
        int rc = 0;
        while (rc == 0 && pos < stream.size()) {
            unsigned char *at;
            size_t room;
            ASSERT_EQ(ipc_frame_room(&r, &at, &room), 0);
            size_t n = std::min({chunk, room, stream.size() - pos});
            std::memcpy(at, stream.data() + pos, n);
            ipc_frame_commit(&r, n);
            pos += n;
            IpcFrame f;
            while ((rc = ipc_frame_next(&r, &f)) == 1) {
                std::string typed(1, char(f.type));
                got.push_back(typed.append(reinterpret_cast<const char *>(f.payload), f.len));
            }
        }
        EXPECT_EQ(rc, 0) << chunk;
        ASSERT_EQ(got.size(), 4u) << chunk;
        EXPECT_EQ(got[2], "D" + std::string(70000, 'q')) << chunk;
        EXPECT_EQ(got[3], "E\0"s) << chunk;
        ipc_frame_release(&r);
    }
    EXPECT_TRUE(allocator_clean());
}

TEST(IpcFrames, AnnouncedSizesCostMemoryOnlyAsBytesArrive)
{
    IpcFrameReader r;
    ipc_frame_init(&r, "D");
    unsigned char *at;
    size_t room;
    ASSERT_EQ(ipc_frame_room(&r, &at, &room), 0);
    std::string h = header('D', IPC_MAX_PAYLOAD);
    std::memcpy(at, h.data(), h.size());
    ipc_frame_commit(&r, h.size());
    IpcFrame f;
    EXPECT_EQ(ipc_frame_next(&r, &f), 0);
    ASSERT_EQ(ipc_frame_room(&r, &at, &room), 0);
    EXPECT_LE(mem_live_bytes(), 256u * 1024u);
    mem_fail_at(1, 1);
    ipc_frame_commit(&r, room);  // fill it: the next room needs a bigger block
    EXPECT_EQ(ipc_frame_room(&r, &at, &room), -1);
    mem_fail_off();
    ipc_frame_release(&r);
    EXPECT_TRUE(allocator_clean());
}
