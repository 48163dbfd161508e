// The socket layer over \Device\Tcp against real TCP servers on loopback: connect, send, receive
// with peek and time-out (on the scaled clock), early close, split and wrong replies, the socket
// table's limits, and the relay's per-server operations.
#include "keyserver.h"
#include "kernel_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <set>
#include <thread>
#include <vector>

namespace {

using vyr::test::KernelTest;
using Clock = std::chrono::steady_clock;

const UCHAR kFrameHeader[5] = {0x01, 0x00, 0x01, 0x00, 0x00};

std::vector<UCHAR> Frame(const std::vector<UCHAR> &payload)
{
    std::vector<UCHAR> f(kFrameHeader, kFrameHeader + 5);
    ULONG n = (ULONG)payload.size();
    f.push_back((UCHAR)(n >> 24));
    f.push_back((UCHAR)(n >> 16));
    f.push_back((UCHAR)(n >> 8));
    f.push_back((UCHAR)n);
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

// A TCP server on 127.0.0.1 that runs `handler` for every connection it accepts, each on its own
// thread; `stop` tells a handler that waits for nothing in particular to end.
class LoopbackServer {
public:
    using Handler = std::function<void(int fd, const std::atomic<bool> &stop)>;

    explicit LoopbackServer(Handler handler) : handler_(std::move(handler))
    {
        listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listen_, (sockaddr *)&sin, sizeof sin);
        listen(listen_, 256);
        socklen_t len = sizeof sin;
        getsockname(listen_, (sockaddr *)&sin, &len);
        port_ = ntohs(sin.sin_port);
        acceptor_ = std::thread([this] { AcceptLoop(); });
    }
    ~LoopbackServer()
    {
        stop_ = true;
        acceptor_.join();
        for (std::thread &t : connections_)
            t.join();
        close(listen_);
    }
    USHORT Port() const { return port_; }
    int Accepted() const { return accepted_.load(); }

    static bool ReadExactly(int fd, void *buffer, size_t n, const std::atomic<bool> &stop)
    {
        size_t got = 0;
        while (got < n && !stop) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 10) <= 0)
                continue;
            ssize_t r = recv(fd, (char *)buffer + got, n - got, 0);
            if (r <= 0)
                return false;
            got += (size_t)r;
        }
        return got == n;
    }
    static bool ReadFrame(int fd, std::vector<UCHAR> *frame, const std::atomic<bool> &stop)
    {
        frame->assign(9, 0);
        if (!ReadExactly(fd, frame->data(), 9, stop))
            return false;
        ULONG n = ((ULONG)(*frame)[5] << 24) | ((ULONG)(*frame)[6] << 16) | ((ULONG)(*frame)[7] << 8) | (*frame)[8];
        frame->resize(9 + n);
        return ReadExactly(fd, frame->data() + 9, n, stop);
    }
    // Waits until the peer closes or the server stops.
    static void Linger(int fd, const std::atomic<bool> &stop)
    {
        char sink[256];
        while (!stop) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 10) > 0 && recv(fd, sink, sizeof sink, 0) <= 0)
                return;
        }
    }

private:
    void AcceptLoop()
    {
        while (!stop_) {
            pollfd p{listen_, POLLIN, 0};
            if (poll(&p, 1, 10) <= 0)
                continue;
            int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            accepted_++;
            connections_.emplace_back([this, fd] {
                handler_(fd, stop_);
                close(fd);
            });
        }
    }

    Handler handler_;
    int listen_ = -1;
    USHORT port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::thread acceptor_;
    std::vector<std::thread> connections_;
};

// A port on loopback that refuses connections: bound, never listening, and held for the test so
// that no other socket of the machine can take it meanwhile.
class ClosedPort {
public:
    ClosedPort()
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, (sockaddr *)&sin, sizeof sin);
        socklen_t len = sizeof sin;
        getsockname(fd_, (sockaddr *)&sin, &len);
        port_ = ntohs(sin.sin_port);
    }
    ~ClosedPort() { close(fd_); }
    operator USHORT() const { return port_; }

private:
    int fd_ = -1;
    USHORT port_ = 0;
};

KeyServerSockAddr4 Loopback(USHORT port)
{
    KeyServerSockAddr4 a{};
    a.family = KEYSERVER_AF_INET;
    a.port = htons(port);
    a.address = htonl(INADDR_LOOPBACK);
    return a;
}

