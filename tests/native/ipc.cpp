// The host IPC service: endpoints, the names and folders it refuses, clients
// against hostile raw-socket peers, servers, the frame reader.
#include "support.h"

#include "platform/host/ipc_frames.h"
#include "platform/host/ipc_host.h"
#include "platform/ipc.h"

#include <cstring>
#include <fcntl.h>
#include <thread>

#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

namespace {

using namespace std::string_literals;

std::string header(char type, uint32_t len) { return {type, char(len >> 24), char(len >> 16), char(len >> 8), char(len)}; }
std::string frame(char type, const std::string &payload) { return header(type, payload.size()) + payload; }

/* A socket bound at path by another program; listening with backlog >= 0. */
int bind_raw(const std::string &path, int backlog = 4)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{AF_UNIX, {}};
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 && (backlog < 0 || listen(fd, backlog) == 0))
        return fd;
    close(fd);
    return -1;
}

/* Connects to path without blocking; true when the listener took it. */
bool knock(const std::string &path, int *fd)
{
    sockaddr_un addr{AF_UNIX, {}};
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    *fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    return connect(*fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
}

/* Accepts a connection on fd, reads its command frame, writes answer and closes; the frame (type first). */
std::string answer_one(int fd, const std::string &answer)
{
    pollfd p{fd, POLLIN, 0};
    int c = poll(&p, 1, 5000) == 1 ? accept(fd, nullptr, nullptr) : -1;
    timeval tv{5, 0};
    setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    unsigned char h[5];
    std::string command;
    if (recv(c, h, 5, MSG_WAITALL) == 5) {
        command.resize(size_t(h[1]) << 24 | size_t(h[2]) << 16 | size_t(h[3]) << 8 | h[4]);
        if (!command.empty())
            recv(c, command.data(), command.size(), MSG_WAITALL);
        command.insert(0, 1, char(h[0]));
    }
    send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
    close(c);
    return command;
}

/* A peer in a thread: answers one command, then closes. */
struct FakePeer {
    std::string path, command;
    int fd;
    std::thread thread;

    FakePeer(const std::string &at, const std::string &answer) : path(at), fd(bind_raw(at))
    {
        thread = std::thread([this, answer] { command = answer_one(fd, answer); });
    }
    ~FakePeer()
    {
        if (thread.joinable())
            thread.join();
        close(fd);
        unlink(path.c_str());
    }
};

/* A raw client's exchange with a server of this process: what came back until it closed. */
std::string raw_call(const std::string &to, const std::string &command)
{
    int fd;
    knock(to, &fd);
    std::string got = frame('C', command);
    send(fd, got.data(), got.size(), MSG_NOSIGNAL);
    got.clear();
    char buf[4096];
    for (ssize_t n = -1, round = 0; n != 0 && round < 500; ++round) {
        sock_poll_msecs(10);
        while ((n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0)
            got.append(buf, size_t(n));
    }
    close(fd);
    return got;
}

int replied = 0;  /* what the big answer's last ipc_reply gave */
int deaf = -1;    /* the client that does not read it, drained once a reply failed */
int after = 0;    /* what a reply gave after that */

/* What a client exchange saw: deliveries and the end (0: done; -2: not started). */
struct Outcome {
    std::vector<std::string> deliveries;
    int reason = -1;
};

class Ipc : public LuaTest {
protected:
    std::string dir;
    size_t descriptors = 0;

    void SetUp() override
    {
        char tmpl[] = "/tmp/kem-ipc-test-XXXXXX";
        dir = mkdtemp(tmpl);
        setenv("KEM_IPC_DIR", (dir + "/ipc").c_str(), 1);
        setenv("KEM_IPC_TIMEOUT_MS", "3000", 1);
        LuaTest::SetUp();
        ipc_destroy(ipc_create("warmup"));  // makes the folder
        descriptors = open_descriptors();
    }
    void TearDown() override
    {
        LuaTest::TearDown();
        EXPECT_EQ(open_descriptors(), descriptors) << "a descriptor left open";
        EXPECT_EQ(rmdir((dir + "/ipc").c_str()), 0) << "something left in the endpoint folder";
        rmdir(dir.c_str());
    }
    std::string path(const std::string &name) { return dir + "/ipc/" + name; }
    bool exists(const std::string &name) { return access(path(name).c_str(), F_OK) == 0; }

    /* Starts an exchange from ep; o receives what it sees (reason -2: it did not start). */
    void start(IpcEndpoint *ep, const char *destination, const std::string &command, Outcome &o)
    {
        o.reason = ipc_send_command(
            ep, destination, command.c_str(), [](IpcConn *, void *) { return 0; },
            [](IpcConn *, int reason, void *u) { static_cast<Outcome *>(u)->reason = reason; },
            [](IpcConn *c, void *u) {
                std::string s(sock_bytes_left(c), '\0');
                EXPECT_EQ(sock_read(c, s.data(), s.size() + 10), s.size());
                EXPECT_EQ(sock_bytes_left(c) + sock_read(c, s.data(), 1), 0u);
                static_cast<Outcome *>(u)->deliveries.push_back(s);
            },
            [](const char *text, void *) { return text; },
            [](IpcConn *, void *u) { static_cast<Outcome *>(u)->reason = 0; }, &o) ? -2 : -1;
    }
    /* Runs an exchange to its end, its connection in the first slot of the
       service's table; `release` (an endpoint) goes once it has started. */
    Outcome exchange(const char *destination, const std::string &command, IpcEndpoint *release = nullptr)
    {
        Outcome o;
        IpcEndpoint *spare = ipc_create("spare"), *ep = ipc_create("client");
        ipc_destroy(spare);
        start(ep, destination, command, o);
        ipc_destroy(release);
        while (o.reason == -1)
            sock_poll_msecs(10);
        ipc_destroy(ep);
        return o;
    }
};

}  // namespace

TEST_F(Ipc, EndpointsListenInAPrivateFolderOnceTheyServeUntilTheLastHandleGoes)
{
    struct stat st;
    ASSERT_EQ(lstat((dir + "/ipc").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    IpcEndpoint *a = ipc_create("svc"), *b = ipc_create("svc");  // the same name twice in this process
    EXPECT_FALSE(exists("svc")) << "a client's endpoint has no socket";
    ASSERT_EQ(ipc_serve(a, nullptr, nullptr), 0);
    int probe;
    EXPECT_TRUE(knock(path("svc"), &probe));  // listening as soon as the name is there
    close(probe);
    EXPECT_EQ(ipc_serve(b, nullptr, nullptr), 0);
    std::string priv = "svc." + std::to_string(getpid()) + "~", longname(IPC_HOST_NAME_MAX + 1, 'n');
    EXPECT_FALSE(exists(priv));  // the name it was made under
    ipc_start_cb sc = [](IpcConn *, void *) { return 0; };  // a call without any one callback: refused
    ipc_failed_cb fa = [](IpcConn *, int, void *) {};
    ipc_data_cb da = [](IpcConn *, void *) {};
    ipc_filter_cb fi = [](const char *text, void *) { return text; };
    ipc_done_cb dn = [](IpcConn *, void *) {};
    for (int gap = 0; gap < 5; ++gap)
        EXPECT_EQ(ipc_send_command(b, "svc", "x", gap == 0 ? nullptr : sc, gap == 1 ? nullptr : fa, gap == 2 ? nullptr : da,
                                   gap == 3 ? nullptr : fi, gap == 4 ? nullptr : dn, nullptr), -1) << gap;
    ipc_destroy(a);
    EXPECT_TRUE(exists("svc"));
    ipc_destroy(b);
    EXPECT_FALSE(exists("svc"));
    ipc_destroy(nullptr);
    EXPECT_EQ(ipc_serve(nullptr, nullptr, nullptr), -1);
    for (std::string bad : {"", "..", "a/b", "a\nb", "caf\xc3\xa9", longname.c_str(), priv.c_str()})
        EXPECT_EQ(ipc_create(bad.c_str()), nullptr) << bad;
    EXPECT_EQ(std::string(ipc_last_error()), "endpoint name 'svc." + std::to_string(getpid()) + "~': not a valid name "
              "(letters, digits, '_', '-' and '.', not starting with '.')");
    EXPECT_EQ(ipc_create(longname.c_str()), nullptr);
    EXPECT_EQ(std::string(ipc_last_error()), "endpoint name '" + longname.substr(0, IPC_HOST_NAME_MAX) +
              "...': too long for a socket address (at most 64 bytes)");
    EXPECT_EQ(ipc_send_command(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), -1);
    int in = dup(0);  // descriptor 0 serves like any other: a listener's, a client's, one refused
    FakePeer peer(path("p"), frame('E', "\0"s));
    std::vector<IpcEndpoint *> all = {ipc_create("client"), ipc_create("spare")};
    close(0);
    a = ipc_create("zero");
    EXPECT_TRUE(ipc_serve(a, nullptr, nullptr) == 0 && fcntl(0, F_GETFD) != -1);
    ipc_destroy(a);
    EXPECT_EQ(exchange("p", "x").reason, 0);
    dup2(in, 0);
    for (a = ipc_create("e"); ipc_serve(a, nullptr, nullptr) == 0; a = ipc_create(("e" + std::to_string(all.size())).c_str()))
        all.push_back(a);  // until the table is full
    EXPECT_TRUE(std::string(ipc_last_error()).ends_with("': no room: the process watches 256 sockets already"));
    all.push_back(a);
    EXPECT_EQ(all.size(), size_t{IPC_MAX_SOCKETS + 3});
    close(0);
    a = ipc_create("refused");
    EXPECT_FALSE(ipc_serve(a, nullptr, nullptr) == 0 || fcntl(0, F_GETFD) != -1 || exists("refused"));
    ipc_destroy(a);
    for (IpcEndpoint *ep : all)
        ipc_destroy(ep);
    dup2(in, 0);
    close(in);
    a = ipc_create("svc");  // a socket file that another listener took over stays
    ipc_serve(a, nullptr, nullptr);
    unlink(path("svc").c_str());
    int other = bind_raw(path("svc"));
    ipc_destroy(a);
    EXPECT_TRUE(exists("svc"));
    close(other);
    unlink(path("svc").c_str());

    auto serves = [](const char *name) {  // a handle of name, serving; destroyed
        IpcEndpoint *ep = ipc_create(name);
        int rc = ipc_serve(ep, nullptr, nullptr);
        ipc_destroy(ep);
        return rc == 0;
    };
    other = bind_raw(path(priv));  // names in use are left alone
    int live = bind_raw(path("held"));
    EXPECT_FALSE(serves("svc") || serves("held"));
    EXPECT_EQ(std::string(ipc_last_error()), "endpoint 'held': held by a live listener at " + path("held"));
    close(other);
    close(live);
    for (const char *name : {"svc", "held", "a.b-c_D9"})  // stale ones, nobody listening, are replaced
        EXPECT_TRUE(serves(name)) << name;
    EXPECT_FALSE(exists(priv) || exists("held"));
    std::fclose(std::fopen(path("plain").c_str(), "w"));  // a file that is no socket stays
    EXPECT_FALSE(serves("plain"));
    EXPECT_EQ(std::string(ipc_last_error()), "endpoint 'plain': " + path("plain") + " is not a socket");
    unlink(path("plain").c_str());

    int busy = bind_raw(path("busy"), 0);  // a full backlog is a live listener, and the probe must not block
    std::vector<int> waiting(1);
    while (knock(path("busy"), &waiting.back()) && waiting.size() < 64)
        waiting.push_back(-1);
    alarm(10);
    EXPECT_FALSE(serves("busy"));
    alarm(0);
    for (int c : waiting)
        close(c);
    close(busy);
    unlink(path("busy").c_str());
}

TEST_F(Ipc, FoldersOfAnyLengthServeAndUnusableOnesAreRefusedWithTheReason)
{
    std::string base = dir + "/f", link = base + "/link", hint = "; set KEM_IPC_DIR to choose another folder";
    auto folder = [&](const char *name, mode_t mode) {
        mkdir(base.c_str(), 0700);
        mkdir((base + "/" + name).c_str(), mode);
        chmod((base + "/" + name).c_str(), mode);
        return base + "/" + name;
    };
    symlink(folder("good", 0700).c_str(), link.c_str());
    std::string foreign = folder("foreign", 0700), shared = folder("shared", 01770), huge(PATH_MAX, 'x');
    bool root = chown(foreign.c_str(), 65534, 65534) == 0 && chown(shared.c_str(), 0, 0) == 0;
    std::fclose(std::fopen((base + "/kem-ipc").c_str(), "w"));
    std::string unknown = folder("unknown", 01770), members = folder("members", 01770), gid = "?";
    bool strange = root && !getgrgid(4242) && chown(unknown.c_str(), 0, 4242) == 0;
    uid_t member = 0;  // a group with a member other than root and this user, when there is one
    setgrent();
    for (group *g; root && !member && (g = getgrent());)
        for (char **m = g->gr_mem; !member && *m; ++m)
            if (passwd *pw = getpwnam(*m); pw && pw->pw_uid != 0 && chown(members.c_str(), 0, g->gr_gid) == 0)
                member = pw->pw_uid, gid = std::to_string(g->gr_gid);
    endgrent();
    std::string untrusted = " write to it, but its group is unknown or has a member that is not a trusted user";
    const struct {
        std::string folder, xdg, problem;
    } cases[] = {
        {folder("group", 0770), "", "mode 770 lets group " + std::to_string(getegid()) +
                                        " write to it, but without the sticky bit, its group may remove others' names"},
        {folder("open", 01777), "", "mode 1777 lets other users write to it"},
        {link, "", "not a directory"},
        {root ? foreign : "", "", "owned by uid 65534, not a trusted user (this user is uid 0)"},
        {huge, "", "the path is too long"},
        {strange ? unknown : "", "", "mode 1770 lets group 4242" + untrusted},
        {member ? members : "", "", "mode 1770 lets group " + gid + untrusted},
        {"", base, "not a directory" + hint},  // the default folder under XDG_RUNTIME_DIR
    };
    for (const auto &c : cases) {
        if (c.folder.empty() && c.xdg.empty())
            continue;  // not root (no folder of another user or group to make), or no such group
        setenv("KEM_IPC_DIR", c.folder.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", c.xdg.c_str(), 1);
        std::string shown = c.folder.empty() ? c.xdg + "/kem-ipc" : c.folder.size() > 107 ? c.folder.substr(0, 107) + "..." : c.folder;
        EXPECT_EQ(ipc_create("svc"), nullptr) << c.folder;
        EXPECT_EQ(std::string(ipc_last_error()), "endpoint folder " + shown + ": " + c.problem);
    }
    unlink((base + "/kem-ipc").c_str());
    setenv("KEM_IPC_DIR", members.c_str(), 1);  // the same group's folder, its member trusted
    setenv("KEM_IPC_TRUST_UIDS", std::to_string(member).c_str(), 1);
    IpcEndpoint *ep = ipc_create("svc");
    EXPECT_TRUE(!member || ep);
    ipc_destroy(ep);
    unsetenv("KEM_IPC_TRUST_UIDS");
    std::string deep = dir;  // a folder too long for a socket address, reached through its descriptor
    while (deep.size() < 300)
        mkdir((deep += "/" + std::string(60, 'd')).c_str(), 0700);
    for (const std::string &f : {deep, root ? shared : ""}) {  // and a folder to share, owned by root
        setenv("KEM_IPC_DIR", f.c_str(), 1);
        if (f.empty())
            continue;
        std::string top(IPC_HOST_NAME_MAX, 'n');  // the longest name
        ep = ipc_create(top.c_str());
        ipc_serve(ep, [](IpcConn *c, const char *command, size_t len, void *) { return ipc_reply(c, command, len); }, nullptr);
        EXPECT_TRUE(access((f + "/" + top).c_str(), F_OK) == 0);
        Outcome o = exchange(top.c_str(), "hello");
        EXPECT_EQ(o.deliveries, std::vector<std::string>{"hello"}) << f;
        ipc_destroy(ep);
        EXPECT_NE(access((f + "/" + top).c_str(), F_OK), 0);
    }
    setenv("KEM_IPC_DIR", "", 1);  // the default folder under XDG_RUNTIME_DIR
    setenv("XDG_RUNTIME_DIR", (dir + "/f").c_str(), 1);
    char where[PATH_MAX];
    EXPECT_EQ(ipc_socket_path("svc", where, sizeof where), 0);
    EXPECT_EQ(std::string(where), dir + "/f/kem-ipc/svc");
    unsetenv("XDG_RUNTIME_DIR");
    setenv("KEM_IPC_DIR", (dir + "/ipc").c_str(), 1);
    EXPECT_EQ(std::system(("rm -rf " + base + " " + dir + "/" + std::string(60, 'd')).c_str()), 0);
}

TEST_F(Ipc, ClientGetsDeliveriesInOrderThenTheStatusOrAFailure)
{
    const struct {
        std::string answer;
        int reason;
        std::vector<std::string> deliveries;
    } cases[] = {
        {frame('D', "a\0b"s) + frame('D', "") + frame('D', "zz") + frame('E', "\0"s), 0, {"a\0b"s, "", "zz"}},
        {header('D', IPC_MAX_PAYLOAD + 1), IPC_FAIL_PROTOCOL, {}}, {frame('E', "\0\0"s), IPC_FAIL_PROTOCOL, {}},
        {header('D', IPC_MAX_PAYLOAD) + "abc", IPC_FAIL_CLOSED, {}}, {"D\0\0"s, IPC_FAIL_CLOSED, {}},
        {frame('D', "ok") + "\x7f", IPC_FAIL_PROTOCOL, {"ok"}},
    };
    for (const auto &c : cases) {
        FakePeer peer(path("p"), c.answer);
        Outcome o = exchange("p", "cmd text");
        peer.thread.join();
        EXPECT_EQ(o.reason, c.reason) << c.answer;
        EXPECT_EQ(o.deliveries, c.deliveries) << c.answer;
        EXPECT_EQ(peer.command, "Ccmd text") << "the command goes out as one frame";
    }
    EXPECT_EQ(exchange("nobody", "x").reason, -2) << "a missing destination does not start";
    setenv("KEM_IPC_TIMEOUT_MS", "200", 1);  // a server that reads nothing: no answer; a long command cannot go out
    int deaf = bind_raw(path("deaf"));
    EXPECT_EQ(exchange("deaf", "x").reason, IPC_FAIL_TIMEOUT);
    Outcome late;  // a round waits no longer than the nearest deadline
    IpcEndpoint *waiting_client = ipc_create("client");
    start(waiting_client, "deaf", "x", late);
    alarm(10);
    while (late.reason == -1)
        sock_poll_msecs(60000);
    alarm(0);
    EXPECT_EQ(late.reason, IPC_FAIL_TIMEOUT);
    ipc_destroy(waiting_client);
    EXPECT_EQ(exchange("deaf", std::string(1 << 20, 'x')).reason, -2);
    EXPECT_EQ(exchange("deaf", std::string(IPC_MAX_PAYLOAD + 1, 'x')).reason, -2);
    std::vector<int> waiting(1);  // a full backlog: the connect waits for the time-out, not for good
    while (knock(path("deaf"), &waiting.back()) && waiting.size() < 64)
        waiting.push_back(-1);
    alarm(10);
    EXPECT_EQ(exchange("deaf", "x").reason, -2);
    alarm(0);
    for (int c : waiting)
        close(c);
    close(deaf);
    unlink(path("deaf").c_str());
    setenv("KEM_IPC_TIMEOUT_MS", "5000", 1);  // a full backlog that drains while the connect waits
    int full = bind_raw(path("full"), 0);
    int knocked;
    ASSERT_TRUE(knock(path("full"), &knocked));
    std::thread drain([full] {
        usleep(50000);
        close(accept(full, nullptr, nullptr));
        answer_one(full, frame('E', "\0"s));
    });
    EXPECT_EQ(exchange("full", "x").reason, 0);
    drain.join();
    close(knocked);
    close(full);
    unlink(path("full").c_str());
    if (geteuid() != 0)
        return;
    int other = bind_raw(path("other"), -1);  // a server of another user (as it listens): not sent to
    ASSERT_EQ(seteuid(65534), 0);
    listen(other, 4);
    ASSERT_EQ(seteuid(0), 0);
    EXPECT_EQ(exchange("other", "x").reason, -2);
    EXPECT_STREQ(ipc_last_error(), "endpoint 'other': served by uid 65534, not a trusted user");
    int taken = accept(other, nullptr, nullptr);
    char byte;
    EXPECT_EQ(recv(taken, &byte, 1, MSG_DONTWAIT), 0) << "closed, with nothing sent";
    close(taken);
    close(other);
    unlink(path("other").c_str());
}

TEST_F(Ipc, AServerInThisProcessAnswersAndMayCloseItselfInItsHandler)
{
    IpcEndpoint *first = ipc_create("first"), *server = ipc_create("server"), *client = ipc_create("client");
    ipc_serve(first, nullptr, nullptr);
    ipc_serve(server, [](IpcConn *c, const char *command, size_t len, void *) { return ipc_reply(c, command, len); }, nullptr);
    Outcome one, two;  // two exchanges at once
    start(client, "server", "one", one);
    start(client, "server", "two", two);
    while (one.reason == -1 || two.reason == -1)
        sock_poll_msecs(10);
    EXPECT_EQ(one.reason + two.reason, 0);
    EXPECT_EQ(one.deliveries.at(0) + two.deliveries.at(0), "onetwo");
    ipc_destroy(client);
    for (IpcEndpoint *ep : {static_cast<IpcEndpoint *>(nullptr), server}) {  // then closing itself
        ipc_serve(server, [](IpcConn *c, const char *command, size_t len, void *self) {
            ipc_reply(c, command, len);
            ipc_destroy(static_cast<IpcEndpoint *>(self));
            return 0;
        }, ep);
        Outcome o = exchange("server", "hello", first);  // accepted into the first slot, which is free now
        EXPECT_EQ(o.reason, ep ? IPC_FAIL_CLOSED : 0);
        EXPECT_EQ(o.deliveries, std::vector<std::string>{"hello"});
        first = nullptr;
    }
}

TEST_F(Ipc, ClientsCannotHoldAServerDown)
{
    setenv("KEM_IPC_TIMEOUT_MS", "0", 1);  // the limits hold without it
    IpcEndpoint *server = ipc_create("server");
    ipc_serve(server, [](IpcConn *c, const char *command, size_t len, void *) {
        std::string big(1 << 20, 'b');
        for (int i = 0, rc = 0; std::string(command, len) == "big" && rc == 0 && i < 16; ++i)
            replied = rc = ipc_reply(c, big.data(), big.size());
        while (replied == -1 && recv(deaf, big.data(), big.size(), MSG_DONTWAIT) > 0) {
        }
        int last = ipc_reply(c, command, len);  // after a cut frame nothing goes, room or not
        after = replied == -1 ? last : after;
        return last == 0 ? 0 : 1;
    }, nullptr);
    std::vector<int> idle(300);  // connections that send nothing fill the table: a new client is still served
    for (int &fd : idle) {
        knock(path("server"), &fd);
        sock_poll_msecs(0);
    }
    EXPECT_EQ(raw_call(path("server"), "hello"), frame('D', "hello") + frame('E', "\0"s));
    char byte;  // the oldest made room, the newest is still there
    EXPECT_EQ(recv(idle.front(), &byte, 1, MSG_DONTWAIT), 0);
    EXPECT_EQ(recv(idle.back(), &byte, 1, MSG_DONTWAIT), -1);
    for (int fd : idle)
        close(fd);

    std::vector<int> fds(5), closed(5);  // commands on their way hold a bounded number of bytes
    std::string head = header('C', IPC_MAX_PAYLOAD), chunk(1 << 16, 'c');
    size_t peak = 0, sent = 0;
    for (int &fd : fds) {
        knock(path("server"), &fd);
        send(fd, head.data(), head.size(), MSG_NOSIGNAL);
    }
    for (int round = 0; round < 100000 && sent < 5 * (12u << 20); ++round) {
        for (size_t i = 0; i < fds.size(); ++i) {
            ssize_t n = closed[i] ? 0 : send(fds[i], chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            closed[i] |= n < 0 && errno != EAGAIN;
            sent += n > 0 ? size_t(n) : closed[i] ? chunk.size() : 0;
        }
        sock_poll_msecs(0);
        peak = std::max(peak, mem_live_bytes());
    }
    EXPECT_LE(peak, IPC_HOST_HELD_MAX + (1u << 20));
    EXPECT_GE(std::count(closed.begin(), closed.end(), 1), 1);
    for (int fd : fds)
        close(fd);

    int silent;  // one sends nothing, one does not read its 16 MiB answer: both go within the limits
    knock(path("server"), &silent);
    knock(path("server"), &deaf);
    std::string big = frame('C', "big");
    send(deaf, big.data(), big.size(), MSG_NOSIGNAL);
    int64_t start = time(nullptr);
    while ((replied == 0 || recv(silent, &byte, 1, MSG_DONTWAIT) != 0) && time(nullptr) - start < 60)
        sock_poll_msecs(100);
    EXPECT_EQ(replied, -1);
    EXPECT_EQ(after, -1);
    EXPECT_LT(time(nullptr) - start, 30) << "held for the limits, not for good";
    close(silent);
    close(deaf);
    ipc_destroy(server);
}

TEST(IpcFrames, EveryChunkSizeGivesTheSameFramesAndMemoryFollowsTheBytes)
{
    std::string stream = frame('D', "first") + frame('D', "");
    for (int i = 0; i < 40; ++i)  // small frames across the end of the buffer
        stream += frame('D', std::string(995, 'a' + i % 26));
    stream += frame('D', std::string(70000, 'q')) + frame('E', "\0"s);
    IpcFrameReader r;
    IpcFrame f;
    unsigned char *at;
    size_t room;
    for (size_t chunk = 1; chunk <= stream.size(); chunk = chunk < 16 ? chunk + 1 : chunk * 3) {
        ipc_frame_init(&r, "DE");
        std::string got;
        int rc = 0;
        for (size_t pos = 0; rc == 0 && pos < stream.size();) {
            ASSERT_EQ(ipc_frame_room(&r, &at, &room), 0);
            ASSERT_GT(room, 0u);
            size_t n = std::min({chunk, room, stream.size() - pos});
            std::memcpy(at, stream.data() + pos, n);
            ipc_frame_commit(&r, n);
            pos += n;
            while ((rc = ipc_frame_next(&r, &f)) == 1)
                got += frame(char(f.type), std::string(reinterpret_cast<const char *>(f.payload), f.len));
        }
        EXPECT_TRUE(rc == 0 && got == stream) << chunk;
        ipc_frame_release(&r);
    }
    ipc_frame_init(&r, "D");  // an announced size costs memory only as its bytes arrive
    ASSERT_EQ(ipc_frame_room(&r, &at, &room), 0);
    std::memcpy(at, header('D', IPC_MAX_PAYLOAD).data(), IPC_FRAME_HEADER);
    ipc_frame_commit(&r, IPC_FRAME_HEADER);
    EXPECT_EQ(ipc_frame_next(&r, &f), 0);
    ASSERT_EQ(ipc_frame_room(&r, &at, &room), 0);
    EXPECT_LE(mem_live_bytes(), 256u * 1024u);
    ipc_frame_release(&r);
    std::string big = frame('D', std::string(70000, 'q'));  // a frame takes a limit of its exact size
    for (size_t limit : {big.size(), big.size() - 1}) {
        ipc_frame_init(&r, "D");
        r.limit = limit;
        int rc = 0;
        for (size_t pos = 0, n; rc == 0 && pos < big.size(); pos += n) {
            if ((rc = ipc_frame_room(&r, &at, &room)) == 0) {
                std::memcpy(at, big.data() + pos, n = std::min(room, big.size() - pos));
                ipc_frame_commit(&r, n);
            }
        }
        EXPECT_EQ(rc == 0 && ipc_frame_next(&r, &f) == 1, limit == big.size()) << limit;
        ipc_frame_release(&r);
    }
    EXPECT_TRUE(allocator_clean());
}
