// The host IPC service: endpoints in their folder, names and folders it
// refuses, the client against scripted and hostile raw-socket peers (and a
// server of another user), qecmd on such peers, and the frame reader in
// every chunk size. qecmd on well-behaved peers: tests/lua/ipc.lua.
#include "support.h"

#include "platform/host/ipc_frames.h"
#include "platform/host/ipc_host.h"
#include "platform/ipc.h"

#include <cstring>
#include <thread>

#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

namespace {

using namespace std::string_literals;

/* A frame header announcing len payload bytes, and a whole frame. */
std::string header(char type, uint32_t len)
{
    return {type, char(len >> 24), char(len >> 16), char(len >> 8), char(len)};
}
std::string frame(char type, const std::string &payload) { return header(type, payload.size()) + payload; }

sockaddr_un address(const std::string &path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    return addr;
}

/* A socket bound by hand at path, as another program would; listening unless backlog < 0. */
int bind_raw(const std::string &path, int backlog = 4)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = address(path);
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || (backlog >= 0 && listen(fd, backlog) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

/* Reads one command frame from c and writes answer; the frame (type first). */
std::string answer_one(int c, const std::string &answer)
{
    timeval tv{5, 0};
    setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char h[5];
    std::string command;
    if (recv(c, h, 5, MSG_WAITALL) == 5) {
        command.resize((size_t(uint8_t(h[1])) << 24) | (size_t(uint8_t(h[2])) << 16) | (size_t(uint8_t(h[3])) << 8) |
                       uint8_t(h[4]));
        if (!command.empty())
            recv(c, command.data(), command.size(), MSG_WAITALL);
        command.insert(0, 1, h[0]);
    }
    send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
    return command;
}

/* A peer on raw sockets in a thread of its own (no tagged allocator there): it
   accepts one connection, answers its command, then closes at once or, with
   hold, once the client has gone. */
class FakePeer {
public:
    FakePeer(const std::string &path, std::string answer, bool hold = false) : path_(path), fd_(bind_raw(path))
    {
        thread_ = std::thread([this, answer, hold] {
            pollfd p{fd_, POLLIN, 0};
            int c = poll(&p, 1, 5000) == 1 ? accept(fd_, nullptr, nullptr) : -1;
            command_ = answer_one(c, answer);
            for (char sink[256]; hold && recv(c, sink, sizeof sink, 0) > 0;) {
            }
            close(c);
        });
    }
    ~FakePeer() { finish(); }

    /* Waits for the peer; the command frame it read. */
    const std::string &finish()
    {
        if (thread_.joinable()) {
            thread_.join();
            close(fd_);
            unlink(path_.c_str());
        }
        return command_;
    }

private:
    std::string path_, command_;
    int fd_;
    std::thread thread_;
};

/* What a client exchange saw: the deliveries and how it ended (0: done;
   -2: it did not start). */
struct Outcome {
    std::vector<std::string> deliveries;
    int reason = -1;
    int started = 0;
};

class Ipc : public LuaTest {
protected:
    std::string dir;

    void SetUp() override
    {
        char tmpl[] = "/tmp/kem-ipc-test-XXXXXX";
        dir = mkdtemp(tmpl);
        setenv("KEM_IPC_DIR", (dir + "/ipc").c_str(), 1);
        setenv("KEM_IPC_TIMEOUT_MS", "3000", 1);
        LuaTest::SetUp();
        ipc_destroy(ipc_create("warmup"));  // makes the folder
    }
    void TearDown() override
    {
        LuaTest::TearDown();
        EXPECT_EQ(rmdir((dir + "/ipc").c_str()), 0) << "something left in the endpoint folder";
        rmdir(dir.c_str());
        unsetenv("KEM_IPC_DIR");
        unsetenv("KEM_IPC_TIMEOUT_MS");
        unsetenv("KEM_IPC_TRUST_UIDS");
    }
    std::string path(const std::string &name) { return dir + "/ipc/" + name; }
    bool exists(const std::string &name)
    {
        struct stat st;
        return lstat(path(name).c_str(), &st) == 0;
    }

    /* Runs one exchange to its end. */
    Outcome exchange(const char *destination, const char *command)
    {
        Outcome o;
        IpcEndpoint *ep = ipc_create("client");
        int rc = ipc_send_command(
            ep, destination, command, [](IpcConn *, void *u) { return static_cast<Outcome *>(u)->started++, 0; },
            [](IpcConn *, int reason, void *u) { static_cast<Outcome *>(u)->reason = reason; },
            [](IpcConn *c, void *u) {
                std::string s(sock_bytes_left(c), '\0');
                EXPECT_EQ(sock_read(c, s.data(), s.size() + 10), s.size());
                EXPECT_EQ(sock_bytes_left(c), 0u);
                static_cast<Outcome *>(u)->deliveries.push_back(s);
            },
            [](const char *text, void *) { return text; },
            [](IpcConn *, void *u) { static_cast<Outcome *>(u)->reason = 0; }, &o);
        while (rc == 0 && o.reason == -1)
            sock_poll_msecs(10);
        o.reason = rc ? -2 : o.reason;
        ipc_destroy(ep);
        return o;
    }
};

}  // namespace

TEST_F(Ipc, EndpointsAreListeningSocketsInAPrivateFolderUntilTheLastHandleGoes)
{
    struct stat st;
    ASSERT_EQ(lstat((dir + "/ipc").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    IpcEndpoint *a = ipc_create("svc"), *b = ipc_create("svc");  // the same name twice in this process
    int probe = socket(AF_UNIX, SOCK_STREAM, 0);  // listening as soon as the name is there
    sockaddr_un addr = address(path("svc"));
    EXPECT_EQ(connect(probe, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    close(probe);
    std::string priv = "svc." + std::to_string(getpid()) + "~";  // the name it was set up under
    EXPECT_FALSE(exists(priv));
    ipc_destroy(a);
    EXPECT_TRUE(exists("svc"));
    ipc_destroy(b);
    EXPECT_FALSE(exists("svc"));
    ipc_destroy(nullptr);

    std::string longname(200, 'n');
    for (std::string bad : {"", ".", "..", "a/b", ".hidden", "a b", "a\nb", "caf\xc3\xa9", longname.c_str(), priv.c_str()})
        EXPECT_EQ(ipc_create(bad.c_str()), nullptr) << bad;
    EXPECT_EQ(std::string(ipc_last_error()), "endpoint name '" + priv + "': not a valid name (letters, "
              "digits, '_', '-' and '.', not starting with '.')");
    ipc_destroy(ipc_create("a.b-c_D9"));

    int other = bind_raw(path(priv));  // a private name in use is left alone, a stale one replaced
    EXPECT_EQ(ipc_create("svc"), nullptr);
    close(other);
    a = ipc_create("svc");
    EXPECT_NE(a, nullptr);
    ipc_destroy(a);
    EXPECT_FALSE(exists(priv));

    int live = bind_raw(path("held"));  // so is a name in use
    EXPECT_EQ(ipc_create("held"), nullptr);
    EXPECT_EQ(std::string(ipc_last_error()), "endpoint 'held': held by a live listener at " + path("held"));
    close(live);
    a = ipc_create("held");
    EXPECT_NE(a, nullptr) << "a socket nobody listens on is taken over";
    ipc_destroy(a);
    std::fclose(std::fopen(path("plain").c_str(), "w"));  // a file that is no socket stays
    EXPECT_EQ(ipc_create("plain"), nullptr);
    EXPECT_EQ(std::string(ipc_last_error()), "endpoint 'plain': " + path("plain") + " is not a socket");
    unlink(path("plain").c_str());

    int busy = bind_raw(path("busy"), 0);  // a full backlog: live, and the probe must not block
    std::vector<int> waiting;
    addr = address(path("busy"));
    for (bool queued = true; queued && waiting.size() < 64;) {
        waiting.push_back(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0));
        queued = connect(waiting.back(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    }
    alarm(10);
    EXPECT_EQ(ipc_create("busy"), nullptr);
    alarm(0);
    for (int c : waiting)
        close(c);
    close(busy);
    unlink(path("busy").c_str());
}

TEST_F(Ipc, FoldersOfOtherUsersOrOpenToThemAreRefusedWithTheReason)
{
    std::string base = dir + "/f";
    auto folder = [&](const char *name, mode_t mode) {
        mkdir(base.c_str(), 0700);
        mkdir((base + "/" + name).c_str(), 0700);
        chmod((base + "/" + name).c_str(), mode);
        return base + "/" + name;
    };
    std::string foreign = folder("foreign", 0700), link = base + "/link";
    symlink(folder("good", 0700).c_str(), link.c_str());
    std::fclose(std::fopen((base + "/file").c_str(), "w"));
    bool root = geteuid() == 0 && chown(foreign.c_str(), 65534, 65534) == 0;
    const std::pair<std::string, std::string> cases[] = {
        {folder("sticky", 01777), "mode 777 lets other users write to it"},
        {folder("group", 0770), "mode 770 lets other users write to it"},
        {link, "not a directory"},
        {base + "/file", "not a directory"},
        {root ? foreign : "", "owned by uid 65534, not by this user (uid 0)"},
        {base + "/" + std::string(120, 'x'), "the path is too long"},
    };
    for (const auto &[folder, problem] : cases) {
        if (folder.empty())
            continue;  // not root: no folder of another user to make
        setenv("KEM_IPC_DIR", folder.c_str(), 1);
        EXPECT_EQ(ipc_create("svc"), nullptr) << folder;
        EXPECT_EQ(std::string(ipc_last_error()), "endpoint folder " + folder.substr(0, 107) + ": " + problem);
        EXPECT_EQ(run("local ok, err = pcall(kemluautils.qecmd, 'svc', 'x', print, nil)\n"
                      "assert(err:match('memory error$'), err)"), "");
    }
    setenv("KEM_IPC_DIR", (dir + "/ipc").c_str(), 1);
    EXPECT_EQ(std::system(("rm -rf " + base).c_str()), 0);
}

TEST_F(Ipc, AServerOfAnotherUserGetsNoCommandUnlessTrusted)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "a second user identity needs root (setresuid in a child)";
    ASSERT_EQ(chmod((dir + "/ipc").c_str(), 0711), 0);  // the other user may reach its socket
    for (const char *trust : {"", "1000, 65534"}) {
        setenv("KEM_IPC_TRUST_UIDS", trust, 1);
        int fd = bind_raw(path("other"), -1);
        chmod(path("other").c_str(), 0777);
        pid_t child = fork();
        if (child == 0) {  // serves one connection as user 65534; exits 1 when a command came
            if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                setresuid(65534, 65534, 65534) != 0 || listen(fd, 4) != 0)
                _exit(3);
            pollfd p{fd, POLLIN, 0};
            _exit(answer_one(poll(&p, 1, 5000) == 1 ? accept(fd, nullptr, nullptr) : -1, "E\0\0\0\1\0"s).empty() ? 0 : 1);
        }
        close(fd);
        usleep(100000);  // the child listens
        Outcome o = exchange("other", "password=secret");
        int status = 0;
        waitpid(child, &status, 0);
        unlink(path("other").c_str());
        EXPECT_EQ(o.reason, *trust ? 0 : -2);
        EXPECT_EQ(WEXITSTATUS(status), *trust ? 1 : 0) << "the command reached the other user: " << trust;
        EXPECT_EQ(std::string(ipc_last_error()), "endpoint 'other': served by uid 65534, not a trusted user");
    }
}

TEST_F(Ipc, ClientGetsDeliveriesInOrderThenTheStatusOrAFailure)
{
    const struct {
        const char *what;
        std::string answer;
        int reason;
        std::vector<std::string> deliveries;
        std::string command = "x";
        bool hold = false;
    } cases[] = {
        {"deliveries, then done", frame('D', "a\0b"s) + frame('D', "") + frame('D', "zz") + frame('E', "\0"s), 0,
         {"a\0b"s, "", "zz"}, "cmd text"},
        {"a failure status", frame('E', "\7"), IPC_FAIL_STATUS, {}, ""},
        {"silence", frame('D', "one"), IPC_FAIL_TIMEOUT, {"one"}, "x", true},
        {"huge length", header('D', 0xffffffffu) + "xxxx", IPC_FAIL_PROTOCOL, {}},
        {"one past the limit", header('D', IPC_MAX_PAYLOAD + 1), IPC_FAIL_PROTOCOL, {}},
        {"at the limit, then close", header('D', IPC_MAX_PAYLOAD) + "abc", IPC_FAIL_CLOSED, {}},
        {"garbage type", frame('D', "ok") + "\x7f", IPC_FAIL_PROTOCOL, {"ok"}},
        {"NUL type", std::string(5, '\0'), IPC_FAIL_PROTOCOL, {}},
        {"command frame back", frame('C', "x"), IPC_FAIL_PROTOCOL, {}},
        {"end frame too long", frame('E', "\0\0"s), IPC_FAIL_PROTOCOL, {}},
        {"end frame empty", frame('E', ""), IPC_FAIL_PROTOCOL, {}},
        {"close inside a header", "D\0\0"s, IPC_FAIL_CLOSED, {}},
        {"close inside a payload", header('D', 10) + "12345", IPC_FAIL_CLOSED, {}},
        {"close after deliveries", frame('D', "1") + frame('D', "2"), IPC_FAIL_CLOSED, {"1", "2"}},
    };
    for (const auto &c : cases) {
        setenv("KEM_IPC_TIMEOUT_MS", c.hold ? "200" : "3000", 1);
        FakePeer peer(path("p"), c.answer, c.hold);
        Outcome o = exchange("p", c.command.c_str());
        EXPECT_EQ(o.reason, c.reason) << c.what;
        EXPECT_EQ(o.started, 1) << c.what;
        EXPECT_EQ(o.deliveries, c.deliveries) << c.what;
        EXPECT_EQ(peer.finish(), "C" + c.command) << c.what << ": the command goes out as one frame";
    }
    EXPECT_EQ(exchange("nobody", "x").reason, -2) << "a missing destination does not start";

    setenv("KEM_IPC_TIMEOUT_MS", "150", 1);  // qecmd: false, and nothing held
    for (const std::string &answer : {header('D', 0xffffffffu), "\x01garbage"s, frame('D', "x") + header('D', 100), ""s}) {
        FakePeer peer(path("bad"), answer, answer.empty());
        EXPECT_EQ(run("local n = 0\n"
                      "local ok = kemluautils.qecmd('bad', 'x', function() n = n + 1 end, nil)\n"
                      "assert(ok == false and n <= 1, tostring(ok) .. ' ' .. n)"), "");
    }
}

TEST(IpcFrames, EveryChunkSizeGivesTheSameFramesAndMemoryFollowsTheBytes)
{
    std::string stream = frame('D', "first") + frame('D', "") + frame('D', std::string(70000, 'q')) + frame('E', "\0"s);
    for (size_t chunk = 1; chunk <= stream.size(); chunk = chunk < 16 ? chunk + 1 : chunk * 3) {
        IpcFrameReader r;
        ipc_frame_init(&r, "DE");
        std::string got;
        IpcFrame f;
        int rc = 0;
        for (size_t pos = 0; rc == 0 && pos < stream.size();) {
            unsigned char *at;
            size_t room;
            ASSERT_EQ(ipc_frame_room(&r, &at, &room), 0);
            size_t n = std::min({chunk, room, stream.size() - pos});
            std::memcpy(at, stream.data() + pos, n);
            ipc_frame_commit(&r, n);
            pos += n;
            while ((rc = ipc_frame_next(&r, &f)) == 1)
                got += frame(char(f.type), std::string(reinterpret_cast<const char *>(f.payload), f.len));
        }
        EXPECT_EQ(rc, 0) << chunk;
        EXPECT_TRUE(got == stream) << chunk;
        ipc_frame_release(&r);
    }

    // an announced size costs memory only as its bytes arrive
    IpcFrameReader r;
    ipc_frame_init(&r, "D");
    unsigned char *at;
    size_t room;
    ASSERT_EQ(ipc_frame_room(&r, &at, &room), 0);
    std::memcpy(at, header('D', IPC_MAX_PAYLOAD).data(), IPC_FRAME_HEADER);
    ipc_frame_commit(&r, IPC_FRAME_HEADER);
    IpcFrame f;
    EXPECT_EQ(ipc_frame_next(&r, &f), 0);
    ASSERT_EQ(ipc_frame_room(&r, &at, &room), 0);
    EXPECT_LE(mem_live_bytes(), 256u * 1024u);
    ipc_frame_commit(&r, room);
    mem_fail_at(1, 1);  // the next room needs a bigger block
    EXPECT_EQ(ipc_frame_room(&r, &at, &room), -1);
    mem_fail_off();
    ipc_frame_release(&r);
    EXPECT_TRUE(allocator_clean());
}