class KeyServerSocket : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        ASSERT_EQ(OpenTransportDevice(), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        for (LONG i = 0; i < KEYSERVER_SOCKET_SLOTS; i++)
            KsClose(i);
        CloseTransportDevice();
        hk::SetTimeScale(1.0);
        KernelTest::TearDown();
    }

    // A relay state whose table lists the given servers (IPv4 on loopback, or IPv6 when port 0).
    void AddServer(USHORT port, ULONG timeout = 30)
    {
        KeyServerEntry &e = relay_.table.entries[relay_.table.serverCount++];
        snprintf(e.name, sizeof e.name, "srv%d", relay_.table.serverCount);
        e.timeout = timeout;
        e.socket = -1;
        if (port) {
            e.family = KEYSERVER_AF_INET;
            e.ipv4 = Loopback(port);
            snprintf(e.addressText, sizeof e.addressText, "127.0.0.1");
        } else {
            e.family = KEYSERVER_AF_INET6;
            e.ipv6.family = (UCHAR)KEYSERVER_AF_INET6;
            e.ipv6.port = htons(3801);
            e.ipv6.address[15] = 1;
            snprintf(e.addressText, sizeof e.addressText, "::1");
        }
        relay_.table.loaded = 1;
    }

    NTSTATUS Exchange(const std::vector<UCHAR> &message, std::vector<UCHAR> *reply)
    {
        reply->assign(65541, 0xEE);
        ULONG got = 0;
        NTSTATUS status = KeyServerExchange(&relay_, message.data(), (LONG)message.size(), reply->data(), &got);
        reply->resize(got);
        return status;
    }

    KeyRelayState relay_{};
};

TEST_F(KeyServerSocket, EchoWithPeekThenReceive)
{
    LoopbackServer server([](int fd, const std::atomic<bool> &stop) {
        char buffer[64];
        if (LoopbackServer::ReadExactly(fd, buffer, 5, stop))
            send(fd, buffer, 5, MSG_NOSIGNAL);
        LoopbackServer::Linger(fd, stop);
    });
    LONG s = KsSocket(2, 1, 0);
    ASSERT_GE(s, 0);
    KeyServerSockAddr4 address = Loopback(server.Port());
    ASSERT_EQ(KsConnect(s, &address), STATUS_SUCCESS);
    ULONG sent = 0;
    ASSERT_EQ(KsSend(s, "hello", 5, &sent), STATUS_SUCCESS);
    EXPECT_EQ(sent, 5u);

    char buffer[16] = {};
    ULONG got = 0;
    // Peek until the whole echo is there, then take it: a peek leaves the data in the stream.
    for (int i = 0; i < 200 && got < 5; i++)
        ASSERT_EQ(KsReceive(s, buffer, sizeof buffer, &got, nullptr, TRUE), STATUS_SUCCESS);
    ASSERT_EQ(got, 5u);
    EXPECT_EQ(std::string(buffer, 5), "hello");
    memset(buffer, 0, sizeof buffer);
    ASSERT_EQ(KsReceive(s, buffer, sizeof buffer, &got, nullptr, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(got, 5u);
    EXPECT_EQ(std::string(buffer, 5), "hello");
    KsClose(s);
}

TEST_F(KeyServerSocket, SocketAndConnectRefusals)
{
    EXPECT_EQ(KsSocket(KEYSERVER_AF_INET6, 1, 0), -1);
    EXPECT_EQ(KsLastError(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(KsSocket(2, 2, 0), -1);
    EXPECT_EQ(KsSocket(2, 1, 6), -1);

    ClosedPort closed;
    KeyServerSockAddr4 address = Loopback(closed);
    EXPECT_EQ(KsConnect(200, &address), (NTSTATUS)-1);
    EXPECT_EQ(KsLastError(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(KsConnect(5, &address), (NTSTATUS)-1); // an empty slot

    LONG s = KsSocket(2, 1, 0);
    ASSERT_GE(s, 0);
    EXPECT_EQ(KsConnect(s, nullptr), (NTSTATUS)-1);
    EXPECT_EQ(KsConnect(s, &address), STATUS_CONNECTION_REFUSED);
    EXPECT_EQ(KsLastError(), STATUS_CONNECTION_REFUSED);
    ULONG got = 0;
    char buffer[4];
    EXPECT_EQ(KsSend(s, "x", 1, &got), STATUS_INVALID_CONNECTION);
    EXPECT_EQ(KsReceive(s, buffer, sizeof buffer, &got, nullptr, FALSE), STATUS_INVALID_CONNECTION);
    KsClose(s);

    // Without the transport device every operation is refused.
    CloseTransportDevice();
    EXPECT_EQ(KsSocket(2, 1, 0), -1);
    EXPECT_EQ(KsLastError(), STATUS_INVALID_PARAMETER);
}

TEST_F(KeyServerSocket, SocketTableHoldsOneHundredTwentyEight)
{
    std::vector<LONG> sockets;
    for (int i = 0; i < KEYSERVER_SOCKET_SLOTS; i++) {
        LONG s = KsSocket(2, 1, 0);
        ASSERT_EQ(s, i);
        sockets.push_back(s);
    }
    EXPECT_EQ(KsSocket(2, 1, 0), -1);
    EXPECT_EQ(KsLastError(), STATUS_INSUFFICIENT_RESOURCES);
    // A freed slot is taken again, the lowest first.
    KsClose(77);
    KsClose(12);
    EXPECT_EQ(KsSocket(2, 1, 0), 12);
    EXPECT_EQ(KsSocket(2, 1, 0), 77);
}

TEST_F(KeyServerSocket, SocketsOfSeveralRelaysAtOnce)
{
    std::vector<std::thread> threads;
    std::mutex lock;
    std::multiset<LONG> held;
    std::atomic<int> failures{0};
    for (int t = 0; t < 8; t++)
        threads.emplace_back([&] {
            for (int i = 0; i < 20; i++) {
                LONG s = KsSocket(2, 1, 0);
                if (s < 0) {
                    failures++;
                    continue;
                }
                {
                    std::lock_guard<std::mutex> g(lock);
                    if (held.count(s))
                        failures++; // two owners of one slot
                    held.insert(s);
                }
                std::this_thread::yield();
                {
                    std::lock_guard<std::mutex> g(lock);
                    held.erase(held.find(s));
                }
                KsClose(s);
            }
        });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
}

// Every allocation of a socket open failing in turn (pool, IRP, MDL): -1 with the reason, and
// nothing left behind -- the verifier checks the driver's pool when it unloads at shutdown.
TEST_F(KeyServerSocket, SocketOpenFailuresUndoEverything)
{
    InstallDriver("ks_socketdrv");
    ASSERT_EQ(hk::LoadDriver("ks_socketdrv"), STATUS_SUCCESS);
    auto socket = Export<LONG()>("ks_socketdrv", "KsTestSocket");
    auto lastError = Export<NTSTATUS()>("ks_socketdrv", "KsTestLastError");
    auto closeSocket = Export<void(LONG)>("ks_socketdrv", "KsTestClose");
    ASSERT_TRUE(socket && lastError && closeSocket);

    for (ULONG tag : {VYR_TAG_TDI_EA, VYR_TAG_TDI_SOCKET}) {
        hk::VerifierFaults faults;
        faults.failTag = tag;
        faults.onlyDriver = "ks_socketdrv";
        hk::SetVerifierFaults(faults);
        EXPECT_EQ(socket(), -1) << hk::TagText(tag);
        EXPECT_EQ(lastError(), STATUS_INSUFFICIENT_RESOURCES);
        hk::ClearVerifierFaults();
    }
    int failed = 0;
    for (uint64_t n = 1;; n++) {
        hk::VerifierFaults faults;
        faults.failNth = n;
        faults.onlyDriver = "ks_socketdrv";
        hk::SetVerifierFaults(faults);
        uint64_t injected = hk::InjectedFailureCount();
        LONG s = socket();
        bool hit = hk::InjectedFailureCount() != injected;
        hk::ClearVerifierFaults();
        if (!hit) {
            ASSERT_GE(s, 0);
            closeSocket(s);
            break;
        }
        EXPECT_EQ(s, -1) << "allocation " << n;
        EXPECT_EQ(lastError(), STATUS_INSUFFICIENT_RESOURCES) << "allocation " << n;
        failed++;
    }
    EXPECT_GE(failed, 4); // attribute buffer twice, the socket, the associate request
    // Freed IRPs stay quarantined for a while; the unload's check counts those apart.
    for (const hk::PoolBlockInfo &b : hk::OutstandingPool("ks_socketdrv"))
        if (b.kind != hk::AllocKind::Irp)
            ADD_FAILURE() << "left behind: " << hk::TagText(b.tag);
    EXPECT_EQ(hk::OutstandingIrpCount(), 0u);
}

TEST_F(KeyServerSocket, SilentServerTimesOutOnTheScaledClock)
{
    LoopbackServer server([](int fd, const std::atomic<bool> &stop) { LoopbackServer::Linger(fd, stop); });
    hk::SetTimeScale(1000.0);
    AddServer(server.Port(), 30);
    ASSERT_EQ(OpenSocket(&relay_), STATUS_SUCCESS);
    EXPECT_EQ(relay_.socketOpen, 1u);

    // The bare receive: STATUS_TIMEOUT and nothing received, after 30 simulated seconds.
    LONG s = relay_.table.entries[0].socket;
    char buffer[16];
    ULONG got = 99;
    LARGE_INTEGER timeout;
    timeout.QuadPart = -30LL * 10000000;
    LARGE_INTEGER before, after;
    KeQuerySystemTime(&before);
    auto start = Clock::now();
    EXPECT_EQ(KsReceive(s, buffer, sizeof buffer, &got, &timeout, FALSE), STATUS_TIMEOUT);
    KeQuerySystemTime(&after);
    EXPECT_EQ(got, 0u);
    EXPECT_GE(after.QuadPart - before.QuadPart, 30LL * 10000000);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));

    // Through the exchange: the server's own time-out, turned into STATUS_CANCELLED.
    std::vector<UCHAR> reply;
    start = Clock::now();
    EXPECT_EQ(Exchange(Frame({1, 2, 3}), &reply), STATUS_CANCELLED);
    EXPECT_TRUE(reply.empty());
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
    CloseSocket(&relay_);
    EXPECT_EQ(relay_.socketOpen, 0u);
    EXPECT_EQ(relay_.table.entries[0].socket, -1);
}

TEST_F(KeyServerSocket, ServerClosingBeforeAnsweringAbortsTheConnection)
{
    LoopbackServer server([](int fd, const std::atomic<bool> &stop) {
        std::vector<UCHAR> frame;
        LoopbackServer::ReadFrame(fd, &frame, stop);
    });
    AddServer(server.Port());
    ASSERT_EQ(OpenSocket(&relay_), STATUS_SUCCESS);
    std::vector<UCHAR> reply;
    EXPECT_EQ(Exchange(Frame({9}), &reply), STATUS_CONNECTION_ABORTED);
    CloseSocket(&relay_);
}

TEST_F(KeyServerSocket, RepliesWholeSplitCutAndWrong)
{
    // What the server answers to each frame, in order, one connection for all of them.
    enum class Reply { Whole, Split, HeaderInPieces, Cut, WrongHeader, Oversized };
    std::atomic<int> step{0};
    const std::vector<Reply> script = {Reply::Whole, Reply::Split, Reply::HeaderInPieces, Reply::WrongHeader,
                                       Reply::Oversized, Reply::Cut};
    LoopbackServer server([&](int fd, const std::atomic<bool> &stop) {
        std::vector<UCHAR> frame;
        while (LoopbackServer::ReadFrame(fd, &frame, stop)) {
            std::vector<UCHAR> payload(frame.begin() + 9, frame.end());
            payload.push_back(0xAA); // the answer is the question plus one byte
            std::vector<UCHAR> out = Frame(payload);
            auto pause = [] { std::this_thread::sleep_for(std::chrono::milliseconds(10)); };
            switch (script[step++]) {
            case Reply::Whole:
                send(fd, out.data(), out.size(), MSG_NOSIGNAL);
                break;
            case Reply::Split:
                send(fd, out.data(), 12, MSG_NOSIGNAL);
                pause();
                send(fd, out.data() + 12, out.size() - 12, MSG_NOSIGNAL);
                break;
            case Reply::HeaderInPieces:
                for (size_t i = 0; i < out.size(); i += 3) {
                    send(fd, out.data() + i, std::min<size_t>(3, out.size() - i), MSG_NOSIGNAL);
                    pause();
                }
                break;
            case Reply::WrongHeader:
                out[2] = 0x02;
                send(fd, out.data(), out.size(), MSG_NOSIGNAL);
                break;
            case Reply::Oversized: {
                // Declares more than a message may hold: only 16,384 bytes are taken.
                std::vector<UCHAR> big = Frame(std::vector<UCHAR>(20000, 0x5A));
                send(fd, big.data(), big.size(), MSG_NOSIGNAL);
                break;
            }
            case Reply::Cut:
                send(fd, out.data(), out.size() - 1, MSG_NOSIGNAL);
                LoopbackServer::Linger(fd, stop);
                return;
            }
        }
    });
    // Five simulated seconds are half a real one: time for the pieces, not for idling.
    hk::SetTimeScale(10.0);
    AddServer(server.Port(), 5);
    ASSERT_EQ(OpenSocket(&relay_), STATUS_SUCCESS);
    std::vector<UCHAR> question = Frame({1, 2, 3, 4, 5, 6, 7, 8});
    std::vector<UCHAR> answer = Frame({1, 2, 3, 4, 5, 6, 7, 8, 0xAA});
    std::vector<UCHAR> reply;

    ASSERT_EQ(Exchange(question, &reply), STATUS_SUCCESS);
    EXPECT_EQ(reply, answer);
    ASSERT_EQ(Exchange(question, &reply), STATUS_SUCCESS) << "split after 12 bytes";
    EXPECT_EQ(reply, answer);
    ASSERT_EQ(Exchange(question, &reply), STATUS_SUCCESS) << "three bytes at a time";
    EXPECT_EQ(reply, answer);
    EXPECT_EQ(Exchange(question, &reply), STATUS_CANCELLED) << "wrong frame header";
    CloseSocket(&relay_);

    // The rest of the script on a new connection (the wrong reply left bytes in the old one).
    relay_.table.attempts = 0;
    ASSERT_EQ(OpenSocket(&relay_), STATUS_SUCCESS);
    ASSERT_EQ(Exchange(question, &reply), STATUS_SUCCESS);
    EXPECT_EQ(reply.size(), KEYSERVER_MAX_MESSAGE);
    CloseSocket(&relay_);
    relay_.table.attempts = 0;
    ASSERT_EQ(OpenSocket(&relay_), STATUS_SUCCESS);
    // A frame one byte short is never handed on, however long the wait.
    EXPECT_EQ(Exchange(question, &reply), STATUS_CANCELLED) << "cut frame";
    EXPECT_TRUE(reply.empty());
    CloseSocket(&relay_);
}

TEST_F(KeyServerSocket, OpenSocketCountsAttemptsAndSkipsIpv6)
{
    LoopbackServer server([](int fd, const std::atomic<bool> &stop) { LoopbackServer::Linger(fd, stop); });
    AddServer(0);                // an IPv6 entry
    ClosedPort closed;
    AddServer(closed);           // nobody listens
    AddServer(server.Port());    // answers

    relay_.table.currentServer = 0;
    EXPECT_EQ(OpenSocket(&relay_), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(relay_.table.entries[0].socket, -1);
    EXPECT_EQ(relay_.socketOpen, 0u);

    relay_.table.currentServer = 1;
    EXPECT_EQ(OpenSocket(&relay_), STATUS_CONNECTION_REFUSED);
    EXPECT_EQ(relay_.socketOpen, 0u);

    relay_.table.currentServer = 2;
    ASSERT_EQ(OpenSocket(&relay_), STATUS_SUCCESS);
    EXPECT_EQ(relay_.socketOpen, 1u);
    EXPECT_GE(relay_.table.entries[2].socket, 0);
    CloseSocket(&relay_);

    // A fourth attempt in one relay with three servers is one too many.
    EXPECT_EQ(OpenSocket(&relay_), STATUS_UNEXPECTED_NETWORK_ERROR);
    for (int i = 0; i < 100 && server.Accepted() == 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(server.Accepted(), 1);
}

TEST_F(KeyServerSocket, ExchangeRefusesWhatItCannotFrame)
{
    std::vector<UCHAR> reply(65541);
    ULONG got = 0;
    ClosedPort closed;
    AddServer(closed);
    // No open socket, a missing buffer, a message shorter than its frame header.
    EXPECT_EQ(KeyServerExchange(&relay_, kFrameHeader, 5, reply.data(), &got), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(KeyServerExchange(nullptr, kFrameHeader, 5, reply.data(), &got), STATUS_INVALID_PARAMETER);
    relay_.table.entries[0].socket = KsSocket(2, 1, 0);
    ASSERT_GE(relay_.table.entries[0].socket, 0);
    EXPECT_EQ(KeyServerExchange(&relay_, kFrameHeader, 0, reply.data(), &got), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(KeyServerExchange(&relay_, kFrameHeader, 4, reply.data(), &got), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(KeyServerExchange(&relay_, kFrameHeader, 5, nullptr, &got), STATUS_INVALID_PARAMETER);
    relay_.table.currentServer = 16;
    EXPECT_EQ(KeyServerExchange(&relay_, kFrameHeader, 5, reply.data(), &got), STATUS_INVALID_PARAMETER);
}

} // namespace
